/* Statistics collector: the document-level steps over jansson (continuous counters against the
 * state and the previous document, the kicker bookkeeping, the first-run copy). */
#pragma once

#include "stats/stats_codec.h"

#include <jansson.h>

/* One continuous counter.  last = state[key] (set to raw when missing), previous = prev[key] (0 when
 * missing or prev is NULL).  Publishes previous + increase, or raw when reset; state[key] = raw.
 * Returns the published value. */
json_int_t counter_apply(json_t *pub, const json_t *prev, json_t *state, const char *key, uint32_t raw,
			 bool reset);

/* Writes the state document and copies its bytes over the published document.  0, or -1 after the
 * "cannot copy" message naming func and line. */
int stats_state_init(const json_t *state, const char *state_path, const char *doc_path, const char *func,
		     int line);
/* The same for a state document already written out as text. */
int stats_state_init_text(const char *text, size_t len, const char *state_path, const char *doc_path, const char *func,
			  int line);
/* Byte copy through path + ".xxx" and rename.  0 or -1. */
int stats_copy_file(const char *from, const char *to);

/* ---- kicker document ---- */
#define KICKER_DEFAULT_MAX 6

/* Loaded document, or a new { "maxTimesOverThreshold": 6 }; "vaps" exists afterwards. */
json_t *kicker_load(const char *path);
/* Applies the -l thresholds; a changed one empties "peers".  Returns true when one changed. */
bool kicker_set_thresholds(json_t *kick, const struct kick_entry *e, int n);
/* One station of a VAP, with its per-chain signal values. */
void kicker_station(json_t *kick, const char *vap, const char *mac, const int *signal, int count);
/* Drops untouched stations and the marks; call once after all VAPs. */
void kicker_finish(json_t *kick);
