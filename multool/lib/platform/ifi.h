/* Interface inventory of multool: links and addresses over rtnetlink, switch ports merged in.
 * Collected once per process and kept until ifi_free_all(). */
#pragma once

#include <stddef.h>
#include <stdint.h>

struct nlmsghdr;

/* Circular doubly linked list; unlinked elements are poisoned. */
struct mt_list {
	struct mt_list *next, *prev;
};
#define MT_LIST_POISON1 ((struct mt_list *)0x00100100)
#define MT_LIST_POISON2 ((struct mt_list *)0x00200200)

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
	struct mt_list list;
	uint16_t family;      /* AF_INET or AF_INET6 */
	uint8_t prefixlen;
	uint8_t addr_len;     /* bytes in addr: 4 or 16 */
	void *addr;           /* local address (IFA_LOCAL, else IFA_ADDRESS) */
	void *broadcast;      /* IFA_BROADCAST or NULL */
};

struct ifi {
	struct mt_list list;
	struct mt_list addrs;  /* of struct ipi */
	int32_t index;
	uint32_t link;         /* IFLA_LINK, 0 when absent */
	char *name;
	uint8_t hwaddr[6];
	uint8_t broadcast[6];
	uint16_t type;
	uint32_t txqlen;
	uint32_t flags;        /* IFF_*; bit 0 is up */
	uint32_t *stats;       /* IFI_STATS_COUNT counters, or NULL */
	uint32_t ordinal;      /* 1-based position in /proc/net/dev, see ifi_ordinal() */
};

#define ifi_entry(l) ((struct ifi *)((char *)(l) - offsetof(struct ifi, list)))
#define ipi_entry(l) ((struct ipi *)((char *)(l) - offsetof(struct ipi, list)))
#define ifi_list_for_each(pos, head) for (struct mt_list *pos = (head)->next; pos != (head); pos = pos->next)

struct mt_list *ifi_get_all(void);
/* Collects into the (empty) list: link dump, address dump, switch ports. */
void ifi_collect(void);
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

/* Message collectors, usable over crafted buffers.  Return 0. */
int ifi_collect_link(struct nlmsghdr *msg);
int ifi_collect_addr(struct nlmsghdr *msg);

/* Throughput in Mbit/s (2^20 bit) of a 32-bit byte counter read twice over elapsed_ms: the
 * difference is taken modulo 2^32 and divided by the whole seconds elapsed.  -1 when less than a
 * whole second elapsed, else 0. */
int ifi_rate_mbps(uint32_t prev, uint32_t cur, uint64_t elapsed_ms, float *rate);

/* Parent interface name (IFLA_LINK resolved), or NULL. */
const char *ifi_parent_name(const struct ifi *ifi);
