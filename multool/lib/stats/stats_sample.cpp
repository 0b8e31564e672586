/* Statistics collector: sampling the interfaces, radios and stations into the published documents. */
#include "stats/stats_sample.h"

#include "common/fileio.h"
#include "radio/driver.h"
#include "platform/eth.h"
#include "platform/gpio.h"
#include "platform/ifi.h"
#include "radio/iwinfo.h"
#include "radio/iwpriv.h"
#include "spine/jsonutil.h"
#include "board/eeprom.h"
#include "spine/logging.h"
#include "stats/stats_doc.h"
#include "common/bytes.h"
#include "common/text.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <time.h>
#include <unistd.h>

#include <unordered_map>
#include <vector>

#define MODE_MANAGED 2
#define MODE_MASTER 3

/* ---------------------------------------------------------------- common inputs */

/* The inventory the applet collected; empty when it could not be. */
static struct list_head *interfaces(void)
{
	static struct list_head none = { &none, &none };
	struct list_head *l = ifi_get_all();
	return l ? l : &none;
}

static bool prefix_listed(const json_t *preconf, const char *name)
{
	const json_t *eth = json_object_get(preconf, "ethernet");
	size_t i;
	json_t *v;

	if (!json_is_array(eth))
		return strncmp(name, "eth0", 4) == 0;
	json_array_foreach(eth, i, v) {
		const char *p = json_string_value(v);
		if (p && strncmp(name, p, strlen(p)) == 0)
			return true;
	}
	return false;
}

static uint32_t ifi_stat(const struct ifi *ifi, enum ifi_stat s)
{
	return ifi->stats ? ifi->stats[s] : 0;
}

static void add_addresses(json_t *obj, const struct ifi *ifi)
{
	json_t *v4 = json_array(), *v6 = json_array();

	list_for_each(pos, &ifi->addrs) {
		const struct ipi *ipi = ipi_entry(pos);
		char addr[INET6_ADDRSTRLEN], text[INET6_ADDRSTRLEN + 8];
		if (!ifi_ip_ntop(addr, sizeof(addr), ipi))
			continue;
		snprintf(text, sizeof(text), "%s/%d", addr, ipi->prefixlen);
		json_array_append_new(ipi->family == AF_INET ? v4 : v6, json_string(text));
	}
	json_object_set_new(obj, "ip_address", v4);
	json_object_set_new(obj, "ip6_address", v6);
}

static const char *first_address(char *buf, size_t size, const struct ifi *ifi, int family)
{
	if (!ifi)
		return NULL;
	list_for_each(pos, &ifi->addrs) {
		const struct ipi *ipi = ipi_entry(pos);
		if (ipi->family == family && ifi_ip_ntop(buf, size, ipi))
			return buf;
	}
	return NULL;
}

static uint32_t now_seconds(void)
{
	return (uint32_t)time(NULL);
}

