/* The discovery protocol's codec: acceptance rules, answer layouts, the trigger frame. */
#include "common/scout_codec.h"

#include "common/bytes.h"

#include <net/if.h>
#include <net/if_arp.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include <linux/if_packet.h>

#define LEGACY_LEN 4
#define ARG_OFFSET SCOUT_HEADER_LEN

size_t scout_request_len(enum scout_dialect d, uint8_t cmd)
{
	if (cmd == SCOUT_CMD_EXTEND)
		return ARG_OFFSET + 1;
	if (d == SCOUT_OLDER && cmd == SCOUT_CMD_PIN_RESET)
		return ARG_OFFSET + 4;
	return ARG_OFFSET;
}

static int served_anywhere(enum scout_dialect d, uint8_t cmd)
{
	return d == SCOUT_CURRENT && (cmd == SCOUT_CMD_DISCOVERY || cmd == SCOUT_CMD_SERIAL);
}

static uint8_t dproto_version(enum scout_dialect d)
{
	return d == SCOUT_OLDER ? 2 : 1;
}

enum scout_verdict scout_parse_request(enum scout_dialect d, const uint8_t *buf, size_t len, uint64_t own,
				       struct scout_request *req)
{
	memset(req, 0, sizeof(*req));
	if (len < LEGACY_LEN)
		return SCOUT_SHORT;
	req->version = buf[0];
	req->cmd = buf[2];
	if (req->version == 0 && d == SCOUT_CURRENT)
		return len == LEGACY_LEN ? SCOUT_SERVE : SCOUT_LEGACY_LONG;
	if (req->version != dproto_version(d))
		return SCOUT_BAD_VERSION;
	if (len != scout_request_len(d, req->cmd))
		return SCOUT_BAD_LEN;
	req->dproto = 1;
	req->src = get_be64(buf + 4);
	req->dst = get_be64(buf + 12);
	req->narg = (uint8_t)(len - ARG_OFFSET);
	memcpy(req->arg, buf + ARG_OFFSET, req->narg);
	if (!req->src || !req->dst)
		return SCOUT_ZERO_ID;
	if (req->src == own)
		return SCOUT_MINE;
	if (req->dst != own && !served_anywhere(d, req->cmd))
		return SCOUT_NOT_OURS;
	return SCOUT_SERVE;
}

const char *scout_verdict_text(enum scout_verdict v, const struct scout_request *req, size_t len, char *buf,
			       size_t size)
{
	switch (v) {
	case SCOUT_SHORT:
		snprintf(buf, size, "Invalid request packet size: %d", (int)len);
		break;
	case SCOUT_BAD_LEN:
		snprintf(buf, size, "Invalid request len for CMD=%u: %u", req->cmd, (unsigned)len);
		break;
	case SCOUT_ZERO_ID:
		snprintf(buf, size, "Invalid srce or dest macs");
		break;
	case SCOUT_MINE:
		snprintf(buf, size, "Packet mine - ignoring");
		break;
	case SCOUT_NOT_OURS:
		snprintf(buf, size, "Ignoring packet for %llx", (unsigned long long)req->dst);
		break;
	case SCOUT_BAD_VERSION:
		snprintf(buf, size, "Unknown protocol version");
		break;
	default:
		if (size)
			buf[0] = '\0';
	}
	return buf;
}

uint64_t scout_device_id(const uint8_t mac[6])
{
	uint64_t id = 0;

	for (int i = 0; i < 6; i++)
		id = id << 8 | mac[i];
	return id;
}

void scout_put_id(uint8_t *p, uint64_t id)
{
	put_be64(p, id);
}

size_t scout_discovery_payload(uint8_t *p, size_t cap, uint8_t version, const uint8_t mac[6],
			       const uint8_t ipv4[4], const char *line, size_t len)
{
	if (len > SCOUT_VERSION_LINE_MAX)
		len = SCOUT_VERSION_LINE_MAX;
	if (cap < 16 + len)
		return 0;
	p[0] = version;
	p[1] = SCOUT_CMD_DISCOVERY;
	memcpy(p + 2, mac, 6);
	memcpy(p + 8, ipv4, 4);
	put_be32(p + 12, (uint32_t)len);
	memcpy(p + 16, line, len);
	return 16 + len;
}

