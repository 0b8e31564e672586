/* Interface inventory of multool. */
#include "platform/ifi.h"
#include "common/text.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <net/if.h>
#include <errno.h>
#include <netinet/ether.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/netlink.h"
#include "platform/procfs.h"
#include "platform/switch.h"
#include "spine/utils.h"

static struct mt_list interfaces = { &interfaces, &interfaces };

static void list_add_tail(struct mt_list *item, struct mt_list *head)
{
	item->prev = head->prev;
	item->next = head;
	head->prev->next = item;
	head->prev = item;
}

static void list_del(struct mt_list *item)
{
	item->prev->next = item->next;
	item->next->prev = item->prev;
	item->next = MT_LIST_POISON1;
	item->prev = MT_LIST_POISON2;
}

static struct ifi *ifi_alloc(void)
{
	struct ifi *ifi = (struct ifi *)calloc(1, sizeof(*ifi));
	if (!ifi)
		die("out of memory, %s\n", strerror(errno));
	ifi->list.next = ifi->list.prev = &ifi->list;
	ifi->addrs.next = ifi->addrs.prev = &ifi->addrs;
	return ifi;
}

/* Interface names of /proc/net/dev, read once per collection. */
static struct ifi_name_table procnetdev;

static void read_procnetdev(void)
{
	char path[256];
	FILE *f = fopen(proc_path("net/dev", path, sizeof(path)), "re");
	procnetdev.names = NULL;
	procnetdev.count = 0;
	if (!f)
		return;
	size_t size = 0, cap = 4096;
	char *buf = (char *)malloc(cap);
	while (buf) {
		size_t n = fread(buf + size, 1, cap - size - 1, f);
		size += n;
		if (n == 0)
			break;
		if (cap - size - 1 == 0) {
			char *nb = (char *)realloc(buf, cap * 2);
			if (!nb) {
				free(buf);
				buf = NULL;
				break;
			}
			buf = nb;
			cap *= 2;
		}
	}
	fclose(f);
	if (buf) {
		buf[size] = 0;
		ifi_parse_procnetdev(&procnetdev, buf);
		free(buf);
	}
}

static uint32_t ordinal_of(const char *name)
{
	return ifi_lookup_ordinal(&procnetdev, name);
}

/* Hardware addresses shorter than 6 bytes (tunnels) or absent leave zeros. */
static void copy_hwaddr(uint8_t dst[6], const struct rtattr *a)
{
	int n = nla_length(a);
	memset(dst, 0, 6);
	if (n > 6)
		n = 6;
	if (n > 0)
		memcpy(dst, nla_data(a), (size_t)n);
}

int ifi_collect_link(struct nlmsghdr *nh)
{
	struct rtattr *tb[IFLA_MAX > 33 ? IFLA_MAX + 1 : 34];
	struct ifinfomsg *ifm = (struct ifinfomsg *)NLMSG_DATA(nh);
	int len = (int)nh->nlmsg_len - (int)NLMSG_LENGTH(sizeof(*ifm));

	if (nh->nlmsg_type != RTM_NEWLINK || len < 0)
		return 0;
	nl_parse_rtattr(tb, 33, IFLA_RTA(ifm), len);

	struct ifi *ifi = ifi_alloc();
	ifi->index = ifm->ifi_index;
	ifi->flags = ifm->ifi_flags;
	ifi->type = ifm->ifi_type;
	if (tb[IFLA_IFNAME])
		ifi->name = nla_strdup(tb[IFLA_IFNAME]);
	else
		ifi->name = strdup("");
	if (!ifi->name)
		die("out of memory, %s\n", strerror(errno));
	ifi->ordinal = ordinal_of(ifi->name);
	if (tb[IFLA_ADDRESS])
		copy_hwaddr(ifi->hwaddr, tb[IFLA_ADDRESS]);
	if (tb[IFLA_BROADCAST])
		copy_hwaddr(ifi->broadcast, tb[IFLA_BROADCAST]);
	if (tb[IFLA_TXQLEN])
		ifi->txqlen = nla_get_u32(tb[IFLA_TXQLEN]);
	if (tb[IFLA_STATS]) {
		/* Always the full counter set, whatever the kernel sent. */
		ifi->stats = (uint32_t *)calloc(IFI_STATS_COUNT, sizeof(uint32_t));
		if (!ifi->stats)
			die("out of memory, %s\n", strerror(errno));
		size_t n = (size_t)nla_length(tb[IFLA_STATS]);
		if (n > IFI_STATS_COUNT * sizeof(uint32_t))
			n = IFI_STATS_COUNT * sizeof(uint32_t);
		nla_memcpy(ifi->stats, tb[IFLA_STATS], n);
	}
	if (tb[IFLA_LINK])
		ifi->link = nla_get_u32(tb[IFLA_LINK]);
	list_add_tail(&ifi->list, &interfaces);
	return 0;
}

static void *dup_addr(const struct rtattr *a, uint8_t *len)
{
	int n = nla_length(a);
	if (n <= 0 || n > 16)
		return NULL;
	void *p = malloc((size_t)n);
	if (p) {
		memcpy(p, nla_data(a), (size_t)n);
		*len = (uint8_t)n;
	}
	return p;
}

