/* qlix frame codec and pure arithmetic.  Every multi-byte field goes through the unaligned
 * big-endian accessors: the type byte puts the token header at odd offsets. */
#include "qlix_wire.h"

u32 qlix_ceil_ms(u32 us)
{
	return us / 1000 + (us % 1000 != 0);
}

/* Returns the number of bytes written, or -1 when buf is too small or bits is above 256. */
int qlix_token_encode(u8 *buf, u32 size, u8 type, const struct qlix_token_hdr *h)
{
	u32 nmap, len;

	if (size < 1)
		return -1;
	buf[0] = type;
	if (type == QLIX_TOKEN_STASIGNAL)
		return 1;
	if (h->ack.bits > QLIX_ACK_MAX_BITS)
		return -1;
	nmap = qlix_ack_map_bytes(h->ack.bits);
	len = 1 + QLIX_TOKEN_HDR_LEN + nmap;
	if (size < len)
		return -1;
	buf++;
	put_unaligned_be16(h->seq, buf + 0);
	put_unaligned_be16(h->qlen, buf + 2);
	put_unaligned_be16(h->free_slots, buf + 4);
	buf[6] = h->ann_ms;
	buf[7] = h->timeslot;
	put_unaligned_be32(0, buf + 8);
	put_unaligned_be32(h->flags, buf + 12);
	put_unaligned_be16(h->ack.base, buf + 16);
	put_unaligned_be16(h->ack.bits, buf + 18);
	memcpy(buf + 20, h->ack.map, nmap);
	return (int)len;
}

/* buf starts after the type byte.  Sequences are masked to 12 bits: the upper nibble is not
 * ours to trust.  The unused tail of the bitmap is zeroed so lookups need no length. */
int qlix_token_decode(const u8 *buf, u32 len, struct qlix_token_hdr *h)
{
	u32 nmap;

	if (len < QLIX_TOKEN_HDR_LEN)
		return QLIX_WIRE_SHORT;
	h->seq = get_unaligned_be16(buf + 0) & QLIX_SEQ_MASK;
	h->qlen = get_unaligned_be16(buf + 2);
	h->free_slots = get_unaligned_be16(buf + 4);
	h->ann_ms = buf[6];
	h->timeslot = buf[7];
	h->flags = get_unaligned_be32(buf + 12);
	h->ack.base = get_unaligned_be16(buf + 16) & QLIX_SEQ_MASK;
	h->ack.bits = get_unaligned_be16(buf + 18);
	if (h->ack.bits > QLIX_ACK_MAX_BITS)
		return QLIX_WIRE_BITS;
	nmap = qlix_ack_map_bytes(h->ack.bits);
	if (len < QLIX_TOKEN_HDR_LEN + nmap)
		return QLIX_WIRE_SHORT;
	memset(h->ack.map, 0, sizeof(h->ack.map));
	memcpy(h->ack.map, buf + QLIX_TOKEN_HDR_LEN, nmap);
	return QLIX_WIRE_OK;
}

void qlix_data_hdr_put(u8 *buf, const struct qlix_data_hdr *h)
{
	put_unaligned_be16(h->seq, buf + 0);
	put_unaligned_be16(h->total_len, buf + 2);
	put_unaligned_be16(h->count, buf + 4);
	put_unaligned_be16(h->tx_count, buf + 6);
	put_unaligned_be16(h->token_seq, buf + 8);
	buf[10] = h->remain_ms;
	buf[11] = h->ac;
}

void qlix_data_hdr_get(const u8 *buf, struct qlix_data_hdr *h)
{
	h->seq = get_unaligned_be16(buf + 0) & QLIX_SEQ_MASK;
	h->total_len = get_unaligned_be16(buf + 2);
	h->count = get_unaligned_be16(buf + 4);
	h->tx_count = get_unaligned_be16(buf + 6);
	h->token_seq = get_unaligned_be16(buf + 8) & QLIX_SEQ_MASK;
	h->remain_ms = buf[10];
	h->ac = buf[11];
}

