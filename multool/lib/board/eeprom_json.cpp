/* JSON export of the board EEPROM store. */
#include "board/eeprom.h"
#include "common/bytes.h"
#include "spine/jsonutil.h"
#include "spine/logging.h"

#include <jansson.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum json_kind { J_BOOL, J_TEXT, J_TIME, J_GPIOS, J_SHIFT, J_HEX, J_INT };

struct json_field {
	uint16_t type;
	uint8_t kind;
	const char *key;
};

static const struct json_field fields[] = {
	{ 1, J_BOOL, "KBEE enabled" },
	{ 2, J_TEXT, "firmware id" },
	{ 3, J_TEXT, "chipset" },
	{ 4, J_TEXT, "PCB revision" },
	{ 5, J_TIME, "PCB date" },
	{ 6, J_TEXT, "PCB name" },
	{ 7, J_GPIOS, "led" },
	{ 8, J_SHIFT, "shift" },
	{ 9, J_GPIOS, "btn" },
	{ 10, J_GPIOS, "poe" },
	{ 11, J_BOOL, "ATAS" },
	{ 12, J_TEXT, "ATAS IPv4 address" },
	{ 13, J_TEXT, "ATAS IPv4 gateway" },
	{ 14, J_TEXT, "ATAS IPv4 port" },
	{ 15, J_TEXT, "ATAS IPv6 address" },
	{ 16, J_TEXT, "ATAS IPv6 gateway" },
	{ 19, J_TEXT, "PCB location" },
	{ 20, J_HEX, "PCB serial number" },
	{ 21, J_BOOL, "CALIBRATION" },
	{ 22, J_BOOL, "PCBA CALIBRATED" },
	{ 23, J_BOOL, "POST-PRODUCTION" },
	{ 24, J_INT, "FACTORY-MODE" },
	{ 25, J_TEXT, "PCBA sn" },
	{ 26, J_TIME, "PCBA calibration date" },
	{ 27, J_TEXT, "PCBA calibration firmware" },
	{ 28, J_TEXT, "Nart version" },
	{ 30, J_TEXT, "PCIe radio MAC" },
	{ 31, J_TEXT, "Cart version" },
	{ 32, J_TEXT, "Litepoint waveforms" },
	{ 33, J_TEXT, "Calibration GUI" },
	{ 34, J_TEXT, "Calibration scripts" },
	{ 35, J_HEX, "ATSHA204 serial number" },
	{ 52, J_BOOL, "PCBA CALIBRATED (2nd)" },
	{ 53, J_TIME, "PCBA calibration date (2nd)" },
	{ 54, J_TEXT, "PCBA calibration firmware (2nd)" },
	{ 55, J_TEXT, "Nart version (2nd)" },
	{ 56, J_TEXT, "Cart version (2nd)" },
	{ 57, J_TEXT, "Litepoint waveforms (2nd)" },
	{ 58, J_TEXT, "Calibration GUI (2nd)" },
	{ 59, J_TEXT, "Calibration scripts (2nd)" },
	{ 60, J_TEXT, "PCB manufacturer" },
	{ 61, J_TEXT, "PCB date of manufacture" },
};

static json_t *gpio_array(const uint8_t *p, unsigned n)
{
	json_t *arr = json_array();

	for (unsigned i = 0; i < n; i++) {
		json_t *e = json_object();
		json_object_set_new(e, "gpio", json_integer(get_be16(p + 4 * i)));
		json_object_set_new(e, "state", json_integer(get_be16(p + 4 * i + 2)));
		json_array_append_new(arr, e);
	}
	return arr;
}

static json_t *field_value(const struct json_field *f, const uint8_t *p, unsigned len)
{
	switch (f->kind) {
	case J_BOOL:
		return json_boolean(p[0] != 0);
	case J_INT:
		return json_integer(p[0]);
	case J_TEXT:
		/* A text that is not UTF-8 cannot go into a JSON string; it is reported, not mangled. */
		return json_stringn((const char *)p, strnlen((const char *)p, len));
	case J_TIME: {
		if (len < 4)
			return NULL;
		time_t t = (time_t)get_be32(p);
		char buf[64];
		return ctime_r(&t, buf) ? json_string(buf) : NULL;
	}
	case J_GPIOS:
		return gpio_array(p, len / 4);
	case J_SHIFT: {
		if (len < 4)
			return NULL;
		json_t *o = json_object();
		json_object_set_new(o, "data", json_integer(get_be16(p + 2)));
		json_object_set_new(o, "clock", json_integer(get_be16(p)));
		return o;
	}
	case J_HEX: {
		char *text = (char *)malloc(2 * (size_t)len + 1);
		if (!text)
			return NULL;
		for (unsigned i = 0; i < len; i++)
			snprintf(text + 2 * i, 3, "%02hhX", p[i]);
		text[2 * len] = '\0';
		json_t *v = json_string(text);
		free(text);
		return v;
	}
	}
	return NULL;
}

int eeprom_export_json(const char *path)
{
	json_t *root = json_object();
	int rc;

	if (!root)
		return -1;
	for (size_t i = 0; i < sizeof(fields) / sizeof(fields[0]); i++) {
		const uint8_t *rec = eeprom_attr(fields[i].type);
		if (!rec)
			continue;
		unsigned len = get_be16(rec) - 4u;
		json_t *v = field_value(&fields[i], rec + 4, len);
		if (!v) {
			LOG_W(log4c_cat_lib_eeprom, "record %u cannot be exported as '%s'\n", fields[i].type, fields[i].key);
			continue;
		}
		json_object_set_new(root, fields[i].key, v);
	}
	rc = json_write_doc(root, path, ".tmp", JSON_DOC_FLAGS);
	json_decref(root);
	return rc;
}
