/* Statistics collector: the station pass of a VAP, which periodic.json and wireless.json share, and
 * the peer cache behind its percentages. */
#include "stats/sample.h"

#include "common/fileio.h"
#include "common/text.h"
#include "radio/driver.h"
#include "spine/jsonutil.h"
#include "stats/stats_doc.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

static uint64_t mac_key(const uint8_t mac[6])
{
	uint64_t k = 0;
	for (int i = 0; i < 6; i++)
		k = (k << 8) | mac[i];
	return k;
}

static void load_allstats(struct run_ctx *c)
{
	size_t size;
	char *buf = read_file(STATS_ALLSTATS, &size);

	c->nallstats = buf ? allstats_decode((const uint8_t *)buf, size, c->allstats, ALLSTATS_MAX) : 0;
	free(buf);
}

static void load_peer_cache(struct run_ctx *c)
{
	int fd = open(STATS_PEER_CACHE, O_RDONLY | O_CLOEXEC);
	struct stat st;

	if (fd < 0)
		return;
	if (fstat(fd, &st) < 0) {
		perror("fstat");
		close(fd);
		return;
	}
	/* An empty cache is a cache without records; mmap would refuse it. */
	if (st.st_size == 0 || st.st_size % PEER_CACHE_REC_SIZE) {
		close(fd);
		return;
	}
	void *map = mmap(NULL, (size_t)st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
	close(fd);
	if (map == MAP_FAILED) {
		perror("mmap");
		return;
	}
	const uint8_t *b = (const uint8_t *)map;
	for (size_t off = 0; off + PEER_CACHE_REC_SIZE <= (size_t)st.st_size; off += PEER_CACHE_REC_SIZE) {
		struct peer_snapshot s;
		if (peer_cache_decode(b + off, &s) == 0)
			c->cache[mac_key(s.mac)] = s; /* later records win: the search runs from the end */
	}
	munmap(map, (size_t)st.st_size);
}

/* The cache holds the stations of the last pass over a VAP: each pass looks its stations up in what
 * the pass before it left (of this run, or of the run before) and replaces it with its own, so
 * several VAPs give the same figures as a cache written at the end of every pass.  A pass without
 * stations leaves the cache as it is. */
void stats_save_peer_cache(struct run_ctx *c)
{
	if (c->snapshots.empty())
		return;
	std::vector<uint8_t> buf(c->snapshots.size() * PEER_CACHE_REC_SIZE);
	for (size_t i = 0; i < c->snapshots.size(); i++)
		peer_cache_encode(&buf[i * PEER_CACHE_REC_SIZE], &c->snapshots[i]);
	if (write_replace(STATS_PEER_CACHE, ".tmp", buf.data(), buf.size(), 0600, 0) < 0) {
		/* the file keeps the records of the pass before, and so does the next lookup */
		perror(STATS_PEER_CACHE);
	} else {
		c->cache.clear();
		for (const auto &s : c->snapshots)
			c->cache[mac_key(s.mac)] = s;
	}
	c->snapshots.clear();
}

static json_t *remote_doc(const uint8_t mac[6])
{
	char m[18], path[96];

	mac_text(m, mac);
	snprintf(path, sizeof(path), STATS_DIR "/remote-%s.json", m);
	return json_load_path(path);
}

static void add_learned_addresses(json_t *o, const uint8_t *st)
{
	char a4[INET_ADDRSTRLEN] = "0.0.0.0", a6[INET6_ADDRSTRLEN] = "::";

	inet_ntop(AF_INET, st + STASTATS_IPV4, a4, sizeof(a4));
	inet_ntop(AF_INET6, st + STASTATS_IPV6, a6, sizeof(a6));
	json_object_set_new(o, "ipAddress", json_string(a4));
	json_object_set_new(o, "ip6Address", json_string(a6));
}

uint32_t stats_sum_u32(const uint8_t *p, int count)
{
	uint32_t s = 0;
	for (int i = 0; i < count; i++)
		s += drv_get_u32(p + 4 * i);
	return s;
}

static const char *const peer_counters[] = { "txBytes", "rxBytes", "txPackets", "rxPackets", "txPacketsSuccess" };

static void station_counters(struct vap_ctx *v, json_t *o, const char *mac, uint32_t uptime, const uint32_t raw[5],
			     int nraw)
{
	struct run_ctx *c = v->run;
	char key[64];

	snprintf(key, sizeof(key), "%s/%s", v->ifi->name, mac);
	const json_t *old = json_object_get(c->state_index, key);
	json_t *e = json_is_object(old) ? json_deep_copy(old) : json_object();
	const json_t *prev = json_object_get(c->prev_index, key);
	bool reset = c->first_run || counter_station_reset(c->state_ts, stats_now_seconds(), uptime);

	json_object_set_new(e, "mac", json_string(mac));
	json_object_set_new(e, "vap", json_string(v->ifi->name));
	for (int i = 0; i < nraw; i++)
		counter_apply(o, prev, e, peer_counters[i], raw[i], reset);
	json_array_append_new(c->new_state_peers, e);
}

/* Keys from the station record and its statistics, up to "ucastTxPackets".  Returns the signal array
 * (borrowed from o) and the values in sigv. */
static json_t *station_radio_keys(json_t *o, struct vap_ctx *v, const uint8_t *rec, const uint8_t *st,
				  int sigv[3], int *nsig)
{
	json_t *fp = json_array(), *sig = json_array();
	char text[32];

	for (int i = 0; i < STASTATS_DHCP_FP_LEN && st[STASTATS_DHCP_FP + i]; i++)
		json_array_append_new(fp, json_integer(st[STASTATS_DHCP_FP + i]));
	json_object_set_new(o, "dhcpFingerprint", fp);
	mac_text(text, rec + STA_REC_MAC);
	json_object_set_new(o, "mac", json_string(text));
	json_object_set_new(o, "vap", json_string(v->ifi->name));
	json_object_set_new(o, "vapIfIndex", json_integer(v->ifi->ordinal));
	json_object_set_new(o, "linkUptime", json_integer(drv_get_u32(rec + STA_REC_UPTIME)));
	/* A station without any bit repeats the previous one; the pass starts from "none". */
	v->prev_security = auth_mode_name(drv_get_u32(rec + STA_REC_AUTHMODE), v->prev_security);
	v->prev_cipher = cipher_name(drv_get_u32(rec + STA_REC_CIPHER), v->prev_cipher);
	json_object_set_new(o, "security", json_string(v->prev_security));
	json_object_set_new(o, "cipher", json_string(v->prev_cipher));
	unsigned phy = rec[STA_REC_PHYMODE];
	const char *opmode = phy_mode_name(phy);
	if (opmode)
		json_object_set_new(o, "opMode", json_string(opmode));
	uint32_t flags = drv_get_u32(rec + STA_REC_FLAGS);
	struct station_width w = { (flags & STA_F_QUARTER_RATE) != 0, (flags & STA_F_HALF_RATE) != 0,
				   (flags & STA_F_HT40MINUS) != 0, (flags & STA_F_HT40PLUS) != 0, phy };
	json_object_set_new(o, "chWidth", json_string(station_chwidth(&w, v->priv->chan_bw)));
	int nss = rec[STA_REC_NSS];
	snprintf(text, sizeof(text), "%s %dx%d", nss == 1 ? "SISO" : "MIMO", nss, nss);
	json_object_set_new(o, "phyMode", json_string(text));
	*nsig = 0;
	for (int ch = 0; ch < 3; ch++) {
		if (!(rec[STA_REC_CHAINMASK] & (1u << ch)))
			continue;
		sigv[*nsig] = (int)rec[STA_REC_CHAIN_RSSI + ch] - 95;
		json_array_append_new(sig, json_integer(sigv[*nsig]));
		(*nsig)++;
	}
	json_object_set_new(o, "signal", sig);
	json_object_set_new(o, "rxRate", json_integer(drv_get_u32(rec + STA_REC_RXRATE) / 1000));
	json_object_set_new(o, "txRate", json_integer(drv_get_u32(rec + STA_REC_TXRATE) / 1000));
	json_object_set_new(o, "ucastTxPackets", json_integer(drv_get_u32(st + STASTATS_TX_PACKETS)));
	return sig;
}

static const char *station_protocol(const uint8_t *rec, const struct vap_priv *pv, bool polled)
{
	uint32_t flags = drv_get_u32(rec + STA_REC_FLAGS);
	uint16_t chf = drv_get_u16(rec + STA_REC_CHAN_FLAGS);

	if ((pv->has_qlix_version && (pv->qlix_version == 4 || pv->qlix_version == 7)) || polled)
		return "qlix";
	if (flags & STA_F_HT)
		return "11n";
	if (chf & STA_CHAN_5GHZ)
		return "11a";
	if ((chf & STA_CHAN_CCK) && (chf & STA_CHAN_2GHZ))
		return "11b";
	if (chf & STA_CHAN_2GHZ)
		return "11g";
	return NULL;
}

/* Addresses, firmware and name: from the station's own report when there is one. */
static void station_identity(json_t *o, const uint8_t *mac, const uint8_t *st)
{
	json_t *remote = remote_doc(mac);

	if (json_is_object(remote)) {
		const char *ip = json_string_value(json_object_get(remote, "deviceIp"));
		const char *ip6 = json_string_value(json_object_get(remote, "deviceIp6"));
		json_set_text(o, "ipAddress", ip ? ip : "0.0.0.0");
		json_set_text(o, "ip6Address", ip6 ? ip6 : "::");
		/* Written by another component: only texts are taken for these texts. */
		json_t *fw = json_object_get(remote, "firmwareVersion");
		if (json_is_string(fw))
			json_object_set(o, "firmware", fw);
		json_t *dn = json_object_get(remote, "deviceName");
		if (json_is_string(dn))
			json_object_set(o, "deviceName", dn);
	} else {
		char name[STASTATS_NAME_LEN + 1];
		add_learned_addresses(o, st);
		drv_copy_text(name, sizeof(name), st + STASTATS_NAME, STASTATS_NAME_LEN);
		if (name[0])
			json_set_text(o, "deviceName", name);
	}
	json_decref(remote);
}

/* Current snapshot and error counts: the polling MAC's record first, else the driver's statistics. */
static void station_snapshot(struct peer_snapshot *cur, uint32_t *rx_err, uint32_t *tx_err, const uint8_t *rec,
			     const uint8_t *st, const struct qlix_stats_rec *as)
{
	memset(cur, 0, sizeof(*cur));
	memcpy(cur->mac, rec + STA_REC_MAC, 6);
	cur->uptime = drv_get_u32(rec + STA_REC_UPTIME);
	if (as) {
		cur->tx_packets = as->tx_packets;
		cur->tx_retries = as->tx_retries;
		cur->rx_packets = as->rx_packets;
		cur->rx_drops = as->rx_drop;
		*rx_err = as->rx_errors;
		*tx_err = as->tx_errors;
	} else {
		cur->tx_packets = drv_get_u32(st + STASTATS_TX_PACKETS);
		cur->tx_retries = drv_get_u32(st + STASTATS_TX_RETRIES);
		cur->rx_packets = drv_get_u32(st + STASTATS_RX_PACKETS);
		cur->rx_drops = drv_get_u32(st + STASTATS_RX_DROPS);
		*rx_err = stats_sum_u32(st + STASTATS_RX_ERR_FIRST, STASTATS_RX_ERR_COUNT);
		*tx_err = stats_sum_u32(st + STASTATS_TX_FAIL_FIRST, STASTATS_TX_FAIL_COUNT);
	}
}

/* Raw values of the published counters in peer_counters order; returns how many apply. */
static int station_raw_counters(uint32_t raw[5], const uint8_t *st, const struct qlix_stats_rec *as)
{
	if (as) {
		raw[0] = as->tx_bytes;
		raw[1] = as->rx_bytes;
		raw[2] = as->tx_packets;
		raw[3] = as->rx_packets;
		return 4;
	}
	raw[0] = drv_get_u32(st + STASTATS_TX_BYTES);
	raw[1] = drv_get_u32(st + STASTATS_RX_BYTES);
	raw[2] = drv_get_u32(st + STASTATS_TX_PACKETS);
	raw[3] = drv_get_u32(st + STASTATS_RX_PACKETS);
	raw[4] = drv_get_u32(st + STASTATS_TX_SUCCESS);
	return 5;
}

static int station_one(const uint8_t *rec, size_t reclen, void *arg)
{
	struct vap_ctx *v = (struct vap_ctx *)arg;
	struct run_ctx *c = v->run;
	std::vector<uint8_t> st(STASTATS_SIZE);
	const uint8_t *m = rec + STA_REC_MAC;
	char mac[18];
	int sigv[3], nsig;

	(void)reclen;
	memcpy(&st[0], m, 6);
	if (drv_request(v->ifi->name, DRV_STA_STATS, st.data(), st.size(), NULL) < 0)
		return 1; /* ends this VAP's station pass */
	mac_text(mac, m);

	json_t *o = json_object();
	json_t *sig = station_radio_keys(o, v, rec, st.data(), sigv, &nsig);
	const struct qlix_stats_rec *as = allstats_find(c->allstats, c->nallstats, m);
	const char *proto = station_protocol(rec, v->priv, as != NULL);
	if (proto)
		json_object_set_new(o, "protocol", json_string(proto));
	station_identity(o, m, st.data());
	json_object_set_new(o, "qlix", json_integer(v->priv->has_qlix_version ? v->priv->qlix_version : v->priv->qlix));
	json_set_text(o, "peerIfName", as ? as->name : v->ifi->name);

	if (c->counters) {
		uint32_t raw[5];
		int nraw = station_raw_counters(raw, st.data(), as);
		station_counters(v, o, mac, drv_get_u32(rec + STA_REC_UPTIME), raw, nraw);
	}

	struct peer_snapshot cur;
	struct peer_percent pp;
	uint32_t rx_err, tx_err;
	station_snapshot(&cur, &rx_err, &tx_err, rec, st.data(), as);
	auto it = c->cache.find(mac_key(m));
	peer_percentages(&cur, it == c->cache.end() ? NULL : &it->second, rx_err, tx_err, &pp);
	json_object_set_new(o, "txRetryPercent", json_integer(pp.tx_retry));
	json_object_set_new(o, "rxDropPercent", json_integer(pp.rx_drop));
	json_object_set_new(o, "rxCcqPercent", json_integer(pp.rx_ccq));
	json_object_set_new(o, "txCcqPercent", json_integer(pp.tx_ccq));
	c->snapshots.push_back(cur);

	v->tx_retries += drv_get_u32(&st[STASTATS_TX_RETRIES]);
	if (c->kicker)
		kicker_station(c->kicker, v->ifi->name, mac, sigv, nsig);
	if (!v->first_signal)
		v->first_signal = sig;
	json_array_append_new(v->peers, o);
	v->count++;
	return 0;
}

/* Walks the stations of a VAP into v->peers. */
void stats_walk_stations(struct vap_ctx *v)
{
	std::vector<uint8_t> buf(STALIST_SIZE);
	size_t len = 0;

	if (drv_request(v->ifi->name, DRV_STA_LIST, buf.data(), buf.size(), &len) < 0)
		return;
	drv_sta_walk(buf.data(), len, station_one, v);
	stats_save_peer_cache(v->run);
}

void stats_run_init(struct run_ctx *c)
{
	c->preconf = json_load_path(STATS_PRECONFIGURED);
	load_allstats(c);
	struct stat st;
	c->agg0 = stat("/sys/class/net/agg0", &st) == 0 && ifi_find_by_name("agg0") != NULL;
	load_peer_cache(c);
}

void stats_run_free(struct run_ctx *c)
{
	json_decref(c->preconf);
	json_decref(c->state_index);
	json_decref(c->prev_index);
	json_decref(c->new_state_peers);
}

/* Radios: "wifi*" interfaces present under the preconfigured "radios" (all when there is none). */
bool stats_is_radio(const json_t *preconf, const struct ifi *ifi)
{
	if (strncmp(ifi->name, "wifi", 4) != 0)
		return false;
	if (!preconf)
		return true;
	return json_object_get(json_object_get(preconf, "radios"), ifi->name) != NULL;
}

bool stats_vap_of(const struct ifi *vap, const struct ifi *radio)
{
	const char *parent = ifi_parent_name(vap);
	return parent && strcmp(parent, radio->name) == 0;
}
