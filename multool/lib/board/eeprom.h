/* The board EEPROM store of the process: found on flash ("art", else the fallback file), kept in
 * memory, written back whole.  eeprom_init() (or eeprom_reload()), then eeprom_get / eeprom_update /
 * eeprom_delete, eeprom_write() when something changed, eeprom_free().  Record format: board/kbee.h. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "board/kbee.h"

#define KBEE_FIRST_OFFSET 0x8000
#define KBEE_NEW_OFFSET 0xA000
#define KBEE_OFFSET_STEP 0x1000
#define KBEE_FALLBACK_DIR "/var/cfg"
#define KBEE_FALLBACK "/var/cfg/.eeprom"
#define KBEE_FALLBACK_SIZE 65536
#define KBEE_JSON "/etc/kbee.json"

/* Resets the table and loads the store: "art" first, then the fallback file.  0 when a store was
 * loaded; -1 when none was found (the table is then empty and the offset 0xA000). */
int eeprom_init(void);
int eeprom_reload(void);
void eeprom_free(void);

/* Payload and element count of a type 0..62.  True when there is a payload with at least one
 * element.  payload/count may be NULL. */
bool eeprom_get(unsigned type, const uint8_t **payload, unsigned *count);
/* Whole record (u16 length, u16 type, payload) of a type 0..62, or NULL. */
const uint8_t *eeprom_attr(unsigned type);
/* Replaces the record of a type with a copy of the payload.  len 0 changes nothing.  -1 for a type
 * above 65535, a payload over 65531 bytes, or no memory. */
int eeprom_update(unsigned type, const void *payload, size_t len);
void eeprom_delete(unsigned type);
/* Calls fn with every record in ascending type order (types above 62 included). */
void eeprom_for_each(void (*fn)(const uint8_t *record, void *ctx), void *ctx);
/* Writes the store at its offset.  1 without touching flash when there is no record; -1 when the
 * device cannot be opened or the store would not fit (or not load again); 0 when written. */
int eeprom_write(void);
/* Offset of the store in its device (where it was found, or where a new one goes). */
uint32_t eeprom_offset(void);

/* Writes every record that has a JSON key as one object to the path (2-space indent, escaped
 * slashes).  0 or -1. */
int eeprom_export_json(const char *path);
