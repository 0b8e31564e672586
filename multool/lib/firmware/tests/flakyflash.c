/* A flash partition whose cells do not all hold what is written: one file, "flash", of SIZE bytes
 * (0xFF at first) in a FUSE file system, where every write that covers byte FLIP_AT stores that byte
 * with its lowest bit inverted (-1: a sound flash).  Opening the file drops the kernel's cached
 * pages, so a read through a descriptor of its own shows what this "flash" holds, not the pages a
 * writer left behind: what a read-back after a flush must compare.
 *
 *   flakyflash MOUNTPOINT SIZE FLIP_AT      (runs in the foreground until unmounted) */
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

static uint8_t *cells;
static size_t size;
static long long flip_at = -1;

static int fl_getattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
	(void)fi;
	memset(st, 0, sizeof(*st));
	if (strcmp(path, "/") == 0) {
		st->st_mode = S_IFDIR | 0755;
		st->st_nlink = 2;
		return 0;
	}
	if (strcmp(path, "/flash") != 0)
		return -ENOENT;
	st->st_mode = S_IFREG | 0644;
	st->st_nlink = 1;
	st->st_size = (off_t)size;
	return 0;
}

static int fl_open(const char *path, struct fuse_file_info *fi)
{
	if (strcmp(path, "/flash") != 0)
		return -ENOENT;
	fi->keep_cache = 0;
	fi->direct_io = 0;
	return 0;
}

static int fl_read(const char *path, char *buf, size_t n, off_t off, struct fuse_file_info *fi)
{
	(void)path;
	(void)fi;
	if (off < 0 || (size_t)off >= size)
		return 0;
	if (n > size - (size_t)off)
		n = size - (size_t)off;
	memcpy(buf, cells + off, n);
	return (int)n;
}

static int fl_write(const char *path, const char *buf, size_t n, off_t off, struct fuse_file_info *fi)
{
	(void)path;
	(void)fi;
	if (off < 0 || (size_t)off >= size)
		return -ENOSPC;
	if (n > size - (size_t)off)
		n = size - (size_t)off;
	memcpy(cells + off, buf, n);
	if (flip_at >= off && flip_at < off + (long long)n)
		cells[flip_at] ^= 0x01;
	return (int)n;
}

static int fl_truncate(const char *path, off_t len, struct fuse_file_info *fi)
{
	(void)path;
	(void)fi;
	return (size_t)len == size ? 0 : -EPERM;
}

static const struct fuse_operations ops = {
	.getattr = fl_getattr,
	.truncate = fl_truncate,
	.open = fl_open,
	.read = fl_read,
	.write = fl_write,
};

int main(int argc, char **argv)
{
	if (argc != 4) {
		fprintf(stderr, "usage: flakyflash MOUNTPOINT SIZE FLIP_AT\n");
		return 2;
	}
	size = (size_t)strtoull(argv[2], NULL, 0);
	flip_at = strtoll(argv[3], NULL, 0);
	cells = malloc(size ? size : 1);
	if (!cells)
		return 1;
	memset(cells, 0xFF, size);
	char *fargv[] = { argv[0], (char *)"-f", (char *)"-s", (char *)"-o", (char *)"default_permissions", argv[1], NULL };
	return fuse_main(6, fargv, &ops, NULL);
}
