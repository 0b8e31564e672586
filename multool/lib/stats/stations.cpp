/* Statistics collector: the station pass of a VAP, which periodic.json and wireless.json share, and
 * the peer cache behind its percentages. */
#include "stats/sample.h"

#include "common/fileio.h"
#include "common/text.h"
#include "radio/driver.h"
#include "spine/jsonutil.h"
#include "stats/allstats.h"
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
	c->nallstats = allstats_load(STATS_ALLSTATS, c->allstats, ALLSTATS_MAX);
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

static json_t *remote_doc(const char *mac)
{
	char path[96];

	snprintf(path, sizeof(path), STATS_DIR "/remote-%s.json", mac);
	return json_load_path(path);
}

uint32_t stats_sum_u32(const uint8_t *p, int count)
{
	uint32_t s = 0;
	for (int i = 0; i < count; i++)
		s += drv_get_u32(p + 4 * i);
	return s;
}

/* ---- the previous documents ---- */

/* "vap/mac" as the documents' entries are matched, cut to 63 bytes. */
static std::string peer_key(const char *vap, const char *mac)
{
	std::string k(vap);
	k += '/';
	k += mac;
	if (k.size() > 63)
		k.resize(63);
	return k;
}

bool stats_prev_load(struct prev_counters *d, const char *path)
{
	size_t len;
	char *text = read_file(path, &len);
	bool ok = text && doc_scan(text, len, &d->doc) == 0;

	free(text);
	if (!ok)
		return false;
	for (size_t i = 0; i < d->doc.npeers; i++) {
		const struct doc_entry *e = &d->doc.peers[i];
		if (!e->mac || !e->vap)
			continue;
		std::string k = peer_key(e->vap, e->mac);
		/* a key cut inside a character names no entry */
		if (doc_text_valid(k.data(), k.size()))
			d->peers[k] = e;
	}
	return true;
}

void stats_prev_free(struct prev_counters *d)
{
	doc_counters_free(&d->doc);
	d->peers.clear();
}

const struct doc_entry *stats_prev_vap(const struct prev_counters *d, const char *name)
{
	for (size_t i = 0; i < d->doc.nvaps; i++)
		if (d->doc.vaps[i].name && strcmp(d->doc.vaps[i].name, name) == 0)
			return &d->doc.vaps[i];
	return NULL;
}

static const struct doc_entry *prev_peer(const struct prev_counters *d, const std::string &key)
{
	auto it = d->peers.find(key);
	return it == d->peers.end() ? NULL : it->second;
}

/* ---- one station ---- */

/* What a station contributes to the documents, gathered before anything is written. */
struct station {
	const uint8_t *rec, *st;
	char mac[MAC_TEXT_SIZE];
	const struct qlix_stats_rec *as;
	int sig[3], nsig;
	const char *protocol;
	json_t *remote;
	uint32_t raw[DOC_PEER_COUNTERS];
	int nraw;
	struct peer_percent pp;
};

/* Raw values of the published counters in document order; returns how many apply. */
static int station_raw_counters(uint32_t raw[DOC_PEER_COUNTERS], const uint8_t *st, const struct qlix_stats_rec *as)
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

static void put_text(struct doc_text *t, const char *key, const char *text)
{
	doc_text_key(t, key);
	doc_text_bytes(t, text, strlen(text));
}

/* A name the JSON library would refuse as a text leaves its member out. */
static void put_name(struct doc_text *t, const char *key, const char *name)
{
	size_t n = strlen(name);
	if (!doc_text_valid(name, n))
		return;
	doc_text_key(t, key);
	doc_text_string(t, name, n);
}

static void put_int(struct doc_text *t, const char *key, int64_t v)
{
	doc_text_key(t, key);
	doc_text_int(t, v);
}

/* Addresses, firmware and name: from the station's own report when there is one; only texts are
 * taken from it (it is written by another component). */
