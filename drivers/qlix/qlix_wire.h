/* qlix on-air formats and the pure arithmetic around them: 12-bit sequence numbers, token and data
 * headers, acknowledgement bitmaps, the all-stats record, the PHY rate table and airtime.
 * Nothing here touches kernel objects, so the same code runs in the module, the simulator and the
 * target-order unit tests. */
#ifndef QLIX_WIRE_H
#define QLIX_WIRE_H

#include "qlix_compat.h"
#include "qlix_stats_rec.h"

#define QLIX_OUI0		0x02
#define QLIX_OUI1		0x6e
#define QLIX_OUI2		0x41
#define QLIX_PID_TOKEN		0x0001
#define QLIX_PID_DATA		0x0002

#define QLIX_TOKEN_START	1
#define QLIX_TOKEN_END		2
#define QLIX_TOKEN_STASIGNAL	4

#define QLIX_TOKEN_HDR_LEN	20
#define QLIX_DATA_HDR_LEN	12
#define QLIX_ACK_MAX_BITS	256
#define QLIX_ACK_MAP_LEN	(QLIX_ACK_MAX_BITS / 8)
#define QLIX_TOKEN_MAX_LEN	(1 + QLIX_TOKEN_HDR_LEN + QLIX_ACK_MAP_LEN)

#define QLIX_FLAG_UNSYNC	0x1
#define QLIX_FLAG_IDLE		0x2
#define QLIX_FLAG_UNSYNC2	0x4

/* Transmit control word at cb[12..15] (native order) and MCS byte at cb[47]. */
#define QLIX_CB_CTRL_OFF	12
#define QLIX_CB_MCS_OFF		47
#define QLIX_CTRL_START		0x09000000u
#define QLIX_CTRL_END		0x0A000000u
#define QLIX_CTRL_STASIGNAL	0x09000000u
#define QLIX_CTRL_DATA		0x04000000u
#define QLIX_CTRL_DATA_NEWMCS	0x0C000000u
#define QLIX_CTRL_MARK		0x10000000u

#define QLIX_SEQ_MASK		0xfff
#define QLIX_SEQ_HALF		2048

#define QLIX_NUM_MCS		24
#define QLIX_NUM_BW		6

/* (b - a) mod 4096: how far b lies after a. */
static inline u16 qlix_seq_diff(u16 a, u16 b)
{
	return (u16)((b - a) & QLIX_SEQ_MASK);
}

static inline u16 qlix_seq_next(u16 a)
{
	return (u16)((a + 1) & QLIX_SEQ_MASK);
}

/* b is after a: 1..2048 ahead. */
static inline int qlix_seq_after(u16 a, u16 b)
{
	u16 d = qlix_seq_diff(a, b);

	return d >= 1 && d <= QLIX_SEQ_HALF;
}

/* b is behind a: 2049..4095 ahead, i.e. in the past. */
static inline int qlix_seq_behind(u16 a, u16 b)
{
	return qlix_seq_diff(a, b) > QLIX_SEQ_HALF;
}

struct qlix_ack {
	u16 base;
	u16 bits;
	u8 map[QLIX_ACK_MAP_LEN];
};

struct qlix_token_hdr {
	u16 seq;
	u16 qlen;
	u16 free_slots;
	u8 ann_ms;
	u8 timeslot;
	u32 flags;
	struct qlix_ack ack;
};

struct qlix_data_hdr {
	u16 seq;
	u16 total_len;
	u16 count;
	u16 tx_count;
	u16 token_seq;
	u8 remain_ms;
	u8 ac;
};

/* Why a token or data frame was refused. */
enum qlix_wire_err {
	QLIX_WIRE_OK = 0,
	QLIX_WIRE_SHORT = -1,	/* fewer bytes than the headers or the bitmap need */
	QLIX_WIRE_BITS = -2,	/* acknowledgement bit count above 256 */
	QLIX_WIRE_TOTAL = -3,	/* total length field differs from the received length */
	QLIX_WIRE_COUNT = -4,	/* zero packets, or the walk found a different number */
	QLIX_WIRE_PKT = -5,	/* a packet length is zero, too short for Ethernet, or overruns */
	QLIX_WIRE_TRAIL = -6,	/* bytes left over after the last packet */
};

static inline u32 qlix_ack_map_bytes(u32 bits)
{
	return (bits + 7) / 8;
}

u32 qlix_ceil_ms(u32 us);

int qlix_token_encode(u8 *buf, u32 size, u8 type, const struct qlix_token_hdr *h);
int qlix_token_decode(const u8 *buf, u32 len, struct qlix_token_hdr *h);

void qlix_data_hdr_put(u8 *buf, const struct qlix_data_hdr *h);
void qlix_data_hdr_get(const u8 *buf, struct qlix_data_hdr *h);

struct qlix_rx_fault {
	int err;
	u32 pkt;	/* index of the packet that failed, or the packets walked */
	u32 off;	/* offset of the length field that failed */
	u32 plen;	/* the failing packet length */
};

int qlix_rx_validate(const u8 *buf, u32 len, struct qlix_rx_fault *f);

void qlix_ack_start(struct qlix_ack *a, u16 base);
int qlix_ack_add(struct qlix_ack *a, u16 seq);
int qlix_ack_covers(const struct qlix_ack *a, u16 seq);


u32 qlix_phy_rate(u32 mcs, u32 bw, u32 sgi);
u32 qlix_airtime_data(u32 len, u32 mcs, u32 bw, u32 sgi);
u32 qlix_airtime_token(u32 mcs, u32 bw, u32 sgi);

struct qlix_qsizes {
	u32 txq_limit;
	u32 rx_window;
	u32 devqlen;
};

#define QLIX_Q_MIN	16

void qlix_queue_sizes(u32 npeers, u32 budget_pages, struct qlix_qsizes *q);

#endif
