/* The polling MAC's per-peer records, as the collector reads them from /sys/qlix/all-stats. */
#pragma once

#include <stddef.h>

#include "qlix_stats_rec.h"

/* Reads the file to its end and decodes at most max whole records.  The module hands a binary file
 * out a page (73 records and a part of the 74th) per read, so a single read would lose the rest.
 * 0 for a missing or unreadable file. */
size_t allstats_load(const char *path, struct qlix_stats_rec *out, size_t max);
