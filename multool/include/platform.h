/* Paths of the platform files that a sandbox cannot replace in place.
 *
 * The kernel table of flash partitions and the per-protocol files under /proc/net can be neither
 * overlaid nor bind-mounted over.  They are the only files read through an override:
 *   MT_PROC_MTD      names a file read instead of /proc/mtd;
 *   MT_PROC_NET_DIR  names a directory whose <name> is read instead of /proc/net/<name>;
 *   MT_PROC_DIR      names a directory standing for /proc as a whole ("$MT_PROC_DIR/mtd",
 *                    "$MT_PROC_DIR/net/dev"), used for a file it holds when the two above are unset.
 * Everything else is read at its real absolute path. */
#pragma once

#include <stddef.h>

/* "/proc/mtd", or $MT_PROC_MTD when set and not empty. */
const char *mt_proc_mtd_path(void);
/* "/proc/net/<name>", or "$MT_PROC_NET_DIR/<name>" when set and not empty.  The text lives in a
 * per-thread buffer that the next call overwrites. */
const char *mt_proc_net_path(const char *name);
/* Same rules for a path relative to /proc ("mtd", "net/dev"), written to buf; returns buf. */
const char *proc_path(const char *rel, char *buf, size_t size);
