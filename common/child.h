// Running helper programs without a shell.
#pragma once

#include <sys/types.h>

// Starts argv[0], looked up through PATH, with the argument list argv (ended
// by a null pointer). When in_fd or out_fd is >= 0 it becomes the child's
// standard input or output; the child's other descriptors are those of the
// caller that are not close-on-exec, and SIGPIPE is back at its default.
// Returns the child's process ID once the program is running, or -1 with
// errno set when the child could not be forked or the program could not be
// executed (that child has then been reaped already).
pid_t start_child(const char *const argv[], int in_fd, int out_fd);

// start_child, with the child in process group group (0: a new group led
// by the child), so that it and whatever it starts can be ended together.
pid_t start_child_in_group(const char *const argv[], int in_fd, int out_fd, pid_t group);

// Waits for the child pid to end, retrying waits interrupted by a signal.
// Returns its wait status, or -1 with errno set.
int wait_child(pid_t pid);

// start_child, then wait_child: returns the wait status, or -1 with errno set
// when the program could not be started.
int run_child(const char *const argv[], int in_fd, int out_fd);
