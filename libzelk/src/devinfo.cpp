/* The device-information snapshot: VAPs with their signal averages, peers with their remote
 * documents, interface counters and the device's own address, load and Ethernet link. */
#include "zelk.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "ktrv.h"
#include "stats_paths.h"

void init_dev_info(struct zelk_dev_info *info)
{
	list_init(&info->vaps);
	list_init(&info->ifstats);
	list_init(&info->peers);
}

static void free_list(struct list_head *head, size_t link_offset)
{
	list_for_each_safe (pos, n, head) {
		list_del(pos);
		free((char *)pos - link_offset);
	}
}

void free_dev_info(struct zelk_dev_info *info)
{
	free_list(&info->vaps, offsetof(struct zelk_vap, link));
	free_list(&info->ifstats, offsetof(struct zelk_ifstat, link));
	free_list(&info->peers, offsetof(struct zelk_peer, link));
}

/* A signal value of the documents as the walk takes it: truncated toward zero, never out of range. */
static int signal_value(const zjson *v)
{
	double d = zj_number(v);
	if (d > 1000.0)
		return 1000;
	if (d < -1000.0)
		return -1000;
	return (int)d;
}

struct chain_sums {
	int sum[ZELK_CHAINS];
	int counted;
};

/* One peer's signal array: values until a 0 go into the chain sums; only a walk that reaches the
 * end counts the peer.  Values past the third chain are not the device's and are left alone. */
static void add_peer_signal(struct chain_sums *s, const zjson *signal)
{
	size_t n = zj_count(signal);
	if (n > ZELK_CHAINS)
		n = ZELK_CHAINS;
	for (size_t i = 0; i < n; i++) {
		int v = signal_value(zj_at(signal, i));
		if (v == 0)
			return;
		s->sum[i] += v;
	}
	s->counted++;
}

static void vap_signal(struct zelk_vap *vap, const zjson *peers)
{
	struct chain_sums s = {};
	int have = 0, total = 0;

	for (size_t j = 0; j < zj_count(peers); j++) {
		const zjson *p = zj_at(peers, j);
		const zjson *signal = zj_get(p, "signal");
		const char *name = zj_string(zj_get(p, "vap"));
		if (!name || strcmp(name, vap->name) != 0 || zj_type(signal) != ZJ_ARRAY)
			continue;
		add_peer_signal(&s, signal);
	}
	for (int c = 0; c < ZELK_CHAINS; c++) {
		if (s.sum[c] != 0 && s.counted > 0) {
			vap->chain_signal[c] = s.sum[c] / s.counted;
			total += vap->chain_signal[c];
			have++;
		} else {
			vap->chain_signal[c] = ZELK_SIGNAL_NONE;
		}
	}
	vap->signal = have ? total / have : ZELK_SIGNAL_NONE;
}

static int add_vaps(struct zelk_dev_info *info, const zjson *wireless)
{
	const zjson *vaps = zj_get(wireless, "vaps");
	const zjson *radios = zj_dotget(wireless, "radios.dev");
	const zjson *peers = zj_get(wireless, "peers");

	for (size_t i = 0; i < zj_count(vaps); i++) {
		const zjson *v = zj_at(vaps, i);
		struct zelk_vap *vap = (struct zelk_vap *)calloc(1, sizeof(*vap));
		if (!vap)
			return -1;
		json_fill_string(v, "name", vap->name, sizeof(vap->name));
		json_fill_integer(v, "ifIndex", &vap->if_index);
		json_fill_string(v, "mac", vap->mac, sizeof(vap->mac));
		json_fill_string(v, "security", vap->security, sizeof(vap->security));
		const char *radio_name = zj_string(zj_get(v, "radio"));
		const zjson *radio = radio_name ? zj_get(radios, radio_name) : NULL;
		json_fill_integer(radio, "frequency", &vap->frequency);
		json_fill_integer(radio, "bitrate", &vap->bitrate);
		json_fill_string(radio, "channelWidth", vap->channel_width, sizeof(vap->channel_width));
		json_fill_integer(radio, "txPower", &vap->tx_power);
		json_fill_integer(radio, "noise", &vap->noise);
		vap_signal(vap, peers);
		list_add_tail(&vap->link, &info->vaps);
	}
	return 0;
}

static void add_remote(struct zelk_peer *peer)
{
	char path[sizeof(ZELK_STATS_DIR) + 48];

	snprintf(path, sizeof(path), ZELK_STATS_DIR "/remote-%s.json", peer->mac);
	zjson *doc = zj_parse_file(path);
	if (!doc)
		return;
	json_fill_string(doc, "deviceIp", peer->remote_ip, sizeof(peer->remote_ip));
	json_fill_integer(doc, "wireless.txPower", &peer->remote_tx_power);
	const zjson *signal = zj_dotget(doc, "wireless.signal");
	for (size_t c = 0; c < ZELK_CHAINS && c < zj_count(signal); c++) {
		int v = signal_value(zj_at(signal, c));
		if (v != ZELK_SIGNAL_NONE)
			peer->remote_signal[c] = v;
	}
	zj_free(doc);
}

