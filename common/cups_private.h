// libcups exports these but installs no header that declares them.
#pragma once

extern "C" {
// Writes "prefix:" and the message, localised, to standard error, followed by
// ": " and the text of the current errno.
void _cupsLangPrintError(const char *prefix, const char *message);
}
