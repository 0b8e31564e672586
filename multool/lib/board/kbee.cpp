/* Board EEPROM store: record table, parser and serialiser.  No I/O and no globals, so the same
 * code is tested on the big-endian target. */
#include "board/kbee.h"

#include "common/bytes.h"

#include <stdlib.h>
#include <string.h>

static const uint8_t elem_size[KBEE_LAST_KNOWN + 1] = {
	0, 1, 1, 1, 1, 4, 1, 4, 4, 4, 4,       /* 0-10 */
	1, 1, 1, 1, 1, 1, 0, 0, 1, 1,          /* 11-20 */
	1, 1, 1, 1, 1, 4, 1, 1, 1, 1,          /* 21-30 */
	1, 1, 1, 1, 1, 1, 1, 0, 0, 0,          /* 31-40 */
	0, 0, 0, 0, 0, 0, 0, 0, 0, 0,          /* 41-50 */
	0, 1, 4, 1, 1, 1, 1, 1, 1, 1,          /* 51-60 */
	1, 0,                                  /* 61-62 */
};

unsigned kbee_elem_size(unsigned type)
{
	return type <= KBEE_LAST_KNOWN ? elem_size[type] : 0;
}

int kbee_table_init(struct kbee_table *t, uint32_t nslots)
{
	t->nslots = 0;
	t->slot = (uint8_t **)calloc(nslots ? nslots : 1, sizeof(*t->slot));
	if (!t->slot)
		return -1;
	t->nslots = nslots;
	return 0;
}

void kbee_table_free(struct kbee_table *t)
{
	for (uint32_t i = 0; i < t->nslots; i++)
		free(t->slot[i]);
	free(t->slot);
	t->slot = NULL;
	t->nslots = 0;
}

/* Room for a type: twice the type, at least one past it, never more than the type space. */
static int table_grow(struct kbee_table *t, uint32_t type)
{
	uint32_t want = type * 2 > type + 1 ? type * 2 : type + 1;
	if (want > KBEE_MAX_TYPE + 1)
		want = KBEE_MAX_TYPE + 1;
	uint8_t **slot = (uint8_t **)realloc(t->slot, want * sizeof(*slot));
	if (!slot)
		return -1;
	memset(slot + t->nslots, 0, (want - t->nslots) * sizeof(*slot));
	t->slot = slot;
	t->nslots = want;
	return 0;
}

int kbee_table_set(struct kbee_table *t, uint32_t type, const void *payload, size_t len)
{
	if (len == 0)
		return 0;
	if (type > KBEE_MAX_TYPE || len > 0xffffu - 4)
		return -1;
	if (type >= t->nslots && table_grow(t, type))
		return -1;
	uint32_t rlen = (uint32_t)len + 4;
	uint8_t *rec = (uint8_t *)calloc(1, kbee_padded(rlen) + 1);
	if (!rec)
		return -1;
	put_be16(rec, (uint16_t)rlen);
	put_be16(rec + 2, (uint16_t)type);
	memcpy(rec + 4, payload, len);
	free(t->slot[type]);
	t->slot[type] = rec;
	return 0;
}

const uint8_t *kbee_table_record(const struct kbee_table *t, uint32_t type)
{
	return type < t->nslots ? t->slot[type] : NULL;
}

void kbee_table_delete(struct kbee_table *t, uint32_t type)
{
	if (type < t->nslots) {
		free(t->slot[type]);
		t->slot[type] = NULL;
	}
}

int kbee_header_ok(const uint8_t *hdr, uint32_t *total)
{
	if (memcmp(hdr, "KBEE", 4) != 0)
		return 0;
	*total = get_be32(hdr + 4);
	return *total >= KBEE_HEADER_SIZE && *total < KBEE_MAX_STORE;
}

int kbee_parse(const uint8_t *store, size_t len, struct kbee_table *out)
{
	struct kbee_table scratch;
	size_t pos = KBEE_HEADER_SIZE;

	if (len < KBEE_HEADER_SIZE || get_be32(store + 12) != 0)
		return -1;
	if (kbee_table_init(&scratch, 62))
		return -1;
	while (len - pos >= 4) {
		uint32_t rlen = get_be16(store + pos);
		uint32_t type = get_be16(store + pos + 2);
		/* The walk steps over the padding too: a length whose padding runs past the end fails. */
		if (rlen < 4 || kbee_padded(rlen) > len - pos)
			goto fail;
		if (kbee_table_set(&scratch, type, store + pos + 4, rlen - 4))
			goto fail;
		pos += kbee_padded(rlen);
	}
	if (pos != len)
		goto fail;
	kbee_table_free(out);
	*out = scratch;
	return 0;
fail:
	kbee_table_free(&scratch);
	return -1;
}

uint32_t kbee_store_size(const struct kbee_table *t)
{
	uint32_t total = KBEE_HEADER_SIZE;

	for (uint32_t i = 0; i < t->nslots; i++)
		if (t->slot[i])
			total += kbee_padded(get_be16(t->slot[i]));
	return total;
}

void kbee_serialise(const struct kbee_table *t, uint8_t *out)
{
	uint32_t total = kbee_store_size(t), pos = KBEE_HEADER_SIZE;

	memcpy(out, "KBEE", 4);
	put_be32(out + 4, total);
	put_be16(out + 8, 1);
	put_be16(out + 10, 0);
	put_be32(out + 12, 0);
	for (uint32_t i = 0; i < t->nslots; i++) {
		if (!t->slot[i])
			continue;
		uint32_t n = kbee_padded(get_be16(t->slot[i]));
		memcpy(out + pos, t->slot[i], n);
		pos += n;
	}
}
