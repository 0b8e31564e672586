/* The link test's control protocol and kernel texts (see lt_proto.h). */
#include "linktest/lt_proto.h"

#include "common/bytes.h"

#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

const uint8_t lt_header[LT_HDR_LEN] = { 0x02, 0x6E, 0x41, 0x33, 0x33 };

bool lt_has_header(const uint8_t *buf, size_t len)
{
	return len >= LT_HDR_LEN && memcmp(buf, lt_header, LT_HDR_LEN) == 0;
}

void lt_parse_request(char *text, struct lt_request *req)
{
	static const struct {
		const char *name;
		enum lt_cmd cmd;
	} cmds[] = { { "RST", LT_CMD_RST }, { "RUN", LT_CMD_RUN }, { "ABOR", LT_CMD_ABOR } };
	size_t n = strlen(text);

	if (n && text[n - 1] == '\n') {
		text[--n] = '\0';
		if (n && text[n - 1] == '\r')
			text[--n] = '\0';
	}
	char *space = strchr(text, ' ');
	if (space) {
		*space = '\0';
		req->args = space + 1;
	} else {
		req->args = text + n;
	}
	req->cmd = LT_CMD_COUNTERS;
	for (size_t i = 0; i < sizeof(cmds) / sizeof(cmds[0]); i++)
		if (strcasecmp(text, cmds[i].name) == 0)
			req->cmd = cmds[i].cmd;
}

bool lt_llc_is_reply(const uint8_t *buf, size_t len)
{
	static const char *const codes[] = { "100", "200", "400" };
	const uint8_t *text = buf + LT_HDR_LEN;

	if (!lt_has_header(buf, len))
		return false;
	if ((len == LT_COUNTERS_LEN || len == LT_COUNTERS_SHORT) && text[0] == 0)
		return true;
	if (len < LT_HDR_LEN + 4)
		return false;
	for (size_t i = 0; i < sizeof(codes) / sizeof(codes[0]); i++)
		if (memcmp(text, codes[i], 3) == 0 && (text[3] == ' ' || text[3] == '\r'))
			return true;
	return false;
}

int lt_status_reply(uint8_t *buf, size_t size, bool llc, int code, const char *text)
{
	size_t hdr = llc ? LT_HDR_LEN : 0;
	int n;

	if (size <= hdr)
		return -1;
	if (text)
		n = snprintf((char *)buf + hdr, size - hdr, "%d %s\r\n", code, text);
	else
		n = snprintf((char *)buf + hdr, size - hdr, "%d\r\n", code);
	if (n < 0 || (size_t)n >= size - hdr)
		return -1;
	if (llc)
		memcpy(buf, lt_header, LT_HDR_LEN);
	return (int)hdr + n;
}

size_t lt_put_counters(uint8_t buf[LT_COUNTERS_LEN], uint64_t packets, uint64_t bytes, uint64_t duration_us)
{
	memcpy(buf, lt_header, LT_HDR_LEN);
	put_be64(buf + 5, packets);
	put_be64(buf + 13, bytes);
	put_be64(buf + 21, duration_us);
	return LT_COUNTERS_LEN;
}

int lt_get_llc_counters(const uint8_t *buf, size_t len, struct lt_counters *c)
{
	if (!lt_has_header(buf, len) || len < LT_COUNTERS_SHORT)
		return -1;
	c->packets = get_be64(buf + 5);
	c->bytes = get_be64(buf + 13);
	c->duration_us = len >= LT_COUNTERS_LEN ? get_be64(buf + 21) : 0;
	c->has_duration = c->duration_us > 0;
	return 0;
}

