/* Interface inventory over rtnetlink, with an XML dump. */
#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ktrv.h"

struct list_head interfaces = { &interfaces, &interfaces };

#define LIST_POISON1 ((struct list_head *)0x00100100)
#define LIST_POISON2 ((struct list_head *)0x00200200)
#define ifi_of(l) ((struct ifi *)((char *)(l) - offsetof(struct ifi, list)))
#define ipi_of(l) ((struct ipi *)((char *)(l) - offsetof(struct ipi, list)))

static void init_list(struct list_head *l)
{
	l->next = l->prev = l;
}

static void list_add_tail(struct list_head *item, struct list_head *head)
{
	item->prev = head->prev;
	item->next = head;
	head->prev->next = item;
	head->prev = item;
}

static void list_del(struct list_head *item)
{
	item->prev->next = item->next;
	item->next->prev = item->prev;
	item->next = LIST_POISON1;
	item->prev = LIST_POISON2;
}

struct ifi *ifi_alloc(void)
{
	struct ifi *ifi = (struct ifi *)calloc(1, sizeof(*ifi));
	if (!ifi)
		die("out of memory, %s\n", strerror(errno));
	init_list(&ifi->list);
	init_list(&ifi->addrs);
	return ifi;
}

struct ipi *ipi_alloc(void)
{
	struct ipi *ipi = (struct ipi *)calloc(1, sizeof(*ipi));
	if (ipi)
		init_list(&ipi->list);
	return ipi;
}

void ifi_register(struct ifi *ifi)
{
	list_add_tail(&ifi->list, &interfaces);
}

void ifi_add_addr(struct ifi *ifi, struct ipi *ipi)
{
	list_add_tail(&ipi->list, &ifi->addrs);
}

void ifi_free(struct ifi *ifi)
{
	while (ifi->addrs.next != &ifi->addrs) {
		struct ipi *ipi = ipi_of(ifi->addrs.next);
		list_del(&ipi->list);
		free(ipi->addr);
		free(ipi->broadcast);
		free(ipi);
	}
	if (ifi->list.next != &ifi->list)
		list_del(&ifi->list);
	free(ifi->name);
	free(ifi->stats);
	free(ifi);
}

void ifi_free_all(void)
{
	while (interfaces.next != &interfaces)
		ifi_free(ifi_of(interfaces.next));
}

struct ifi *ifi_find_by_name(const char *name)
{
	for (struct list_head *l = interfaces.next; l != &interfaces; l = l->next)
		if (ifi_of(l)->name && !strcmp(ifi_of(l)->name, name))
			return ifi_of(l);
	return NULL;
}

struct ifi *ifi_find_by_index(int index)
{
	for (struct list_head *l = interfaces.next; l != &interfaces; l = l->next)
		if (ifi_of(l)->index == index)
			return ifi_of(l);
	return NULL;
}

/* Short (tunnel) or missing hardware addresses leave zeros behind. */
static void copy_hwaddr(uint8_t dst[6], const struct rtattr *a)
{
	int n = nla_length(a);
	memset(dst, 0, 6);
	if (n > 6)
		n = 6;
	if (n > 0)
		nla_memcpy(dst, a, n);
}

int nl_collect_interface(struct nlmsghdr *nh)
{
	struct rtattr *tb[34];
	struct ifinfomsg *ifm = (struct ifinfomsg *)NLMSG_DATA(nh);
	int len = (int)nh->nlmsg_len - (int)NLMSG_LENGTH(sizeof(*ifm));

	if (len < 0)
		return 0;
	nl_parse_rtattr(tb, 33, IFLA_RTA(ifm), len);
	struct ifi *ifi = ifi_alloc();
	ifi->index = ifm->ifi_index;
	ifi->flags = ifm->ifi_flags;
	ifi->type = ifm->ifi_type;
	if (tb[IFLA_IFNAME])
		ifi->name = nla_strdup(tb[IFLA_IFNAME]);
	if (tb[IFLA_ADDRESS])
		copy_hwaddr(ifi->hwaddr, tb[IFLA_ADDRESS]);
	if (tb[IFLA_BROADCAST])
		copy_hwaddr(ifi->broadcast, tb[IFLA_BROADCAST]);
	if (tb[IFLA_TXQLEN])
		ifi->txqlen = nla_get_u32(tb[IFLA_TXQLEN]);
	if (tb[IFLA_STATS]) {
		/* all 23 counters are read later, whatever the attribute held */
		ifi->stats = (uint32_t *)calloc(KTRV_IFI_STATS, sizeof(uint32_t));
		if (!ifi->stats)
			die("out of memory, %s\n", strerror(errno));
		int n = nla_length(tb[IFLA_STATS]);
		if (n > KTRV_IFI_STATS * 4)
			n = KTRV_IFI_STATS * 4;
		if (n > 0)
			nla_memcpy(ifi->stats, tb[IFLA_STATS], n);
	}
	if (tb[IFLA_LINK])
		ifi->link = nla_get_u32(tb[IFLA_LINK]);
	ifi_register(ifi);
	return 0;
}

