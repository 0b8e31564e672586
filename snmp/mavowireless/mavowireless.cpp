/* mavowireless: the access point interfaces of wireless.json as enterprise.3.10, with their counters and
 * the stations' remote documents. */
#include "snmp/mavowireless/mavowireless.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const uint8_t mw_types[] = { AGENT_INTEGER, AGENT_OCTETS, AGENT_OID, AGENT_COUNTER32, AGENT_GAUGE32,
				    AGENT_TIMETICKS, AGENT_COUNTER64 };

#define MW_IF_COL "1.3.6.1.4.1.%s.3.10.1.2.1.1.%d.%d"
#define MW_CNT_COL "1.3.6.1.4.1.%s.3.10.1.3.1.1.%d.%d"
#define MW_PEER_COL "1.3.6.1.4.1.%s.3.10.1.3.2.1.%d.%s"

struct mw_run {
	struct mod_pub pub;
	const struct mod_io *io;
	const char *ent;
	json_t *doc;
};

/* Average over the non-zero "signal" entries of the interface's stations. */
static int32_t mw_signal_average(const json_t *peers, const char *vap)
{
	struct mj_avg avg = {};
	size_t i;
	json_t *p;

	if (!json_is_array(peers))
		return 0;
	json_array_foreach(peers, i, p) {
		const char *owner = mj_str(p, "vap");
		if (owner && strcmp(owner, vap) == 0)
			mj_avg_add(&avg, mj_get(p, "signal"));
	}
	return mj_avg_value(&avg);
}

static void mw_radio_int(struct mw_run *r, const json_t *radio, const char *key, int col, int ifindex)
{
	int32_t x;

	if (mj_i32(mj_get(radio, key), &x) == 0 && x != 0) {
		struct agent_value v = mod_int(x);
		mod_addf(&r->pub, &v, MW_IF_COL, r->ent, col, ifindex);
	}
}

