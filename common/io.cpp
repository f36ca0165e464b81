#include "common/io.h"

#include <cerrno>
#include <unistd.h>

size_t write_all(int fd, const void *buf, size_t len)
{
    const char *p = static_cast<const char *>(buf);
    size_t done = 0;

    while (done < len) {
        ssize_t n = write(fd, p + done, len - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (n == 0) {
            // A write that moves nothing and reports no error would spin forever.
            errno = EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}
