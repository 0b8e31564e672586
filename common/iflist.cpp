/* Interface inventory records and their rtnetlink collectors. */
#include "common/iflist.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

struct ifi *ifl_new(void)
{
	struct ifi *ifi = (struct ifi *)calloc(1, sizeof(*ifi));
	if (ifi) {
		list_init(&ifi->list);
		list_init(&ifi->addrs);
	}
	return ifi;
}

struct ipi *ifl_new_addr(void)
{
	struct ipi *ipi = (struct ipi *)calloc(1, sizeof(*ipi));
	if (ipi)
		list_init(&ipi->list);
	return ipi;
}

static void free_addr(struct ipi *ipi)
{
	free(ipi->addr);
	free(ipi->broadcast);
	free(ipi);
}

void ifl_free(struct ifi *ifi)
{
	while (!list_empty(&ifi->addrs)) {
		struct ipi *ipi = ipi_entry(ifi->addrs.next);
		list_del(&ipi->list);
		free_addr(ipi);
	}
	if (ifi->list.next != &ifi->list)
		list_del(&ifi->list);
	free(ifi->name);
	free(ifi->stats);
	free(ifi);
}

void ifl_free_all(struct list_head *list)
{
	while (!list_empty(list))
		ifl_free(ifi_entry(list->next));
}

struct ifi *ifl_find_name(const struct list_head *list, const char *name)
{
	list_for_each(l, list) {
		struct ifi *ifi = ifi_entry(l);
		if (ifi->name && !strcmp(ifi->name, name))
			return ifi;
	}
	return NULL;
}

struct ifi *ifl_find_index(const struct list_head *list, int index)
{
	list_for_each(l, list) {
		struct ifi *ifi = ifi_entry(l);
		if (ifi->index == index)
			return ifi;
	}
	return NULL;
}

/* Hardware addresses shorter than 6 bytes (tunnels) or absent leave zeros. */
static void copy_hwaddr(uint8_t dst[6], const struct rtattr *a)
{
	int n = nla_length(a);
	memset(dst, 0, 6);
	if (n > 6)
		n = 6;
	if (n > 0)
		nla_memcpy(dst, a, n);
}

/* Always the full counter set, whatever the kernel sent. */
static uint32_t *copy_stats(const struct rtattr *a)
{
	uint32_t *stats = (uint32_t *)calloc(IFI_STATS_COUNT, sizeof(uint32_t));
	int n = nla_length(a);

	if (!stats)
		return NULL;
	if (n > IFI_STATS_COUNT * 4)
		n = IFI_STATS_COUNT * 4;
	if (n > 0)
		nla_memcpy(stats, a, n);
	return stats;
}

int ifl_add_link(struct list_head *list, struct nlmsghdr *nh, unsigned flags)
{
	struct rtattr *tb[IFLA_MAX > 33 ? IFLA_MAX + 1 : 34];
	struct ifinfomsg *ifm = (struct ifinfomsg *)NLMSG_DATA(nh);
	int len = (int)nh->nlmsg_len - (int)NLMSG_LENGTH(sizeof(*ifm));

	if (((flags & IFL_CHECK_TYPE) && nh->nlmsg_type != RTM_NEWLINK) || len < 0)
		return 0;
	nl_parse_rtattr(tb, 33, IFLA_RTA(ifm), len);

	struct ifi *ifi = ifl_new();
	if (!ifi)
		return -1;
	ifi->index = ifm->ifi_index;
	ifi->flags = ifm->ifi_flags;
	ifi->type = ifm->ifi_type;
	if (tb[IFLA_IFNAME])
		ifi->name = nla_strdup(tb[IFLA_IFNAME]);
	else if (flags & IFL_EMPTY_NAME)
		ifi->name = strdup("");
	if ((tb[IFLA_IFNAME] || (flags & IFL_EMPTY_NAME)) && !ifi->name)
		goto nomem;
	if (tb[IFLA_ADDRESS])
		copy_hwaddr(ifi->hwaddr, tb[IFLA_ADDRESS]);
	if (tb[IFLA_BROADCAST])
		copy_hwaddr(ifi->broadcast, tb[IFLA_BROADCAST]);
	if (tb[IFLA_TXQLEN])
		ifi->txqlen = nla_get_u32(tb[IFLA_TXQLEN]);
	if (tb[IFLA_STATS] && !(ifi->stats = copy_stats(tb[IFLA_STATS])))
		goto nomem;
	if (tb[IFLA_LINK])
		ifi->link = nla_get_u32(tb[IFLA_LINK]);
	list_add_tail(&ifi->list, list);
	return 0;
nomem:
	ifl_free(ifi);
	errno = ENOMEM;
	return -1;
}

