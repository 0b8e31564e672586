/* eeprom: prints the board identity records, or exports them as JSON, then the calibration dumps. */
#include "board/eeprom.h"

#include "board/calibration.h"
#include "common/bytes.h"
#include "spine/applet.h"
#include "spine/logging.h"

#include <stdio.h>
#include <time.h>
#include <unistd.h>

LOG4C_CATEGORY(log4c_cat_eeprom, "eeprom");

enum print_kind { P_HEX, P_NONE, P_STATUS, P_TEXT, P_TIME, P_LEDS, P_SHIFT, P_GPIOS, P_FLAG, P_SERIAL,
		  P_ENABLED, P_TRUEFALSE, P_MODE };

struct print_rule {
	uint16_t type;
	uint8_t kind;
	const char *label; /* format for P_TEXT/P_TIME/P_SERIAL/P_FLAG; prefix for lists */
};

/* Types without a rule are hex-dumped. */
static const struct print_rule rules[] = {
	{ 1, P_STATUS, "    status: %s\n" },
	{ 2, P_TEXT, "    firmware id: %s\n" },
	{ 3, P_TEXT, "    chipset: %s\n" },
	{ 4, P_TEXT, "    PCB revision: %s\n" },
	{ 5, P_TIME, "    PCB date: %s" },
	{ 6, P_TEXT, "    PCB name: %s\n" },
	{ 7, P_LEDS, "led" },
	{ 8, P_SHIFT, NULL },
	{ 9, P_GPIOS, "btn" },
	{ 10, P_GPIOS, "poe" },
	{ 11, P_FLAG, "    ATAS: %s(%d)\n" },
	{ 12, P_TEXT, "    ATAS IPv4 address: %s\n" },
	{ 13, P_TEXT, "    ATAS IPv4 gateway: %s\n" },
	{ 14, P_TEXT, "    ATAS port: %s\n" },
	{ 15, P_TEXT, "    ATAS IPv6 address: %s\n" },
	{ 16, P_TEXT, "    ATAS IPv6 gateway: %s\n" },
	{ 19, P_TEXT, "    PCB location: %s\n" },
	{ 20, P_SERIAL, "    PCB serial number: " },
	{ 21, P_ENABLED, "CALIBRATION: %s(%d)\n" },
	{ 22, P_TRUEFALSE, "PCBA CALIBRATED: %s(%d)\n" },
	{ 23, P_ENABLED, "POST-PRODUCTION: %s(%d)\n" },
	{ 24, P_MODE, "FACTORY-MODE: %d\n" },
	{ 25, P_TEXT, "    PCBA sn: %s\n" },
	{ 26, P_TIME, "    PCBA calibration date: %s" },
	{ 27, P_TEXT, "    PCBA calibration firmware: %s\n" },
	{ 28, P_TEXT, "    Nart version: %s\n" },
	{ 29, P_NONE, NULL },
	{ 30, P_TEXT, "    PCIe radio MAC: %s\n" },
	{ 31, P_TEXT, "    Cart binary version (ART2): %s\n" },
	{ 32, P_TEXT, "    Litepoint waveforms collection version: %s\n" },
	{ 33, P_TEXT, "    Calibration GUI version: %s\n" },
	{ 34, P_TEXT, "    Calibration scripts version: %s\n" },
	{ 35, P_SERIAL, "    ATSHA204 serial number: " },
	{ 36, P_FLAG, "    HWTEST: %s(%d)\n" },
	{ 37, P_TEXT, "    HWTEST script: %s\n" },
	{ 52, P_TRUEFALSE, "PCBA CALIBRATED (2nd): %s(%d)\n" },
	{ 53, P_TIME, "    PCBA calibration date (2nd): %s" },
	{ 54, P_TEXT, "    PCBA calibration firmware (2nd): %s\n" },
	{ 55, P_TEXT, "    Nart version (2nd): %s\n" },
	{ 56, P_TEXT, "    Cart binary version (ART2) (2nd): %s\n" },
	{ 57, P_TEXT, "    Litepoint waveforms collection version (2nd): %s\n" },
	{ 58, P_TEXT, "    Calibration GUI version (2nd): %s\n" },
	{ 59, P_TEXT, "    Calibration scripts version (2nd): %s\n" },
	{ 60, P_TEXT, "    PCB manufacturer: %s\n" },
	{ 61, P_TEXT, "    PCB date of manufacture: %s\n" },
};

