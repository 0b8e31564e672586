/* Statistics collector: wireless.json with the kicker document, and the private values of VAPs and
 * radios that periodic.json reads too. */
#include "stats/sample.h"

#include "common/text.h"
#include "radio/driver.h"
#include "radio/iwinfo.h"
#include "radio/iwpriv.h"
#include "spine/jsonutil.h"
#include "spine/logging.h"
#include "stats/stats_doc.h"

#include "common/fileio.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

/* ---------------------------------------------------------------- private values */

int stats_priv_int(const char *ifname, const char *name, int def, int fail_level)
{
	int v;

	if (iwpriv_get_int(ifname, name, &v) < 0) {
		/* The log contract puts the collector's messages in the stats applet's category. */
		LOG(log4c_cat_stats, fail_level, "iwpriv(%s, %s) failed.", ifname, name);
		return def;
	}
	LOG_I(log4c_cat_stats, "iwpriv(%s, %s: %d\n", ifname, name, v);
	return v;
}

void stats_read_vap_priv(const char *vap, const char *radio, struct vap_priv *p)
{
	memset(p, 0, sizeof(*p));
	p->wds = stats_priv_int(vap, "get_wds", 0, LOG_ERROR);
	p->qlix = stats_priv_int(vap, "get_qlix", 0, LOG_ERROR);
	p->hide_ssid = stats_priv_int(vap, "get_hide_ssid", 0, LOG_ERROR);
	int n = iwpriv_get(vap, "get_mode", p->mode, sizeof(p->mode) - 1);
	if (n < 0) {
		LOG_E(log4c_cat_stats, "iwpriv(%s, get_mode) failed.", vap);
		p->mode[0] = '\0';
	} else {
		p->mode[n] = '\0';
		LOG_I(log4c_cat_stats, "iwpriv(%s, get_mode: %s\n", vap, p->mode);
	}
	p->maxsta = stats_priv_int(vap, "get_maxsta", 0, LOG_ERROR);
	p->pureg = stats_priv_int(vap, "get_pureg", 0, LOG_ERROR);
	p->puren = stats_priv_int(vap, "get_puren", 0, LOG_ERROR);
	p->pure11ac = stats_priv_int(vap, "get_pure11ac", 0, LOG_WARN);
	p->chwidth = stats_priv_int(vap, "get_chwidth", 0, LOG_ERROR);
	p->chextoffset = stats_priv_int(vap, "get_chextoffset", 0, LOG_ERROR);
	p->maxmcs = stats_priv_int(vap, "get_maxmcs", 255, LOG_ERROR);
	p->chan_bw = stats_priv_int(radio, "get_chan_bw", 20, LOG_ERROR);
	p->acktimeout = stats_priv_int(radio, "get_acktimeout", 0, LOG_ERROR);
	p->maxautorate = stats_priv_int(radio, "get_maxautorate", -1, LOG_ERROR);
	p->chan_offset = stats_priv_int(radio, "get_chan_offset", 0, LOG_ERROR);
	p->txchainmask = stats_priv_int(radio, "get_txchainmask", 0, LOG_ERROR);
	p->rxchainmask = stats_priv_int(radio, "get_rxchainmask", 0, LOG_ERROR);
	if (strncmp(p->mode, "11ACVHT80", 9) == 0 && p->chan_bw == 0)
		p->chan_bw = 80;
	int v;
	if (iwpriv_get_int(vap, "get_qlix_version", &v) == 0) {
		p->qlix_version = v;
		p->has_qlix_version = true;
	}
}

/* ---------------------------------------------------------------- wireless.json */

static void country_code(json_t *radios, const char *radio)
{
	json_t *conf = json_load_path("/tmp/config.json");
	const char *def = json_dotget_string(conf, "wireless.countrycode");
	char text[8] = "";

	if (!def)
		def = json_dotget_string(conf, "wireless.countryCode");
	if (!def)
		def = "--";
	int n = iwpriv_get(radio, "getCountry", text, 4);
	if (n < 0 || strcmp(def, "CT") == 0)
		snprintf(text, sizeof(text), "%s", def);
	else
		text[n] = '\0';
	json_set_text(radios, "countryCode", trim(text));
	json_decref(conf);
}

