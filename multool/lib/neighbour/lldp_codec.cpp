/* LLDP frame building and reading, field by field in the wire's big-endian order. */
#include "neighbour/lldp_codec.h"

#include "common/bytes.h"

#include <string.h>

#include <linux/if_packet.h>

const uint8_t lldp_dest_sent[6] = { 0x01, 0x80, 0xC2, 0x00, 0x00, 0x03 };

/* Destinations the listener takes: nearest bridge, nearest non-TPMR bridge, nearest customer bridge. */
static const uint8_t lldp_dest_heard[][6] = {
	{ 0x01, 0x80, 0xC2, 0x00, 0x00, 0x0E },
	{ 0x01, 0x80, 0xC2, 0x00, 0x00, 0x03 },
	{ 0x01, 0x80, 0xC2, 0x00, 0x00, 0x00 },
};

/* Appends while there is room and counts on past it, so the caller learns the length it would take. */
struct lldp_writer {
	uint8_t *buf;
	size_t size;
	size_t pos;
	size_t value_long; /* length of the first value longer than 9 bits hold, 0 when none */
};

static void put_bytes(struct lldp_writer *w, const void *p, size_t n)
{
	if (w->pos <= w->size && n <= w->size - w->pos)
		memcpy(w->buf + w->pos, p, n);
	w->pos += n;
}

static void put_u8(struct lldp_writer *w, uint8_t v)
{
	put_bytes(w, &v, 1);
}

static void put_u16(struct lldp_writer *w, uint16_t v)
{
	uint8_t b[2];
	put_be16(b, v);
	put_bytes(w, b, 2);
}

static void put_u32(struct lldp_writer *w, uint32_t v)
{
	uint8_t b[4];
	put_be32(b, v);
	put_bytes(w, b, 4);
}

/* The TLV header; a length past 511 would wrap into the type bits and is refused. */
static int put_header(struct lldp_writer *w, unsigned type, size_t len)
{
	if (len > LLDP_VALUE_MAX) {
		if (!w->value_long)
			w->value_long = len;
		return -1;
	}
	put_u16(w, (uint16_t)(type << 9 | len));
	return 0;
}

static void put_text_tlv(struct lldp_writer *w, unsigned type, uint8_t subtype, int with_subtype, const char *text)
{
	size_t n = strlen(text);
	if (put_header(w, type, n + (with_subtype ? 1 : 0)) < 0)
		return;
	if (with_subtype)
		put_u8(w, subtype);
	put_bytes(w, text, n);
}

static void put_mgmt(struct lldp_writer *w, uint8_t subtype, const uint8_t *addr, size_t n, uint32_t ifindex)
{
	put_header(w, LLDP_TLV_MGMT, 1 + 1 + n + 1 + 4 + 1);
	put_u8(w, (uint8_t)(1 + n));
	put_u8(w, subtype);
	put_bytes(w, addr, n);
	put_u8(w, 2); /* interface numbering: ifIndex */
	put_u32(w, ifindex);
	put_u8(w, 0); /* no OID */
}

enum lldp_build_status lldp_build(uint8_t *buf, size_t size, const struct lldp_advert *a, size_t *len)
{
	struct lldp_writer w = { buf, size, 0, 0 };

	put_bytes(&w, lldp_dest_sent, 6);
	put_bytes(&w, a->mac, 6);
	put_u16(&w, LLDP_ETHERTYPE);

	put_header(&w, LLDP_TLV_CHASSIS, 7);
	put_u8(&w, 4); /* MAC address */
	put_bytes(&w, a->mac, 6);
	put_text_tlv(&w, LLDP_TLV_PORT, 1, 1, a->ifname); /* subtype 1: the interface name */
	put_header(&w, LLDP_TLV_TTL, 2);
	put_u16(&w, LLDP_TTL);
	if (a->port_descr[0])
		put_text_tlv(&w, LLDP_TLV_PORT_DESCR, 0, 0, a->port_descr);
	if (a->sys_name[0])
		put_text_tlv(&w, LLDP_TLV_SYS_NAME, 0, 0, a->sys_name);
	if (a->sys_descr[0])
		put_text_tlv(&w, LLDP_TLV_SYS_DESCR, 0, 0, a->sys_descr);
	put_header(&w, LLDP_TLV_CAPS, 4);
	put_u16(&w, LLDP_CAPABILITIES);
	put_u16(&w, LLDP_CAPS_ENABLED);
	if (a->has_ipv4)
		put_mgmt(&w, 1, a->ipv4, 4, a->ifindex);
	if (a->has_ipv6)
		put_mgmt(&w, 2, a->ipv6, 16, a->ifindex);
	put_header(&w, LLDP_TLV_END, 0);