/* A heap copy of an address, never shorter than an IPv6 address. */
static void *addr_dup(const struct rtattr *a)
{
	int n = nla_length(a);
	if (n <= 0)
		return NULL;
	size_t size = n < 16 ? 16 : (size_t)n;
	void *p = calloc(1, size);
	if (p)
		nla_memcpy(p, a, n);
	return p;
}

int nl_collect_address(struct nlmsghdr *nh)
{
	struct rtattr *tb[8];
	struct ifaddrmsg *ifa = (struct ifaddrmsg *)NLMSG_DATA(nh);
	int len = (int)nh->nlmsg_len - (int)NLMSG_LENGTH(sizeof(*ifa));

	if (len < 0)
		return 0;
	struct ifi *ifi = ifi_find_by_index((int)ifa->ifa_index);
	if (!ifi)
		return 0;
	nl_parse_rtattr(tb, 7, IFA_RTA(ifa), len);
	if (!tb[IFA_ADDRESS])
		tb[IFA_ADDRESS] = tb[IFA_LOCAL];
	if (!tb[IFA_LOCAL])
		tb[IFA_LOCAL] = tb[IFA_ADDRESS];
	struct ipi *ipi = ipi_alloc();
	if (!ipi)
		return 0;
	ipi->family = ifa->ifa_family;
	ipi->prefixlen = ifa->ifa_prefixlen;
	if (tb[IFA_ADDRESS])
		ipi->addr = addr_dup(tb[IFA_ADDRESS]);
	if (tb[IFA_BROADCAST])
		ipi->broadcast = addr_dup(tb[IFA_BROADCAST]);
	ifi_add_addr(ifi, ipi);
	return 0;
}

static void dump(int type, int (*handler)(struct nlmsghdr *))
{
	struct nl_handle h;
	nl_open(&h, NETLINK_ROUTE, 0);
	nl_dump(&h, type);
	nl_recv(&h, handler);
	nl_close(&h);
}

struct list_head *ifi_get_all(void)
{
	if (interfaces.next == &interfaces)
		dump(RTM_GETLINK, nl_collect_interface);
	return &interfaces;
}

struct list_head *ifi_get_all_ip(void)
{
	if (interfaces.next == &interfaces) {
		dump(RTM_GETLINK, nl_collect_interface);
		dump(RTM_GETADDR, nl_collect_address);
	}
	return &interfaces;
}

char *ifi_mac_ntop(char *buf, size_t size, const uint8_t *mac)
{
	snprintf(buf, size, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
	return buf;
}

const char *ifi_ip_ntop(char *buf, size_t size, const struct ipi *ipi)
{
	if (!ipi || !ipi->addr)
		return NULL;
	return inet_ntop(ipi->family, ipi->addr, buf, (socklen_t)size);
}

void ifi_xml_str_item(const char *name, const char *text)
{
	if (name && text)
		printf("  <%s>%s</%s>\n", name, text, name);
}

void ifi_xml_int_item(const char *name, unsigned value)
{
	printf("  <%s>%u</%s>\n", name, value, name);
}

static const char *const stat_names[KTRV_IFI_STATS] = {
	"rx_packets", "tx_packets", "rx_bytes", "tx_bytes", "rx_errors", "tx_errors", "rx_dropped",
	"tx_dropped", "multicast", "collisions", "rx_length_errors", "rx_over_errors", "rx_crc_errors",
	"rx_frame_errors", "rx_fifo_errors", "rx_missed_errors", "tx_aborted_errors",
	"tx_carrier_errors", "tx_fifo_errors", "tx_heartbeat_errors", "tx_window_errors",
	"rx_compressed", "tx_compressed",
};

void ifi_dump_detail(const struct ifi *ifi)
{
	char buf[64];

	ifi_xml_str_item("name", ifi->name);
	ifi_xml_str_item("status", (ifi->flags & 1) ? "up" : "down");
	if (ifi->link) {
		struct ifi *master = ifi_find_by_index((int)ifi->link);
		ifi_xml_str_item("master", master ? master->name : NULL);
	}
	ifi_xml_str_item("hwaddr", ifi_mac_ntop(buf, sizeof(buf), ifi->hwaddr));
	for (struct list_head *l = ifi->addrs.next; l != &ifi->addrs; l = l->next) {
		const struct ipi *ipi = ipi_of(l);
		ifi_xml_str_item(ipi->family == AF_INET6 ? "ipv6" : "ipv4", ifi_ip_ntop(buf, sizeof(buf), ipi));
	}
	if (ifi->stats)
		for (int i = 0; i < KTRV_IFI_STATS; i++)
			ifi_xml_int_item(stat_names[i], ifi->stats[i]);
}

void ifi_dump_all(const char *name)
{
	printf("<netstats>\n");
	for (struct list_head *l = interfaces.next; l != &interfaces; l = l->next) {
		const struct ifi *ifi = ifi_of(l);
		if (name && (!ifi->name || strcmp(ifi->name, name)))
			continue;
		printf(" <interface>\n");
		ifi_dump_detail(ifi);
		printf(" </interface>\n");
	}
	printf("</netstats>\n");
	fflush(stdout);
}
