/* Paths of the platform files that a sandbox cannot replace in place.
 *
 * The kernel table of flash partitions and the per-protocol files under /proc/net can be neither
 * overlaid nor bind-mounted over.  They are the only files reached through an override: when
 * MT_PROC_DIR names a directory holding the file ("$MT_PROC_DIR/mtd", "$MT_PROC_DIR/net/dev",
 * "$MT_PROC_DIR/net/snmp", the packet generator's "$MT_PROC_DIR/net/pktgen/pgctrl"), that copy is
 * read or written instead.  Every other file, /proc ones included, is used at its real absolute path. */
#pragma once

#include <stddef.h>

/* Path of "/proc/<rel>" (e.g. "mtd", "net/dev") by the rule above, written to buf; returns buf. */
const char *proc_path(const char *rel, char *buf, size_t size);
