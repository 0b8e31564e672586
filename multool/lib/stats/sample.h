/* Statistics collector: what its sources share.  Internal to this folder: the applet includes
 * stats_sample.h. */
#pragma once

#include "platform/ifi.h"
#include "stats/stats_codec.h"
#include "stats/stats_sample.h"

#include <jansson.h>
#include <stddef.h>
#include <stdint.h>

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
struct run_ctx {
	json_t *preconf;
	struct qlix_stats_rec allstats[ALLSTATS_MAX];
	size_t nallstats;
	bool agg0;
	/* the peer cache as the last VAP pass left it: last snapshot per station */
	std::unordered_map<uint64_t, struct peer_snapshot> cache;
	/* snapshots of the current VAP pass, the cache after it */
	std::vector<struct peer_snapshot> snapshots;
	/* wireless only: counters and kicker */
	bool counters;
	bool first_run;       /* no state yet: publish the raw values */
	json_t *state_index;  /* "vap/mac" -> old state entry */
	json_t *prev_index;   /* "vap/mac" -> previous published peer */
	uint32_t state_ts;
	json_t *new_state_peers;
	json_t *kicker;
};

struct vap_ctx {
	struct run_ctx *run;
	const struct ifi *ifi;
	const struct vap_priv *priv;
	json_t *peers;         /* output array */
	int count;
	uint64_t tx_retries;
	json_t *first_signal;  /* borrowed from the first station */
	const char *prev_security;
	const char *prev_cipher;
};

/* Ends a VAP pass: its snapshots become the cache, on file and for the next pass. */
void stats_save_peer_cache(struct run_ctx *c);
uint32_t stats_sum_u32(const uint8_t *p, int count);
/* Walks the stations of a VAP into v->peers; the pass ends with the cache replaced. */
void stats_walk_stations(struct vap_ctx *v);
void stats_run_init(struct run_ctx *c);
void stats_run_free(struct run_ctx *c);
bool stats_is_radio(const json_t *preconf, const struct ifi *ifi);
bool stats_vap_of(const struct ifi *vap, const struct ifi *radio);
