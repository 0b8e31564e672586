/* Payloads of the radio driver's configuration request. */
#include "radio/ath_codec.h"

#include <ctype.h>
#include <stdlib.h>

#define ARRAY_LEN(a) (sizeof(a) / sizeof((a)[0]))

/* A whole field of digits in the base ("0x" allowed before hex digits) that is at most max. */
static int parse_field(const char *s, size_t len, int base, uint32_t max, uint32_t *out)
{
	char buf[24];
	char *end;

	if (base == 16 && len > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
		s += 2;
		len -= 2;
	}
	if (!len || len >= sizeof(buf))
		return -1;
	for (size_t i = 0; i < len; i++)
		if (base == 16 ? !isxdigit((unsigned char)s[i]) : !isdigit((unsigned char)s[i]))
			return -1;
	memcpy(buf, s, len);
	buf[len] = '\0';
	unsigned long long v = strtoull(buf, &end, base);
	if (v > max)
		return -1;
	*out = (uint32_t)v;
	return 0;
}

static int one_of(uint32_t v, const uint32_t *set, size_t n)
{
	for (size_t i = 0; i < n; i++)
		if (set[i] == v)
			return 1;
	return 0;
}

/* Splits "a:b:c" into exactly n fields (start and length of each).  0 or -1. */
static int split_fields(const char *arg, const char **start, size_t *len, int n)
{
	int i = 0;
	const char *p = arg;

	for (;;) {
		const char *colon = strchr(p, ':');
		if (i == n)
			return -1;
		start[i] = p;
		len[i] = colon ? (size_t)(colon - p) : strlen(p);
		i++;
		if (!colon)
			break;
		p = colon + 1;
	}
	return i == n ? 0 : -1;
}

int ath_parse_channel_arg(const char *arg, struct ath_chan_req *out)
{
	static const uint32_t steps[] = { 0, 5, 10, 20 };
	static const uint32_t widths[] = { 0, 5, 7, 10, 14, 15, 20, 28 };
	const char *f[4];
	size_t len[4];

	memset(out, 0, sizeof(*out));
	if (!strcmp(arg, "-")) {
		out->cc[0] = out->cc[1] = '-';
		return 0;
	}
	if (split_fields(arg, f, len, 4) || parse_field(f[0], len[0], 10, 20, &out->step) ||
	    !one_of(out->step, steps, ARRAY_LEN(steps)) || parse_field(f[1], len[1], 10, 28, &out->width) ||
	    !one_of(out->width, widths, ARRAY_LEN(widths)) || parse_field(f[2], len[2], 10, 2, &out->mode) ||
	    len[3] != 2)
		return -1;
	memcpy(out->cc, f[3], 2);
	return 0;
}

int ath_parse_rate(const char *arg, struct ath_rate *out)
{
	const char *f[3];
	size_t len[3];
	uint32_t code, value, rssi;

	if (split_fields(arg, f, len, 3) || parse_field(f[0], len[0], 16, 0xFF, &code) ||
	    parse_field(f[1], len[1], 16, 0xFFFF, &value) || parse_field(f[2], len[2], 10, 0xFF, &rssi))
		return -1;
	out->code = (uint8_t)code;
	out->value = (uint16_t)value;
	out->rssi = (uint8_t)rssi;
	return 0;
}

int ath_parse_xelto(const char *arg, struct ath_xelto *out)
{
	uint32_t values[1 + 4 * ATH_XELTO_MAX];
	size_t n = 0;
	const char *p = arg;

	memset(out, 0, sizeof(*out));
	for (;;) {
		while (*p == ' ' || *p == '\t')
			p++;
		if (!*p)
			break;
		size_t len = strcspn(p, " \t");
		/* more numbers than ten limits can hold is refused before anything is stored */
		if (n == ARRAY_LEN(values) || parse_field(p, len, 10, UINT32_MAX, &values[n]))
			return -1;
		n++;
		p += len;
	}
	if (!n || values[0] > ATH_XELTO_MAX || n != 1 + 4 * (size_t)values[0])
		return -1;
	out->count = values[0];
	for (uint32_t i = 0; i < out->count; i++) {
		out->limit[i].num_active = values[1 + 4 * i];
		out->limit[i].bps = values[2 + 4 * i];
		out->limit[i].pps = values[3 + 4 * i];
		out->limit[i].delay = values[4 + 4 * i];
	}
	return 0;
}