/* ---------------------------------------------------------------- statistics.json */

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

	if (eth && !prefix_listed(preconf, ifi->name))
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
	json_object_set_new(o, "rx_drop", json_integer(ifi_stat(ifi, IFI_RX_DROPPED)));
	json_object_set_new(o, "tx_drop", json_integer(ifi_stat(ifi, IFI_TX_DROPPED)));
	json_object_set_new(o, "rx_errors", json_integer(ifi_stat(ifi, IFI_RX_ERRORS)));
	json_object_set_new(o, "tx_errors", json_integer(ifi_stat(ifi, IFI_TX_ERRORS)));
	add_addresses(o, ifi);
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
			json_object_set_new(e, if_counters[i], json_integer(ifi_stat(p.ifi, if_counter_ids[i])));
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
			counter_apply(p.obj, prev_if, e, if_counters[i], ifi_stat(p.ifi, if_counter_ids[i]), false);
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
	if (sysinfo(&si) < 0)
		LOG_E(log4c_cat_stats, "Failed to get sysinfo. Err code = %d\n", errno);
	else if (si.totalram)
		usage = (1.0f - (float)si.freeram / (float)si.totalram) * 100.0f;
	json_object_set_new(doc, "memory_usage", json_real(usage));

	struct ifi *w = wan ? ifi_find_by_name(wan) : NULL;
	const char *v4 = first_address(addr, sizeof(addr), w, AF_INET);
	json_object_set_new(doc, "device_ip", json_string(v4 ? v4 : "0.0.0.0"));
	const char *v6 = first_address(addr, sizeof(addr), w, AF_INET6);
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
	list_for_each(pos, interfaces()) {
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
	json_object_set_new(next, "timestamp", json_integer(now_seconds()));
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

/* ---------------------------------------------------------------- private values */

static int priv_int(const char *ifname, const char *name, int def, int fail_level)
{
	int v;

	if (iwpriv_get_int(ifname, name, &v) < 0) {
		LOG(log4c_cat_stats, fail_level, "iwpriv(%s, %s) failed.", ifname, name);
		return def;
	}
	LOG_I(log4c_cat_stats, "iwpriv(%s, %s: %d\n", ifname, name, v);
	return v;
}

struct vap_priv {
	int wds, qlix, hide_ssid, maxsta, pureg, puren, pure11ac, chwidth, chextoffset, maxmcs;
	char mode[65];
	int chan_bw, acktimeout, maxautorate, chan_offset, txchainmask, rxchainmask;
	int qlix_version;
	bool has_qlix_version;
};

static void read_vap_priv(const char *vap, const char *radio, struct vap_priv *p)
{
	memset(p, 0, sizeof(*p));
	p->wds = priv_int(vap, "get_wds", 0, LOG_ERROR);
	p->qlix = priv_int(vap, "get_qlix", 0, LOG_ERROR);
	p->hide_ssid = priv_int(vap, "get_hide_ssid", 0, LOG_ERROR);
	int n = iwpriv_get(vap, "get_mode", p->mode, sizeof(p->mode) - 1);
	if (n < 0) {
		LOG_E(log4c_cat_stats, "iwpriv(%s, get_mode) failed.", vap);
		p->mode[0] = '\0';
	} else {
		p->mode[n] = '\0';
		LOG_I(log4c_cat_stats, "iwpriv(%s, get_mode: %s\n", vap, p->mode);
	}
	p->maxsta = priv_int(vap, "get_maxsta", 0, LOG_ERROR);
	p->pureg = priv_int(vap, "get_pureg", 0, LOG_ERROR);
	p->puren = priv_int(vap, "get_puren", 0, LOG_ERROR);
	p->pure11ac = priv_int(vap, "get_pure11ac", 0, LOG_WARN);
	p->chwidth = priv_int(vap, "get_chwidth", 0, LOG_ERROR);
	p->chextoffset = priv_int(vap, "get_chextoffset", 0, LOG_ERROR);
	p->maxmcs = priv_int(vap, "get_maxmcs", 255, LOG_ERROR);
	p->chan_bw = priv_int(radio, "get_chan_bw", 20, LOG_ERROR);
	p->acktimeout = priv_int(radio, "get_acktimeout", 0, LOG_ERROR);
	p->maxautorate = priv_int(radio, "get_maxautorate", -1, LOG_ERROR);
	p->chan_offset = priv_int(radio, "get_chan_offset", 0, LOG_ERROR);
	p->txchainmask = priv_int(radio, "get_txchainmask", 0, LOG_ERROR);
	p->rxchainmask = priv_int(radio, "get_rxchainmask", 0, LOG_ERROR);
	if (strncmp(p->mode, "11ACVHT80", 9) == 0 && p->chan_bw == 0)
		p->chan_bw = 80;
	int v;
	if (iwpriv_get_int(vap, "get_qlix_version", &v) == 0) {
		p->qlix_version = v;
		p->has_qlix_version = true;
	}
}

/* ---------------------------------------------------------------- stations */

static uint64_t mac_key(const uint8_t mac[6])
{
	uint64_t k = 0;
	for (int i = 0; i < 6; i++)
		k = (k << 8) | mac[i];
	return k;
}

struct run_ctx {
	json_t *preconf;
	struct qlix_stats_rec allstats[ALLSTATS_MAX];
	size_t nallstats;
	bool agg0;
	/* last cached snapshot per station */
	std::unordered_map<uint64_t, struct peer_snapshot> cache;
	/* snapshots of this run, written as the new cache */
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

/* One cache per run, holding the stations of every VAP sampled: a cache per VAP pass would leave only
 * the last VAP's stations and turn the others' percentages into lifetime figures.  A run without
 * stations leaves the cache as it is. */
static void save_peer_cache(const struct run_ctx *c)
{
	if (c->snapshots.empty())
		return;
	std::vector<uint8_t> buf(c->snapshots.size() * PEER_CACHE_REC_SIZE);
	for (size_t i = 0; i < c->snapshots.size(); i++)
		peer_cache_encode(&buf[i * PEER_CACHE_REC_SIZE], &c->snapshots[i]);
	if (write_replace(STATS_PEER_CACHE, ".tmp", buf.data(), buf.size(), 0600, 0) < 0)
		perror(STATS_PEER_CACHE);
}

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

static uint32_t sum_u32(const uint8_t *p, int count)
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
	bool reset = c->first_run || counter_station_reset(c->state_ts, now_seconds(), uptime);

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
		json_t *fw = json_object_get(remote, "firmwareVersion");
		if (fw)
			json_object_set(o, "firmware", fw);
		json_t *dn = json_object_get(remote, "deviceName");
		if (dn)
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
		*rx_err = sum_u32(st + STASTATS_RX_ERR_FIRST, STASTATS_RX_ERR_COUNT);
		*tx_err = sum_u32(st + STASTATS_TX_FAIL_FIRST, STASTATS_TX_FAIL_COUNT);
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
static void walk_stations(struct vap_ctx *v)
{
	std::vector<uint8_t> buf(STALIST_SIZE);
	size_t len = 0;

	if (drv_request(v->ifi->name, DRV_STA_LIST, buf.data(), buf.size(), &len) < 0)
		return;
	drv_sta_walk(buf.data(), len, station_one, v);
}

static void run_init(struct run_ctx *c)
{
	c->preconf = json_load_path(STATS_PRECONFIGURED);
	load_allstats(c);
	struct stat st;
	c->agg0 = stat("/sys/class/net/agg0", &st) == 0 && ifi_find_by_name("agg0") != NULL;
	load_peer_cache(c);
}

static void run_free(struct run_ctx *c)
{
	json_decref(c->preconf);
	json_decref(c->state_index);
	json_decref(c->prev_index);
	json_decref(c->new_state_peers);
}

/* Radios: "wifi*" interfaces present under the preconfigured "radios" (all when there is none). */
static bool is_radio(const json_t *preconf, const struct ifi *ifi)
{
	if (strncmp(ifi->name, "wifi", 4) != 0)
		return false;
	if (!preconf)
		return true;
	return json_object_get(json_object_get(preconf, "radios"), ifi->name) != NULL;
}

static bool vap_of(const struct ifi *vap, const struct ifi *radio)
{
	const char *parent = ifi_parent_name(vap);
	return parent && strcmp(parent, radio->name) == 0;
}

/* ---------------------------------------------------------------- periodic.json */

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

	list_for_each(pos, interfaces()) {
		struct ifi *ifi = ifi_entry(pos);
		struct eth_state es = {};
		const struct eth_info &ei = es.eth;
		bool is_poe = false;

		if (eth_info(&es, ifi->name) < 0 || !prefix_listed(preconf, ifi->name) || ifi_parent_name(ifi))
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

	read_vap_priv(vap->name, radio->name, &pv);
	v.run = c;
	v.ifi = vap;
	v.priv = &pv;
	v.peers = json_array();
	v.prev_security = "none";
	v.prev_cipher = "none";
	walk_stations(&v);
	if (v.count > 0) {
		json_object_set_new(r, "assoced", json_true());
		if (iw.mode == MODE_MASTER) {
			master_peers = v.count;
		} else if (iw.mode == MODE_MANAGED) {
			json_object_set(r, "signal", v.first_signal);
			json_object_set_new(r, "noise", json_integer((int)iw.noise - 256));
		}
	}
	json_decref(v.peers);
	if (five) {
		json_object_set_new(r, "cac", json_integer(priv_int(vap->name, "get_cac", 0, LOG_ERROR)));
		json_object_set_new(r, "cacPeriod", json_integer(priv_int(vap->name, "get_cac_period", 0, LOG_ERROR)));
	}
	return master_peers;
}

static json_t *periodic_radio(struct run_ctx *c, const json_t *rfs, const struct ifi *radio)
{
	json_t *r = json_pack("{s:s,s:b,s:b,s:b}", "ifname", radio->name, "active", 0, "disabledByScheduler", 0,
			      "assoced", 0);
	json_int_t total = 0;

	list_for_each(vpos, interfaces()) {
		struct ifi *vap = ifi_entry(vpos);
		if (!vap_of(vap, radio))
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

	run_init(&c);
	json_object_set_new(doc, "wired", periodic_wired(c.preconf));
	json_object_set_new(doc, "wireless", wl);
	list_for_each(rpos, interfaces()) {
		struct ifi *radio = ifi_entry(rpos);
		if (is_radio(c.preconf, radio))
			json_array_append_new(wl, periodic_radio(&c, rfs, radio));
	}
	save_peer_cache(&c);

	if (sysinfo(&si) < 0)
		LOG_E(log4c_cat_stats, "Failed to get sysinfo. Err code = %d\n", errno);
	json_object_set_new(doc, "system", json_pack("{s:i,s:I}", "currentLoad", stats_get_current_load(), "uptime",
						     (json_int_t)si.uptime));
	if (json_dump_atomic(doc, STATS_PERIODIC) < 0)
		perror(STATS_PERIODIC);
	json_decref(rfs);
	json_decref(doc);
	run_free(&c);
	return 0;
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

/* Indexes "vap/mac" -> element of a peers array. */
static json_t *peer_index(const json_t *doc)
{
	json_t *idx = json_object();
	size_t i;
	json_t *p;

	json_array_foreach(json_object_get(doc, "peers"), i, p) {
		const char *mac = json_string_value(json_object_get(p, "mac"));
		const char *vap = json_string_value(json_object_get(p, "vap"));
		char key[64];
		if (!mac || !vap)
			continue;
		snprintf(key, sizeof(key), "%s/%s", vap, mac);
		json_object_set(idx, key, p);
	}
	return idx;
}

static const json_t *find_named(const json_t *arr, const char *name)
{
	size_t i;
	json_t *e;

	json_array_foreach(arr, i, e) {
		const char *n = json_string_value(json_object_get(e, "name"));
		if (n && strcmp(n, name) == 0)
			return e;
	}
	return NULL;
}

static void vap_counters(json_t *o, const struct ifi *vap, const struct run_ctx *c, const json_t *state,
			 const json_t *prev, json_t *state_vaps)
{
	uint32_t rx, tx, err;

	if (c->agg0) {
		const struct ifi *agg = ifi_find_by_name("agg0");
		rx = ifi_stat(agg, IFI_RX_PACKETS);
		err = ifi_stat(agg, IFI_RX_ERRORS);
		tx = ifi_stat(agg, IFI_TX_PACKETS);
	} else {
		std::vector<uint8_t> s(WLSTATS_SIZE);
		if (drv_request(vap->name, DRV_80211STATS, s.data(), s.size(), NULL) < 0) {
			perror("SIOCG80211STATS");
			return;
		}
		rx = drv_get_u32(&s[WLSTATS_RX_UCAST_DATA]) + drv_get_u32(&s[WLSTATS_RX_MCAST_DATA]);
		tx = drv_get_u32(&s[WLSTATS_TX_UCAST_DATA]) + drv_get_u32(&s[WLSTATS_TX_MCAST_DATA]);
		err = sum_u32(&s[WLSTATS_RX_ERR_FIRST], WLSTATS_RX_ERR_COUNT);
	}
	const json_t *old = find_named(json_object_get(state, "vaps"), vap->name);
	json_t *e = json_is_object(old) ? json_deep_copy(old) : json_object();
	const json_t *p = find_named(json_object_get(prev, "vaps"), vap->name);
	json_object_set_new(e, "name", json_string(vap->name));
	counter_apply(o, p, e, "rxPackets", rx, c->first_run);
	counter_apply(o, p, e, "txPackets", tx, c->first_run);
	counter_apply(o, p, e, "rxErrors", err, c->first_run);
	json_array_append_new(state_vaps, e);
}

struct wl_ctx {
	struct run_ctx run;
	json_t *radios, *dev, *vaps, *peers;
	json_t *rfs;
	json_t *state, *prev;   /* state and previously published documents (either may be NULL) */
	json_t *state_vaps;
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
	int txmask = priv_int(radio->name, "get_txchainmask", 0, LOG_ERROR);
	int rxmask = priv_int(radio->name, "get_rxchainmask", 0, LOG_ERROR);
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
	json_object_set_new(r, "antennaGain", json_integer(priv_int(radio->name, text, 0, LOG_ERROR)));
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
	v.peers = w->peers;
	v.prev_security = "none";
	v.prev_cipher = "none";
	walk_stations(&v);

	json_object_set_new(o, "peerCount", json_integer(v.count));
	json_object_set_new(o, "maxPeerCount", json_integer(pv->maxsta));
	json_set_text(o, "security", vap_security(w->run.preconf, vap->name, iw->mode == MODE_MANAGED, text, sizeof(text)));
	json_object_set_new(o, "vlan", json_integer(json_dotget_int(vpre, "vlan", 0)));
	mcs_text(text, sizeof(text), pv->maxautorate, pv->maxmcs, (uint32_t)pv->txchainmask);
	json_object_set_new(o, "mcs", json_string(text));
	vap_counters(o, vap, &w->run, w->state, w->prev, w->state_vaps);
	json_object_set_new(o, "txRetries", json_integer((json_int_t)v.tx_retries));
	json_array_append_new(w->vaps, o);
}

static void wl_sample(struct wl_ctx *w)
{
	list_for_each(rpos, interfaces()) {
		struct ifi *radio = ifi_entry(rpos);
		if (!is_radio(w->run.preconf, radio))
			continue;
		json_t *r = json_pack("{s:s}", "name", radio->name);
		json_object_set_new(w->dev, radio->name, r);
		if (!wl_radio(w, radio, r))
			continue;
		list_for_each(vpos, interfaces()) {
			struct ifi *vap = ifi_entry(vpos);
			struct iw_info iw = {};
			struct vap_priv pv;
			if (!vap_of(vap, radio))
				continue;
			iw_info(&iw, vap->name);
			if (!iw.has_mode)
				continue;
			read_vap_priv(vap->name, radio->name, &pv);
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

int wireless_stats(const struct kick_entry *kick, int nkick)
{
	struct wl_ctx w = {};
	json_t *doc = json_object(), *new_state = json_object();
	int rc = -1;

	w.radios = json_object();
	w.dev = json_object();
	w.vaps = json_array();
	w.peers = json_array();
	w.rfs = json_load_path(STATS_RFSCHEDULER);
	w.state = json_load_path(STATS_STATE_WIRELESS);
	w.run.first_run = !json_is_object(w.state);
	w.prev = w.run.first_run ? NULL : json_load_path(STATS_WIRELESS);
	w.state_vaps = json_array();
	json_object_set_new(doc, "radios", w.radios);
	json_object_set_new(w.radios, "dev", w.dev);
	json_object_set_new(doc, "vaps", w.vaps);
	json_object_set_new(doc, "peers", w.peers);

	run_init(&w.run);
	w.run.counters = true;
	w.run.state_index = peer_index(w.state);
	w.run.prev_index = peer_index(w.prev);
	w.run.state_ts = (uint32_t)json_dotget_int(w.state, "timestamp", 0);
	w.run.new_state_peers = json_array();
	w.run.kicker = kicker_load(STATS_KICKER);
	kicker_set_thresholds(w.run.kicker, kick, nkick);

	wl_sample(&w);
	save_peer_cache(&w.run);

	json_object_set_new(new_state, "vaps", w.state_vaps);
	json_object_set(new_state, "peers", w.run.new_state_peers);
	/* Nothing published yet: the raw values are the first published ones. */
	if (w.run.first_run &&
	    stats_state_init(new_state, STATS_STATE_WIRELESS, STATS_WIRELESS, "wireless_stats", __LINE__) < 0)
		goto out;
	if (json_dump_atomic(doc, STATS_WIRELESS) < 0) {
		perror(STATS_WIRELESS);
		goto out;
	}
	json_object_set_new(new_state, "timestamp", json_integer(now_seconds()));
	if (json_dump_atomic(new_state, STATS_STATE_WIRELESS) < 0)
		perror(STATS_STATE_WIRELESS);
	kicker_finish(w.run.kicker);
	/* Read by a component that polls it: written in place. */
	if (json_dump_file(w.run.kicker, STATS_KICKER, JSON_DOC_FLAGS) < 0)
		perror(STATS_KICKER);
	rc = 0;
out:
	json_decref(new_state);
	json_decref(w.run.kicker);
	json_decref(w.prev);
	json_decref(w.state);
	json_decref(w.rfs);
	json_decref(doc);
	run_free(&w.run);
	return rc;
}
