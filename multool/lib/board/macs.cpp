/* Factory MAC addresses: the raw copies in the art partition and the radio's hardware address. */
#include "board/kbee.h"
#include "common/text.h"
#include "spine/logging.h"
#include "platform/mtd.h"
#include "common/fileio.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

int set_mac_address(const char *ifname, const uint8_t mac[6])
{
	struct ifreq ifr;
	short flags;
	int fd, rc = 0;

	fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	memset(&ifr, 0, sizeof(ifr));
	snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", ifname);
	if (fd < 0 || ioctl(fd, SIOCGIFFLAGS, &ifr) < 0) {
		LOG_E(log4c_cat_setmacs, "%s %d get interface info failed\n", "set_mac_address", 41);
		rc = -1;
		goto out;
	}
	flags = ifr.ifr_flags;
	if (flags & IFF_UP) {
		ifr.ifr_flags = 0;
		if (ioctl(fd, SIOCSIFFLAGS, &ifr) < 0) {
			LOG_E(log4c_cat_setmacs, "%s %d bringing interface down failed\n", "set_mac_address", 51);
			rc = -1;
			goto out;
		}
	}
	ifr.ifr_hwaddr.sa_family = ARPHRD_IEEE80211;
	memcpy(ifr.ifr_hwaddr.sa_data, mac, 6);
	if (ioctl(fd, SIOCSIFHWADDR, &ifr) < 0) {
		LOG_E(log4c_cat_setmacs, "%s %d setting mac failed %d\n", "set_mac_address", 61, errno);
		rc = -2;
	}
	if (flags & IFF_UP) {
		/* Bring it back with every flag it had (promiscuous, no-ARP...), not just "up". */
		memset(&ifr.ifr_ifru, 0, sizeof(ifr.ifr_ifru));
		ifr.ifr_flags = flags;
		if (ioctl(fd, SIOCSIFFLAGS, &ifr) < 0) {
			LOG_E(log4c_cat_setmacs, "%s %d bringing interface up failed\n", "set_mac_address", 70);
			if (!rc)
				rc = -3;
		}
	}
out:
	if (fd >= 0)
		close(fd);
	return rc;
}

int getmacs(void)
{
	uint8_t m[3][6];
	int fd = mtd_block_find(ART_PARTITION);

	if (fd < 0) {
		printf("ERROR: art partition not found\n");
		return -1;
	}
	if (pread_full(fd, m[0], 6, ART_ETH0_MAC) != 6 || pread_full(fd, m[1], 6, ART_ETH1_MAC) != 6 ||
	    pread_full(fd, m[2], 6, ART_WIFI0_MAC) != 6)
		memset(m, 0xff, sizeof(m));
	close(fd);
	char t[MAC_TEXT_SIZE];
	printf("eth0: %s\n", mac_text(t, m[0]));
	printf("eth1: %s\n", mac_text(t, m[1]));
	printf("wifi0: %s \n", mac_text(t, m[2])); /* the trailing blank is part of the output */
	return 0;
}

static int write_mac(int fd, const uint8_t mac[6], off_t off)
{
	if (pwrite(fd, mac, 6, off) != 6) {
		printf("Failed to write mac: %s\n", strerror(errno));
		return -1;
	}
	return 0;
}

int setmacs(int argc, char **argv)
{
	uint8_t wifi0[6], eth0[6], eth1[6];
	int fd, rc = 0;

	if (argc != 4 && argc != 5) {
		printf("Usage: wifi0mac eth0mac [eth1mac]\n");
		return -1;
	}
	if (parse_mac(argv[2], wifi0, MAC_STRICT)) {
		printf("Bad mac of wifi0\n");
		return -1;
	}
	if (parse_mac(argv[3], eth0, MAC_STRICT)) {
		printf("Bad mac of eth0\n");
		return -1;
	}
	if (argc == 5 && parse_mac(argv[4], eth1, MAC_STRICT))
		return -1;
	fd = mtd_block_find(ART_PARTITION);
	if (fd < 0) {
		printf("ERROR: art partition not found\n");
		return -1;
	}
	if (write_mac(fd, eth0, ART_ETH0_MAC) || write_mac(fd, wifi0, ART_WIFI0_MAC) ||
	    (argc == 5 && write_mac(fd, eth1, ART_ETH1_MAC)))
		rc = -1;
	if (fdatasync(fd) < 0) {
		printf("Failed fdatasyc()\n");
		rc = -1;
	}
	close(fd);
	return rc;
}
