/* Configuration blocks in memory: a named, owned byte buffer, and the 16 slots of one part. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "cfgstore/cfg_part.h"

struct data_block {
	char *name;
	uint8_t *data; /* content, followed by one zero byte */
	uint32_t len;  /* content bytes */
};

struct cfg_part {
	struct cfg_header top;
	struct data_block *slot[CFG_SLOTS];
	int count;
};

struct data_block *data_block_create(const char *name, uint32_t size);
void data_block_destroy(struct data_block *b);
/* A copy of the block under another name (content and length kept), or NULL. */
struct data_block *data_block_copy(const struct data_block *b, const char *name);
void data_blocks_destroy(struct cfg_part *part);
struct data_block *data_block_find(const struct cfg_part *part, const char *name);
/* Stores a copy, in the slot of a same-named block or the first free one.  NULL for a name that
 * cannot be stored (empty, over 15 characters, or "end") or when all slots are taken. */
struct data_block *data_block_replace(struct cfg_part *part, const struct data_block *b);
/* Destroys the first sane block of that name; 0 when there was one. */
int data_block_remove(struct cfg_part *part, const char *name);
bool data_block_sane(const struct data_block *b);
int data_block_cmp(const struct data_block *a, const struct data_block *b);
struct data_block *data_block_uncompress(const struct data_block *b);
