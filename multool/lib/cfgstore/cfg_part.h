/* Configuration flash container: named, zlib-compressed, CRC-32-checked blocks kept twice in the
 * storage file, once in each 64 KiB part.
 *
 * Part k starts at k * 65536.  It holds a 96-byte top header (magic 0x1111EEEE, generation number),
 * then each block as a 96-byte header (magic 0xABCD1234, name, stored length, CRC-32 of the stored
 * bytes) directly followed by its stored bytes, then an end header (magic 0x12ABCD34, name "end").
 * Header words are big-endian:
 *
 *   0 magic  4 sequence  8 reserved[64]  72 name[16] (NUL-terminated)  88 length  92 crc
 *
 * The part with the higher sequence is active (a tie goes to part 1); the other is the backup.  A
 * write goes into the older part and, for the active and default states, takes a sequence above
 * both, so it becomes the active set only once complete and the previous set stays as the backup. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#define CFG_SIZE 65536u
#define CFG_ERASESIZE 65536u
#define CFG_MIN_FILE ((CFG_ERASESIZE + CFG_SIZE) * 2)
#define CFG_SLOTS 16
#define CFG_HEADER_SIZE 96
#define CFG_NAME_SIZE 16
#define CFG_MAGIC_TOP 0x1111EEEEu
#define CFG_MAGIC_BLOCK 0xABCD1234u
#define CFG_MAGIC_END 0x12ABCD34u

enum cfg_state { CFG_ACTIVE = 1, CFG_BACKUP = 2, CFG_DEFAULT = 3 };

struct cfg_header {
	uint32_t magic;
	uint32_t seq;
	uint8_t reserved[64];
	char name[CFG_NAME_SIZE];
	uint32_t length;
	uint32_t crc;
};

/* ---- codec (no I/O, no zlib) ---- */

void cfg_header_decode(const uint8_t *in, struct cfg_header *h);
void cfg_header_encode(const struct cfg_header *h, uint8_t *out);
/* A known magic, a NUL-terminated non-empty name and a length within a part. */
bool cfg_header_sane(const struct cfg_header *h);
/* 1 to 15 characters and not "end". */
bool cfg_name_ok(const char *name);
void cfg_top_reset(struct cfg_header *h, uint32_t seq);

enum cfg_op { CFG_OP_READ, CFG_OP_WRITE };
/* Part index for an operation on a state given both sequences; -1 for an unknown state. */
int cfg_select_part(enum cfg_op op, int state, uint32_t s0, uint32_t s1);

enum cfg_walk_err {
	CFG_WALK_OK = 0,
	CFG_WALK_TOP_SHORT,
	CFG_WALK_TOP_INSANE,
	CFG_WALK_HEADER_SHORT,
	CFG_WALK_HEADER_INSANE,
	CFG_WALK_DATA_SHORT,
};
/* Walks a part image of len bytes: decodes the top header into *top, then calls fn for each block
 * header with its stored bytes, until the end header.  *failed_at gets the header that failed (for
 * CFG_WALK_DATA_SHORT).  Returns CFG_WALK_OK or the first failure. */
enum cfg_walk_err cfg_part_walk(const uint8_t *buf, size_t len, struct cfg_header *top,
				void (*fn)(void *ctx, const struct cfg_header *h, const uint8_t *data),
				void *ctx, struct cfg_header *failed_at);

struct cfg_stored {
	const char *name;
	const uint8_t *data;
	uint32_t len;
	uint32_t crc;
};
/* Lays out a part: top header, blocks, end header into out (CFG_SIZE bytes).  Total bytes, or -1
 * when it does not fit or a name cannot be stored. */
long cfg_part_build(const struct cfg_header *top, const struct cfg_stored *blocks, int n, uint8_t *out);