/* An Ethernet frame needs its 14-byte header, 18 with an 802.1Q tag, before delivery may read it. */
static int qlix_pkt_too_short(const u8 *pkt, u32 plen)
{
	if (plen < ETH_HLEN)
		return 1;
	return get_unaligned_be16(pkt + 12) == ETH_P_8021Q && plen < ETH_HLEN + 4;
}

static int qlix_rx_fail(struct qlix_rx_fault *f, int err, u32 pkt, u32 off, u32 plen)
{
	f->err = err;
	f->pkt = pkt;
	f->off = off;
	f->plen = plen;
	return err;
}

/* Checks a received aggregate before anything reads it: header, then each length-prefixed packet. */
int qlix_rx_validate(const u8 *buf, u32 len, struct qlix_rx_fault *f)
{
	u32 total, count, off, i;

	if (len < QLIX_DATA_HDR_LEN)
		return qlix_rx_fail(f, QLIX_WIRE_SHORT, 0, 0, 0);
	total = get_unaligned_be16(buf + 2);
	count = get_unaligned_be16(buf + 4);
	if (total != len)
		return qlix_rx_fail(f, QLIX_WIRE_TOTAL, 0, 0, 0);
	if (count == 0)
		return qlix_rx_fail(f, QLIX_WIRE_COUNT, 0, 0, 0);
	off = QLIX_DATA_HDR_LEN;
	for (i = 0; i < count; i++) {
		u32 plen;

		if (off + 2 > total)
			return qlix_rx_fail(f, QLIX_WIRE_PKT, i, off, 0);
		plen = get_unaligned_be16(buf + off);
		if (plen == 0 || plen > total - off - 2)
			return qlix_rx_fail(f, QLIX_WIRE_PKT, i, off, plen);
		if (qlix_pkt_too_short(buf + off + 2, plen))
			return qlix_rx_fail(f, QLIX_WIRE_PKT, i, off, plen);
		off += 2 + plen;
	}
	if (off != total)
		return qlix_rx_fail(f, QLIX_WIRE_TRAIL, i, off, 0);
	return qlix_rx_fail(f, QLIX_WIRE_OK, i, off, 0);
}

void qlix_ack_start(struct qlix_ack *a, u16 base)
{
	a->base = base & QLIX_SEQ_MASK;
	a->bits = 0;
	memset(a->map, 0, sizeof(a->map));
}

/* Feeds one stored sequence, in ascending serial order.  A contiguous run moves the base; later
 * sequences set their bit.  Returns 1 when seq lies beyond the bitmap and the walk should stop. */
int qlix_ack_add(struct qlix_ack *a, u16 seq)
{
	u16 d = qlix_seq_diff(a->base, seq);

	if (d == 1) {
		a->base = seq;
		return 0;
	}
	if (d < 2 || d > QLIX_ACK_MAX_BITS)
		return 1;
	a->map[(d - 1) / 8] |= (u8)(0x80 >> ((d - 1) % 8));
	a->bits = d;
	return 0;
}

/* 1 if seq is acknowledged: at or behind the base, or its bit k-1 is set for 2 <= k <= bits. */
int qlix_ack_covers(const struct qlix_ack *a, u16 seq)
{
	u16 k = qlix_seq_diff(a->base, seq);

	if (k == 0 || k > QLIX_SEQ_HALF)
		return 1;
	if (k < 2 || k > a->bits || k > QLIX_ACK_MAX_BITS)
		return 0;
	return (a->map[(k - 1) / 8] >> (7 - (k - 1) % 8)) & 1;
}

