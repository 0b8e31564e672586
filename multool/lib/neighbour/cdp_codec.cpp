/* CDP frame building, field by field in the wire's big-endian order. */
#include "neighbour/cdp_codec.h"

#include "common/bytes.h"

#include <string.h>

const uint8_t cdp_dest[6] = { 0x01, 0x00, 0x0C, 0xCC, 0xCC, 0xCC };

static const uint8_t cdp_snap[8] = { 0xAA, 0xAA, 0x03, 0x00, 0x00, 0x0C, 0x20, 0x00 };

struct cdp_writer {
	uint8_t *buf;
	size_t size;
	size_t pos;
	int failed;
};

static void put_bytes(struct cdp_writer *w, const void *p, size_t n)
{
	if (w->failed || n > w->size - w->pos) {
		w->failed = 1;
		return;
	}
	memcpy(w->buf + w->pos, p, n);
	w->pos += n;
}

static void put_u8(struct cdp_writer *w, uint8_t v)
{
	put_bytes(w, &v, 1);
}

static void put_u16(struct cdp_writer *w, uint16_t v)
{
	uint8_t b[2];
	put_be16(b, v);
	put_bytes(w, b, 2);
}

static void put_u32(struct cdp_writer *w, uint32_t v)
{
	uint8_t b[4];
	put_be32(b, v);
	put_bytes(w, b, 4);
}

static void put_header(struct cdp_writer *w, uint16_t type, size_t value_len)
{
	if (value_len > 0xFFFF - 4) {
		w->failed = 1;
		return;
	}
	put_u16(w, type);
	put_u16(w, (uint16_t)(value_len + 4));
}

static void put_text(struct cdp_writer *w, uint16_t type, const char *text)
{
	size_t n = strlen(text);
	put_header(w, type, n);
	put_bytes(w, text, n);
}

/* Count, then one NLPID entry per family: type 1, protocol length 1, protocol, address length. */
static void put_addresses(struct cdp_writer *w, const struct cdp_advert *a)
{
	static const uint8_t zero[16] = { 0 };

	put_header(w, CDP_TLV_ADDRESSES, CDP_ADDRESSES_LEN - 4);
	put_u32(w, 2);
	put_u8(w, 0x01);
	put_u8(w, 0x01);
	put_u8(w, 0xCC); /* IPv4 */
	put_u16(w, 4);
	put_bytes(w, a->has_ipv4 ? a->ipv4 : zero, 4);
	put_u8(w, 0x01);
	put_u8(w, 0x01);
	put_u8(w, 0x8E); /* IPv6 */
	put_u16(w, 16);
	put_bytes(w, a->has_ipv6 ? a->ipv6 : zero, 16);
}

uint16_t cdp_checksum(const uint8_t *p, size_t len)
{
	uint32_t sum = 0;
	size_t i;

	for (i = 0; i + 1 < len; i += 2)
		sum += get_be16(p + i);
	if (i < len)
		sum += p[i];
	while (sum >> 16)
		sum = (sum & 0xFFFF) + (sum >> 16);
	return (uint16_t)~sum;
}

size_t cdp_build(uint8_t *buf, size_t size, const struct cdp_advert *a)
{
	struct cdp_writer w = { buf, size, 0, 0 };

	put_bytes(&w, cdp_dest, 6);
	put_bytes(&w, a->mac, 6);
	put_u16(&w, 0); /* 802.3 length, below */
	put_bytes(&w, cdp_snap, sizeof(cdp_snap));
	put_u8(&w, 2);
	put_u8(&w, CDP_HOLD_TIME);
	put_u16(&w, 0); /* checksum, below */

	put_text(&w, CDP_TLV_DEVICE_ID, a->device_id);
	put_text(&w, CDP_TLV_VERSION, a->version);
	put_text(&w, CDP_TLV_PLATFORM, a->platform);
	put_addresses(&w, a);
	put_text(&w, CDP_TLV_PORT_ID, a->port);
	put_header(&w, CDP_TLV_CAPABILITIES, 4);
	put_u32(&w, CDP_CAPABILITIES);
	put_text(&w, CDP_TLV_SYS_NAME, a->sys_name);
	size_t loc = strlen(a->location);
	put_header(&w, CDP_TLV_LOCATION, 1 + loc);
	put_u8(&w, 0);
	put_bytes(&w, a->location, loc);

	/* a longer 802.3 length would read as an EtherType */
	if (w.failed || w.pos > CDP_FRAME_MAX)
		return 0;
	put_be16(buf + 12, (uint16_t)(w.pos - 14));
	put_be16(buf + 24, cdp_checksum(buf + CDP_PDU_OFFSET, w.pos - CDP_PDU_OFFSET));
	return w.pos;
}
