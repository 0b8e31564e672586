/* Statistics collector: continuous counters over the documents, kicker bookkeeping, file helpers. */
#include "stats/stats_doc.h"

#include "common/fileio.h"
#include "spine/jsonutil.h"
#include "spine/utils.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

json_int_t counter_apply(json_t *pub, const json_t *prev, json_t *state, const char *key, uint32_t raw,
			 bool reset)
{
	json_t *l = json_object_get(state, key);
	uint32_t last = json_is_integer(l) ? (uint32_t)json_integer_value(l) : raw;
	const json_t *p = prev ? json_object_get(prev, key) : NULL;
	uint64_t previous = json_is_integer(p) ? (uint64_t)json_integer_value(p) : 0;
	json_int_t out = reset ? (json_int_t)raw : (json_int_t)counter_continue(previous, raw, last);

	json_object_set_new(pub, key, json_integer(out));
	json_object_set_new(state, key, json_integer(raw));
	return out;
}

int stats_copy_file(const char *from, const char *to)
{
	size_t len;
	char *data = read_file(from, &len);
	int rc;

	if (!data)
		return -1;
	rc = write_replace(to, ".xxx", data, len, 0644, 0);
	free(data);
	return rc;
}

/* On a fresh /var/run neither the documents' folder nor its state folder exist yet. */
static void state_dirs(const char *state_path)
{
	char dir[4096];

	snprintf(dir, sizeof(dir), "%s", state_path);
	char *slash = strrchr(dir, '/');
	if (slash) {
		*slash = '\0';
		create_path(dir);
	}
	create_path(state_path);
}

static int cannot_copy(const char *state_path, const char *doc_path, const char *func, int line)
{
	fprintf(stderr, "%s:%s():%d: cannot copy %s to %s\n", "stats.c", func, line, state_path, doc_path);
	return -1;
}

int stats_state_init(const json_t *state, const char *state_path, const char *doc_path, const char *func,
		     int line)
{
	state_dirs(state_path);
	if (json_dump_atomic(state, state_path) < 0 || stats_copy_file(state_path, doc_path) < 0)
		return cannot_copy(state_path, doc_path, func, line);
	return 0;
}

int stats_state_init_text(const char *text, size_t len, const char *state_path, const char *doc_path, const char *func,
			  int line)
{
	state_dirs(state_path);
	if (!text || write_replace(state_path, ".xxx", text, len, 0644, 0) < 0 || stats_copy_file(state_path, doc_path) < 0)
		return cannot_copy(state_path, doc_path, func, line);
	return 0;
}

json_t *kicker_load(const char *path)
{
	json_t *k = json_load_path(path);

	if (!json_is_object(k)) {
		json_decref(k);
		k = json_pack("{s:i}", "maxTimesOverThreshold", KICKER_DEFAULT_MAX);
	}
	json_ensure_object(k, "vaps");
	return k;
}

bool kicker_set_thresholds(json_t *kick, const struct kick_entry *e, int n)
{
	json_t *vaps = json_ensure_object(kick, "vaps");
	bool changed = false;

	for (int i = 0; i < n; i++) {
		json_t *v = json_ensure_object(vaps, e[i].ifname);
		json_t *t = json_object_get(v, "signalThreshold");
		if (json_is_integer(t) && json_integer_value(t) == e[i].level)
			continue;
		json_object_set_new(v, "signalThreshold", json_integer(e[i].level));
		changed = true;
	}
	if (changed)
		json_object_set_new(kick, "peers", json_object());
	return changed;
}

void kicker_station(json_t *kick, const char *vap, const char *mac, const int *signal, int count)
{
	const json_t *t = json_object_get(json_object_get(json_object_get(kick, "vaps"), vap), "signalThreshold");

	if (!json_is_integer(t) || count <= 0)
		return;
	json_int_t threshold = json_integer_value(t);
	if (threshold >= 0)
		return;
	json_t *peers = json_ensure_object(kick, "peers");
	json_t *p = json_object_get(peers, mac);
	if (json_is_object(p)) {
		json_int_t max = json_dotget_int(kick, "maxTimesOverThreshold", KICKER_DEFAULT_MAX);
		json_int_t times = json_dotget_int(p, "timesOverThreshold", 0);
		times = kick_step((int)times, kick_average(signal, count), (int)threshold, (int)max);
		json_object_set_new(p, "timesOverThreshold", json_integer(times));
	} else {
		p = json_pack("{s:i}", "timesOverThreshold", 0);
		json_object_set_new(peers, mac, p);
	}
	json_object_set_new(p, "vap", json_string(vap));
	json_object_set_new(p, "touched", json_true());
}

void kicker_finish(json_t *kick)
{
	json_t *peers = json_ensure_object(kick, "peers");
	const char *mac;
	json_t *p;
	void *tmp;

	json_object_foreach_safe(peers, tmp, mac, p) {
		if (!json_is_true(json_object_get(p, "touched")))
			json_object_del(peers, mac);
		else
			json_object_del(p, "touched");
	}
}
