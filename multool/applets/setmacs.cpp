/* setmacs: gives the second radio the MAC address recorded in the board store. */
#include "board/eeprom.h"
#include "common/text.h"
#include "spine/applet.h"
#include "spine/logging.h"

#include <errno.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

LOG4C_CATEGORY(log4c_cat_setmacs, "setmacs");

#define SETMACS_IFNAME "wifi1"

/* Sets the hardware address (family 801) of an interface, taking it down and up again when it was
 * up and restoring its flags.  0; -1 flags not readable or not cleared; -2 address refused; -3 not
 * brought up again. */
static int set_mac_address(const char *ifname, const uint8_t mac[6])
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

static int setmacs_main(int argc, char **argv)
{
	const uint8_t *text;
	uint8_t mac[6];

	(void)argc;
	(void)argv;
	if (eeprom_init()) {
		LOG_E(log4c_cat_setmacs, "KBEE not found.\n");
		eeprom_free();
		return -1;
	}
	if (!eeprom_get(KBEE_PCIE_RADIO_MAC, &text, NULL)) {
		LOG_E(log4c_cat_setmacs, "PCIe radio mac not found.\n");
		eeprom_free();
		return -1;
	}
	LOG_I(log4c_cat_setmacs, "PCIe mac address: %s\n", (const char *)text);
	/* The same rule as the factory daemon's command line and the sealed-file check read this record
	 * with, so all three agree on what it holds. */
	if (parse_mac((const char *)text, mac, MAC_FIELDS)) {
		LOG_E(log4c_cat_setmacs, "PCIe radio mac '%s' is malformed.\n", (const char *)text);
		eeprom_free();
		return -1;
	}
	/* A refused address is logged by the setter; the applet's status is 0 all the same, as the boot
	 * scripts expect. */
	set_mac_address(SETMACS_IFNAME, mac);
	eeprom_free();
	return 0;
}

APPLET("setmacs", setmacs_main);