size_t scout_state_payload(uint8_t *p, size_t cap, uint8_t version, uint8_t flags)
{
	if (cap < 3)
		return 0;
	p[0] = version;
	p[1] = SCOUT_CMD_STATE;
	p[2] = flags;
	return 3;
}

size_t scout_serial_payload(uint8_t *p, size_t cap, uint8_t version, const void *serial, size_t len)
{
	if (cap < 2 + SCOUT_SERIAL_LEN)
		return 0;
	if (len > SCOUT_SERIAL_LEN)
		len = SCOUT_SERIAL_LEN;
	p[0] = version;
	p[1] = SCOUT_CMD_SERIAL;
	memset(p + 2, 0, SCOUT_SERIAL_LEN);
	memcpy(p + 2, serial, len);
	return 2 + SCOUT_SERIAL_LEN;
}

size_t scout_heartbeat_payload(uint8_t *p, size_t cap, const void *data, size_t len, int compressed)
{
	if (len > SCOUT_HB_RAW_MAX || cap < SCOUT_HB_HEADER + len)
		return 0;
	p[0] = 0;
	p[1] = SCOUT_CMD_HEARTBEAT;
	p[2] = compressed ? 1 : 0;
	put_be32(p + 3, (uint32_t)len);
	memcpy(p + SCOUT_HB_HEADER, data, len);
	return SCOUT_HB_HEADER + len;
}

enum scout_hb_plan scout_heartbeat_plan(size_t stored)
{
	if (stored > SCOUT_HB_FILE_MAX)
		return SCOUT_HB_TOO_BIG;
	return stored > SCOUT_HB_RAW_MAX ? SCOUT_HB_COMPRESS : SCOUT_HB_SEND_RAW;
}

size_t scout_frame_answer(uint8_t *out, size_t cap, const struct scout_request *req, uint64_t own,
			  const uint8_t *payload, size_t n)
{
	if (n < 2)
		return 0;
	if (!req->dproto) {
		if (cap < n)
			return 0;
		memcpy(out, payload, n);
		return n;
	}
	if (cap < n + SCOUT_HEADER_LEN - 2)
		return 0;
	out[0] = payload[0];
	out[1] = 0;
	out[2] = payload[1];
	out[3] = 0;
	scout_put_id(out + 4, own);
	scout_put_id(out + 12, req->src);
	memcpy(out + SCOUT_HEADER_LEN, payload + 2, n - 2);
	return n + SCOUT_HEADER_LEN - 2;
}

size_t scout_state_broadcast(uint8_t *out, size_t cap, uint8_t version, uint64_t own, uint8_t flags)
{
	if (cap < SCOUT_STATE_BROADCAST_LEN)
		return 0;
	out[0] = version;
	out[1] = 0;
	out[2] = SCOUT_CMD_STATE;
	out[3] = 0;
	scout_put_id(out + 4, own);
	scout_put_id(out + 12, SCOUT_ID_ALL);
	out[20] = flags;
	return SCOUT_STATE_BROADCAST_LEN;
}

uint8_t scout_state_flags(const struct scout_state *st)
{
	uint8_t f = 0;

	if (st->resetting)
		f |= SCOUT_ST_RESETTING;
	else
		f |= st->boot ? SCOUT_ST_BOOT : SCOUT_ST_NORMAL;
	if (st->extended)
		f |= SCOUT_ST_EXTENDED;
	if (st->ordered)
		f |= SCOUT_ST_ORDERED;
	if (st->wrong_pin)
		f |= SCOUT_ST_WRONG_PIN;
	return f;
}

unsigned scout_extend_max(enum scout_dialect d)
{
	return d == SCOUT_OLDER ? 60 : 30;
}

unsigned scout_window_extend(struct scout_window *w, enum scout_dialect d, uint8_t seconds)
{
	unsigned add = seconds < scout_extend_max(d) ? seconds : scout_extend_max(d);

	if (w->extended)
		return 0;
	w->extended = 1;
	w->len_s += add;
	return add;
}

int scout_window_over(const struct scout_window *w, uint64_t now_ms)
{
	return w->start_ms + (uint64_t)w->len_s * 1000u < now_ms;
}

