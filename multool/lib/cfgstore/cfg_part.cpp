/* Container codec: header layout, sanity rules, part selection and the part walk/build.  No I/O and
 * no zlib, so it runs in the target-order tests too. */
#include "cfgstore/cfg_part.h"

#include "common/bytes.h"

#include <string.h>

void cfg_header_decode(const uint8_t *in, struct cfg_header *h)
{
	h->magic = get_be32(in);
	h->seq = get_be32(in + 4);
	memcpy(h->reserved, in + 8, sizeof(h->reserved));
	memcpy(h->name, in + 72, CFG_NAME_SIZE);
	h->length = get_be32(in + 88);
	h->crc = get_be32(in + 92);
}

void cfg_header_encode(const struct cfg_header *h, uint8_t *out)
{
	put_be32(out, h->magic);
	put_be32(out + 4, h->seq);
	memcpy(out + 8, h->reserved, sizeof(h->reserved));
	memcpy(out + 72, h->name, CFG_NAME_SIZE);
	put_be32(out + 88, h->length);
	put_be32(out + 92, h->crc);
}

bool cfg_header_sane(const struct cfg_header *h)
{
	if (h->magic != CFG_MAGIC_TOP && h->magic != CFG_MAGIC_BLOCK && h->magic != CFG_MAGIC_END)
		return false;
	/* The name is used as a C string: it must end inside its 16 bytes. */
	if (h->name[0] == '\0' || memchr(h->name, '\0', CFG_NAME_SIZE) == NULL)
		return false;
	return h->length <= CFG_SIZE;
}

bool cfg_name_ok(const char *name)
{
	size_t n = name ? strlen(name) : 0;
	/* A block called "end" would end the part when read back and hide every block after it. */
	return n > 0 && n < CFG_NAME_SIZE && strcmp(name, "end") != 0;
}

void cfg_top_reset(struct cfg_header *h, uint32_t seq)
{
	memset(h, 0, sizeof(*h));
	h->magic = CFG_MAGIC_TOP;
	h->seq = seq;
	strcpy(h->name, "begin");
}

int cfg_select_part(enum cfg_op op, int state, uint32_t s0, uint32_t s1)
{
	if (state != CFG_ACTIVE && state != CFG_BACKUP && state != CFG_DEFAULT)
		return -1;
	if (op == CFG_OP_READ && state == CFG_ACTIVE)
		return s1 >= s0 ? 1 : 0;
	/* Backup and default reads, and every write: the older part, ties to part 1. */
	return s0 >= s1 ? 1 : 0;
}

enum cfg_walk_err cfg_part_walk(const uint8_t *buf, size_t len, struct cfg_header *top,
				void (*fn)(void *ctx, const struct cfg_header *h, const uint8_t *data),
				void *ctx, struct cfg_header *failed_at)
{
	struct cfg_header h;
	size_t pos;

	if (len > CFG_SIZE)
		len = CFG_SIZE;
	if (len < CFG_HEADER_SIZE)
		return CFG_WALK_TOP_SHORT;
	cfg_header_decode(buf, top);
	if (!cfg_header_sane(top))
		return CFG_WALK_TOP_INSANE;
	for (pos = CFG_HEADER_SIZE;;) {
		if (len - pos < CFG_HEADER_SIZE)
			return CFG_WALK_HEADER_SHORT;
		cfg_header_decode(buf + pos, &h);
		if (!cfg_header_sane(&h)) {
			if (failed_at)
				*failed_at = h;
			return CFG_WALK_HEADER_INSANE;
		}
		pos += CFG_HEADER_SIZE;
		if (h.magic == CFG_MAGIC_END || strcmp(h.name, "end") == 0)
			return CFG_WALK_OK;
		if (len - pos < h.length) {
			if (failed_at)
				*failed_at = h;
			return CFG_WALK_DATA_SHORT;
		}
		fn(ctx, &h, buf + pos);
		pos += h.length;
	}
}

long cfg_part_build(const struct cfg_header *top, const struct cfg_stored *blocks, int n, uint8_t *out)
{
	struct cfg_header h;
	size_t pos = CFG_HEADER_SIZE;

	cfg_header_encode(top, out);
	for (int i = 0; i < n; i++) {
		if (!cfg_name_ok(blocks[i].name))
			return -1;
		if (CFG_SIZE - pos < CFG_HEADER_SIZE || CFG_SIZE - pos - CFG_HEADER_SIZE < blocks[i].len)
			return -1;
		memset(&h, 0, sizeof(h));
		h.magic = CFG_MAGIC_BLOCK;
		strcpy(h.name, blocks[i].name);
		h.length = blocks[i].len;
		h.crc = blocks[i].crc;
		cfg_header_encode(&h, out + pos);
		pos += CFG_HEADER_SIZE;
		memcpy(out + pos, blocks[i].data, blocks[i].len);
		pos += blocks[i].len;
	}
	if (CFG_SIZE - pos < CFG_HEADER_SIZE)
		return -1;
	memset(&h, 0, sizeof(h));
	h.magic = CFG_MAGIC_END;
	strcpy(h.name, "end");
	cfg_header_encode(&h, out + pos);
	return (long)(pos + CFG_HEADER_SIZE);
}