static void mw_interface(struct mw_run *r, const json_t *vap, const json_t *radio, int ifindex)
{
	const json_t *radios = mj_get(r->doc, "radios");
	const char *name = mj_str(vap, "name");
	struct agent_value v;
	uint8_t mac[6];
	const char *s;
	int32_t x;
	uint32_t u;

	if (mod_parse_mac(mj_str(vap, "mac"), mac) == 0) {
		v = mod_octets(mac, 6);
		mod_addf(&r->pub, &v, MW_IF_COL, r->ent, 1, ifindex);
	}
	if ((s = mj_str(radio, "protocol"))) {
		char text[MW_PROTOCOL_TEXT];
		int64_t q = 0;
		mj_i64(mj_get(radio, "qlix"), &q);
		v = mod_text(mw_protocol_text(text, s, q));
		mod_addf(&r->pub, &v, MW_IF_COL, r->ent, 2, ifindex);
	}
	if ((s = mj_str(vap, "operationMode"))) {
		v = mod_int(strcmp(s, "managed") == 0 ? 2 : 3);
		mod_addf(&r->pub, &v, MW_IF_COL, r->ent, 3, ifindex);
	}
	if ((s = mj_str(vap, "ssid"))) {
		v = mod_text(s);
		mod_addf(&r->pub, &v, MW_IF_COL, r->ent, 4, ifindex);
	}
	if ((s = mj_str(radios, "countryCode"))) {
		v = mod_text(s);
		mod_addf(&r->pub, &v, MW_IF_COL, r->ent, 5, ifindex);
	}
	mw_radio_int(r, radio, "frequency", 6, ifindex);
	mw_radio_int(r, radio, "channel", 7, ifindex);
	if ((s = mj_str(radio, "channelWidth"))) {
		v = mod_int(atoi(s));
		mod_addf(&r->pub, &v, MW_IF_COL, r->ent, 8, ifindex);
	}
	if ((s = mj_str(vap, "security"))) {
		v = mod_int(mw_security_code(s));
		mod_addf(&r->pub, &v, MW_IF_COL, r->ent, 9, ifindex);
	}
	if (mj_i32(mj_get(radio, "txPower"), &x) == 0 && x != 0) {
		v = mod_unsigned(AGENT_GAUGE32, (uint32_t)x);
		mod_addf(&r->pub, &v, MW_IF_COL, r->ent, 10, ifindex);
	}
	if (mj_u32_trunc(mj_get(radio, "bitrate"), &u) == 0 && u != 0) {
		v = mod_unsigned(AGENT_GAUGE32, u * 1000u);
		mod_addf(&r->pub, &v, MW_IF_COL, r->ent, 11, ifindex);
	}

	int32_t signal = mw_signal_average(mj_get(r->doc, "peers"), name);
	const json_t *noise_list = mj_get(radio, "noise");
	struct mj_avg navg = {};
	mj_avg_add(&navg, noise_list);
	int32_t noise = navg.count ? mj_avg_value(&navg) : MW_NOISE_DEFAULT;
	if (signal) {
		v = mod_int(signal);
		mod_addf(&r->pub, &v, MW_IF_COL, r->ent, 14, ifindex);
	}
	if (json_is_array(noise_list)) {
		v = mod_int(noise);
		mod_addf(&r->pub, &v, MW_IF_COL, r->ent, 15, ifindex);
	}
	if (signal) {
		/* A Gauge32 cannot go below zero: a link weaker than the noise shows 0, not 4294967xxx. */
		int64_t snr = (int64_t)signal - noise;
		v = mod_unsigned(AGENT_GAUGE32, snr > 0 ? (uint32_t)snr : 0);
		mod_addf(&r->pub, &v, MW_IF_COL, r->ent, 12, ifindex);
		v = mod_unsigned(AGENT_GAUGE32, (uint32_t)~noise);
		mod_addf(&r->pub, &v, MW_IF_COL, r->ent, 13, ifindex);
	}
	u = 0;
	mj_u32_trunc(mj_get(vap, "peerCount"), &u);
	v = mod_unsigned(AGENT_GAUGE32, u);
	mod_addf(&r->pub, &v, MW_IF_COL, r->ent, 16, ifindex);
	v = mod_text(mj_str(vap, "disabled") ? "down" : "up");
	mod_addf(&r->pub, &v, MW_IF_COL, r->ent, 17, ifindex);
}

/* The counter table row of one interface; -1 when the Ethernet CRC count cannot be read. */
static int mw_counters(struct mw_run *r, const json_t *vap, int ifindex)
{
	static const char *const counters[] = { "rxPackets", "rxErrors", "txPackets", "txRetries" };
	struct agent_value v;
	char text[64];

	for (int i = 0; i < 4; i++) {
		uint32_t u = 0;
		mj_u32_trunc(mj_get(vap, counters[i]), &u);
		v = mod_unsigned(AGENT_COUNTER32, u);
		mod_addf(&r->pub, &v, MW_CNT_COL, r->ent, i + 1, ifindex);
	}
	char serial[64] = "";
	char raw[256];
	if (r->io->read_text(MW_SERIAL, raw, sizeof(raw)) < 0)
		snprintf(serial, sizeof(serial), "NaN");
	else
		sscanf(raw, "%63[^\n]", serial);
	v = mod_text(serial);
	mod_addf(&r->pub, &v, MW_CNT_COL, r->ent, 5, ifindex);
	if (r->io->ipv4_text(MW_BRIDGE, text, sizeof(text)) < 0)
		snprintf(text, sizeof(text), "0.0.0.0");
	v = mod_text(text);
	mod_addf(&r->pub, &v, MW_CNT_COL, r->ent, 6, ifindex);
	if (r->io->read_text(MW_CRC, text, sizeof(text)) < 0) {
		abz_set_error("cannot open %s", MW_CRC);
		return -1;
	}
	v = mod_counter64(strtoull(text, NULL, 10));
	mod_addf(&r->pub, &v, MW_CNT_COL, r->ent, 7, ifindex);
	return 0;
}

