/* Statistics collector: the dependency-free pieces (binary records, counter arithmetic, percentages,
 * load median, threshold list, the small name tables).  Everything here uses libc only so it runs the
 * same on the host and on the 32-bit big-endian board. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "qlix_stats_rec.h"
#include "stats/paths.h"

/* ---- peer cache: 32-byte big-endian records ---- */
#define PEER_CACHE_REC_SIZE 32
#define PEER_CACHE_MARKER 0x12345678u

struct peer_snapshot {
	uint8_t mac[6];
	uint32_t uptime;
	uint32_t tx_packets;
	uint32_t tx_retries;
	uint32_t rx_packets;
	uint32_t rx_drops;
};

void peer_cache_encode(uint8_t rec[PEER_CACHE_REC_SIZE], const struct peer_snapshot *s);
/* 0 and the snapshot when the record carries the marker, -1 otherwise. */
int peer_cache_decode(const uint8_t rec[PEER_CACHE_REC_SIZE], struct peer_snapshot *s);
/* Last record of the station, searched from the end.  A size that is not a multiple of the record
 * size (an empty cache is a valid one without records) finds nothing.  0 when found, -1 otherwise. */
int peer_cache_find(const uint8_t *buf, size_t size, const uint8_t mac[6], struct peer_snapshot *out);

/* ---- polling-MAC per-peer statistics: the module's records, through the module's codec ---- */
#define ALLSTATS_MAX 128

/* Decodes the whole records of buf (a trailing partial record is ignored); returns the count. */
size_t allstats_decode(const uint8_t *buf, size_t size, struct qlix_stats_rec *out, size_t max);
const struct qlix_stats_rec *allstats_find(const struct qlix_stats_rec *recs, size_t n, const uint8_t mac[6]);

/* ---- continuous counters ---- */
/* Increase of a 32-bit counter since the last raw value.  A wrap counts (0xFFFFFFFF - last) + raw:
 * one short of modular arithmetic, and readers compare published totals made this way. */
uint32_t counter_increase(uint32_t raw, uint32_t last);
uint64_t counter_continue(uint64_t previous, uint32_t raw, uint32_t last);
/* The station reconnected since the state was written: its counters restart from the raw values. */
bool counter_station_reset(uint32_t state_timestamp, uint32_t now, uint32_t link_uptime);

/* ---- per-station percentages ---- */
struct peer_percent {
	int tx_retry;
	int rx_drop;
	int rx_ccq;
	int tx_ccq;
};

/* old may be NULL (no cached record).  rx_errors/tx_errors are absolute counts. */
void peer_percentages(const struct peer_snapshot *cur, const struct peer_snapshot *old,
		      uint32_t rx_errors, uint32_t tx_errors, struct peer_percent *out);
/* Link quality from an absolute packet count a, a loss percentage b and an error count c. */
int link_quality(uint32_t a, uint32_t b, uint32_t c);

/* ---- CPU load ---- */
/* Load percent from up to n load fractions (sorted in place): the median, rounded, within 0..100
 * whatever the samples hold (nan, inf, negative or huge values); -1 without any sample. */
int load_percent(double *samples, int n);

/* ---- kicker thresholds (-l) ---- */
#define KICK_NAME_MAX 15

struct kick_entry {
	char ifname[KICK_NAME_MAX + 1];
	int level;
};

/* Returns 0 when the interface is known (its mode can be read), -1 otherwise. */
typedef int (*kick_name_check)(const char *ifname, void *arg);

/* Parses "if:level,if:level,...".  Returns the number of entries, or -1 after writing the reason
 * (one line, newline included) to msg.  *entries is malloc'ed; the caller frees it. */
int kick_parse(const char *arg, kick_name_check check, void *check_arg, struct kick_entry **entries,
	       char *msg, size_t msglen);
/* Average of signal values with integer division (truncates toward zero). */
int kick_average(const int *signal, int count);
/* New "times over threshold" count after one run. */
int kick_step(int times, int average, int threshold, int max_times);

/* ---- names and small derived values ---- */
/* Station PHY mode by driver index; NULL for an index outside the table. */
const char *phy_mode_name(unsigned index);
/* Authentication-mode and cipher bits to text; prev when no known bit is set. */
const char *auth_mode_name(uint32_t bits, const char *prev);
const char *cipher_name(uint32_t bits, const char *prev);
/* Number of set bits among bits 0-2 of a chain mask. */
int chain_count(uint32_t mask);
/* "SISO" or "MIMO %dx%d". */
void radio_mode_text(char *buf, size_t size, uint32_t txmask, uint32_t rxmask);
/* "auto" for 255, else "%u". */
void mcs_text(char *buf, size_t size, int maxautorate, int maxmcs, uint32_t txmask);
/* VAP channel width from chan_bw (B), chwidth (W), chextoffset (E) and the mode text (M). */
void channel_width_text(char *buf, size_t size, int chan_bw, int chwidth, int chextoffset, const char *mode);

struct station_width {
	bool quarter_rate;
	bool half_rate;
	bool ht40_minus;
	bool ht40_plus;
	unsigned phy_index;
};
const char *station_chwidth(const struct station_width *w, int chan_bw);

/* Protocol of a VAP from the driver's protocol name and its private values. */
void vap_protocol_text(char *buf, size_t size, const char *name, int puren, int pureg, int pure11ac,
		       int qlix, bool managed);
/* Bit rate for display: Mb/s above 1 000 000 b/s, otherwise kb/s. */
int32_t bitrate_value(int64_t rate);
/* Frequency in MHz from Hz and the channel offset in kHz. */
double frequency_mhz(double hz, int chan_offset_khz);
