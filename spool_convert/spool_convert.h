// Routines for print data held in files: spooling, sending, and re-rendering
// PostScript through PDF. The filter itself calls none of them.
#pragma once

// Copies standard input into a new temporary file and puts its name into
// filename, a zero-filled buffer of at least 255 bytes. The buffer stays empty
// when no complete copy could be made.
void Copy_StdinToTempFile(char *filename);

// Sends the file at path to standard output.
void WritePrintFileToStdout(const char *path);

// 1 when the job's CONTENT_TYPE names PDF, else 0.
int is_pdf_content_type();

// Re-renders the PostScript file input into the PostScript file output through
// Ghostscript, pdftopdf and pdftops. args is laid out like the first six
// filter arguments; elements 1 to 5 are passed on to pdftopdf and pdftops.
// Returns 1 on success, with input removed; -1 on failure, with input kept.
int pstopdf_ps(const char *input, const char *output, const char *const *args);
