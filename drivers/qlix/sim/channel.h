/* The simulated channel of a client: its SNR turned into a frame error rate per MCS.  The model
 * and its numbers are in channel.md. */
#ifndef QLIX_SIM_CHANNEL_H
#define QLIX_SIM_CHANNEL_H

#include "../qlix.h"

#ifdef __cplusplus
extern "C" {
#endif

/* SNR in dB at which a frame at this MCS is lost one time in ten. */
double sim_channel_snr_req(u32 mcs);
/* Probability that a frame at this MCS is lost at this SNR. */
double sim_channel_fer(u32 mcs, double snr_db);

#ifdef __cplusplus
}
#endif
#endif
