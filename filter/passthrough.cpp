#include "filter/passthrough.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "common/io.h"

volatile sig_atomic_t job_canceled = 0;

void cancel_job(int /*sig*/)
{
    job_canceled = 1;
}

void printDatePenetrate()
{
    char buffer[8192];
    memset(buffer, 0, sizeof(buffer));

    while (!job_canceled) {
        const size_t count = fread(buffer, 1, sizeof(buffer), stdin);
        if (count == 0)
            return;
        // Each chunk leaves in full before the next is read, so the next
        // stage sees the data as it arrives; a short transfer is lost data.
        if (write_all(STDOUT_FILENO, buffer, count) != count)
            fputs("write file error! \n", stderr);
    }
}
