/* Statistics collector: statistics.json, the interfaces with their continuous counters and the
 * system figures. */
#include "stats/sample.h"

#include "platform/eth.h"
#include "radio/iwinfo.h"
#include "spine/jsonutil.h"
#include "spine/logging.h"
#include "stats/load.h"
#include "stats/stats_doc.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/sysinfo.h>

#include <vector>

static const char *const if_counters[] = { "rx_packets", "tx_packets", "rx_bytes", "tx_bytes" };
static const enum ifi_stat if_counter_ids[] = { IFI_RX_PACKETS, IFI_TX_PACKETS, IFI_RX_BYTES, IFI_TX_BYTES };

struct published_if {
	struct ifi *ifi;
	json_t *obj;
};

/* One member of "interfaces"; NULL for an Ethernet interface that is not configured. */
static json_t *statistics_interface(const struct ifi *ifi, const json_t *preconf, const char *wan, const char *lan)
{
	struct eth_state es = {};
	const struct eth_info &ei = es.eth;
	char text[32];
	bool eth = eth_info(&es, ifi->name) == 0;

	if (eth && !stats_prefix_listed(preconf, ifi->name))
		return NULL;
	json_t *o = json_object();
	if (eth) {
		json_object_set_new(o, "speed", json_integer(ei.speed));
		json_object_set_new(o, "duplex", json_string(ei.duplex ? "full" : "half"));
		json_object_set_new(o, "link", json_string(ei.link ? "yes" : "no"));
	}
	json_object_set_new(o, "if_index", json_integer(ifi->ordinal));
	json_object_set_new(o, "mac_address", json_string(ifi_mac_ntop(text, sizeof(text), ifi->hwaddr)));
	/* The continuous counters are filled in later, in this place of the key order. */
	for (const char *k : if_counters)
		json_object_set_new(o, k, json_integer(0));
	json_object_set_new(o, "rx_drop", json_integer(stats_counter(ifi, IFI_RX_DROPPED)));
	json_object_set_new(o, "tx_drop", json_integer(stats_counter(ifi, IFI_TX_DROPPED)));
	json_object_set_new(o, "rx_errors", json_integer(stats_counter(ifi, IFI_RX_ERRORS)));
	json_object_set_new(o, "tx_errors", json_integer(stats_counter(ifi, IFI_TX_ERRORS)));
	stats_add_addresses(o, ifi);
	if (wan && strcmp(ifi->name, wan) == 0)
		json_object_set_new(o, "type", json_string("wan"));
	else if (lan && strcmp(ifi->name, lan) == 0)
		json_object_set_new(o, "type", json_string("lan"));
	return o;
}

/* State document of raw values only, as written when there is none yet. */
static json_t *statistics_raw_state(const std::vector<struct published_if> &pub)
{
	json_t *state = json_object(), *ifs = json_object();

	json_object_set_new(state, "interfaces", ifs);
	for (const auto &p : pub) {
		json_t *e = json_pack("{s:I}", "if_index", (json_int_t)p.ifi->ordinal);
		for (size_t i = 0; i < 4; i++)
			json_object_set_new(e, if_counters[i], json_integer(stats_counter(p.ifi, if_counter_ids[i])));
		json_object_set_new(ifs, p.ifi->name, e);
	}
	return state;
}

/* Publishes the continuous counters into pub and returns the next state document. */
static json_t *statistics_counters(const std::vector<struct published_if> &pub, const json_t *state, const json_t *prev)
{
	json_t *next = json_object(), *ifs = json_object();

	json_object_set_new(next, "interfaces", ifs);
	for (const auto &p : pub) {
		const json_t *old = json_object_get(json_object_get(state, "interfaces"), p.ifi->name);
		json_t *e = json_is_object(old) ? json_deep_copy(old) : json_object();
		const json_t *prev_if = json_object_get(json_object_get(prev, "interfaces"), p.ifi->name);

		json_object_set_new(e, "if_index", json_integer(p.ifi->ordinal));
		for (size_t i = 0; i < 4; i++)
			counter_apply(p.obj, prev_if, e, if_counters[i], stats_counter(p.ifi, if_counter_ids[i]), false);
		json_object_set_new(ifs, p.ifi->name, e);
	}
	return next;
}

static void statistics_system(json_t *doc, const char *wan)
{
	struct sysinfo si;
	float usage = 0;
	char addr[INET6_ADDRSTRLEN];

	json_object_set_new(doc, "cpu_load", json_integer(stats_get_current_load()));
	/* The log contract puts the collector's messages in the stats applet's category. */
	if (sysinfo(&si) < 0)
		LOG_E(log4c_cat_stats, "Failed to get sysinfo. Err code = %d\n", errno);
	else if (si.totalram)
		usage = (1.0f - (float)si.freeram / (float)si.totalram) * 100.0f;
	json_object_set_new(doc, "memory_usage", json_real(usage));

	struct ifi *w = wan ? ifi_find_by_name(wan) : NULL;
	const char *v4 = stats_first_address(addr, sizeof(addr), w, AF_INET);
	json_object_set_new(doc, "device_ip", json_string(v4 ? v4 : "0.0.0.0"));
	const char *v6 = stats_first_address(addr, sizeof(addr), w, AF_INET6);
	if (v6)
		json_object_set_new(doc, "device_ip6", json_string(v6));
}

int statistics_stats(void)
{
	json_t *preconf = json_load_path(STATS_PRECONFIGURED);
	json_t *doc = json_object(), *ifs = json_object();
	json_t *state = json_load_path(STATS_STATE_STATISTICS);
	json_t *prev = NULL, *next = NULL;
	std::vector<struct published_if> pub;
	const char *wan = json_dotget_string(preconf, "topology.wan");
	const char *lan = json_dotget_string(preconf, "topology.lan");
	int rc = -1;

	json_object_set_new(doc, "interfaces", ifs);
	list_for_each(pos, stats_interfaces()) {
		struct ifi *ifi = ifi_entry(pos);
		json_t *o = statistics_interface(ifi, preconf, wan, lan);
		if (!o)
			continue;
		json_object_set_new(ifs, ifi->name, o);
		pub.push_back({ ifi, o });
	}
	if (!json_is_object(state)) {
		json_decref(state);
		state = statistics_raw_state(pub);
		if (stats_state_init(state, STATS_STATE_STATISTICS, STATS_STATISTICS, "statistics_stats", __LINE__) < 0)
			goto out;
	}
	prev = json_load_path(STATS_STATISTICS);
	next = statistics_counters(pub, state, prev);
	statistics_system(doc, wan);
	if (json_dump_atomic(doc, STATS_STATISTICS) < 0) {
		perror(STATS_STATISTICS);
		goto out;
	}
	json_object_set_new(next, "timestamp", json_integer(stats_now_seconds()));
	if (json_dump_atomic(next, STATS_STATE_STATISTICS) < 0)
		perror(STATS_STATE_STATISTICS);
	rc = 0;
out:
	json_decref(next);
	json_decref(prev);
	json_decref(state);
	json_decref(doc);
	json_decref(preconf);
	return rc;
}
