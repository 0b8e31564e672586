/* Interface inventory of multool: links and addresses over rtnetlink, switch ports merged in.
 * Collected once per process and kept until ifi_free_all(). */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/iflist.h"

/* Records, counters and list macros: common/iflist.h (the shared inventory core). */

/* Collects into the (empty) list: link dump, address dump, switch ports.  0, or -1 after a failure
 * whose message (line break included) ifi_strerror() gives; the list then holds what was read. */
int ifi_collect(void);
/* The list, collected on first use; NULL when collecting failed. */
struct list_head *ifi_get_all(void);
const char *ifi_strerror(void);
/* fn for every interface (it may free the one it is given); nothing when collecting failed. */
void ifi_for_each(void (*fn)(struct ifi *ifi, void *arg), void *arg);
struct ifi *ifi_find_by_name(const char *name);
struct ifi *ifi_find_by_index(int index);
void ifi_free_all(void);

/* Upper-case colon form "00:11:22:AA:BB:CC"; returns buf, or NULL when size < 18. */
char *ifi_mac_ntop(char *buf, size_t size, const uint8_t *mac);
/* Text of the record's address, or NULL. */
const char *ifi_ip_ntop(char *buf, size_t size, const struct ipi *ipi);

/* Position of name in a /proc/net/dev text (two header lines not counted); for an unlisted
 * "eth%d" the listed count plus that number; otherwise 0. */
uint32_t ifi_ordinal(const char *procnetdev, const char *name);

/* Interface names of a /proc/net/dev text in line order. */
struct ifi_name_table {
	char (*names)[16];
	uint32_t count;
};
void ifi_parse_procnetdev(struct ifi_name_table *t, const char *text);
uint32_t ifi_lookup_ordinal(const struct ifi_name_table *t, const char *name);

/* Message collectors, usable over crafted buffers.  0, or -1 when memory ran out. */
int ifi_collect_link(struct nlmsghdr *msg);
int ifi_collect_addr(struct nlmsghdr *msg);

/* Throughput in Mbit/s (2^20 bit) of a 32-bit byte counter read twice over elapsed_ms: the
 * difference is taken modulo 2^32 and divided by the whole seconds elapsed.  -1 when less than a
 * whole second elapsed, else 0. */
int ifi_rate_mbps(uint32_t prev, uint32_t cur, uint64_t elapsed_ms, float *rate);

/* Parent interface name (IFLA_LINK resolved), or NULL. */
const char *ifi_parent_name(const struct ifi *ifi);