uint16_t ath_mask_value(const char *text)
{
	uint32_t v;
	size_t len;

	while (isspace((unsigned char)*text))
		text++;
	len = strlen(text);
	while (len && isspace((unsigned char)text[len - 1]))
		len--;
	if (parse_field(text, len, 10, 65535, &v) || !v)
		return 0;
	return (uint16_t)v;
}

void ath_encode_mask(uint8_t *payload, const uint16_t *freqs, size_t n, int enabled)
{
	ath_put_u32(payload, enabled ? 1 : 0);
	for (size_t i = 0; i < n && i < ATH_MASK_MAX; i++)
		ath_put_u16(payload + 4 + 2 * i, freqs[i]);
}

void ath_encode_chan_req(uint8_t *payload, const struct ath_chan_req *req)
{
	ath_put_u32(payload, ATH_CHAN_ROOM);
	ath_put_u32(payload + 4, req->step);
	ath_put_u32(payload + 8, req->width);
	ath_put_u32(payload + 12, req->mode);
	memcpy(payload + 16, req->cc, 2);
}

uint32_t ath_chan_count(const uint8_t *payload)
{
	uint32_t n = ath_get_u32(payload);
	return n < ATH_CHAN_ROOM ? n : ATH_CHAN_ROOM;
}

void ath_decode_chan(const uint8_t *payload, uint32_t index, struct ath_chan *out)
{
	const uint8_t *e = payload + ATH_CHAN_FIRST + (size_t)index * ATH_CHAN_ENTRY;

	out->freq = ath_get_u16(e);
	out->flags = ath_get_u32(e + 2);
	out->extra = ath_get_u16(e + 6);
	out->ieee = e[8];
	out->eirp = (int8_t)e[9];
	out->max_power = (int8_t)e[10];
	out->min_power = (int8_t)e[11];
}

size_t ath_reg_size(size_t n)
{
	if (n > (UINT32_MAX - ATH_ENV_HDR - ATH_REG_HDR) / ATH_RANGE_SIZE)
		return 0;
	return ATH_REG_HDR + n * ATH_RANGE_SIZE;
}

void ath_encode_reg(uint8_t *payload, const char cc[2], uint32_t dfs, const struct ath_range *ranges, size_t n,
		    int complete)
{
	memcpy(payload, cc, 2);
	ath_put_u32(payload + 4, dfs);
	ath_put_u32(payload + 8, (uint32_t)n);
	ath_put_u32(payload + 12, complete ? 1 : 0);
	for (size_t i = 0; i < n; i++) {
		uint8_t *r = payload + ATH_REG_HDR + i * ATH_RANGE_SIZE;
		ath_put_u16(r, ranges[i].begin);
		ath_put_u16(r + 2, ranges[i].end);
		r[4] = ranges[i].width;
		r[5] = ranges[i].eirp;
		r[6] = ranges[i].power;
		r[7] = ranges[i].flags;
	}
}

uint32_t ath_dfs_region(const char *name)
{
	static const struct {
		const char *name;
		uint32_t region;
	} regions[] = { { "fcc", 1 }, { "etsi", 2 }, { "jp", 4 } };

	for (size_t i = 0; name && i < ARRAY_LEN(regions); i++)
		if (!strcmp(name, regions[i].name))
			return regions[i].region;
	return 0;
}

uint32_t ath_country_count(const uint8_t *payload)
{
	uint32_t n = ath_get_u32(payload);
	return n < ATH_COUNTRY_ROOM ? n : ATH_COUNTRY_ROOM;
}