static const char *vap_security(const json_t *preconf, const char *vap, bool managed, char *buf, size_t size)
{
	const char *sec = json_string_value(json_object_get(json_object_get(json_object_get(preconf, "vaps"), vap),
							    "security"));
	if (!sec)
		return "open";
	if (!managed || !strstr(sec, "wpa"))
		return sec;
	FILE *f = popen("/sbin/wpa_cli status 2>/dev/null", "r");
	if (!f) {
		perror("wpa_cli");
		return sec;
	}
	static const struct {
		const char *match, *name;
	} keys[] = {
		{ "WPA-PSK", "wpapsk1" }, { "WPA2-PSK", "wpapsk2" }, { "WPA/IEEE", "wpaenterprise1" },
		{ "WPA2/IEEE", "wpaenterprise2" },
	};
	char line[256];
	const char *out = sec;
	while (fgets(line, sizeof(line), f)) {
		if (!strstr(line, "key_mgmt"))
			continue;
		for (const auto &k : keys) {
			if (strstr(line, k.match)) {
				snprintf(buf, size, "%s", k.name);
				out = buf;
				break;
			}
		}
		break;
	}
	pclose(f);
	return out;
}

static void radio_noise(json_t *dev, const char *radio, uint32_t rxmask)
{
	std::vector<uint8_t> buf(ATHSTATS_SIZE);
	json_t *noise = json_array();
	bool ok = drv_request(radio, DRV_ATHSTATS, buf.data(), buf.size(), NULL) == 0;

	if (!ok) {
		perror("SIOCGATHSTATS");
		fprintf(stderr, "get_noise_level failed, setting noise to fixed value of -95.\n");
	}
	for (int ch = 0; ch < ATHSTATS_CHAINS; ch++) {
		if (!(rxmask & (1u << ch)))
			continue;
		int nf = ok ? drv_get_s16(&buf[ATHSTATS_NOISE_FLOOR + 2 * ch]) : -95;
		json_array_append_new(noise, json_integer(nf));
	}
	json_object_set_new(dev, "noise", noise);
}

static bool unicast_ap(const uint8_t a[6])
{
	static const uint8_t zero[6] = {};
	return memcmp(a, zero, 6) != 0 && !(a[0] & 1);
}

/* One VAP's entry of the state document, in the order it is written. */
struct vap_state {
	std::string name;
	int64_t value[DOC_VAP_COUNTERS];
};

static void vap_counters(json_t *o, const struct ifi *vap, const struct run_ctx *c, std::vector<struct vap_state> &states)
{
	uint32_t raw[DOC_VAP_COUNTERS];

	if (c->agg0) {
		const struct ifi *agg = ifi_find_by_name("agg0");
		raw[0] = stats_counter(agg, IFI_RX_PACKETS);
		raw[1] = stats_counter(agg, IFI_TX_PACKETS);
		raw[2] = stats_counter(agg, IFI_RX_ERRORS);
	} else {
		std::vector<uint8_t> s(WLSTATS_SIZE);
		if (drv_request(vap->name, DRV_80211STATS, s.data(), s.size(), NULL) < 0) {
			perror("SIOCG80211STATS");
			return;
		}
		raw[0] = drv_get_u32(&s[WLSTATS_RX_UCAST_DATA]) + drv_get_u32(&s[WLSTATS_RX_MCAST_DATA]);
		raw[1] = drv_get_u32(&s[WLSTATS_TX_UCAST_DATA]) + drv_get_u32(&s[WLSTATS_TX_MCAST_DATA]);
		raw[2] = stats_sum_u32(&s[WLSTATS_RX_ERR_FIRST], WLSTATS_RX_ERR_COUNT);
	}
	const struct doc_entry *old = stats_prev_vap(&c->state, vap->name);
	const struct doc_entry *prev = stats_prev_vap(&c->prev, vap->name);
	struct vap_state e;
	e.name = vap->name;
	for (int i = 0; i < DOC_VAP_COUNTERS; i++) {
		uint32_t last = old && (old->has & (1u << i)) ? (uint32_t)old->value[i] : raw[i];
		uint64_t previous = prev && (prev->has & (1u << i)) ? (uint64_t)prev->value[i] : 0;
		json_int_t out = c->first_run ? (json_int_t)raw[i] : (json_int_t)counter_continue(previous, raw[i], last);
		json_object_set_new(o, doc_vap_counter_names[i], json_integer(out));
		e.value[i] = raw[i];
	}
	states.push_back(e);
}

struct wl_ctx {
	struct run_ctx run;
	json_t *radios, *dev, *vaps;
	json_t *rfs;
	std::vector<struct vap_state> state_vaps;
	char op_mode[16];       /* radios."operationMode", empty until a VAP sets it */
};

