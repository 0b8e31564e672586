/* Statistics collector: what its sources share.  Internal to this folder: the applet includes
 * stats_sample.h. */
#pragma once

#include "platform/ifi.h"
#include "stats/stats_codec.h"
#include "stats/doc_scan.h"
#include "stats/doc_text.h"
#include "stats/stats_sample.h"

#include <jansson.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <unordered_map>
#include <vector>

#define MODE_MANAGED 2
#define MODE_MASTER 3

/* ---- common inputs (inputs.cpp) ---- */
struct list_head *stats_interfaces(void);
bool stats_prefix_listed(const json_t *preconf, const char *name);
uint32_t stats_counter(const struct ifi *ifi, enum ifi_stat s);
void stats_add_addresses(json_t *obj, const struct ifi *ifi);
const char *stats_first_address(char *buf, size_t size, const struct ifi *ifi, int family);
uint32_t stats_now_seconds(void);

/* ---- private values of VAPs and radios (wireless.cpp) ---- */
struct vap_priv {
	int wds, qlix, hide_ssid, maxsta, pureg, puren, pure11ac, chwidth, chextoffset, maxmcs;
	char mode[65];
	int chan_bw, acktimeout, maxautorate, chan_offset, txchainmask, rxchainmask;
	int qlix_version;
	bool has_qlix_version;
};

int stats_priv_int(const char *ifname, const char *name, int def, int fail_level);
void stats_read_vap_priv(const char *vap, const char *radio, struct vap_priv *p);

/* ---- the station pass and the run it belongs to (stations.cpp) ---- */
/* The counters of the previous wireless documents, looked up by "vap/mac" (later entries win). */
struct prev_counters {
	struct doc_counters doc;
	std::unordered_map<std::string, const struct doc_entry *> peers;
};

struct run_ctx {
	json_t *preconf;
	struct qlix_stats_rec allstats[ALLSTATS_MAX];
	size_t nallstats;
	bool agg0;
	/* the peer cache as the last VAP pass left it: last snapshot per station */
	std::unordered_map<uint64_t, struct peer_snapshot> cache;
	/* snapshots of the current VAP pass, the cache after it */
	std::vector<struct peer_snapshot> snapshots;
	std::vector<uint8_t> st; /* station statistics answer, one station at a time */
	/* wireless only: counters, the texts of both "peers" arrays, kicker */
	bool counters;
	bool first_run;              /* no state yet: publish the raw values */
	struct prev_counters state;  /* state/wireless.json */
	struct prev_counters prev;   /* the previously published wireless.json */
	uint32_t state_ts;
	struct doc_text *peers_text;       /* "peers" of wireless.json */
	struct doc_text *state_peers_text; /* "peers" of the state document */
	json_t *kicker;
};

struct vap_ctx {
	struct run_ctx *run;
	const struct ifi *ifi;
	const struct vap_priv *priv;
	int count;
	uint64_t tx_retries;
	int first_signal[3];   /* the first station's signal values */
	int first_nsignal;
	const char *prev_security;
	const char *prev_cipher;
};

/* Ends a VAP pass: its snapshots become the cache, on file and for the next pass. */
void stats_save_peer_cache(struct run_ctx *c);
uint32_t stats_sum_u32(const uint8_t *p, int count);
/* Walks the stations of a VAP (into the run's texts for wireless.json); the pass ends with the cache
 * replaced. */
void stats_walk_stations(struct vap_ctx *v);
void stats_run_init(struct run_ctx *c);
void stats_run_free(struct run_ctx *c);
/* Reads a previous document's counters; a missing or refused document leaves d empty and gives
 * false. */
bool stats_prev_load(struct prev_counters *d, const char *path);
void stats_prev_free(struct prev_counters *d);
/* The "vaps" entry of that name (the first one), or NULL. */
const struct doc_entry *stats_prev_vap(const struct prev_counters *d, const char *name);
bool stats_is_radio(const json_t *preconf, const struct ifi *ifi);
bool stats_vap_of(const struct ifi *vap, const struct ifi *radio);
