/* Interface inventory over rtnetlink, with an XML dump. */
#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ktrv.h"

#include "common/text.h"

struct list_head interfaces = { &interfaces, &interfaces };

/* The agent library's reading of messages: IFA_ADDRESS first, every message taken. */
#define KTRV_RULES 0

static void *must(void *p)
{
	if (!p)
		die("out of memory, %s\n", strerror(errno));
	return p;
}

struct ifi *ifi_alloc(void)
{
	return (struct ifi *)must(ifl_new());
}

struct ipi *ipi_alloc(void)
{
	return ifl_new_addr();
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
	ifl_free(ifi);
}

void ifi_free_all(void)
{
	ifl_free_all(&interfaces);
}

struct ifi *ifi_find_by_name(const char *name)
{
	return ifl_find_name(&interfaces, name);
}

struct ifi *ifi_find_by_index(int index)
{
	return ifl_find_index(&interfaces, index);
}

int nl_collect_interface(struct nlmsghdr *nh)
{
	if (ifl_add_link(&interfaces, nh, KTRV_RULES) < 0)
		must(NULL);
	return 0;
}

int nl_collect_address(struct nlmsghdr *nh)
{
	if (ifl_add_addr(&interfaces, nh, KTRV_RULES) < 0)
		must(NULL);
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
	if (list_empty(&interfaces))
		dump(RTM_GETLINK, nl_collect_interface);
	return &interfaces;
}

struct list_head *ifi_get_all_ip(void)
{
	if (list_empty(&interfaces)) {
		dump(RTM_GETLINK, nl_collect_interface);
		dump(RTM_GETADDR, nl_collect_address);
	}
	return &interfaces;
}

char *ifi_mac_ntop(char *buf, size_t size, const uint8_t *mac)
{
	char t[MAC_TEXT_SIZE];
	snprintf(buf, size, "%s", mac_text(t, mac));
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
	if (!name || !text)
		return;
	/* interface names may hold any byte but '/' and blanks: markup characters are escaped */
	char *esc = escape_xml(text, NULL);
	if (esc)
		printf("  <%s>%s</%s>\n", name, esc, name);
	free(esc);
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
		const struct ipi *ipi = ipi_entry(l);
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
		const struct ifi *ifi = ifi_entry(l);
		if (name && (!ifi->name || strcmp(ifi->name, name)))
			continue;
		printf(" <interface>\n");
		ifi_dump_detail(ifi);
		printf(" </interface>\n");
	}
	printf("</netstats>\n");
	fflush(stdout);
}