static int add_peers(struct zelk_dev_info *info, const zjson *wireless)
{
	const zjson *peers = zj_get(wireless, "peers");
	zjson *state = zj_parse_file(ZELK_STATS_DIR "/state/wireless.json");
	const zjson *state_peers = zj_get(state, "peers");
	int ret = 0;

	info->peer_count = (int32_t)zj_count(peers);
	for (size_t j = 0; j < zj_count(peers); j++) {
		const zjson *p = zj_at(peers, j);
		/* Counters by position, not by MAC: the state file lists the stations in the same pass order. */
		const zjson *counters = j < zj_count(state_peers) ? zj_at(state_peers, j) : p;
		struct zelk_peer *peer = (struct zelk_peer *)calloc(1, sizeof(*peer));
		if (!p || !peer) {
			free(peer);
			ret = -1;
			break;
		}
		json_fill_string(p, "vap", peer->vap, sizeof(peer->vap));
		json_fill_integer(p, "vapIfIndex", &peer->vap_if_index);
		json_fill_string(p, "mac", peer->mac, sizeof(peer->mac));
		json_fill_u32(p, "linkUptime", &peer->link_uptime);
		json_fill_u64(p, "txRate", &peer->tx_rate);
		json_fill_u64(p, "rxRate", &peer->rx_rate);
		json_fill_u64(counters, "txBytes", &peer->tx_bytes);
		json_fill_u64(counters, "rxBytes", &peer->rx_bytes);
		add_remote(peer);
		list_add_tail(&peer->link, &info->peers);
	}
	zj_free(state);
	return ret;
}

static int add_ifstat(const char *name, const zjson *v, void *ctx)
{
	struct zelk_dev_info *info = (struct zelk_dev_info *)ctx;
	struct zelk_ifstat *s = (struct zelk_ifstat *)calloc(1, sizeof(*s));

	if (!s)
		return -1;
	snprintf(s->name, sizeof(s->name), "%s", name);
	json_fill_integer(v, "if_index", &s->if_index);
	json_fill_u64(v, "tx_bytes", &s->tx_bytes);
	json_fill_u64(v, "rx_bytes", &s->rx_bytes);
	list_add_tail(&s->link, &info->ifstats);
	return 0;
}

static int add_device(struct zelk_dev_info *info, const zjson *stats)
{
	json_fill_string(stats, "device_ip", info->device_ip, sizeof(info->device_ip));
	json_fill_integer(stats, "memory_usage", &info->memory_usage);
	json_fill_integer(stats, "cpu_load", &info->cpu_load);
	const zjson *eth0 = zj_dotget(stats, "interfaces.eth0");
	if (zj_type(eth0) != ZJ_OBJECT)
		return -1;
	json_fill_string(eth0, "link", info->eth_link, sizeof(info->eth_link));
	json_fill_string(eth0, "mac_address", info->eth_mac, sizeof(info->eth_mac));
	return 0;
}

static void now_time(struct timeval *tv)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	tv->tv_sec = ts.tv_sec;
	tv->tv_usec = ts.tv_nsec / 1000;
}

static int collect(struct zelk_dev_info *info)
{
	zjson *wireless = zj_parse_file(ZELK_STATS_DIR "/wireless.json");
	zjson *stats = NULL, *state = NULL;
	int ret = -1;

	if (!wireless)
		goto out;
	if (add_vaps(info, wireless) < 0 || add_peers(info, wireless) < 0)
		goto out;
	/* statistics.json serves both the counters (when no state file exists) and the device values:
	 * parsed once. */
	stats = zj_parse_file(ZELK_STATS_DIR "/statistics.json");
	state = zj_parse_file(ZELK_STATS_DIR "/state/statistics.json");
	if (!state && !stats)
		goto out;
	if (zj_each(zj_get(state ? state : stats, "interfaces"), add_ifstat, info) != 0)
		goto out;
	if (!stats)
		goto out;
	ret = add_device(info, stats);
out:
	zj_free(state);
	zj_free(stats);
	zj_free(wireless);
	return ret;
}

int collect_dev_info(struct zelk_dev_info *info, int interval)
{
	struct timeval now;

	now_time(&now);
	if (time_remains(interval, &now, &info->next) > 0)
		return 0;
	info->next.sec = (int64_t)now.tv_sec + interval;
	info->next.usec = (int32_t)now.tv_usec;
	free_dev_info(info);
	return collect(info);
}

struct zelk_vap *get_wireless_info_by_name(struct zelk_dev_info *info, const char *name)
{
	list_for_each (pos, &info->vaps) {
		struct zelk_vap *v = list_entry(pos, struct zelk_vap, link);
		if (name && strcmp(v->name, name) == 0)
			return v;
	}
	return NULL;
}

struct zelk_vap *get_wireless_info_by_index(struct zelk_dev_info *info, int index)
{
	list_for_each (pos, &info->vaps) {
		struct zelk_vap *v = list_entry(pos, struct zelk_vap, link);
		if (v->if_index == index)
			return v;
	}
	return NULL;
}

struct zelk_ifstat *get_interface_stats_by_index(struct zelk_dev_info *info, int index)
{
	list_for_each (pos, &info->ifstats) {
		struct zelk_ifstat *s = list_entry(pos, struct zelk_ifstat, link);
		if (s->if_index == index)
			return s;
	}
	return NULL;
}

struct zelk_peer *get_peer_info(struct zelk_dev_info *info, int vap_index, unsigned n)
{
	unsigned i = 0;

	list_for_each (pos, &info->peers) {
		if (++i != n)
			continue;
		struct zelk_peer *p = list_entry(pos, struct zelk_peer, link);
		return p->vap_if_index == vap_index ? p : NULL;
	}
	return NULL;
}