/* A heap copy of an address attribute: exact (at most 16 bytes) or padded to at least 16. */
static void *copy_addr(const struct rtattr *a, bool exact, uint8_t *len)
{
	int n = nla_length(a);
	void *p;

	if (n <= 0 || (exact && n > 16))
		return NULL;
	p = calloc(1, exact || n >= 16 ? (size_t)n : 16);
	if (p) {
		nla_memcpy(p, a, n);
		*len = (uint8_t)(n > 255 ? 255 : n);
	}
	return p;
}

int ifl_add_addr(struct list_head *list, struct nlmsghdr *nh, unsigned flags)
{
	struct rtattr *tb[8];
	struct ifaddrmsg *ifa = (struct ifaddrmsg *)NLMSG_DATA(nh);
	int len = (int)nh->nlmsg_len - (int)NLMSG_LENGTH(sizeof(*ifa));
	bool local = flags & IFL_LOCAL_ADDRESS;
	uint8_t blen;

	if (((flags & IFL_CHECK_TYPE) && nh->nlmsg_type != RTM_NEWADDR) || len < 0)
		return 0;
	struct ifi *ifi = ifl_find_index(list, (int)ifa->ifa_index);
	if (!ifi)
		return 0;
	nl_parse_rtattr(tb, 7, IFA_RTA(ifa), len);

	/* On point-to-point links IFA_ADDRESS is the peer and IFA_LOCAL the interface's own. */
	struct rtattr *a = local ? (tb[IFA_LOCAL] ? tb[IFA_LOCAL] : tb[IFA_ADDRESS])
				 : (tb[IFA_ADDRESS] ? tb[IFA_ADDRESS] : tb[IFA_LOCAL]);
	if (local && !a)
		return 0;
	struct ipi *ipi = ifl_new_addr();
	if (!ipi)
		return -1;
	ipi->family = ifa->ifa_family;
	ipi->prefixlen = ifa->ifa_prefixlen;
	if (a)
		ipi->addr = copy_addr(a, local, &ipi->addr_len);
	if (tb[IFA_BROADCAST])
		ipi->broadcast = copy_addr(tb[IFA_BROADCAST], local, &blen);
	if (local && !ipi->addr) {
		free_addr(ipi);
		return 0;
	}
	list_add_tail(&ipi->list, &ifi->addrs);
	return 0;
}

struct dump_ctx {
	struct list_head *list;
	unsigned flags;
	int type;
};

static int dump_one(struct nlmsghdr *msg, void *arg)
{
	struct dump_ctx *c = (struct dump_ctx *)arg;
	return c->type == RTM_GETLINK ? ifl_add_link(c->list, msg, c->flags) : ifl_add_addr(c->list, msg, c->flags);
}

int ifl_dump(struct nl_handle *h, struct list_head *list, int type, unsigned flags, struct nl_status *st)
{
	struct dump_ctx c = { list, flags, type };

	if (nl_request_dump(h, type, st) < 0)
		return -1;
	return nl_receive(h, dump_one, &c, st) < 0 ? -1 : 0;
}
