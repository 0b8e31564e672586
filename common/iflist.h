/* Interface inventory records and the rtnetlink collectors that fill them: one interface record per
 * link message, one address record per address message.  The lists belong to the caller (libktrv's
 * exported `interfaces`, multool's own); nothing here keeps state, logs or ends the process.
 * Plain C ABI: the records are part of libktrv's interface. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/list.h"
#include "common/netlink.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The 23 counters in the kernel's rtnl_link_stats order (32-bit, they wrap on the board). */
enum ifi_stat {
	IFI_RX_PACKETS, IFI_TX_PACKETS, IFI_RX_BYTES, IFI_TX_BYTES, IFI_RX_ERRORS, IFI_TX_ERRORS,
	IFI_RX_DROPPED, IFI_TX_DROPPED, IFI_MULTICAST, IFI_COLLISIONS, IFI_RX_LENGTH_ERRORS,
	IFI_RX_OVER_ERRORS, IFI_RX_CRC_ERRORS, IFI_RX_FRAME_ERRORS, IFI_RX_FIFO_ERRORS,
	IFI_RX_MISSED_ERRORS, IFI_TX_ABORTED_ERRORS, IFI_TX_CARRIER_ERRORS, IFI_TX_FIFO_ERRORS,
	IFI_TX_HEARTBEAT_ERRORS, IFI_TX_WINDOW_ERRORS, IFI_RX_COMPRESSED, IFI_TX_COMPRESSED,
	IFI_STATS_COUNT
};

struct ipi {
	struct list_head list;
	uint16_t family;   /* AF_INET or AF_INET6 */
	uint8_t prefixlen;
	uint8_t addr_len;  /* bytes of the address attribute */
	void *addr;        /* heap copy of the address; see the collector flags for which one */
	void *broadcast;   /* IFA_BROADCAST or NULL */
};

struct ifi {
	struct list_head list;
	struct list_head addrs; /* of struct ipi */
	int32_t index;
	uint32_t link;          /* IFLA_LINK, 0 when absent */
	char *name;
	uint8_t hwaddr[6];
	uint8_t broadcast[6];
	uint16_t type;
	uint32_t txqlen;
	uint32_t flags;         /* IFF_*; bit 0 is up */
	uint32_t *stats;        /* IFI_STATS_COUNT counters, or NULL */
	uint32_t ordinal;       /* multool: 1-based position in /proc/net/dev; 0 elsewhere */
};

#define ifi_entry(l) list_entry(l, struct ifi, list)
#define ipi_entry(l) list_entry(l, struct ipi, list)

/* How a collector reads messages; the two inventories of the system differ in these. */
enum ifl_flags {
	IFL_CHECK_TYPE = 1,   /* take only RTM_NEWLINK / RTM_NEWADDR messages */
	IFL_EMPTY_NAME = 2,   /* a link without IFLA_IFNAME gets "" rather than no name */
	/* The address record holds the interface's own address (IFA_LOCAL, else IFA_ADDRESS) as an exact
	 * copy of at most 16 bytes, and a message without a usable one adds nothing.  Without it:
	 * IFA_ADDRESS, else IFA_LOCAL, in a buffer of at least 16 bytes, and the record is added anyway. */
	IFL_LOCAL_ADDRESS = 4,
};

/* A zeroed record with empty lists, or NULL. */
struct ifi *ifl_new(void);
struct ipi *ifl_new_addr(void);
/* Unlinks the record when it is linked and frees it with its addresses. */
void ifl_free(struct ifi *ifi);
void ifl_free_all(struct list_head *list);
/* First match in list order, or NULL. */
struct ifi *ifl_find_name(const struct list_head *list, const char *name);
struct ifi *ifl_find_index(const struct list_head *list, int index);

/* Appends the interface of a link message.  0 (also for a message that is not taken), or -1 with
 * errno when memory runs out. */
int ifl_add_link(struct list_head *list, struct nlmsghdr *msg, unsigned flags);
/* Appends an address record to the interface of the message's index (unknown indexes are skipped).
 * 0, or -1 with errno when memory runs out. */
int ifl_add_addr(struct list_head *list, struct nlmsghdr *msg, unsigned flags);

/* Dumps the links (RTM_GETLINK) or addresses (RTM_GETADDR) on an open handle into the list. */
int ifl_dump(struct nl_handle *h, struct list_head *list, int type, unsigned flags, struct nl_status *st);

#ifdef __cplusplus
}
#endif
