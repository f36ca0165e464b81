// Whole-buffer writes to a descriptor.
#pragma once

#include <sys/types.h>

// Writes all len bytes of buf to fd, continuing short writes and retrying
// writes interrupted by a signal. Returns the number of bytes written: len on
// success, fewer when a write failed (errno then tells why).
size_t write_all(int fd, const void *buf, size_t len);
