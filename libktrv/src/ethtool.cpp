/* Ethernet link queries on the library's request socket. */
#include "ktrv.h"

int eth_capable(const char *name)
{
	return ethtool_capable(ioctl_socket(), name);
}

int eth_info(struct eth_info *info, const char *name)
{
	int rc = ethtool_query(ioctl_socket(), name, info);
	ioctl_close();
	return rc;
}

int eth_perm_addr(uint8_t *mac, const char *name)
{
	int rc = ethtool_perm_addr(ioctl_socket(), name, mac);
	ioctl_close();
	return rc;
}
