/* File helpers shared by every program.  They return errors and never end the process. */
#pragma once

#include <stddef.h>
#include <sys/types.h>

/* Reads until len bytes, end of file or an error; returns the count read (short on the latter two). */
ssize_t pread_full(int fd, void *buf, size_t len, off_t off);
/* Writes all len bytes; 0, or -1 on an error. */
int pwrite_full(int fd, const void *buf, size_t len, off_t off);
