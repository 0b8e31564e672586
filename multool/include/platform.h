/* Paths of the platform files that a sandbox cannot replace in place.
 *
 * The kernel table of flash partitions and the per-protocol files under /proc/net can be neither
 * overlaid nor bind-mounted over.  They are the only files read through an override: when
 * MT_PROC_DIR names a directory that holds the file (e.g. "$MT_PROC_DIR/mtd", "$MT_PROC_DIR/net/dev"),
 * that copy is read instead.  Everything else is read at its real absolute path. */
#pragma once

#include <stddef.h>

/* Fills buf with the path of "/proc/<rel>" (rel is e.g. "mtd" or "net/dev"); returns buf. */
const char *proc_path(const char *rel, char *buf, size_t size);
