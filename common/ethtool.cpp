/* Ethernet link queries. */
#include "common/ethtool.h"

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <string.h>
#include <sys/ioctl.h>

static int ethtool(int fd, const char *name, void *data)
{
	struct ifreq ifr;

	memset(&ifr, 0, sizeof(ifr));
	strncpy(ifr.ifr_name, name, sizeof(ifr.ifr_name));
	ifr.ifr_data = (char *)data;
	return ioctl(fd, SIOCETHTOOL, &ifr);
}

int ethtool_perm_addr(int fd, const char *name, uint8_t mac[6])
{
	union {
		struct ethtool_perm_addr h;
		uint8_t raw[sizeof(struct ethtool_perm_addr) + 6];
	} perm;

	memset(&perm, 0, sizeof(perm));
	perm.h.cmd = ETHTOOL_GPERMADDR;
	perm.h.size = 6;
	if (ethtool(fd, name, &perm) < 0)
		return -1;
	memcpy(mac, perm.raw + sizeof(struct ethtool_perm_addr), 6);
	return 0;
}

int ethtool_capable(int fd, const char *name)
{
	struct ethtool_cmd cmd;

	memset(&cmd, 0, sizeof(cmd));
	cmd.cmd = ETHTOOL_GSET;
	return ethtool(fd, name, &cmd) == 0;
}

int ethtool_query(int fd, const char *name, struct eth_info *info)
{
	struct ethtool_cmd cmd;
	struct ethtool_value link;

	memset(info, 0, sizeof(*info));
	memset(&cmd, 0, sizeof(cmd));
	cmd.cmd = ETHTOOL_GSET;
	if (ethtool(fd, name, &cmd) < 0)
		return -1;
	info->speed = (uint16_t)ethtool_cmd_speed(&cmd);
	info->duplex = cmd.duplex;
	info->supported = cmd.supported;
	memset(&link, 0, sizeof(link));
	link.cmd = ETHTOOL_GLINK;
	if (ethtool(fd, name, &link) < 0)
		return -1;
	info->link = (uint8_t)link.data;
	return ethtool_perm_addr(fd, name, info->perm_addr);
}

static char *copy_out(const char *text, char *buf, int len)
{
	if (!text || !buf || len <= 0)
		return NULL;
	strncpy(buf, text, (size_t)len);
	buf[len - 1] = 0;
	return buf;
}

char *eth_duplex2str(const struct eth_info *info, char *buf, int len)
{
	return copy_out(info->duplex == 0 ? "half" : info->duplex == 1 ? "full" : NULL, buf, len);
}

char *eth_link2str(const struct eth_info *info, char *buf, int len)
{
	return copy_out(info->link == 1 ? "yes" : info->link == 0 ? "no" : NULL, buf, len);
}
