/* Standard wireless queries of one interface. */
#pragma once

#include <stdint.h>

struct iw_info {
	char name[17];         /* protocol name, terminated */
	char essid[64];
	uint16_t essid_len;
	uint16_t essid_on;
	int mode;
	int has_mode;          /* mode valid (below 7) */
	double freq;           /* Hz */
	uint8_t channel;       /* channel index byte of the frequency answer */
	int has_freq;
	uint8_t ap_addr[6];
	int has_ap;
	int txpower;           /* dBm, 0 when power is off */
	int has_txpower;
	uint8_t level;         /* link quality: signal and noise bytes */
	uint8_t noise;
	int has_stats;
	int32_t bitrate;       /* bit/s */
	int has_bitrate;
	uint16_t encode_flags;
	int has_encode;
};

/* Runs the nine queries, each may fail on its own; the caller zeroes info first.  Returns 0. */
int iw_info(struct iw_info *info, const char *ifname);
int iw_current_bit_rate(struct iw_info *info, const char *ifname);
/* "Auto" ... "Monitor", NULL for 7 and above (and for negative modes). */
const char *iw_operation_mode2str(int mode);
