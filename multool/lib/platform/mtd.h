/* Flash partitions by name.
 *
 * The kernel lists the partitions in /proc/mtd (read through proc_path("mtd"), the one path a sandbox
 * may redirect):
 *
 *   dev:    size   erasesize  name
 *   mtd0: 00040000 00010000 "u-boot"
 *
 * A partition is reached through its block device /dev/mtdblockN; inside a sandbox any file at that
 * path (a regular file or a loop device) stands in for it. */
#pragma once

#include <stddef.h>
#include <stdint.h>

struct mtd_part {
	int minor;          /* N of mtdN */
	uint32_t size;      /* bytes, from the hex size column */
	uint32_t erasesize; /* bytes, from the hex erase-size column */
};

/* Looks the name up in a copy of the table text (header line first).  The walk stops at the first
 * line whose first word does not begin with "mtd" or whose name is not quoted.  0 when found. */
int mtd_parse_table(const char *text, size_t len, const char *name, struct mtd_part *out);

/* mtd_parse_table over the first 2047 bytes of the kernel table.  0 when found, -1 otherwise. */
int mtd_find(const char *name, struct mtd_part *out);

/* Opens /dev/mtdblock<minor> with the open(2) flags (O_CLOEXEC is added); descriptor or -1. */
int mtd_open(const struct mtd_part *part, int flags);

/* Read-write descriptor of the named partition's block device, or -1; *part (when not NULL) gets its
 * table entry. */
int mtd_block_find(const char *name, struct mtd_part *part = nullptr);