/* Radio members known before any VAP reports; false for a radio that is down. */
static bool wl_radio(struct wl_ctx *w, const struct ifi *radio, json_t *r)
{
	char text[32];

	if (!(radio->flags & 1)) {
		json_object_set_new(r, "disabled", json_true());
		json_object_set_new(r, "disabledByScheduler", json_boolean(json_is_true(json_object_get(w->rfs, radio->name))));
		return false;
	}
	int txmask = stats_priv_int(radio->name, "get_txchainmask", 0, LOG_ERROR);
	int rxmask = stats_priv_int(radio->name, "get_rxchainmask", 0, LOG_ERROR);
	radio_mode_text(text, sizeof(text), (uint32_t)txmask, (uint32_t)rxmask);
	json_object_set_new(r, "radioMode", json_string(text));
	json_object_set_new(r, "antennaGain", json_integer(0));
	json_object_set_new(r, "txPowerAdjusted", json_false());
	radio_noise(r, radio->name, (uint32_t)rxmask);
	json_t *rpre = json_object_get(json_object_get(w->run.preconf, "radios"), radio->name);
	json_t *repeater = json_object_get(rpre, "repeater");
	if (repeater)
		json_object_set_new(r, "repeater", json_boolean(json_is_true(repeater)));
	if (!json_object_get(w->radios, "countryCode")) {
		int ptp = 0;
		country_code(w->radios, radio->name);
		json_object_set_new(w->radios, "operationScenario",
				    json_string(iwpriv_get_int(radio->name, "get_ptmp", &ptp) == 0 && ptp ? "ptp" : "ptmp"));
	}
	return true;
}

/* Radio members reported through one of its VAPs, and the run's operation mode. */
static void wl_radio_from_vap(struct wl_ctx *w, const struct ifi *radio, json_t *r, const struct iw_info *iw,
			      const struct vap_priv *pv)
{
	const json_t *rpre = json_object_get(json_object_get(w->run.preconf, "radios"), radio->name);
	bool managed = iw->mode == MODE_MANAGED;
	char text[64];

	snprintf(text, sizeof(text), "get_antgain_%dg", iw->freq >= 3000000000.0 ? 5 : 2);
	json_object_set_new(r, "antennaGain", json_integer(stats_priv_int(radio->name, text, 0, LOG_ERROR)));
	if (pv->qlix)
		json_object_set_new(r, "qlix", json_integer(pv->qlix));
	json_object_set_new(r, "txPower", json_integer(iw->txpower));
	json_object_set_new(r, "bitrate", json_integer(bitrate_value(iw->bitrate)));
	json_object_set_new(r, "ackTimeout", json_integer(pv->acktimeout));
	/* A station that is not associated has no channel of its own to report. */
	if (!managed || unicast_ap(iw->ap_addr)) {
		json_object_set_new(r, "channel", json_integer(iw->channel));
		json_object_set_new(r, "frequency", json_real(frequency_mhz(iw->freq, pv->chan_offset)));
		channel_width_text(text, sizeof(text), pv->chan_bw, pv->chwidth, pv->chextoffset, pv->mode);
		json_object_set_new(r, "channelWidth", json_string(text));
	}
	vap_protocol_text(text, sizeof(text), iw->name, pv->puren, pv->pureg, pv->pure11ac, pv->qlix, managed);
	json_object_set_new(r, "protocol", json_string(text));
	const json_t *txp = json_object_get(rpre, "txpower");
	json_object_set_new(r, "txPowerAdjusted", json_boolean(json_is_integer(txp) && json_integer_value(txp) != iw->txpower));

	if (iw->mode == MODE_MASTER) {
		snprintf(w->op_mode, sizeof(w->op_mode), "ap%s", pv->qlix ? "Qlix" : "");
	} else if (managed) {
		const json_t *repeater = json_object_get(rpre, "repeater");
		if (repeater && !json_is_true(repeater) && json_object_size(json_object_get(w->run.preconf, "radios")) >= 2)
			snprintf(w->op_mode, sizeof(w->op_mode), "mixed");
		else
			snprintf(w->op_mode, sizeof(w->op_mode), "sta%s", pv->qlix ? "Qlix" : pv->wds ? "Wds" : "");
	}
}