int scout_pin_matches(const char *serial, size_t len, const uint8_t pin[4])
{
	size_t chars = 0;

	while (chars < len && serial[chars] && serial[chars] != '\n' && serial[chars] != '\r')
		chars++;
	return chars >= 17 && memcmp(serial + 13, pin, 4) == 0;
}

unsigned scout_max_memberships(const char *text, size_t len)
{
	unsigned m = 0;
	size_t i = 0;

	if (len > 4)
		len = 4;
	while (i < len && (text[i] == ' ' || text[i] == '\t'))
		i++;
	if (i == len || text[i] < '0' || text[i] > '9')
		return 20;
	for (; i < len && text[i] >= '0' && text[i] <= '9'; i++)
		m = m * 10 + (unsigned)(text[i] - '0');
	return m < 1 ? 20 : m;
}

int scout_link_qualifies(uint8_t family, uint16_t type, uint32_t flags)
{
	return family != AF_BRIDGE && type == ARPHRD_ETHER && (flags & (IFF_UP | IFF_RUNNING)) == (IFF_UP | IFF_RUNNING) &&
	       !(flags & IFF_LOOPBACK);
}

int scout_name_skipped(const char *name)
{
	return strncmp(name, "peer", 4) == 0;
}

int scout_name_is_eth0(const char *name)
{
	size_t n = strlen(name);

	return n > 0 && n <= 4 && strncmp(name, "eth0", n) == 0;
}

/* Offsets in the Ethernet frame. */
#define ETH_DEST 0
#define ETH_TYPE 12
#define IP_START 14
#define IP_TOTAL_LEN (IP_START + 2)
#define IP_FRAG (IP_START + 6)
#define IP_PROTO (IP_START + 9)
#define FRAG_BITS 0x3FFF /* more fragments and the offset */

const struct sock_filter scout_trigger_filter[SCOUT_TRIGGER_FILTER_LEN] = {
	BPF_STMT(BPF_LD | BPF_H | BPF_ABS, ETH_TYPE),
	BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x0800, 0, 10),
	BPF_STMT(BPF_LD | BPF_B | BPF_ABS, IP_PROTO),
	BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 1, 0, 8),
	BPF_STMT(BPF_LD | BPF_H | BPF_ABS, IP_FRAG),
	BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, FRAG_BITS, 6, 0),
	BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, IP_START),
	BPF_STMT(BPF_LD | BPF_B | BPF_IND, IP_START),
	BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 8, 0, 3),
	BPF_STMT(BPF_LD | BPF_H | BPF_ABS, IP_TOTAL_LEN),
	BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SCOUT_TRIGGER_IP_LEN, 0, 1),
	BPF_STMT(BPF_RET | BPF_K, SCOUT_TRIGGER_SNAP),
	BPF_STMT(BPF_RET | BPF_K, 0),
};

enum scout_trigger scout_trigger_check(const uint8_t *frame, size_t len, int pkttype)
{
	static const uint8_t broadcast[6] = { 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF };

	if (len < IP_START + 20 || get_be16(frame + ETH_TYPE) != 0x0800)
		return SCOUT_TRIGGER_NO;
	size_t ihl = (size_t)(frame[IP_START] & 0x0F) * 4;
	if ((frame[IP_START] >> 4) != 4 || ihl < 20 || len < IP_START + ihl + 1)
		return SCOUT_TRIGGER_NO;
	if (frame[IP_PROTO] != 1 || (get_be16(frame + IP_FRAG) & FRAG_BITS) || frame[IP_START + ihl] != 8 ||
	    get_be16(frame + IP_TOTAL_LEN) != SCOUT_TRIGGER_IP_LEN)
		return SCOUT_TRIGGER_NO;
	if (memcmp(frame + ETH_DEST, broadcast, 6) == 0)
		return SCOUT_TRIGGER_BROADCAST;
	/* A promiscuous port (a bridge member) also hands us frames for other hosts: only an echo request
	 * to our own MAC arms the reset. */
	if (pkttype != PACKET_HOST)
		return SCOUT_TRIGGER_NOT_HOST;
	return SCOUT_TRIGGER_ARM;
}