int ifi_collect_addr(struct nlmsghdr *nh)
{
	struct rtattr *tb[8];
	struct ifaddrmsg *ifa = (struct ifaddrmsg *)NLMSG_DATA(nh);
	int len = (int)nh->nlmsg_len - (int)NLMSG_LENGTH(sizeof(*ifa));

	if (nh->nlmsg_type != RTM_NEWADDR || len < 0)
		return 0;
	struct ifi *ifi = ifi_find_by_index((int)ifa->ifa_index);
	if (!ifi)
		return 0;
	nl_parse_rtattr(tb, 7, IFA_RTA(ifa), len);

	/* The local address is the interface's own; IFA_ADDRESS is the peer on point-to-point links. */
	struct rtattr *local = tb[IFA_LOCAL] ? tb[IFA_LOCAL] : tb[IFA_ADDRESS];
	if (!local)
		return 0;
	struct ipi *ipi = (struct ipi *)calloc(1, sizeof(*ipi));
	if (!ipi)
		return 0;
	ipi->family = ifa->ifa_family;
	ipi->prefixlen = ifa->ifa_prefixlen;
	ipi->addr = dup_addr(local, &ipi->addr_len);
	if (tb[IFA_BROADCAST]) {
		uint8_t blen;
		ipi->broadcast = dup_addr(tb[IFA_BROADCAST], &blen);
	}
	if (!ipi->addr) {
		free(ipi->broadcast);
		free(ipi);
		return 0;
	}
	list_add_tail(&ipi->list, &ifi->addrs);
	return 0;
}

static void merge_switch_ports(void)
{
	for (const struct sw_port *p = sw_ports(); p && p->name; p++) {
		struct ifi *ifi = ifi_find_by_name(p->name);
		if (!ifi) {
			ifi = ifi_alloc();
			ifi->name = strdup(p->name);
			if (!ifi->name)
				die("out of memory, %s\n", strerror(errno));
			ifi->ordinal = ordinal_of(p->name);
			list_add_tail(&ifi->list, &interfaces);
		}
		if (!ifi->stats) {
			ifi->stats = (uint32_t *)calloc(IFI_STATS_COUNT, sizeof(uint32_t));
			if (!ifi->stats)
				die("out of memory, %s\n", strerror(errno));
		}
		struct sw_port_stats st;
		if (sw_port_stats(&st, p) == 0) {
			memset(ifi->stats, 0, IFI_STATS_COUNT * sizeof(uint32_t));
			ifi->stats[IFI_RX_BYTES] = st.rx_bytes;
			ifi->stats[IFI_RX_PACKETS] = st.rx_packets;
			ifi->stats[IFI_TX_BYTES] = st.tx_bytes;
			ifi->stats[IFI_TX_PACKETS] = st.tx_packets;
		}
		static const uint8_t zero[4] = { 0 };
		if (!memcmp(ifi->hwaddr, zero, 4) && p->device) {
			char path[256], text[64];
			snprintf(path, sizeof(path), "/sys/class/net/%s/address", p->device);
			FILE *f = fopen(path, "re");
			if (f) {
				if (fgets(text, sizeof(text), f)) {
					struct ether_addr *ea = ether_aton(trim(text));
					if (ea)
						memcpy(ifi->hwaddr, ea, 6);
				}
				fclose(f);
			}
		}
	}
}

void ifi_collect(void)
{
	struct nl_handle h;

	read_procnetdev();
	nl_open(&h, NETLINK_ROUTE, 0);
	nl_dump(&h, RTM_GETLINK);
	nl_recv(&h, ifi_collect_link);
	nl_dump(&h, RTM_GETADDR);
	nl_recv(&h, ifi_collect_addr);
	nl_close(&h);
	if (sw_is_present())
		merge_switch_ports();
	free(procnetdev.names);
	procnetdev.names = NULL;
	procnetdev.count = 0;
}

struct mt_list *ifi_get_all(void)
{
	if (interfaces.next == &interfaces)
		ifi_collect();
	return &interfaces;
}

void ifi_for_each(void (*fn)(struct ifi *ifi, void *arg), void *arg)
{
	struct mt_list *head = ifi_get_all();
	for (struct mt_list *l = head->next, *n = l->next; l != head; l = n, n = l->next)
		fn(ifi_entry(l), arg);
}

struct ifi *ifi_find_by_name(const char *name)
{
	ifi_list_for_each(l, &interfaces) {
		struct ifi *ifi = ifi_entry(l);
		if (ifi->name && !strcmp(ifi->name, name))
			return ifi;
	}
	return NULL;
}

struct ifi *ifi_find_by_index(int index)
{
	ifi_list_for_each(l, &interfaces) {
		struct ifi *ifi = ifi_entry(l);
		if (ifi->index == index)
			return ifi;
	}
	return NULL;
}

const char *ifi_parent_name(const struct ifi *ifi)
{
	if (!ifi->link || (int32_t)ifi->link == ifi->index)
		return NULL;
	struct ifi *parent = ifi_find_by_index((int)ifi->link);
	return parent ? parent->name : NULL;
}

static void ifi_free(struct ifi *ifi)
{
	while (ifi->addrs.next != &ifi->addrs) {
		struct ipi *ipi = ipi_entry(ifi->addrs.next);
		list_del(&ipi->list);
		free(ipi->addr);
		free(ipi->broadcast);
		free(ipi);
	}
	list_del(&ifi->list);
	free(ifi->name);
	free(ifi->stats);
	free(ifi);
}

void ifi_free_all(void)
{
	while (interfaces.next != &interfaces)
		ifi_free(ifi_entry(interfaces.next));
}

char *ifi_mac_ntop(char *buf, size_t size, const uint8_t *mac)
{
	if (size < 18)
		return NULL;
	snprintf(buf, size, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
	return buf;
}

const char *ifi_ip_ntop(char *buf, size_t size, const struct ipi *ipi)
{
	if (!ipi || !ipi->addr)
		return NULL;
	if ((ipi->family == AF_INET && ipi->addr_len < 4) || (ipi->family == AF_INET6 && ipi->addr_len < 16))
		return NULL;
	return inet_ntop(ipi->family, ipi->addr, buf, (socklen_t)size);
}
