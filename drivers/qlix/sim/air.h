/* What the simulated radio spends on the air for one frame: the 802.11 OFDM/HT costs that the
 * module's own airtime formula leaves out.  The numbers and where they come from are in air.md. */
#ifndef QLIX_SIM_AIR_H
#define QLIX_SIM_AIR_H

#include "../qlix.h"

#ifdef __cplusplus
extern "C" {
#endif

struct sim_air_cost {
	u32 gap_ns;		/* idle the radio waits before it sends: SIFS + one slot */
	u32 preamble_ns;	/* legacy and HT preambles, training fields per stream */
	u32 data_ns;		/* OFDM symbols of service, MPDU and tail, padded to a symbol */
	u32 ack_ns;		/* SIFS + the acknowledgement, when the radio sends one */
	u32 total_us;		/* everything above, rounded up */
};

/* Channel width in MHz for the module's bandwidth index; 30 and 40 MHz run on the 20 MHz clock,
 * as the module's rate table has it. */
u32 sim_air_width_mhz(u32 bw);
/* Data rate of the OFDM symbols in kbit/s (rounded down). */
u32 sim_air_phy_kbps(u32 mcs, u32 bw, u32 sgi);
/* The cost of one frame whose qlix body is body_len bytes. */
void sim_air_frame(u32 body_len, u32 mcs, u32 bw, u32 sgi, int acked, struct sim_air_cost *c);
u32 sim_air_frame_us(u32 body_len, u32 mcs, u32 bw, u32 sgi, int acked);

#ifdef __cplusplus
}
#endif
#endif
