/* Statistics collector: periodic.json, the wired ports and a summary of each radio. */
#include "stats/sample.h"

#include "board/eeprom.h"
#include "board/kbee.h"
#include "common/bytes.h"
#include "platform/eth.h"
#include "platform/gpio.h"
#include "radio/iwinfo.h"
#include "spine/jsonutil.h"
#include "spine/logging.h"
#include "stats/load.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/sysinfo.h>

static bool poe_active(void)
{
	const uint8_t *p;
	unsigned n;
	int value;
	bool on = false;

	if (eeprom_init() == 0 && eeprom_get(KBEE_POE, &p, &n) && gpio_get_value(get_be16(p), &value) >= 0)
		on = value == get_be16(p + 2);
	eeprom_free();
	return on;
}

static json_t *periodic_wired(const json_t *preconf)
{
	json_t *wired = json_array();
	int poe = -1;

	list_for_each(pos, stats_interfaces()) {
		struct ifi *ifi = ifi_entry(pos);
		struct eth_state es = {};
		const struct eth_info &ei = es.eth;
		bool is_poe = false;

		if (eth_info(&es, ifi->name) < 0 || !stats_prefix_listed(preconf, ifi->name) || ifi_parent_name(ifi))
			continue;
		if (strncmp(ifi->name, "eth1", 4) == 0) {
			if (poe < 0)
				poe = poe_active();
			is_poe = poe;
		}
		json_array_append_new(wired, json_pack("{s:s,s:I,s:s,s:b,s:b,s:b}", "ifname", ifi->name, "speed",
						       (json_int_t)ei.speed, "duplex", ei.duplex ? "full" : "half",
						       "link", ei.link, "poe", is_poe, "enabled", !es.down));
	}
	return wired;
}

/* One VAP's contribution to its radio's summary; returns its station count for a master, else 0. */
static int periodic_vap(struct run_ctx *c, json_t *r, const struct ifi *radio, const struct ifi *vap)
{
	struct iw_info iw = {};
	struct vap_priv pv;
	struct vap_ctx v = {};
	int master_peers = 0;

	iw_info(&iw, vap->name);
	if (!iw.has_mode)
		return 0;
	bool five = iw.freq >= 3000000000.0;
	json_object_set_new(r, "band", json_string(five ? "5G" : "2G"));
	if (iw.mode == MODE_MASTER)
		json_object_set_new(r, "operationMode", json_string("master"));
	else if (iw.mode == MODE_MANAGED)
		json_object_set_new(r, "operationMode", json_string("managed"));
	json_object_set_new(r, "active", json_true());
	json_object_del(r, "disabledByScheduler");

	stats_read_vap_priv(vap->name, radio->name, &pv);
	v.run = c;
	v.ifi = vap;
	v.priv = &pv;
	v.prev_security = "none";
	v.prev_cipher = "none";
	stats_walk_stations(&v);
	if (v.count > 0) {
		json_object_set_new(r, "assoced", json_true());
		if (iw.mode == MODE_MASTER) {
			master_peers = v.count;
		} else if (iw.mode == MODE_MANAGED) {
			json_t *sig = json_array();
			for (int i = 0; i < v.first_nsignal; i++)
				json_array_append_new(sig, json_integer(v.first_signal[i]));
			json_object_set_new(r, "signal", sig);
			json_object_set_new(r, "noise", json_integer((int)iw.noise - 256));
		}
	}
	if (five) {
		json_object_set_new(r, "cac", json_integer(stats_priv_int(vap->name, "get_cac", 0, LOG_ERROR)));
		json_object_set_new(r, "cacPeriod", json_integer(stats_priv_int(vap->name, "get_cac_period", 0, LOG_ERROR)));
	}
	return master_peers;
}

static json_t *periodic_radio(struct run_ctx *c, const json_t *rfs, const struct ifi *radio)
{
	json_t *r = json_pack("{s:s,s:b,s:b,s:b}", "ifname", radio->name, "active", 0, "disabledByScheduler", 0,
			      "assoced", 0);
	json_int_t total = 0;

	list_for_each(vpos, stats_interfaces()) {
		struct ifi *vap = ifi_entry(vpos);
		if (!stats_vap_of(vap, radio))
			continue;
		if (json_is_true(json_object_get(rfs, radio->name)))
			json_object_set_new(r, "disabledByScheduler", json_true());
		else
			total += periodic_vap(c, r, radio, vap);
	}
	if (total)
		json_object_set_new(r, "peers", json_integer(total));
	return r;
}

int periodic_stats(void)
{
	struct run_ctx c = {};
	json_t *doc = json_object(), *wl = json_array();
	json_t *rfs = json_load_path(STATS_RFSCHEDULER);
	struct sysinfo si = {};

	stats_run_init(&c);
	json_object_set_new(doc, "wired", periodic_wired(c.preconf));
	json_object_set_new(doc, "wireless", wl);
	list_for_each(rpos, stats_interfaces()) {
		struct ifi *radio = ifi_entry(rpos);
		if (stats_is_radio(c.preconf, radio))
			json_array_append_new(wl, periodic_radio(&c, rfs, radio));
	}

	/* The log contract puts the collector's messages in the stats applet's category. */
	if (sysinfo(&si) < 0)
		LOG_E(log4c_cat_stats, "Failed to get sysinfo. Err code = %d\n", errno);
	json_object_set_new(doc, "system", json_pack("{s:i,s:I}", "currentLoad", stats_get_current_load(), "uptime",
						     (json_int_t)si.uptime));
	if (json_dump_atomic(doc, STATS_PERIODIC) < 0)
		perror(STATS_PERIODIC);
	json_decref(rfs);
	json_decref(doc);
	stats_run_free(&c);
	return 0;
}
