/* Configuration blocks in memory. */
#include "cfgstore/data_block.h"

#include "spine/zutil.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

struct data_block *data_block_create(const char *name, uint32_t size)
{
	struct data_block *b = (struct data_block *)calloc(1, sizeof(*b));

	if (!b)
		return NULL;
	b->name = strdup(name ? name : "");
	if (!b->name)
		goto fail;
	if (size) {
		/* One more zero byte: text content can be used as a C string. */
		b->data = (uint8_t *)calloc(1, (size_t)size + 1);
		if (!b->data)
			goto fail;
		b->len = size;
	}
	return b;
fail:
	data_block_destroy(b);
	return NULL;
}

void data_block_destroy(struct data_block *b)
{
	if (!b)
		return;
	free(b->name);
	free(b->data);
	free(b);
}

void data_blocks_destroy(struct cfg_part *part)
{
	for (int i = 0; i < CFG_SLOTS; i++) {
		data_block_destroy(part->slot[i]);
		part->slot[i] = NULL;
	}
	part->count = 0;
}

bool data_block_sane(const struct data_block *b)
{
	return b && b->data && b->len != 0;
}

int data_block_cmp(const struct data_block *a, const struct data_block *b)
{
	if (!data_block_sane(a) || !data_block_sane(b) || a->len != b->len)
		return 1;
	return memcmp(a->data, b->data, a->len) != 0;
}

struct data_block *data_block_find(const struct cfg_part *part, const char *name)
{
	for (int i = 0; i < CFG_SLOTS; i++) {
		struct data_block *b = part->slot[i];
		if (data_block_sane(b) && strcmp(b->name, name) == 0)
			return b;
	}
	return NULL;
}

struct data_block *data_block_copy(const struct data_block *b, const char *name)
{
	struct data_block *c = data_block_create(name, b->data ? b->len : 0);

	if (c && c->data)
		memcpy(c->data, b->data, b->len);
	return c;
}

struct data_block *data_block_replace(struct cfg_part *part, const struct data_block *b)
{
	int i, slot = -1;

	if (!b || !cfg_name_ok(b->name))
		return NULL;
	for (i = 0; i < CFG_SLOTS; i++) {
		if (part->slot[i] && part->slot[i]->name && strcmp(part->slot[i]->name, b->name) == 0) {
			slot = i;
			break;
		}
	}
	if (slot < 0) {
		for (i = 0; i < CFG_SLOTS && part->slot[i]; i++)
			;
		if (i == CFG_SLOTS)
			return NULL;
	}
	struct data_block *c = data_block_copy(b, b->name);
	if (!c)
		return NULL;
	if (slot >= 0) {
		data_block_destroy(part->slot[slot]);
		part->slot[slot] = c;
	} else {
		part->slot[i] = c;
		part->count++;
	}
	return c;
}

int data_block_remove(struct cfg_part *part, const char *name)
{
	for (int i = 0; i < CFG_SLOTS; i++) {
		struct data_block *b = part->slot[i];
		if (data_block_sane(b) && strcmp(b->name, name) == 0) {
			data_block_destroy(b);
			part->slot[i] = NULL;
			return 0;
		}
	}
	return -1;
}

struct data_block *data_block_uncompress(const struct data_block *b)
{
	struct data_block *out;
	uint8_t *data;
	size_t len;

	if (!data_block_sane(b) || z_uncompress(b->data, b->len, &data, &len, 0))
		return NULL;
	if (len == 0 || len > UINT32_MAX || !(out = data_block_create(b->name, 0))) {
		free(data);
		return NULL;
	}
	out->data = data;
	out->len = (uint32_t)len;
	return out;
}

