/* Ethernet link state. */
#include "platform/eth.h"

#include <errno.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <string.h>
#include <sys/ioctl.h>

#include "platform/switch.h"
#include "spine/utils.h"

static int ethtool(const char *ifname, void *data)
{
	struct ifreq ifr;
	memset(&ifr, 0, sizeof(ifr));
	strncpy(ifr.ifr_name, ifname, sizeof(ifr.ifr_name));
	ifr.ifr_data = (char *)data;
	return ioctl(ioctl_socket(), SIOCETHTOOL, &ifr);
}

static int query(struct eth_info *info, const char *ifname)
{
	struct ethtool_cmd cmd;
	struct ethtool_value link;
	/* ethtool_perm_addr with room for 6 bytes */
	union {
		struct ethtool_perm_addr h;
		uint8_t raw[sizeof(struct ethtool_perm_addr) + 6];
	} perm;
	struct ifreq ifr;

	memset(&cmd, 0, sizeof(cmd));
	cmd.cmd = ETHTOOL_GSET;
	if (ethtool(ifname, &cmd) < 0)
		return -1;
	info->speed = (uint16_t)ethtool_cmd_speed(&cmd);
	info->duplex = cmd.duplex;
	info->supported = cmd.supported;

	memset(&link, 0, sizeof(link));
	link.cmd = ETHTOOL_GLINK;
	if (ethtool(ifname, &link) < 0)
		return -1;
	info->link = (uint8_t)link.data;

	memset(&perm, 0, sizeof(perm));
	perm.h.cmd = ETHTOOL_GPERMADDR;
	perm.h.size = 6;
	if (ethtool(ifname, &perm) < 0)
		return -1;
	memcpy(info->perm_addr, perm.raw + sizeof(struct ethtool_perm_addr), 6);

	memset(&ifr, 0, sizeof(ifr));
	strncpy(ifr.ifr_name, ifname, sizeof(ifr.ifr_name));
	if (ioctl(ioctl_socket(), SIOCGIFFLAGS, &ifr) < 0)
		return -1;
	info->down = !(ifr.ifr_flags & IFF_UP);
	return 0;
}

int eth_info(struct eth_info *info, const char *ifname)
{
	memset(info, 0, sizeof(*info));
	if (sw_is_present()) {
		const struct sw_port *p = sw_find_port_by_name(ifname);
		if (p)
			return sw_port_info(info, p) == 0 ? 0 : -1;
	}
	int rc = query(info, ifname);
	ioctl_close();
	return rc;
}

static const char *copy_out(const char *text, char *buf, size_t len)
{
	if (!text || !buf || !len)
		return NULL;
	strncpy(buf, text, len);
	buf[len - 1] = 0;
	return buf;
}

const char *eth_duplex2str(const struct eth_info *info, char *buf, size_t len)
{
	return copy_out(info->duplex == 0 ? "half" : info->duplex == 1 ? "full" : NULL, buf, len);
}

const char *eth_link2str(const struct eth_info *info, char *buf, size_t len)
{
	return copy_out(info->link == 1 ? "yes" : info->link == 0 ? "no" : NULL, buf, len);
}