static void wl_vap(struct wl_ctx *w, const struct ifi *radio, const struct ifi *vap, const struct iw_info *iw,
		   const struct vap_priv *pv)
{
	const json_t *vpre = json_object_get(json_object_get(w->run.preconf, "vaps"), vap->name);
	json_t *o = json_object();
	char text[64];

	json_object_set_new(o, "ifIndex", json_integer(vap->ordinal));
	json_object_set_new(o, "name", json_string(vap->name));
	json_object_set_new(o, "mac", json_string(ifi_mac_ntop(text, sizeof(text), vap->hwaddr)));
	json_object_set_new(o, "radio", json_string(radio->name));
	const char *mname = iw_operation_mode2str(iw->mode);
	size_t i = 0;
	for (; mname && mname[i] && i < sizeof(text) - 1; i++)
		text[i] = (char)(mname[i] >= 'A' && mname[i] <= 'Z' ? mname[i] + 32 : mname[i]);
	text[i] = '\0';
	json_object_set_new(o, "operationMode", json_string(text));
	json_object_set_new(o, "ssid", json_textn(iw->essid, strnlen(iw->essid, sizeof(iw->essid))));
	json_object_set_new(o, "hiddenSsid", json_boolean(pv->hide_ssid));
	json_object_set_new(o, "wds", json_boolean(pv->wds));

	struct vap_ctx v = {};
	v.run = &w->run;
	v.ifi = vap;
	v.priv = pv;
	v.prev_security = "none";
	v.prev_cipher = "none";
	stats_walk_stations(&v);

	json_object_set_new(o, "peerCount", json_integer(v.count));
	json_object_set_new(o, "maxPeerCount", json_integer(pv->maxsta));
	json_set_text(o, "security", vap_security(w->run.preconf, vap->name, iw->mode == MODE_MANAGED, text, sizeof(text)));
	json_object_set_new(o, "vlan", json_integer(json_dotget_int(vpre, "vlan", 0)));
	mcs_text(text, sizeof(text), pv->maxautorate, pv->maxmcs, (uint32_t)pv->txchainmask);
	json_object_set_new(o, "mcs", json_string(text));
	vap_counters(o, vap, &w->run, w->state_vaps);
	json_object_set_new(o, "txRetries", json_integer((json_int_t)v.tx_retries));
	json_array_append_new(w->vaps, o);
}

static void wl_sample(struct wl_ctx *w)
{
	list_for_each(rpos, stats_interfaces()) {
		struct ifi *radio = ifi_entry(rpos);
		if (!stats_is_radio(w->run.preconf, radio))
			continue;
		json_t *r = json_pack("{s:s}", "name", radio->name);
		json_object_set_new(w->dev, radio->name, r);
		if (!wl_radio(w, radio, r))
			continue;
		list_for_each(vpos, stats_interfaces()) {
			struct ifi *vap = ifi_entry(vpos);
			struct iw_info iw = {};
			struct vap_priv pv;
			if (!stats_vap_of(vap, radio))
				continue;
			iw_info(&iw, vap->name);
			if (!iw.has_mode)
				continue;
			stats_read_vap_priv(vap->name, radio->name, &pv);
			wl_radio_from_vap(w, radio, r, &iw, &pv);
			wl_vap(w, radio, vap, &iw, &pv);
		}
	}
	if (!json_object_get(w->radios, "countryCode")) {
		country_code(w->radios, "wifi0");
		json_object_set_new(w->radios, "operationScenario", json_string("ptmp"));
	}
	if (!w->op_mode[0] && w->run.preconf) {
		const char *wm = json_dotget_string(w->run.preconf, "topology.wirelessMode");
		snprintf(w->op_mode, sizeof(w->op_mode), "%s", wm && strncmp(wm, "master", 6) == 0 ? "ap" : "sta");
	}
	if (w->op_mode[0])
		json_object_set_new(w->radios, "operationMode", json_string(w->op_mode));
}

/* The state document: the raw values of this run, and the time when it is not the first one. */
static void state_text(struct doc_text *t, const std::vector<struct vap_state> &vaps, const struct doc_text *peers,
		       bool timestamp)
{
	doc_text_init(t, 0);
	doc_text_object(t);
	doc_text_key(t, "vaps");
	doc_text_array(t);
	for (const auto &e : vaps) {
		doc_text_object(t);
		if (doc_text_valid(e.name.data(), e.name.size())) {
			doc_text_key(t, "name");
			doc_text_string(t, e.name.data(), e.name.size());
		}
		for (int i = 0; i < DOC_VAP_COUNTERS; i++) {
			doc_text_key(t, doc_vap_counter_names[i]);
			doc_text_int(t, e.value[i]);
		}
		doc_text_end(t, '}');
	}
	doc_text_end(t, ']');
	doc_text_key(t, "peers");
	doc_text_value(t, peers->buf, peers->len);
	if (timestamp) {
		doc_text_key(t, "timestamp");
		doc_text_int(t, stats_now_seconds());
	}
	doc_text_end(t, '}');
}

