/* File helpers shared by every program.  They return errors (-1 with errno, or NULL) and never end
 * the process or print. */
#pragma once

#include <stddef.h>
#include <sys/types.h>

/* Writes all len bytes at the file position: interruptions are retried and a descriptor that would
 * block is waited for.  0, or -1 with errno. */
int write_all(int fd, const void *buf, size_t len);
/* Reads until len bytes, end of file or an error; returns the count read (short on the latter two). */
ssize_t pread_full(int fd, void *buf, size_t len, off_t off);
/* Writes all len bytes; 0, or -1 on an error. */
int pwrite_full(int fd, const void *buf, size_t len, off_t off);

/* Reads at most size bytes from the start of the file (sysfs and procfs answer in pieces: reads go on
 * until end of file or size).  The count read, or -1 with errno when it cannot be opened or read. */
ssize_t read_prefix(const char *path, void *buf, size_t size);
/* The whole file in a heap buffer with one NUL byte after its *size bytes (size may be NULL).  NULL
 * with errno when it cannot be opened, read or held. */
char *read_file(const char *path, size_t *size);

/* Replaces a document other processes read without ever showing them a partial one: writes
 * path + suffix with exactly the given mode (fsync'ed with WR_SYNC), then renames it over path.
 * 0, or -1 with errno and no temporary left behind. */
enum write_replace_flags {
	WR_SYNC = 1,
};
int write_replace(const char *path, const char *suffix, const void *data, size_t len, mode_t mode, unsigned flags);
/* The same for a document written in pieces: fill writes it to the temporary's descriptor and returns
 * 0, or -1 with errno (the old document then stays). */
int write_replace_with(const char *path, const char *suffix, mode_t mode, unsigned flags, int (*fill)(int fd, void *arg),
		       void *arg);
