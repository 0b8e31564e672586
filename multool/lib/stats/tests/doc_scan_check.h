/* The documents as the JSON library reads them, set beside what doc_scan keeps of them: the unit
 * test's and the fuzz target's one reference.  Returns an empty text when both agree, else what
 * differs. */
#pragma once

#include "stats/doc_scan.h"

#include <jansson.h>
#include <string.h>

#include <string>

static inline std::string doc_scan_entry_text(const char *what, size_t i, const char *field, const char *a,
					      const char *b)
{
	return std::string(what) + "[" + std::to_string(i) + "]." + field + ": " + (a ? a : "(none)") + " vs " +
	       (b ? b : "(none)");
}

static inline std::string doc_scan_compare_list(const char *what, const json_t *arr, const doc_entry *got,
						size_t ngot, const char *const *names, int ncounters, bool peers)
{
	size_t n = 0, i;
	json_t *e;

	if (!json_is_array(arr))
		return ngot ? std::string(what) + ": entries from a non-array" : "";
	json_array_foreach(arr, i, e) {
		if (!json_is_object(e))
			continue;
		if (n >= ngot)
			return std::string(what) + ": fewer entries kept";
		const doc_entry &g = got[n];
		const char *texts[2] = { peers ? "mac" : "name", "vap" };
		const char *have[2] = { peers ? g.mac : g.name, g.vap };
		for (int t = 0; t < (peers ? 2 : 1); t++) {
			const char *want = json_string_value(json_object_get(e, texts[t]));
			if (!want != !have[t] || (want && strcmp(want, have[t])))
				return doc_scan_entry_text(what, n, texts[t], want, have[t]);
		}
		for (int c = 0; c < ncounters; c++) {
			const json_t *v = json_object_get(e, names[c]);
			bool want = json_is_integer(v), has = g.has & (1u << c);
			if (want != has || (want && json_integer_value(v) != g.value[c]))
				return std::string(what) + "[" + std::to_string(n) + "]." + names[c] + " differs";
		}
		n++;
	}
	return n == ngot ? "" : std::string(what) + ": more entries kept";
}

static inline std::string doc_scan_compare(const char *text, size_t len)
{
	json_t *ref = json_loadb(text, len, 0, NULL);
	doc_counters got;
	int rc = doc_scan(text, len, &got);
	std::string out;

	if (!ref != (rc < 0)) {
		out = ref ? "refused a document the library loads" : "took a document the library refuses";
	} else if (ref) {
		bool obj = json_is_object(ref);
		const json_t *ts = json_object_get(ref, "timestamp");
		if (obj != (got.object != 0))
			out = "object";
		else if (json_is_integer(ts) != (got.has_timestamp != 0) ||
			 (got.has_timestamp && json_integer_value(ts) != got.timestamp))
			out = "timestamp";
		else if (obj)
			out = doc_scan_compare_list("vaps", json_object_get(ref, "vaps"), got.vaps, got.nvaps,
						    doc_vap_counter_names, DOC_VAP_COUNTERS, false);
		if (out.empty() && obj)
			out = doc_scan_compare_list("peers", json_object_get(ref, "peers"), got.peers, got.npeers,
						    doc_peer_counter_names, DOC_PEER_COUNTERS, true);
		if (out.empty() && !obj && (got.nvaps || got.npeers))
			out = "entries from an array document";
	}
	if (rc == 0)
		doc_counters_free(&got);
	json_decref(ref);
	return out;
}
