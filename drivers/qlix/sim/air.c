/* The radio's cost of one frame on the simulated medium.  Every constant here is a row of the
 * table in air.md; the times are those of a 20 MHz channel and stretch by 20 / width on the narrow
 * ones, whose OFDM clock is divided down (the slot's turnaround part does not stretch). */
#include "air.h"

#define AIR_MAC_HDR	24	/* frame control, duration, three addresses, sequence control */
#define AIR_LLC_SNAP	8
#define AIR_FCS		4
#define AIR_SERVICE	16	/* bits before the PSDU */
#define AIR_TAIL	6	/* bits per BCC encoder after it; one encoder at these rates */
#define AIR_ACK_LEN	14	/* frame control, duration, receiver address, FCS */
#define AIR_ACK_DBPS	24	/* 6 Mb/s legacy OFDM, the lowest basic rate */

/* 20 MHz times in ns */
#define AIR_SIFS	16000
#define AIR_SLOT_CCA	4000	/* the part of the slot that stretches with the clock */
#define AIR_SLOT_FIXED	5000	/* turnaround, propagation allowance, MAC processing */
#define AIR_L_STF	8000
#define AIR_L_LTF	8000
#define AIR_L_SIG	4000
#define AIR_HT_SIG	8000
#define AIR_HT_STF	4000
#define AIR_HT_LTF	4000
#define AIR_SYM		4000
#define AIR_SYM_SGI	3600

static const u32 air_widths[] = { 5, 8, 10, 20, 20, 20 };
/* data bits per OFDM symbol and spatial stream, 52 data subcarriers, MCS 0-7 */
static const u32 air_dbps[8] = { 26, 52, 78, 104, 156, 208, 234, 260 };
/* HT long training fields for 1, 2 and 3 spatial streams */
static const u32 air_ltfs[3] = { 1, 2, 4 };

u32 sim_air_width_mhz(u32 bw)
{
	return air_widths[bw < ARRAY_SIZE(air_widths) ? bw : ARRAY_SIZE(air_widths) - 1];
}

static u32 stretch(u32 ns, u32 bw)
{
	return ns * 20 / sim_air_width_mhz(bw);
}

static u32 dbps(u32 mcs)
{
	if (mcs >= QLIX_NUM_MCS)
		mcs = QLIX_NUM_MCS - 1;
	return air_dbps[mcs % 8] * (mcs / 8 + 1);
}

u32 sim_air_phy_kbps(u32 mcs, u32 bw, u32 sgi)
{
	return (u32)((u64)dbps(mcs) * 1000000 / stretch(sgi ? AIR_SYM_SGI : AIR_SYM, bw));
}

static u32 div_up(u32 a, u32 b)
{
	return (a + b - 1) / b;
}

void sim_air_frame(u32 body_len, u32 mcs, u32 bw, u32 sgi, int acked, struct sim_air_cost *c)
{
	u32 psdu = AIR_MAC_HDR + AIR_LLC_SNAP + body_len + AIR_FCS;
	u32 nsym = div_up(AIR_SERVICE + 8 * psdu + AIR_TAIL, dbps(mcs));
	u32 streams = (mcs < QLIX_NUM_MCS ? mcs : QLIX_NUM_MCS - 1) / 8;
	u32 sym = stretch(AIR_SYM, bw);

	c->gap_ns = stretch(AIR_SIFS + AIR_SLOT_CCA, bw) + AIR_SLOT_FIXED;
	c->preamble_ns = stretch(AIR_L_STF + AIR_L_LTF + AIR_L_SIG + AIR_HT_SIG + AIR_HT_STF +
				 air_ltfs[streams] * AIR_HT_LTF, bw);
	/* short-GI symbols end on the long-GI symbol grid */
	if (sgi)
		c->data_ns = sym * div_up(nsym * stretch(AIR_SYM_SGI, bw), sym);
	else
		c->data_ns = sym * nsym;
	c->ack_ns = 0;
	if (acked)
		c->ack_ns = stretch(AIR_SIFS + AIR_L_STF + AIR_L_LTF + AIR_L_SIG, bw) +
			    sym * div_up(AIR_SERVICE + 8 * AIR_ACK_LEN + AIR_TAIL, AIR_ACK_DBPS);
	c->total_us = div_up(c->gap_ns + c->preamble_ns + c->data_ns + c->ack_ns, 1000);
}

u32 sim_air_frame_us(u32 body_len, u32 mcs, u32 bw, u32 sgi, int acked)
{
	struct sim_air_cost c;

	sim_air_frame(body_len, mcs, bw, sgi, acked, &c);
	return c.total_us;
}
