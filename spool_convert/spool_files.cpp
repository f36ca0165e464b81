// Spooling standard input into a file and sending a file to standard output.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <cups/cups.h>

#include "common/io.h"
#include "spool_convert/spool_convert.h"

namespace {

// Copies in to the descriptor fd in chunks; a read error ends the copy like the
// end of the input. Returns false when a chunk could not be written in full.
bool copy_stream(FILE *in, int fd, const char *what)
{
    char buffer[8192];
    memset(buffer, 0, sizeof(buffer));
    size_t count;
    while ((count = fread(buffer, 1, sizeof(buffer), in)) > 0) {
        if (write_all(fd, buffer, count) != count) {
            fprintf(stderr, "DEBUG: Unable to write %s,err is %d\n", what, errno);
            return false;
        }
    }
    return true;
}

} // namespace

void Copy_StdinToTempFile(char *filename)
{
    if (filename == nullptr) {
        fputs("DEBUG: Unable to find input file.\n", stderr);
        return;
    }

    char name[255];
    memset(name, 0, sizeof(name));
    const int fd = cupsTempFd(name, sizeof(name));
    if (fd < 0) {
        fputs("DEBUG: Unable to creat temp file.\n", stderr);
        return;
    }
    fprintf(stderr, "DEBUG:copying to temp print file \"%s\"\n", name);

    const bool complete = copy_stream(stdin, fd, "temp print file");
    close(fd);
    // A partial spool file would print as if it were the whole job.
    if (!complete) {
        unlink(name);
        return;
    }
    // With its terminator: the name always fits, as the caller's buffer is at
    // least as large as ours.
    memcpy(filename, name, strlen(name) + 1);
}

void WritePrintFileToStdout(const char *path)
{
    if (path == nullptr) {
        fputs("DEBUG: Unable to find Print file.\n", stderr);
        return;
    }

    FILE *file = fopen(path, "r");
    if (file == nullptr) {
        fprintf(stderr, "DEBUG:Unable open a print file \"%s\"\n", path);
        return;
    }
    // The file goes straight to descriptor 1: what the caller printed through
    // stdout must leave before it, not after.
    fflush(stdout);
    const bool complete = copy_stream(file, STDOUT_FILENO, "print file to stdout");
    fclose(file);
    if (complete)
        fputs("DEBUG:Successfully write print file to stdout.\n", stderr);
}

int is_pdf_content_type()
{
    const char *type = getenv("CONTENT_TYPE");
    fprintf(stderr, "CONTENT_TYPE = %s\n", type != nullptr ? type : "");
    return type != nullptr && strstr(type, "pdf") != nullptr ? 1 : 0;
}
