/* The texts the IEEE 802.11 module reads: no JSON, no I/O. */
#pragma once

#include <stdint.h>

/* One interface line of /proc/net/wireless. */
struct d11_wstats {
	char name[16];
	uint32_t nwid, crypt, frag, retry, misc, beacon; /* discarded packets, missed beacons */
};
/* Calls fn for every well-formed interface line of the text (the two header lines first); lines
 * that do not parse are skipped.  The count of lines handed to fn. */
int d11_parse_proc_wireless(const char *text, void (*fn)(const struct d11_wstats *w, void *ctx), void *ctx);

/* dot11PHYType from the driver's protocol name ("IEEE 802.11na"): 1-8 as the MIB counts them, 0 when
 * the name gives none. */
int32_t d11_phy_type(const char *name);
/* The channel of a Wireless Extensions frequency (m * 10^e Hz, or a channel number when e is 0 and
 * m below 1000); 0 when it names none. */
int32_t d11_channel(int32_t m, int16_t e);
