// The web interface's texts in every language the app ships, built into the
// program from printer_app/strings/*.strings.
#pragma once

#include <pappl/pappl.h>

struct AppLanguage {
    const char *tag;  // as PAPPL matches it against Accept-Language
    const char *text; // the strings file, NUL-terminated
};

// The languages built in, English first; Simplified Chinese appears under
// each tag that PAPPL must find for the browsers that ask for it.
const AppLanguage *strings_languages(int *count);

// Every built-in language added to the system, before papplSystemRun.
void strings_add(pappl_system_t *system);

// Every built-in language offered to the messages PAPPL prints for the
// command line, before papplMainloop: the process's language picks one.
void strings_add_default();
