/* setmacs: gives the second radio the MAC address recorded in the board store. */
#include "spine/applet.h"
#include "board/kbee.h"
#include "common/text.h"
#include "spine/logging.h"

LOG4C_CATEGORY(log4c_cat_setmacs, "setmacs");

#define SETMACS_IFNAME "wifi1"

static int setmacs_main(int argc, char **argv)
{
	const uint8_t *text;
	uint8_t mac[6];
	int rc;

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
	if (parse_mac((const char *)text, mac, MAC_STRICT)) {
		LOG_E(log4c_cat_setmacs, "PCIe radio mac '%s' is malformed.\n", (const char *)text);
		eeprom_free();
		return -1;
	}
	rc = set_mac_address(SETMACS_IFNAME, mac);
	eeprom_free();
	return rc;
}

APPLET("setmacs", setmacs_main);