static void print_hex(const uint8_t *rec, unsigned len)
{
	printf("    ");
	for (unsigned i = 0; i < len; i++) {
		if (i && i % 16 == 0)
			printf("\n    ");
		printf("%02X ", rec[i]);
	}
	printf("\n");
}

static void print_gpios(const char *name, const uint8_t *p, unsigned n, int first, const char *sep)
{
	for (unsigned i = 0; i < n; i++)
		printf("    %s%d: gpio: %d, state:%s%s\n", name, (int)i + first, get_be16(p + 4 * i), sep,
		       get_be16(p + 4 * i + 2) ? "high" : "low");
}

static void print_record(const uint8_t *rec, void *ctx)
{
	(void)ctx;
	if (!rec) {
		fprintf(stderr, "Internal error: parameters of callback cannot be NULL\n");
		return;
	}
	unsigned len = get_be16(rec), type = get_be16(rec + 2), plen = len - 4;
	const uint8_t *p = rec + 4;
	struct print_rule r = { (uint16_t)type, P_HEX, NULL };
	char when[64];

	for (size_t i = 0; i < sizeof(rules) / sizeof(rules[0]); i++)
		if (rules[i].type == type)
			r = rules[i];
	/* A payload too short for its type is shown raw rather than read past. */
	if ((r.kind == P_TIME || r.kind == P_SHIFT) && plen < 4)
		r.kind = P_HEX;
	printf("Type %i, length %i bytes\n", (int)type, (int)len);
	switch (r.kind) {
	case P_HEX:
		print_hex(rec, len);
		break;
	case P_NONE:
		break;
	case P_STATUS:
		printf(r.label, p[0] ? "enabled" : "disabled");
		break;
	case P_TEXT:
		printf(r.label, (const char *)p);
		break;
	case P_TIME: {
		time_t t = (time_t)get_be32(p);
		printf(r.label, ctime_r(&t, when) ? when : "\n");
		break;
	}
	case P_LEDS:
		print_gpios(r.label, p, plen / 4, 1, "");
		break;
	case P_GPIOS:
		print_gpios(r.label, p, plen / 4, 0, " ");
		break;
	case P_SHIFT:
		printf("    shift: data: %d, clock: %d\n", get_be16(p + 2), get_be16(p));
		break;
	case P_FLAG:
	case P_ENABLED:
		printf(r.label, p[0] ? "enabled" : "disabled", p[0]);
		break;
	case P_TRUEFALSE:
		printf(r.label, p[0] ? "true" : "false", p[0]);
		break;
	case P_MODE:
		printf(r.label, p[0]);
		break;
	case P_SERIAL:
		printf("%s", r.label);
		for (unsigned i = 0; i < plen; i++)
			printf("%02hhX", p[i]);
		printf("\n");
		break;
	}
	printf("\n");
}

static int eeprom_main(int argc, char **argv)
{
	int c, json = 0;

	if (eeprom_init()) {
		fprintf(stderr, "KBEE not found.\n");
	} else {
		while ((c = getopt(argc, argv, "j")) != -1)
			if (c == 'j')
				json = 1;
		if (json) {
			if (eeprom_export_json(KBEE_JSON))
				LOG_E(log4c_cat_eeprom, "cannot write %s\n", KBEE_JSON);
			eeprom_free();
			return 0;
		}
		eeprom_for_each(print_record, NULL);
	}
	eeprom_free();
	fflush(stdout);
	ar9300_eeprom_dump();
	qc98xx_eeprom_dump();
	return 0;
}

APPLET("eeprom", eeprom_main);
