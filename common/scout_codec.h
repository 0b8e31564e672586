/* The discovery protocol on the wire: requests, answers, the state broadcast and the reset trigger
 * frame.  No I/O and no state: the responder (common/scout.h) hands in bytes and gets bytes back.
 *
 * Requests travel to the group 233.89.188.1.  Every multi-byte field is big-endian.
 *
 *   legacy (version 0), UDP 10001, exactly 4 bytes:   0 version  1 -  2 command  3 -
 *   dproto (version 1; 2 for the older responder), UDP 45678:
 *       0 version  1 -  2 command  3 -  4 source id (8)  12 destination id (8)  20 argument
 *   the argument: extend seconds (1 byte, command 4) or the reset PIN (4 bytes, command 6, older only)
 *
 * A device id is 00 00 and the MAC of eth0; all 0xFF addresses every device.  An answer payload starts
 * with the version and the command; a legacy answer is the payload itself (unicast to the asker), a
 * dproto answer is the 20-byte header (version, 0, command, 0, our id, the asker's id) followed by the
 * payload from its third byte on, sent to the group. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <linux/filter.h>

#define SCOUT_GROUP 0xE959BC01u /* 233.89.188.1, host order */
#define SCOUT_GROUP_TEXT "233.89.188.1"
#define SCOUT_PORT_LEGACY 10001
#define SCOUT_PORT_DPROTO 45678

#define SCOUT_ID_ALL 0xFFFFFFFFFFFFFFFFull
#define SCOUT_HEADER_LEN 20
#define SCOUT_REQUEST_MAX 512      /* the receive buffer: anything longer is truncated and dropped */
#define SCOUT_VERSION_LINE_MAX 127 /* bytes of the version line in a discovery answer */
#define SCOUT_SERIAL_LEN 16        /* bytes of the serial number in its answer */
#define SCOUT_STATE_BROADCAST_LEN 21

/* The stored heartbeat: sent as it is up to 1300 bytes, compressed above that, never above 8192. */
#define SCOUT_HB_RAW_MAX 1300
#define SCOUT_HB_FILE_MAX 8192
#define SCOUT_HB_ZBUF 8212 /* the compression buffer: holds compressBound(SCOUT_HB_FILE_MAX) */
#define SCOUT_HB_HEADER 7

/* The longest answer: a heartbeat payload framed as dproto. */
#define SCOUT_ANSWER_MAX (SCOUT_HB_HEADER + SCOUT_HB_RAW_MAX + SCOUT_HEADER_LEN - 2)

enum scout_cmd {
	SCOUT_CMD_DISCOVERY = 0,
	SCOUT_CMD_HEARTBEAT = 1,
	SCOUT_CMD_RESET = 2,
	SCOUT_CMD_STATE = 3,
	SCOUT_CMD_EXTEND = 4,
	SCOUT_CMD_CONTINUE = 5,
	SCOUT_CMD_PIN_RESET = 6,
	SCOUT_CMD_SERIAL = 7,
	SCOUT_CMD_END = 0xFF, /* ends a command table */
};

enum scout_state_flag {
	SCOUT_ST_BOOT = 0x01,      /* in the boot window, no reset under way */
	SCOUT_ST_NORMAL = 0x02,    /* no boot window, no reset under way */
	SCOUT_ST_RESETTING = 0x04, /* the reset to factory defaults runs now */
	SCOUT_ST_EXTENDED = 0x08,  /* the boot has been extended */
	SCOUT_ST_ORDERED = 0x10,   /* a reset has been ordered by command 2 */
	SCOUT_ST_WRONG_PIN = 0x20, /* older responder: a reset PIN did not match */
};

/* Which rules a responder applies. */
enum scout_dialect {
	SCOUT_CURRENT, /* legacy (0) and dproto (1); commands 0 and 7 served whatever the destination */
	SCOUT_OLDER,   /* version 2 only, always addressed to us; command 6 carries a PIN */
};

struct scout_request {
	uint8_t version;
	uint8_t cmd;
	uint8_t dproto;  /* ids present, answered to the group */
	uint8_t narg;    /* bytes of arg present (0, 1 or 4) */
	uint64_t src;    /* dproto only */
	uint64_t dst;
	uint8_t arg[4];
};

/* What became of a datagram; each refusal has its log line (scout_verdict_text). */
enum scout_verdict {
	SCOUT_SERVE = 0,
	SCOUT_SHORT,       /* fewer than 4 bytes */
	SCOUT_LEGACY_LONG, /* version 0 longer than 4 bytes: silently ignored */
	SCOUT_BAD_LEN,     /* dproto length that does not fit the command */
	SCOUT_ZERO_ID,     /* a source or destination id of zero */
	SCOUT_MINE,        /* our own source id */
	SCOUT_NOT_OURS,    /* addressed to another device */
	SCOUT_BAD_VERSION, /* a version this responder does not speak */
};

/* Applies the acceptance rules in their order.  req is filled as far as the datagram was read. */
enum scout_verdict scout_parse_request(enum scout_dialect d, const uint8_t *buf, size_t len, uint64_t own,
				       struct scout_request *req);
/* The exact length a dproto request of the command must have. */
size_t scout_request_len(enum scout_dialect d, uint8_t cmd);
/* The log line of a refusal ("" for SCOUT_SERVE and the silent ones); returns buf. */
const char *scout_verdict_text(enum scout_verdict v, const struct scout_request *req, size_t len, char *buf,
			       size_t size);