/* PHY rates in 100 kbit/s: [bw][sgi][mcs].  bw 0..3 = 5, 8, 10, 20 MHz; wider channels use the
 * 20 MHz row.  A narrow channel runs the 20 MHz OFDM clock divided down, so each row is the
 * 20 MHz row scaled by width / 20 and rounded half up.  The 8 and 10 MHz long-guard rows are
 * derived so in full, MCS 0-23 (8 MHz: 1-stream MCS 6 and 7 are 23.4 and 26.0 Mb/s, 2-stream
 * MCS 8-11 5.2, 10.4, 15.6, 20.8): each stream group rises, and two streams carry twice one. */
static const u16 qlix_phy_table[4][2][QLIX_NUM_MCS] = {
	{
		{ 16, 33, 49, 65, 98, 130, 146, 163, 33, 65, 98, 130, 195, 260, 293, 325,
		  49, 98, 146, 195, 293, 390, 439, 488 },
		{ 18, 36, 54, 72, 108, 145, 163, 181, 36, 72, 108, 145, 217, 289, 325, 361,
		  54, 108, 163, 217, 325, 433, 488, 542 },
	},
	{
		{ 26, 52, 78, 104, 156, 208, 234, 260, 52, 104, 156, 208, 312, 416, 468, 520,
		  78, 156, 234, 312, 468, 624, 702, 780 },
		{ 28, 57, 87, 116, 173, 231, 260, 288, 57, 116, 173, 231, 347, 462, 520, 577,
		  87, 173, 260, 347, 520, 693, 780, 867 },
	},
	{
		{ 33, 65, 98, 130, 195, 260, 293, 325, 65, 130, 195, 260, 390, 520, 585, 650,
		  98, 195, 293, 390, 585, 780, 878, 975 },
		{ 36, 72, 109, 145, 217, 289, 325, 361, 72, 145, 217, 289, 434, 578, 650, 722,
		  109, 217, 325, 434, 650, 867, 975, 1084 },
	},
	{
		{ 65, 130, 195, 260, 390, 520, 585, 650, 130, 260, 390, 520, 780, 1040, 1170, 1300,
		  195, 390, 585, 780, 1170, 1560, 1755, 1950 },
		{ 72, 144, 217, 289, 433, 578, 650, 722, 144, 289, 433, 578, 867, 1156, 1300, 1444,
		  217, 433, 650, 867, 1300, 1733, 1950, 2167 },
	},
};

/* kbit/s */
u32 qlix_phy_rate(u32 mcs, u32 bw, u32 sgi)
{
	if (mcs >= QLIX_NUM_MCS)
		mcs = QLIX_NUM_MCS - 1;
	if (bw > 3)
		bw = 3;
	return 100u * qlix_phy_table[bw][sgi ? 1 : 0][mcs];
}

/* Microseconds for len bytes; len is at most 65535, so len * 8000 fits 32 bits. */
u32 qlix_airtime_data(u32 len, u32 mcs, u32 bw, u32 sgi)
{
	return len * 8000u / qlix_phy_rate(mcs, bw, sgi);
}

u32 qlix_airtime_token(u32 mcs, u32 bw, u32 sgi)
{
	return 688000u / qlix_phy_rate(mcs, bw, sgi);
}

/* Queue limits from the peer count and the memory budget.  q has a floor so the advertised free
 * slots and the admission margin (limit - 5) stay meaningful with many peers and little RAM. */
void qlix_queue_sizes(u32 npeers, u32 budget_pages, struct qlix_qsizes *q)
{
	u32 per, share;

	q->txq_limit = 256;
	q->rx_window = 256;
	q->devqlen = 1000;
	if (npeers == 0)
		return;
	per = budget_pages / npeers;
	share = per / 10;
	if (share <= 256) {
		if (share < QLIX_Q_MIN)
			share = QLIX_Q_MIN;
		q->txq_limit = share;
		q->rx_window = share;
		q->devqlen = 2 * share;
		return;
	}
	q->devqlen = per > 1536 ? (per - 1536) / 4 : 0;
	if (q->devqlen > 1000)
		q->devqlen = 1000;
}
