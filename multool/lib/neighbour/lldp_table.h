/* The listener's neighbour table: one JSON object keyed by the neighbour's source MAC (lower case),
 * kept in the neighbour file so that it survives restarts.  Each entry records when it was last
 * heard ("uptime", this system's uptime in seconds). */
#pragma once

#include "neighbour/lldp_codec.h"

#include <jansson.h>

#include <stddef.h>
#include <stdint.h>

#define LLDP_DISCOVERY_FILE "/var/run/stats/lldp-discovery.json"
#define LLDP_DISCOVERY_SUFFIX ".tmp"
#define LLDP_TABLE_MAX 256 /* neighbours kept; a flood of spoofed sources cannot grow it further */
#define LLDP_EXPIRY 600    /* seconds an entry lives after it was last heard */

/* The table in the file, or an empty one when it is missing or holds no object; at most max entries
 * (those heard longest ago go first).  NULL only when memory runs out. */
json_t *lldp_table_load(const char *path, size_t max);

/* Removes the entries heard more than LLDP_EXPIRY seconds before now, and those whose uptime is
 * unreadable or later than now (an earlier boot's).  The count removed. */
size_t lldp_table_expire(json_t *table, long now);

/* The entry of a received frame: ifIndex, iface (when ifname is not NULL), then what the frame told,
 * and uptime.  Texts from the wire are made valid UTF-8 without NUL characters (other bytes become
 * "\xNN").  New reference, or NULL when memory runs out. */
json_t *lldp_table_entry(const struct lldp_neighbour *n, int ifindex, const char *ifname, long uptime);

/* Stores the entry (its reference is taken) under src, replacing the neighbour's older one; a new
 * neighbour in a table of max entries first evicts the one heard longest ago.  0, or -1 when it could
 * not be stored. */
int lldp_table_store(json_t *table, const uint8_t src[6], json_t *entry, size_t max);

/* Replaces the file with the table (indent 2, escaped slashes, through path + ".tmp").  0 or -1. */
int lldp_table_write(const json_t *table, const char *path);