/* 00 00 + MAC as one number, and its eight bytes on the wire. */
uint64_t scout_device_id(const uint8_t mac[6]);
void scout_put_id(uint8_t *p, uint64_t id);

/* ---- answers: each builder returns the payload length, or 0 when it does not fit cap ---- */

/* version, 0, MAC, IPv4 (network order), L (u32), the first L (at most 127) bytes of the line. */
size_t scout_discovery_payload(uint8_t *p, size_t cap, uint8_t version, const uint8_t mac[6],
			       const uint8_t ipv4[4], const char *line, size_t len);
/* version, 3, flags: also the answer to commands 2, 4, 5 and 6. */
size_t scout_state_payload(uint8_t *p, size_t cap, uint8_t version, uint8_t flags);
/* version, 7, the first 16 bytes of the serial number, zero-filled. */
size_t scout_serial_payload(uint8_t *p, size_t cap, uint8_t version, const void *serial, size_t len);
/* 0 (whatever the request's version), 1, flags (bit 0: compressed), D as u32 at the unaligned offset 3,
 * the D bytes.  0 above SCOUT_HB_RAW_MAX bytes of data. */
size_t scout_heartbeat_payload(uint8_t *p, size_t cap, const void *data, size_t len, int compressed);

enum scout_hb_plan {
	SCOUT_HB_SEND_RAW,
	SCOUT_HB_COMPRESS,
	SCOUT_HB_TOO_BIG,
};
enum scout_hb_plan scout_heartbeat_plan(size_t stored);

/* The datagram of an answer to req: the payload (legacy) or header + payload[2..] (dproto).  Its
 * length, or 0 when it does not fit cap or the payload is shorter than 2 bytes. */
size_t scout_frame_answer(uint8_t *out, size_t cap, const struct scout_request *req, uint64_t own,
			  const uint8_t *payload, size_t n);
/* The 21-byte unsolicited state datagram: version, 0, 3, 0, our id, all 0xFF, flags. */
size_t scout_state_broadcast(uint8_t *out, size_t cap, uint8_t version, uint64_t own, uint8_t flags);

/* ---- responder state ---- */

struct scout_state {
	uint8_t boot;      /* in boot-time mode (the window is open) */
	uint8_t resetting;
	uint8_t ordered;
	uint8_t extended;
	uint8_t wrong_pin;
};
uint8_t scout_state_flags(const struct scout_state *st);

/* The boot window on the monotonic clock. */
struct scout_window {
	uint64_t start_ms;
	uint32_t len_s;
	uint8_t extended;
};
/* The most one extension adds. */
unsigned scout_extend_max(enum scout_dialect d);
/* Adds min(seconds, scout_extend_max) the first time: the seconds added, or 0 when already extended. */
unsigned scout_window_extend(struct scout_window *w, enum scout_dialect d, uint8_t seconds);
/* True once start + length lies before now. */
int scout_window_over(const struct scout_window *w, uint64_t now_ms);

/* Older responder: the PIN is characters 13 to 16 of the serial number (the text up to its first line
 * break or NUL); a serial shorter than 17 characters matches no PIN. */
int scout_pin_matches(const char *serial, size_t len, const uint8_t pin[4]);

/* ---- interfaces and memberships ---- */

/* Memberships per socket from the text of igmp_max_memberships (its first number, at most 4
 * characters): 20 when there is none or it is below 1. */
unsigned scout_max_memberships(const char *text, size_t len);
/* The socket of the list an interface uses: joining the k-th interface (k counted from 1) uses
 * k / m; the state broadcast sends the j-th (counted from 0) through j / m. */
static inline unsigned scout_socket_index(unsigned n, unsigned m)
{
	return n / m;
}
/* A link message worth a membership: not AF_BRIDGE, Ethernet, up and running, not loopback. */
int scout_link_qualifies(uint8_t family, uint16_t type, uint32_t flags);
/* The polling-MAC peer devices ("peer*") never get a membership. */
int scout_name_skipped(const char *name);
/* The name counts as eth0 when it is a (non-empty) prefix of "eth0". */
int scout_name_is_eth0(const char *name);

/* ---- the reset trigger ---- */

/* An Ethernet frame with IPv4, ICMP, not a fragment, echo request, IP total length 397. */
#define SCOUT_TRIGGER_IP_LEN 397
#define SCOUT_TRIGGER_SNAP 96
#define SCOUT_TRIGGER_FILTER_LEN 13
/* The socket filter of the capture socket: accepts exactly those frames, SCOUT_TRIGGER_SNAP bytes. */
extern const struct sock_filter scout_trigger_filter[SCOUT_TRIGGER_FILTER_LEN];

enum scout_trigger {
	SCOUT_TRIGGER_ARM = 0,
	SCOUT_TRIGGER_NO,        /* not the trigger frame */
	SCOUT_TRIGGER_BROADCAST, /* the trigger sent to the broadcast MAC */
	SCOUT_TRIGGER_NOT_HOST,  /* the trigger, but addressed to another host or a group */
};
/* The whole check in user space, on what the filter let through (the first bytes of the frame) and
 * the packet type the socket reported (PACKET_HOST for frames to our own MAC). */
enum scout_trigger scout_trigger_check(const uint8_t *frame, size_t len, int pkttype);