static void put_identity(struct doc_text *t, const struct station *s)
{
	if (json_is_object(s->remote)) {
		const char *ip = json_string_value(json_object_get(s->remote, "deviceIp"));
		const char *ip6 = json_string_value(json_object_get(s->remote, "deviceIp6"));
		put_text(t, "ipAddress", ip ? ip : "0.0.0.0");
		put_text(t, "ip6Address", ip6 ? ip6 : "::");
		const char *fw = json_string_value(json_object_get(s->remote, "firmwareVersion"));
		if (fw)
			put_text(t, "firmware", fw);
		const char *dn = json_string_value(json_object_get(s->remote, "deviceName"));
		if (dn)
			put_text(t, "deviceName", dn);
		return;
	}
	char a4[INET_ADDRSTRLEN] = "0.0.0.0", a6[INET6_ADDRSTRLEN] = "::", name[STASTATS_NAME_LEN + 1];
	inet_ntop(AF_INET, s->st + STASTATS_IPV4, a4, sizeof(a4));
	inet_ntop(AF_INET6, s->st + STASTATS_IPV6, a6, sizeof(a6));
	put_text(t, "ipAddress", a4);
	put_text(t, "ip6Address", a6);
	drv_copy_text(name, sizeof(name), s->st + STASTATS_NAME, STASTATS_NAME_LEN);
	if (name[0])
		put_text(t, "deviceName", name);
}

/* The station's object of wireless.json and its entry of the state document, with the continuous
 * counters between them. */
static void put_counters(struct vap_ctx *v, struct doc_text *pub, const struct station *s)
{
	struct run_ctx *c = v->run;
	struct doc_text *state = c->state_peers_text;
	std::string key = peer_key(v->ifi->name, s->mac);
	const struct doc_entry *old = prev_peer(&c->state, key);
	const struct doc_entry *prev = prev_peer(&c->prev, key);
	bool reset = c->first_run || counter_station_reset(c->state_ts, stats_now_seconds(), drv_get_u32(s->rec + STA_REC_UPTIME));

	doc_text_object(state);
	put_text(state, "mac", s->mac);
	put_name(state, "vap", v->ifi->name);
	for (int i = 0; i < DOC_PEER_COUNTERS; i++) {
		bool was = old && (old->has & (1u << i));
		if (i >= s->nraw) {
			/* a counter this station no longer has keeps what the state held */
			if (was)
				put_int(state, doc_peer_counter_names[i], old->value[i]);
			continue;
		}
		uint32_t raw = s->raw[i];
		uint32_t last = was ? (uint32_t)old->value[i] : raw;
		uint64_t previous = prev && (prev->has & (1u << i)) ? (uint64_t)prev->value[i] : 0;
		put_int(pub, doc_peer_counter_names[i], reset ? (int64_t)raw : (int64_t)counter_continue(previous, raw, last));
		put_int(state, doc_peer_counter_names[i], raw);
	}
	doc_text_end(state, '}');
}

/* The station's object of wireless.json, in the documented key order. */
static void put_station(struct vap_ctx *v, const struct station *s)
{
	struct doc_text *t = v->run->peers_text;
	const uint8_t *rec = s->rec, *st = s->st;
	char text[32];

	doc_text_object(t);
	doc_text_key(t, "dhcpFingerprint");
	doc_text_array(t);
	for (int i = 0; i < STASTATS_DHCP_FP_LEN && st[STASTATS_DHCP_FP + i]; i++)
		doc_text_int(t, st[STASTATS_DHCP_FP + i]);
	doc_text_end(t, ']');
	put_text(t, "mac", s->mac);
	put_name(t, "vap", v->ifi->name);
	put_int(t, "vapIfIndex", v->ifi->ordinal);
	put_int(t, "linkUptime", drv_get_u32(rec + STA_REC_UPTIME));
	put_text(t, "security", v->prev_security);
	put_text(t, "cipher", v->prev_cipher);
	unsigned phy = rec[STA_REC_PHYMODE];
	const char *opmode = phy_mode_name(phy);
	if (opmode)
		put_text(t, "opMode", opmode);
	uint32_t flags = drv_get_u32(rec + STA_REC_FLAGS);
	struct station_width w = { (flags & STA_F_QUARTER_RATE) != 0, (flags & STA_F_HALF_RATE) != 0,
				   (flags & STA_F_HT40MINUS) != 0, (flags & STA_F_HT40PLUS) != 0, phy };
	put_text(t, "chWidth", station_chwidth(&w, v->priv->chan_bw));
	int nss = rec[STA_REC_NSS];
	snprintf(text, sizeof(text), "%s %dx%d", nss == 1 ? "SISO" : "MIMO", nss, nss);
	put_text(t, "phyMode", text);
	doc_text_key(t, "signal");
	doc_text_array(t);
	for (int i = 0; i < s->nsig; i++)
		doc_text_int(t, s->sig[i]);
	doc_text_end(t, ']');
	put_int(t, "rxRate", drv_get_u32(rec + STA_REC_RXRATE) / 1000);
	put_int(t, "txRate", drv_get_u32(rec + STA_REC_TXRATE) / 1000);
	put_int(t, "ucastTxPackets", drv_get_u32(st + STASTATS_TX_PACKETS));
	if (s->protocol)
		put_text(t, "protocol", s->protocol);
	put_identity(t, s);
	put_int(t, "qlix", v->priv->has_qlix_version ? v->priv->qlix_version : v->priv->qlix);
	put_text(t, "peerIfName", s->as ? s->as->name : v->ifi->name);
	if (v->run->counters)
		put_counters(v, t, s);
	put_int(t, "txRetryPercent", s->pp.tx_retry);
	put_int(t, "rxDropPercent", s->pp.rx_drop);
	put_int(t, "rxCcqPercent", s->pp.rx_ccq);
	put_int(t, "txCcqPercent", s->pp.tx_ccq);
	doc_text_end(t, '}');
}