void ath_decode_country(const uint8_t *payload, uint32_t index, struct ath_country *out)
{
	const uint8_t *e = payload + ATH_COUNTRY_FIRST + (size_t)index * ATH_COUNTRY_ENTRY;

	memcpy(out->cc, e, 2);
	out->eirp2g = (int8_t)e[2];
	out->eirp2g_ptp = (int8_t)e[3];
	out->eirp5g = (int8_t)e[4];
	out->eirp5g_ptp = (int8_t)e[5];
}

void ath_encode_rate(uint8_t *payload, const struct ath_rate *r)
{
	payload[0] = r->code;
	payload[1] = 0;
	ath_put_u16(payload + 2, r->value);
	payload[4] = r->rssi;
	payload[5] = 0;
}

void ath_decode_rate(const uint8_t *payload, struct ath_rate *r)
{
	r->code = payload[0];
	r->value = ath_get_u16(payload + 2);
	r->rssi = payload[4];
}

void ath_encode_xelto(uint8_t *payload, const struct ath_xelto *x)
{
	uint32_t n = x->count < ATH_XELTO_MAX ? x->count : ATH_XELTO_MAX;

	ath_put_u32(payload, n);
	for (uint32_t i = 0; i < n; i++) {
		uint8_t *l = payload + 4 + 16 * (size_t)i;
		ath_put_u32(l, x->limit[i].num_active);
		ath_put_u32(l + 4, x->limit[i].bps);
		ath_put_u32(l + 8, x->limit[i].pps);
		ath_put_u32(l + 12, x->limit[i].delay);
	}
}

void ath_decode_xelto(const uint8_t *payload, struct ath_xelto *x)
{
	uint32_t n = ath_get_u32(payload);

	memset(x, 0, sizeof(*x));
	x->count = n < ATH_XELTO_MAX ? n : ATH_XELTO_MAX;
	for (uint32_t i = 0; i < x->count; i++) {
		const uint8_t *l = payload + 4 + 16 * (size_t)i;
		x->limit[i].num_active = ath_get_u32(l);
		x->limit[i].bps = ath_get_u32(l + 4);
		x->limit[i].pps = ath_get_u32(l + 8);
		x->limit[i].delay = ath_get_u32(l + 12);
	}
}

int ath_chan_listed(const struct ath_chan *c, int full, int has_2g, int has_5g)
{
	if (full)
		return 1;
	if (!(c->flags & ATH_CHAN_HT) || !(c->flags & (ATH_CHAN_2GHZ | ATH_CHAN_5GHZ)))
		return 0;
	if (c->extra & ATH_EXT_DISABLED)
		return 0;
	return c->freq <= ATH_2GHZ_TOP ? has_2g : has_5g;
}

const char *ath_chan_mode(const struct ath_chan *c, uint32_t width)
{
	if (c->flags & ATH_CHAN_HT40PLUS)
		return "ht40+";
	if (c->flags & ATH_CHAN_HT40MINUS)
		return "ht40-";
	if (c->flags & ATH_CHAN_HT20)
		return width == 5 ? "ht5" : width == 10 ? "ht10" : "ht20";
	return "-";
}

const char *ath_chan_mode_full(const struct ath_chan *c)
{
	int g5 = c->flags & ATH_CHAN_5GHZ, g2 = c->flags & ATH_CHAN_2GHZ;

	if (c->flags & ATH_CHAN_HT40PLUS && (g5 || g2))
		return g5 ? "naht+" : "nght+";
	if (c->flags & ATH_CHAN_HT40MINUS && (g5 || g2))
		return g5 ? "naht-" : "nght-";
	if (c->flags & ATH_CHAN_HT20 && (g5 || g2))
		return g5 ? "naht" : "nght";
	if (g5 && c->flags & ATH_CHAN_OFDM)
		return "11a";
	if (g2 && c->flags & (ATH_CHAN_OFDM | ATH_CHAN_DYN))
		return "11g";
	if (g2 && c->flags & ATH_CHAN_CCK)
		return "11b";
	return "-";
}
