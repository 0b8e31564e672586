/* Interface inventory of multool, on the shared collectors (common/iflist.h). */
#include "platform/ifi.h"

#include "common/fileio.h"
#include "common/text.h"
#include "platform/procfs.h"
#include "platform/switch.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The query library's reading of messages: typed, named, the interface's own address. */
#define IFI_RULES (IFL_CHECK_TYPE | IFL_EMPTY_NAME | IFL_LOCAL_ADDRESS)

static struct list_head interfaces = { &interfaces, &interfaces };
static char failure[256];

/* Interface names of /proc/net/dev, read once per collection. */
static struct ifi_name_table procnetdev;

static void read_procnetdev(void)
{
	char path[256];
	char *text = read_file(proc_path("net/dev", path, sizeof(path)), NULL);

	procnetdev.names = NULL;
	procnetdev.count = 0;
	if (text) {
		ifi_parse_procnetdev(&procnetdev, text);
		free(text);
	}
}

static int set_failure_nomem(void)
{
	snprintf(failure, sizeof(failure), "out of memory, %s\n", strerror(ENOMEM));
	return -1;
}

static void set_failure(const struct nl_status *st)
{
	/* multool reports a failed receive with the error, as die_errno writes it */
	if (st->fail == NL_FAIL_RECV)
		snprintf(failure, sizeof(failure), "recvmsg() failed: %s (%d)\n", strerror(st->err), st->err);
	else
		nl_strerror(st, failure, sizeof(failure));
}

const char *ifi_strerror(void)
{
	return failure;
}

int ifi_collect_link(struct nlmsghdr *nh)
{
	struct list_head *last = interfaces.prev;

	if (ifl_add_link(&interfaces, nh, IFI_RULES) < 0)
		return -1;
	if (interfaces.prev != last) {
		struct ifi *ifi = ifi_entry(interfaces.prev);
		ifi->ordinal = ifi_lookup_ordinal(&procnetdev, ifi->name);
	}
	return 0;
}

int ifi_collect_addr(struct nlmsghdr *nh)
{
	return ifl_add_addr(&interfaces, nh, IFI_RULES);
}

static int collect_one(struct nlmsghdr *msg, void *ctx)
{
	return *(int *)ctx == RTM_GETLINK ? ifi_collect_link(msg) : ifi_collect_addr(msg);
}

static int dump(struct nl_handle *h, int type)
{
	struct nl_status st;

	if (nl_request_dump(h, type, &st) < 0 || nl_receive(h, collect_one, &type, &st) < 0) {
		set_failure(&st);
		return -1;
	}
	return 0;
}

/* The switch port's own device address, when the kernel knows one. */
static void port_hwaddr(uint8_t hwaddr[6], const char *device)
{
	char path[256], text[64];
	ssize_t n;

	snprintf(path, sizeof(path), "/sys/class/net/%s/address", device);
	n = read_prefix(path, text, sizeof(text) - 1);
	if (n <= 0)
		return;
	text[n] = '\0';
	uint8_t mac[6];
	if (parse_mac(trim(text), mac, MAC_LAX) == 0)
		memcpy(hwaddr, mac, 6);
}

static int merge_switch_port(const struct sw_port *p)
{
	struct ifi *ifi = ifi_find_by_name(p->name);

	if (!ifi) {
		ifi = ifl_new();
		if (!ifi || !(ifi->name = strdup(p->name))) {
			if (ifi)
				ifl_free(ifi);
			return set_failure_nomem();
		}
		ifi->ordinal = ifi_lookup_ordinal(&procnetdev, p->name);
		list_add_tail(&ifi->list, &interfaces);
	}
	if (!ifi->stats && !(ifi->stats = (uint32_t *)calloc(IFI_STATS_COUNT, sizeof(uint32_t))))
		return set_failure_nomem();
	struct sw_port_stats st;
	if (sw_port_stats(&st, p) == 0) {
		memset(ifi->stats, 0, IFI_STATS_COUNT * sizeof(uint32_t));
		ifi->stats[IFI_RX_BYTES] = st.rx_bytes;
		ifi->stats[IFI_RX_PACKETS] = st.rx_packets;
		ifi->stats[IFI_TX_BYTES] = st.tx_bytes;
		ifi->stats[IFI_TX_PACKETS] = st.tx_packets;
	}
	static const uint8_t zero[4] = { 0 };
	if (!memcmp(ifi->hwaddr, zero, 4) && p->device)
		port_hwaddr(ifi->hwaddr, p->device);
	return 0;
}

int ifi_collect(void)
{
	struct nl_handle h;
	struct nl_status st;
	int rc = -1;

	read_procnetdev();
	if (nl_connect(&h, NETLINK_ROUTE, 0, &st) < 0) {
		set_failure(&st);
		goto out;
	}
	if (dump(&h, RTM_GETLINK) == 0 && dump(&h, RTM_GETADDR) == 0)
		rc = 0;
	nl_close(&h);
	if (rc == 0 && sw_is_present()) {
		for (const struct sw_port *p = sw_ports(); p && p->name && rc == 0; p++)
			rc = merge_switch_port(p);
	}
out:
	free(procnetdev.names);
	procnetdev.names = NULL;
	procnetdev.count = 0;
	return rc;
}

struct list_head *ifi_get_all(void)
{
	if (list_empty(&interfaces) && ifi_collect() < 0)
		return NULL;
	return &interfaces;
}

void ifi_for_each(void (*fn)(struct ifi *ifi, void *arg), void *arg)
{
	struct list_head *head = ifi_get_all();

	if (!head)
		return;
	list_for_each_safe(l, n, head)
		fn(ifi_entry(l), arg);
}

struct ifi *ifi_find_by_name(const char *name)
{
	return ifl_find_name(&interfaces, name);
}

struct ifi *ifi_find_by_index(int index)
{
	return ifl_find_index(&interfaces, index);
}

const char *ifi_parent_name(const struct ifi *ifi)
{
	if (!ifi->link || (int32_t)ifi->link == ifi->index)
		return NULL;
	struct ifi *parent = ifi_find_by_index((int)ifi->link);
	return parent ? parent->name : NULL;
}

void ifi_free_all(void)
{
	ifl_free_all(&interfaces);
}

char *ifi_mac_ntop(char *buf, size_t size, const uint8_t *mac)
{
	if (size < MAC_TEXT_SIZE)
		return NULL;
	return (char *)mac_text(buf, mac);
}

const char *ifi_ip_ntop(char *buf, size_t size, const struct ipi *ipi)
{
	if (!ipi || !ipi->addr)
		return NULL;
	if ((ipi->family == AF_INET && ipi->addr_len < 4) || (ipi->family == AF_INET6 && ipi->addr_len < 16))
		return NULL;
	return inet_ntop(ipi->family, ipi->addr, buf, (socklen_t)size);
}