	if (w.value_long) {
		*len = w.value_long;
		return LLDP_BUILD_VALUE_LONG;
	}
	*len = w.pos;
	if (w.pos > LLDP_FRAME_MAX || w.pos > size)
		return LLDP_BUILD_FRAME_LONG;
	return LLDP_BUILD_OK;
}

static const char *ap_mode_text(uint8_t v)
{
	switch (v) {
	case 1:
		return "cloud";
	case 2:
		return "master";
	case 3:
		return "managed";
	default:
		return NULL;
	}
}

static void read_chassis(struct lldp_neighbour *n, const uint8_t *v, size_t len)
{
	if (len < 7 || v[0] != 4)
		return;
	memcpy(n->chassis, v + 1, 6);
	n->fields |= LLDP_F_CHASSIS;
}

/* The address string length counts the subtype byte, so it must match the subtype's address size. */
static void read_mgmt(struct lldp_neighbour *n, const uint8_t *v, size_t len)
{
	if (len < 2)
		return;
	if (v[1] == 1 && v[0] == 5 && len >= 6) {
		memcpy(n->ip4, v + 2, 4);
		n->fields |= LLDP_F_IP4;
	} else if (v[1] == 2 && v[0] == 17 && len >= 18) {
		memcpy(n->ip6, v + 2, 16);
		n->fields |= LLDP_F_IP6;
	}
}

static void read_org(struct lldp_neighbour *n, const uint8_t *v, size_t len)
{
	if (len != 5 || v[3] != 1)
		return;
	const char *mode = ap_mode_text(v[4]);
	if (mode) {
		n->ap_mode = mode;
		n->fields |= LLDP_F_APMODE;
	}
}

static void read_tlv(struct lldp_neighbour *n, unsigned type, const uint8_t *v, size_t len)
{
	switch (type) {
	case LLDP_TLV_CHASSIS:
		read_chassis(n, v, len);
		break;
	case LLDP_TLV_TTL:
		if (len >= 2) {
			n->ttl = get_be16(v);
			n->fields |= LLDP_F_TTL;
		}
		break;
	case LLDP_TLV_SYS_NAME:
		n->name = v;
		n->name_len = len;
		n->fields |= LLDP_F_NAME;
		break;
	case LLDP_TLV_SYS_DESCR:
		n->descr = v;
		n->descr_len = len;
		n->fields |= LLDP_F_DESCR;
		break;
	case LLDP_TLV_MGMT:
		read_mgmt(n, v, len);
		break;
	case LLDP_TLV_ORG:
		read_org(n, v, len);
		break;
	default:
		break;
	}
}

static int heard_dest(const uint8_t *dst)
{
	for (size_t i = 0; i < sizeof(lldp_dest_heard) / sizeof(lldp_dest_heard[0]); i++)
		if (!memcmp(dst, lldp_dest_heard[i], 6))
			return 1;
	return 0;
}

enum lldp_verdict lldp_parse(const uint8_t *frame, size_t len, int pkttype, struct lldp_neighbour *n)
{
	memset(n, 0, sizeof(*n));
	if (pkttype == PACKET_OUTGOING)
		return LLDP_OUTGOING;
	if (len < LLDP_ETH_HEADER)
		return LLDP_SHORT;
	if (get_be16(frame + 12) != LLDP_ETHERTYPE)
		return LLDP_NOT_LLDP;
	if (!heard_dest(frame))
		return LLDP_OTHER_DEST;
	memcpy(n->src, frame + 6, 6);

	size_t pos = LLDP_ETH_HEADER;
	while (len - pos >= 2) {
		uint16_t hdr = get_be16(frame + pos);
		size_t vlen = hdr & LLDP_VALUE_MAX;
		if (hdr < 512) /* End */
			break;
		pos += 2;
		if (vlen > len - pos)
			break;
		read_tlv(n, hdr >> 9, frame + pos, vlen);
		pos += vlen;
	}
	return LLDP_ACCEPT;
}
