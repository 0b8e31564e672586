/* Board EEPROM record store.
 *
 * On flash (all fields big-endian), at a 4 KiB multiple at or above 0x8000 of the "art" partition, or
 * of /var/cfg/.eeprom on boards without one:
 *
 *   0  "KBEE"    4  u32 total size (header included)   8  u16 version 1   10  u16 0   12  u32 0
 *   16 records:  u16 length (4 + payload), u16 type, payload, zero padding to a multiple of 4
 *
 * This header is the format and its codec (no I/O, no globals); the process-wide store that finds
 * it on flash is board/eeprom.h.
 *
 * Payloads stay in the flash byte order: read multi-byte fields with get_be16/get_be32 (bytes.h).
 * In memory every record is followed by zero bytes, so a text payload is always NUL-terminated. */
#pragma once

#include <stddef.h>
#include <stdint.h>

enum kbee_type {
	KBEE_STATUS = 1,
	KBEE_FIRMWARE_ID = 2,
	KBEE_CHIPSET = 3,
	KBEE_PCB_REVISION = 4,
	KBEE_PCB_DATE = 5,
	KBEE_PCB_NAME = 6,
	KBEE_LED = 7,
	KBEE_SHIFT = 8,
	KBEE_BUTTON = 9,
	KBEE_POE = 10,
	KBEE_ATAS = 11,
	KBEE_ATAS_IPV4_ADDR = 12,
	KBEE_ATAS_IPV4_GW = 13,
	KBEE_ATAS_PORT = 14,
	KBEE_ATAS_IPV6_ADDR = 15,
	KBEE_ATAS_IPV6_GW = 16,
	KBEE_PCB_LOCATION = 19,
	KBEE_PCB_SERIAL = 20,
	KBEE_CALIBRATION = 21,
	KBEE_PCBA_CALIBRATED = 22,
	KBEE_POST_PRODUCTION = 23,
	KBEE_FACTORY_MODE = 24,
	KBEE_PCBA_SN = 25,
	KBEE_PCBA_CAL_DATE = 26,
	KBEE_PCBA_CAL_FW = 27,
	KBEE_NART_VERSION = 28,
	KBEE_PCIE_RADIO_MAC = 30,
	KBEE_CART_VERSION = 31,
	KBEE_LITEPOINT = 32,
	KBEE_CAL_GUI = 33,
	KBEE_CAL_SCRIPTS = 34,
	KBEE_ATSHA204_SERIAL = 35,
	KBEE_HWTEST = 36,
	KBEE_HWTEST_SCRIPT = 37,
	KBEE_PCBA_CALIBRATED2 = 52,
	KBEE_PCBA_CAL_DATE2 = 53,
	KBEE_PCB_MANUFACTURER = 60,
	KBEE_PCB_MANUFACTURE_DATE = 61,
	KBEE_LAST_KNOWN = 62, /* eeprom_get/eeprom_attr see types 0..62 only */
};

#define KBEE_HEADER_SIZE 16
#define KBEE_MAX_STORE 65536     /* a store's total size is below this */
#define KBEE_MAX_TYPE 65535

struct kbee_table {
	uint8_t **slot; /* per type: record as on flash, zero padding to 4 and one more zero byte */
	uint32_t nslots;
};

int kbee_table_init(struct kbee_table *t, uint32_t nslots);
void kbee_table_free(struct kbee_table *t);
int kbee_table_set(struct kbee_table *t, uint32_t type, const void *payload, size_t len);
const uint8_t *kbee_table_record(const struct kbee_table *t, uint32_t type);
void kbee_table_delete(struct kbee_table *t, uint32_t type);

/* Element size of types 0..62 (0: not readable through eeprom_get). */
unsigned kbee_elem_size(unsigned type);
/* Bytes a record occupies on flash: its length rounded up to 4. */
static inline uint32_t kbee_padded(uint32_t len) { return (len + 3u) & ~3u; }

/* A 16-byte header that may start a store: magic and 16 <= total < 65536 (a header alone is a valid,
 * empty store).  Sets *total. */
int kbee_header_ok(const uint8_t *hdr, uint32_t *total);
/* Parses a whole store (header included, len = total size) into a fresh table; *out is replaced
 * only on success.  -1 for a non-zero reserved word, a bad record length, trailing bytes or no
 * memory. */
int kbee_parse(const uint8_t *store, size_t len, struct kbee_table *out);
/* Total size of the store the table serialises to (16 when it has no record). */
uint32_t kbee_store_size(const struct kbee_table *t);
/* Serialises header and records into out (kbee_store_size bytes). */
void kbee_serialise(const struct kbee_table *t, uint8_t *out);