static int station_one(const uint8_t *rec, size_t reclen, void *arg)
{
	struct vap_ctx *v = (struct vap_ctx *)arg;
	struct run_ctx *c = v->run;
	struct station s;
	const uint8_t *m = rec + STA_REC_MAC;

	(void)reclen;
	/* Nothing past the addresses is read: clearing the rest for every station would cost more than
	 * all the rest of the station's work. */
	c->st.resize(STASTATS_SIZE);
	memset(c->st.data(), 0, STASTATS_IPV6 + 16);
	memcpy(&c->st[0], m, 6);
	if (drv_request(v->ifi->name, DRV_STA_STATS, c->st.data(), c->st.size(), NULL) < 0)
		return 1; /* ends this VAP's station pass */
	s.rec = rec;
	s.st = c->st.data();
	mac_text(s.mac, m);
	/* A station without any bit repeats the previous one; the pass starts from "none". */
	v->prev_security = auth_mode_name(drv_get_u32(rec + STA_REC_AUTHMODE), v->prev_security);
	v->prev_cipher = cipher_name(drv_get_u32(rec + STA_REC_CIPHER), v->prev_cipher);
	s.nsig = 0;
	for (int ch = 0; ch < 3; ch++)
		if (rec[STA_REC_CHAINMASK] & (1u << ch))
			s.sig[s.nsig++] = (int)rec[STA_REC_CHAIN_RSSI + ch] - 95;
	s.as = allstats_find(c->allstats, c->nallstats, m);
	s.protocol = station_protocol(rec, v->priv, s.as != NULL);
	s.nraw = station_raw_counters(s.raw, s.st, s.as);

	struct peer_snapshot cur;
	uint32_t rx_err, tx_err;
	station_snapshot(&cur, &rx_err, &tx_err, rec, s.st, s.as);
	auto it = c->cache.find(mac_key(m));
	peer_percentages(&cur, it == c->cache.end() ? NULL : &it->second, rx_err, tx_err, &s.pp);
	c->snapshots.push_back(cur);

	if (c->peers_text) {
		s.remote = remote_doc(s.mac);
		put_station(v, &s);
		json_decref(s.remote);
	}
	v->tx_retries += drv_get_u32(s.st + STASTATS_TX_RETRIES);
	if (c->kicker)
		kicker_station(c->kicker, v->ifi->name, s.mac, s.sig, s.nsig);
	if (v->count == 0) {
		memcpy(v->first_signal, s.sig, sizeof(s.sig));
		v->first_nsignal = s.nsig;
	}
	v->count++;
	return 0;
}

/* Walks the stations of a VAP. */
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
	stats_prev_free(&c->state);
	stats_prev_free(&c->prev);
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
