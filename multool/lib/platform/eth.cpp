/* Ethernet link state. */
#include "platform/eth.h"

#include "common/ctlsock.h"
#include "platform/switch.h"

#include <net/if.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

static int query(struct eth_state *st, const char *ifname)
{
	int fd = ctl_socket(SOCK_STREAM);
	struct ifreq ifr;

	if (fd < 0 || ethtool_query(fd, ifname, &st->eth) < 0)
		return -1;
	memset(&ifr, 0, sizeof(ifr));
	strncpy(ifr.ifr_name, ifname, sizeof(ifr.ifr_name));
	if (ioctl(fd, SIOCGIFFLAGS, &ifr) < 0)
		return -1;
	st->down = !(ifr.ifr_flags & IFF_UP);
	return 0;
}

int eth_info(struct eth_state *st, const char *ifname)
{
	memset(st, 0, sizeof(*st));
	if (sw_is_present()) {
		const struct sw_port *p = sw_find_port_by_name(ifname);
		if (p)
			return sw_port_info(st, p) == 0 ? 0 : -1;
	}
	int rc = query(st, ifname);
	ctl_socket_close();
	return rc;
}
