/* anti_theft_hash: a hash that identifies this board, for reporting a stolen device.
 *
 * SHA-256 over a fixed text built from the factory identity, which no configuration change,
 * firmware update or reset touches:
 *
 *   "anti_theft_hash 1\n"
 *   "pcb_serial=<board store type 20 in upper-case hex>\n"
 *   "chip_serial=<board store type 35 in upper-case hex>\n"
 *   "radio_mac=<board store type 30, upper case>\n"
 *   "eth0=<MAC>\n" "eth1=<MAC>\n" "wifi0=<MAC>\n"      factory MACs of the art partition, XX:XX:...
 *
 * A value the board does not have is empty.  Printed as 64 lower-case hex digits; exit status 1 when
 * the board has no identity at all (no store and no factory MAC). */
#include "board/calibration.h"
#include "board/eeprom.h"
#include "common/fileio.h"
#include "common/text.h"
#include "platform/mtd.h"
#include "spine/applet.h"
#include "spine/logging.h"

#include <openssl/evp.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

static void hex_upper(std::string &out, const uint8_t *p, unsigned n)
{
	static const char digits[] = "0123456789ABCDEF";
	for (unsigned i = 0; i < n; i++) {
		out += digits[p[i] >> 4];
		out += digits[p[i] & 15];
	}
}

/* The store's value of a type as the message writes it; false when the board has none. */
static bool store_value(std::string &out, unsigned type, bool text)
{
	const uint8_t *p;
	unsigned n;

	if (!eeprom_get(type, &p, &n))
		return false;
	if (!text) {
		hex_upper(out, p, n);
		return true;
	}
	for (unsigned i = 0; i < n && p[i]; i++)
		out += (char)(p[i] >= 'a' && p[i] <= 'z' ? p[i] - 32 : p[i]);
	return true;
}

/* The factory MACs; a blank (all 0xFF) or unreadable one is empty.  The count of MACs found. */
static int factory_macs(std::string &msg)
{
	static const struct {
		const char *name;
		off_t off;
	} macs[] = { { "eth0", ART_ETH0_MAC }, { "eth1", ART_ETH1_MAC }, { "wifi0", ART_WIFI0_MAC } };
	static const uint8_t blank[6] = { 0xff, 0xff, 0xff, 0xff, 0xff, 0xff };
	int fd = mtd_block_find(ART_PARTITION);
	int found = 0;

	for (const auto &m : macs) {
		uint8_t mac[6];
		char text[MAC_TEXT_SIZE];
		msg += m.name;
		msg += '=';
		if (fd >= 0 && pread_full(fd, mac, 6, m.off) == 6 && memcmp(mac, blank, 6) != 0) {
			msg += mac_text(text, mac);
			found++;
		}
		msg += '\n';
	}
	if (fd >= 0)
		close(fd);
	return found;
}

static int anti_theft_hash_main(int argc, char **argv)
{
	bool verbose = argc > 1 && strcmp(argv[1], "-v") == 0;
	std::string msg = "anti_theft_hash 1\n";
	int found = 0;

	if (argc > 2 || (argc == 2 && !verbose)) {
		fprintf(stderr, "Usage: %s [-v]\n"
				"Prints the SHA-256 of the board's factory identity (serial numbers and MAC\n"
				"addresses); -v also shows the identity text on standard error.\n", argv[0]);
		return 1;
	}
	eeprom_init();
	static const struct {
		const char *key;
		unsigned type;
		bool text;
	} fields[] = { { "pcb_serial", KBEE_PCB_SERIAL, false }, { "chip_serial", KBEE_ATSHA204_SERIAL, false },
		       { "radio_mac", KBEE_PCIE_RADIO_MAC, true } };
	for (const auto &f : fields) {
		msg += f.key;
		msg += '=';
		found += store_value(msg, f.type, f.text);
		msg += '\n';
	}
	eeprom_free();
	found += factory_macs(msg);
	if (!found) {
		fprintf(stderr, "%s: no board identity (no board store and no factory MAC address)\n", argv[0]);
		return 1;
	}
	if (verbose)
		fputs(msg.c_str(), stderr);
	unsigned char md[EVP_MAX_MD_SIZE];
	unsigned int mdlen = 0;
	if (!EVP_Digest(msg.data(), msg.size(), md, &mdlen, EVP_sha256(), NULL)) {
		fprintf(stderr, "%s: SHA-256 failed\n", argv[0]);
		return 1;
	}
	for (unsigned i = 0; i < mdlen; i++)
		printf("%02x", md[i]);
	printf("\n");
	return 0;
}

APPLET("anti_theft_hash", anti_theft_hash_main);