static int mw_interfaces(struct mw_run *r)
{
	const json_t *dev = mj_dot(r->doc, "radios.dev");
	const json_t *vaps = mj_get(r->doc, "vaps");
	size_t i;
	json_t *vap;

	if (!json_is_array(vaps))
		return 0;
	json_array_foreach(vaps, i, vap) {
		const char *name = mj_str(vap, "name");
		const char *radio_name = mj_str(vap, "radio");
		if (!name)
			continue;
		int ifindex = ifcache_get_ifindex(name);
		if (ifindex == 0) {
			log_printf_stub(AGENT_LOG_NOTICE, "%s() '%s' has no ifIndex\n", "mw_interfaces", name);
			continue;
		}
		mw_interface(r, vap, radio_name ? mj_get(dev, radio_name) : NULL, ifindex);
		if (mw_counters(r, vap, ifindex) < 0)
			return -1;
	}
	return 0;
}

static void mw_station(struct mw_run *r, const json_t *peer, const uint8_t mac[6], const json_t *remote)
{
	struct agent_value v;
	char index[96];
	int32_t vif = 0;

	mj_i32(mj_get(peer, "vapIfIndex"), &vif);
	snprintf(index, sizeof(index), "%d.%u.%u.%u.%u.%u.%u", vif, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
	v = mod_octets(mac, 6);
	mod_addf(&r->pub, &v, MW_PEER_COL, r->ent, 1, index);
	v = mod_int(1);
	mod_addf(&r->pub, &v, MW_PEER_COL, r->ent, 2, index);
	uint32_t u = 0;
	mj_u32_trunc(mj_get(peer, "txBytes"), &u);
	v = mod_unsigned(AGENT_COUNTER32, u);
	mod_addf(&r->pub, &v, MW_PEER_COL, r->ent, 3, index);
	u = 0;
	mj_u32_trunc(mj_get(peer, "rxBytes"), &u);
	v = mod_unsigned(AGENT_COUNTER32, u);
	mod_addf(&r->pub, &v, MW_PEER_COL, r->ent, 4, index);
	struct mj_avg avg = {};
	mj_avg_add(&avg, mj_dot(remote, "wireless.signal"));
	if (mj_avg_value(&avg)) {
		v = mod_int(mj_avg_value(&avg));
		mod_addf(&r->pub, &v, MW_PEER_COL, r->ent, 5, index);
	}
	v = mod_int(MW_NOISE_DEFAULT);
	mod_addf(&r->pub, &v, MW_PEER_COL, r->ent, 6, index);
	const char *ip = mj_str(peer, "ipAddress");
	v = mod_text(ip ? ip : "no ip");
	mod_addf(&r->pub, &v, MW_PEER_COL, r->ent, 7, index);
}

static void mw_stations(struct mw_run *r)
{
	const json_t *peers = mj_get(r->doc, "peers");
	size_t i;
	json_t *peer;

	if (!json_is_array(peers))
		return;
	json_array_foreach(peers, i, peer) {
		const char *text = mj_str(peer, "mac");
		uint8_t mac[6];
		char path[64];
		if (mod_parse_mac(text, mac) < 0)
			continue;
		snprintf(path, sizeof(path), MW_REMOTE, text);
		json_t *remote = r->io->load_json(path);
		/* The first station without a readable remote document ends the table. */
		if (!remote)
			break;
		mw_station(r, peer, mac, remote);
		json_decref(remote);
	}
}

int mavowireless_run(const struct module *self, const struct mod_io *io)
{
	struct mw_run r = {};
	int rc;

	abz_clear_error();
	odb_destroy(self);
	r.pub.owner = self;
	r.pub.types = mw_types;
	r.pub.ntypes = sizeof(mw_types);
	r.io = io;
	r.ent = module_get_enterprise_oid();
	r.doc = io->load_json(MW_WIRELESS);
	if (!r.doc) {
		abz_set_error("cannot load %s", MW_WIRELESS);
		return -1;
	}
	rc = mw_interfaces(&r);
	if (rc == 0) {
		mw_stations(&r);
		rc = r.pub.rc;
	}
	json_decref(r.doc);
	return rc;
}