/* wireless.json: what the JSON library dumps of radios and vaps, then the peers written as they
 * came.  The library closes a filled object with a line break and a brace. */
static int wireless_text(struct doc_text *t, json_t *doc, const struct doc_text *peers)
{
	char *head = json_dumps(doc, JSON_DOC_FLAGS);
	size_t n = head ? strlen(head) : 0;

	doc_text_init(t, 0);
	if (n < 2 || strcmp(head + n - 2, "\n}") != 0) {
		free(head);
		errno = EINVAL;
		return -1;
	}
	doc_text_raw(t, head, n - 2);
	free(head);
	static const char key[] = ",\n  \"peers\": ";
	doc_text_raw(t, key, sizeof(key) - 1);
	doc_text_raw(t, peers->buf, peers->len);
	doc_text_raw(t, "\n}", 2);
	if (t->nomem) {
		errno = ENOMEM;
		return -1;
	}
	return 0;
}

static int write_text(const char *path, const struct doc_text *t)
{
	if (t->nomem) {
		errno = ENOMEM;
		return -1;
	}
	return write_replace(path, ".xxx", t->buf, t->len, 0644, 0);
}

int wireless_stats(const struct kick_entry *kick, int nkick)
{
	struct wl_ctx w = {};
	json_t *doc = json_object();
	struct doc_text peers, state_peers, text;
	int rc = -1;

	w.radios = json_object();
	w.dev = json_object();
	w.vaps = json_array();
	w.rfs = json_load_path(STATS_RFSCHEDULER);
	json_object_set_new(doc, "radios", w.radios);
	json_object_set_new(w.radios, "dev", w.dev);
	json_object_set_new(doc, "vaps", w.vaps);

	stats_run_init(&w.run);
	w.run.counters = true;
	w.run.first_run = !stats_prev_load(&w.run.state, STATS_STATE_WIRELESS) || !w.run.state.doc.object;
	if (!w.run.first_run)
		stats_prev_load(&w.run.prev, STATS_WIRELESS);
	w.run.state_ts = w.run.state.doc.has_timestamp ? (uint32_t)w.run.state.doc.timestamp : 0;
	/* both arrays stand at the first level of their document */
	doc_text_init(&peers, 1);
	doc_text_array(&peers);
	doc_text_init(&state_peers, 1);
	doc_text_array(&state_peers);
	doc_text_init(&text, 0);
	w.run.peers_text = &peers;
	w.run.state_peers_text = &state_peers;
	w.run.kicker = kicker_load(STATS_KICKER);
	kicker_set_thresholds(w.run.kicker, kick, nkick);

	wl_sample(&w);
	doc_text_end(&peers, ']');
	doc_text_end(&state_peers, ']');

	/* Nothing published yet: the raw values are the first published ones. */
	if (w.run.first_run) {
		state_text(&text, w.state_vaps, &state_peers, false);
		if (stats_state_init_text(text.buf, text.len, STATS_STATE_WIRELESS, STATS_WIRELESS, "wireless_stats",
					  __LINE__) < 0)
			goto out;
		doc_text_free(&text);
	}
	if (wireless_text(&text, doc, &peers) < 0 || write_text(STATS_WIRELESS, &text) < 0) {
		perror(STATS_WIRELESS);
		goto out;
	}
	doc_text_free(&text);
	state_text(&text, w.state_vaps, &state_peers, true);
	if (write_text(STATS_STATE_WIRELESS, &text) < 0)
		perror(STATS_STATE_WIRELESS);
	kicker_finish(w.run.kicker);
	/* Read by a component that polls it: written in place. */
	if (json_dump_file(w.run.kicker, STATS_KICKER, JSON_DOC_FLAGS) < 0)
		perror(STATS_KICKER);
	rc = 0;
out:
	doc_text_free(&text);
	doc_text_free(&peers);
	doc_text_free(&state_peers);
	json_decref(w.run.kicker);
	json_decref(w.rfs);
	json_decref(doc);
	stats_run_free(&w.run);
	return rc;
}
