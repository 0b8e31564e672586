/* Ethernet link queries. */
#include <net/if.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <string.h>
#include <sys/ioctl.h>

#include "ktrv.h"

static int ethtool(const char *name, void *data)
{
	struct ifreq ifr;
	memset(&ifr, 0, sizeof(ifr));
	strncpy(ifr.ifr_name, name, sizeof(ifr.ifr_name));
	ifr.ifr_data = (char *)data;
	return ioctl(ioctl_socket(), SIOCETHTOOL, &ifr);
}

static int perm_addr(uint8_t *mac, const char *name)
{
	union {
		struct ethtool_perm_addr h;
		uint8_t raw[sizeof(struct ethtool_perm_addr) + 6];
	} perm;
	memset(&perm, 0, sizeof(perm));
	perm.h.cmd = ETHTOOL_GPERMADDR;
	perm.h.size = 6;
	if (ethtool(name, &perm) < 0)
		return -1;
	memcpy(mac, perm.raw + sizeof(struct ethtool_perm_addr), 6);
	return 0;
}

int eth_capable(const char *name)
{
	struct ethtool_cmd cmd;
	memset(&cmd, 0, sizeof(cmd));
	cmd.cmd = ETHTOOL_GSET;
	return ethtool(name, &cmd) == 0;
}

int eth_info(struct eth_info *info, const char *name)
{
	struct ethtool_cmd cmd;
	struct ethtool_value link;
	int rc = -1;

	memset(info, 0, sizeof(*info));
	memset(&cmd, 0, sizeof(cmd));
	cmd.cmd = ETHTOOL_GSET;
	if (ethtool(name, &cmd) < 0)
		goto out;
	info->speed = (uint16_t)ethtool_cmd_speed(&cmd);
	info->duplex = cmd.duplex;
	info->supported = cmd.supported;
	memset(&link, 0, sizeof(link));
	link.cmd = ETHTOOL_GLINK;
	if (ethtool(name, &link) < 0)
		goto out;
	info->link = (uint8_t)link.data;
	if (perm_addr(info->perm_addr, name) < 0)
		goto out;
	rc = 0;
out:
	ioctl_close();
	return rc;
}

int eth_perm_addr(uint8_t *mac, const char *name)
{
	int rc = perm_addr(mac, name);
	ioctl_close();
	return rc;
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
