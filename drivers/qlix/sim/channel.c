/* Frame errors from SNR: a logistic curve per MCS around the SNR its modulation and coding need.
 * channel.md gives the table and the curve. */
#include "channel.h"

#include <math.h>

/* Receiver minimum input sensitivity, dBm on 20 MHz, one stream, MCS 0-7: 10 % PER on
 * 4096-byte frames. */
static const double channel_sens_dbm[8] = { -82, -79, -77, -74, -70, -66, -65, -64 };

/* Thermal noise on 20 MHz (-174 dBm/Hz + 73 dB) plus the 10 dB noise figure the sensitivity
 * table assumes: the sensitivity as an SNR needs sens + 91. */
#define CHANNEL_NOISE_DBM	(-91.0)
/* A second and third stream share the power: 3 dB more per stream added. */
#define CHANNEL_STREAM_DB	3.0
/* dB^-1: the error rate falls from 90 % to 10 % over 2.9 dB, from 10 % to 1 % over 1.6 dB. */
#define CHANNEL_SLOPE		1.5

double sim_channel_snr_req(u32 mcs)
{
	if (mcs >= QLIX_NUM_MCS)
		mcs = QLIX_NUM_MCS - 1;
	return channel_sens_dbm[mcs % 8] - CHANNEL_NOISE_DBM + CHANNEL_STREAM_DB * (mcs / 8);
}

double sim_channel_fer(u32 mcs, double snr_db)
{
	/* centre of the curve where it crosses 50 %, ln 9 / slope below the 10 % point */
	double mid = sim_channel_snr_req(mcs) - log(9.0) / CHANNEL_SLOPE;

	return 1.0 / (1.0 + exp(CHANNEL_SLOPE * (snr_db - mid)));
}