int lt_udp_counters(char *buf, size_t size, uint64_t packets, uint64_t bytes, const uint8_t mac[6])
{
	int n = snprintf(buf, size, "%llu %llu %02hhX:%02hhX:%02hhX:%02hhX:%02hhX:%02hhX", (unsigned long long)packets,
			 (unsigned long long)bytes, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
	if (n < 0 || (size_t)n >= size)
		return -1;
	return n + 1;
}

/* ---- bounded number reading over [p, end) ---- */

struct cursor {
	const char *p, *end;
};

static bool is_blank(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

static void skip_blanks(struct cursor *c, bool newline)
{
	while (c->p < c->end && is_blank(*c->p) && (newline || *c->p != '\n'))
		c->p++;
}

/* Decimal digits into *v; false when there are none or they overflow 64 bits. */
static bool read_u64(struct cursor *c, uint64_t *v)
{
	uint64_t n = 0;
	const char *start = c->p;

	while (c->p < c->end && *c->p >= '0' && *c->p <= '9') {
		unsigned d = (unsigned)(*c->p - '0');
		if (n > (UINT64_MAX - d) / 10)
			return false;
		n = n * 10 + d;
		c->p++;
	}
	*v = n;
	return c->p > start;
}

/* A number that is only skipped: an optional sign and digits of any length. */
static bool skip_int(struct cursor *c)
{
	if (c->p < c->end && (*c->p == '-' || *c->p == '+'))
		c->p++;
	const char *start = c->p;
	while (c->p < c->end && *c->p >= '0' && *c->p <= '9')
		c->p++;
	return c->p > start;
}

/* The end of the text: its length or its first NUL. */
static const char *text_end(const char *text, size_t len)
{
	const char *nul = (const char *)memchr(text, '\0', len);
	return nul ? nul : text + len;
}

static const char *line_end(const char *p, const char *end)
{
	const char *nl = (const char *)memchr(p, '\n', (size_t)(end - p));
	return nl ? nl : end;
}

int lt_parse_udp_counters(const char *buf, size_t len, struct lt_counters *c)
{
	struct cursor cur = { buf, text_end(buf, len) };
	uint64_t packets, bytes;

	skip_blanks(&cur, true);
	if (!read_u64(&cur, &packets))
		return -1;
	skip_blanks(&cur, true);
	if (!read_u64(&cur, &bytes))
		return -1;
	c->packets = packets;
	c->bytes = bytes;
	c->duration_us = 0;
	c->has_duration = false;
	return 0;
}

int lt_parse_snmp(const char *text, size_t len, uint64_t *packets, uint64_t *bytes)
{
	const char *end = text_end(text, len);
	const char *first = line_end(text, end);
	uint64_t p, b;

	if (first == end)
		return -1;
	struct cursor c = { first + 1, line_end(first + 1, end) };
	if (c.end - c.p < 3 || memcmp(c.p, "Ip:", 3) != 0)
		return -1;
	c.p += 3;
	for (int i = 0; i < 19; i++) {
		skip_blanks(&c, false);
		if (!skip_int(&c))
			return -1;
	}
	skip_blanks(&c, false);
	if (!read_u64(&c, &p))
		return -1;
	skip_blanks(&c, false);
	if (!read_u64(&c, &b))
		return -1;
	*packets = p;
	*bytes = b;
	return 0;
}

uint64_t lt_parse_pgrx(const char *text, size_t len)
{
	const char *end = text_end(text, len);

	for (const char *p = text; p < end; p = line_end(p, end) + 1) {
		if (*p != 'G')
			continue;
		struct cursor c = { p + 1, line_end(p, end) };
		uint64_t v;
		skip_blanks(&c, false);
		if (!skip_int(&c))
			return 0;
		skip_blanks(&c, false);
		if (!skip_int(&c))
			return 0;
		skip_blanks(&c, false);
		return read_u64(&c, &v) ? v : 0;
	}
	return 0;
}

int lt_parse_result(const char *text, size_t len, uint64_t *usec)
{
	static const char mark[] = "Result: OK:";
	const char *end = text_end(text, len);

	for (const char *p = text; p < end; p = line_end(p, end) + 1) {
		const char *eol = line_end(p, end);
		const char *hit = (const char *)memmem(p, (size_t)(eol - p), mark, sizeof(mark) - 1);
		if (!hit)
			continue;
		const char *colon = (const char *)memchr(p, ':', (size_t)(eol - p));
		colon = colon ? (const char *)memchr(colon + 1, ':', (size_t)(eol - colon - 1)) : NULL;
		uint64_t v = 0;
		if (colon) {
			struct cursor c = { colon + 1, eol };
			skip_blanks(&c, false);
			if (!read_u64(&c, &v))
				v = 0;
		}
		*usec = v;
		return 0;
	}
	return -1;
}

/* ---- session figures ---- */

static struct lt_rate rate_of(uint32_t rx_packets, uint32_t rx_bytes, uint64_t dur_us, const struct lt_session_in *in)
{
	struct lt_rate r;
	uint64_t pps = (uint64_t)rx_packets * 1000000u / dur_us;

	r.pps = pps > INT_MAX ? INT_MAX : (int)pps;
	r.mbps = (float)rx_bytes / (float)dur_us * 8;
	if (in->auto_mode && in->real_rate > 0) {
		if (r.mbps > in->real_rate)
			r.mbps = (float)in->real_rate;
		double cap = in->real_rate * 1000000 / ((double)in->size * 8);
		if (cap > 0 && (double)r.pps > cap)
			r.pps = (int)cap;
	}
	return r;
}

int lt_compute(const struct lt_session_in *in, struct lt_figures *f)
{
	memset(f, 0, sizeof(*f));
	if (!in->tx_us)
		return -1;
	f->rx_packets = (uint32_t)in->after.packets - (uint32_t)in->before.packets;
	f->rx_bytes = (uint32_t)in->after.bytes - (uint32_t)in->before.bytes;
	f->shown_packets = in->packets;
	if (f->rx_packets > in->packets) {
		f->overflow = f->rx_packets - in->packets;
		f->loss = 0;
	} else if (in->packets) {
		f->loss = (float)(in->packets - f->rx_packets) * 100 / (float)in->packets;
	}
	f->tx = rate_of(f->rx_packets, f->rx_bytes, in->tx_us, in);
	f->shown = f->tx;
	if (in->auto_mode) {
		if (f->rx_packets < in->packets) {
			f->loss = 0;
			f->shown_packets = f->rx_packets;
		}
		if (in->after.has_duration) {
			f->rx = rate_of(f->rx_packets, f->rx_bytes, in->after.duration_us, in);
			f->used_rx = true;
			f->shown = f->rx;
		}
	}
	return 0;
}

int lt_digits(uint64_t n)
{
	int d = 1;
	while (n >= 10) {
		n /= 10;
		d++;
	}
	return d;
}

struct line_buf {
	char *buf;
	size_t size, len;
};

static void line_add(struct line_buf *l, int n)
{
	if (n > 0)
		l->len += (size_t)n;
}

static char *line_at(struct line_buf *l)
{
	return l->len < l->size ? l->buf + l->len : NULL;
}

static size_t line_left(const struct line_buf *l)
{
	return l->len < l->size ? l->size - l->len : 0;
}

int lt_session_line(char *buf, size_t size, int session, int sessions, const struct lt_figures *f, int packets)
{
	struct line_buf l = { buf, size, 0 };
	int ws = lt_digits((uint64_t)(sessions > 0 ? sessions : 0));
	int wp = lt_digits((uint64_t)(packets > 0 ? packets : 0));

	/* Widths are the digit counts of the totals, so the lines of one run line up. */
	line_add(&l, snprintf(line_at(&l), line_left(&l),
			      "[%2$0*1$d/%3$0*1$d] ", ws, session, sessions));
	line_add(&l, snprintf(line_at(&l), line_left(&l),
			      "Received:%2$*1$llu/%3$*1$d, ", wp, (unsigned long long)f->rx_packets,
			      (int)f->shown_packets));
	line_add(&l, snprintf(line_at(&l), line_left(&l),
			      "Lost:%6.2f%%, PPS:%6d, Throughput:%6.2f Mbps\n", (double)f->loss, f->shown.pps,
			      (double)f->shown.mbps));
	return (int)l.len;
}

int lt_auto_delay(uint32_t size, double rate_mbps)
{
	if (rate_mbps <= 0)
		return 0;
	double ns = (double)size * 8 * 1000 / rate_mbps + 0.5;
	return ns > INT_MAX ? INT_MAX : (int)ns;
}

static bool arg_char_ok(unsigned char ch)
{
	return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '-' ||
	       ch == '.' || ch == '_' || ch == ':' || ch == ' ' || ch == '\t';
}

int lt_split_args(char *args, char **argv, int max)
{
	int n = 0;

	for (const char *p = args; *p; p++)
		if (!arg_char_ok((unsigned char)*p))
			return -1;
	for (char *p = args; *p;) {
		while (*p == ' ' || *p == '\t')
			*p++ = '\0';
		if (!*p)
			break;
		if (n == max)
			return -1;
		argv[n++] = p;
		while (*p && *p != ' ' && *p != '\t')
			p++;
	}
	return n;
}
