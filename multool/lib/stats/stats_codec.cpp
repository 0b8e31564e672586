/* Statistics collector: records, counter arithmetic, percentages and name tables (libc only). */
#include "stats/stats_codec.h"

#include "common/bytes.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void peer_cache_encode(uint8_t rec[PEER_CACHE_REC_SIZE], const struct peer_snapshot *s)
{
	memset(rec, 0, PEER_CACHE_REC_SIZE);
	put_be32(rec, PEER_CACHE_MARKER);
	memcpy(rec + 4, s->mac, 6);
	put_be32(rec + 12, s->uptime);
	put_be32(rec + 16, s->tx_packets);
	put_be32(rec + 20, s->tx_retries);
	put_be32(rec + 24, s->rx_packets);
	put_be32(rec + 28, s->rx_drops);
}

int peer_cache_decode(const uint8_t rec[PEER_CACHE_REC_SIZE], struct peer_snapshot *s)
{
	if (get_be32(rec) != PEER_CACHE_MARKER)
		return -1;
	memcpy(s->mac, rec + 4, 6);
	s->uptime = get_be32(rec + 12);
	s->tx_packets = get_be32(rec + 16);
	s->tx_retries = get_be32(rec + 20);
	s->rx_packets = get_be32(rec + 24);
	s->rx_drops = get_be32(rec + 28);
	return 0;
}

int peer_cache_find(const uint8_t *buf, size_t size, const uint8_t mac[6], struct peer_snapshot *out)
{
	if (!buf || size % PEER_CACHE_REC_SIZE)
		return -1;
	for (size_t off = size; off >= PEER_CACHE_REC_SIZE; off -= PEER_CACHE_REC_SIZE) {
		const uint8_t *rec = buf + off - PEER_CACHE_REC_SIZE;
		if (get_be32(rec) == PEER_CACHE_MARKER && memcmp(rec + 4, mac, 6) == 0)
			return peer_cache_decode(rec, out);
	}
	return -1;
}

size_t allstats_decode(const uint8_t *buf, size_t size, struct qlix_stats_rec *out, size_t max)
{
	size_t n = 0;

	for (size_t off = 0; n < max && size - off >= QLIX_STATS_REC_LEN; off += QLIX_STATS_REC_LEN)
		qlix_stats_rec_get(buf + off, &out[n++]);
	return n;
}

const struct qlix_stats_rec *allstats_find(const struct qlix_stats_rec *recs, size_t n, const uint8_t mac[6])
{
	for (size_t i = 0; i < n; i++)
		if (memcmp(recs[i].mac, mac, 6) == 0)
			return &recs[i];
	return NULL;
}

uint32_t counter_increase(uint32_t raw, uint32_t last)
{
	if (raw >= last)
		return raw - last;
	return (0xFFFFFFFFu - last) + raw;
}

uint64_t counter_continue(uint64_t previous, uint32_t raw, uint32_t last)
{
	return previous + counter_increase(raw, last);
}

bool counter_station_reset(uint32_t state_timestamp, uint32_t now, uint32_t link_uptime)
{
	int64_t elapsed = (int64_t)now - (int64_t)state_timestamp;

	return state_timestamp != 0 && elapsed > 0 && elapsed >= (int64_t)link_uptime;
}

/* round(part * 100 / whole) for 0 < part <= whole, in integers. */
static int percent_of(int64_t part, int64_t whole)
{
	return (int)((part * 200 + whole) / (whole * 2));
}

static int loss_percent(int64_t dtotal, int64_t dlost)
{
	if (dlost == 0)
		return 0;
	if (dtotal < dlost)
		return 100;
	return percent_of(dlost, dtotal);
}

int link_quality(uint32_t a, uint32_t b, uint32_t c)
{
	/* a is a lifetime packet count: 20*a and 80*c leave 32 bits on long-lived links. */
	uint64_t a64 = a, b64 = b, c64 = c;

	if (a == 0)
		return 0;
	if (b == 0 && c == 0)
		return 100;
	return (int)(20 * a64 / (a64 + b64) + 80 - 80 * c64 / (a64 + c64));
}

void peer_percentages(const struct peer_snapshot *cur, const struct peer_snapshot *old,
		      uint32_t rx_errors, uint32_t tx_errors, struct peer_percent *out)
{
	static const struct peer_snapshot zero = {};

	if (!old || cur->uptime < old->uptime)
		old = &zero;
	int64_t dtx = (int64_t)cur->tx_packets - old->tx_packets;
	int64_t dretries = (int64_t)cur->tx_retries - old->tx_retries;
	int64_t drx = (int64_t)cur->rx_packets - old->rx_packets;
	int64_t ddrops = (int64_t)cur->rx_drops - old->rx_drops;

	if (dtx < 0 || dretries < 0 || drx < 0 || ddrops < 0) {
		out->tx_retry = 0;
		out->rx_drop = 0;
	} else {
		out->tx_retry = loss_percent(dtx, dretries);
		out->rx_drop = loss_percent(drx, ddrops);
	}
	out->rx_ccq = link_quality(cur->rx_packets, (uint32_t)out->rx_drop, rx_errors);
	out->tx_ccq = link_quality(cur->tx_packets, (uint32_t)out->tx_retry, tx_errors);
}

int kick_parse(const char *arg, kick_name_check check, void *check_arg, struct kick_entry **entries,
	       char *msg, size_t msglen)
{
	struct kick_entry *list = NULL;
	int n = 0;
	const char *p = arg;

	*entries = NULL;
	while (*p) {
		const char *colon = strchr(p, ':');
		size_t namelen = colon ? (size_t)(colon - p) : strlen(p);
		char name[256];

		snprintf(name, sizeof(name), "%.*s", (int)namelen, p);
		if (namelen > KICK_NAME_MAX) {
			snprintf(msg, msglen, "Interface name %s is too long\n", name);
			goto fail;
		}
		if (check(name, check_arg) < 0) {
			snprintf(msg, msglen, "Bad interface name %s\n", name);
			goto fail;
		}
		const char *lv = colon ? colon + 1 : p + namelen;
		const char *comma = strchr(lv, ',');
		size_t lvlen = comma ? (size_t)(comma - lv) : strlen(lv);
		if (lvlen == 0) {
			snprintf(msg, msglen, "Missing signal level value for interface %s\n", name);
			goto fail;
		}
		char lvtext[32];
		snprintf(lvtext, sizeof(lvtext), "%.*s", (int)lvlen, lv);
		long level = strtol(lvtext, NULL, 10);
		if (level < -100) {
			snprintf(msg, msglen, "Signal level %ld for interface %s is out of limits\n", level, name);
			goto fail;
		}
		struct kick_entry *grown = (struct kick_entry *)realloc(list, sizeof(*list) * (size_t)(n + 1));
		if (!grown) {
			snprintf(msg, msglen, "Memory allocation failure\n");
			goto fail;
		}
		list = grown;
		memcpy(list[n].ifname, name, namelen + 1);
		list[n].level = level > 0x7FFFFFFF ? 0x7FFFFFFF : (int)level;
		n++;
		if (!comma)
			break;
		p = comma + 1;
	}
	*entries = list;
	return n;
fail:
	free(list);
	return -1;
}

static int cmp_double(const void *a, const void *b)
{
	double x = *(const double *)a, y = *(const double *)b;
	return x < y ? -1 : x > y;
}

int load_percent(double *v, int n)
{
	if (n <= 0)
		return -1;
	qsort(v, (size_t)n, sizeof(v[0]), cmp_double);
	double median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
	double pct = median * 100 + 0.5;
	/* Converting a value outside int's range is undefined; a damaged sample file must not get there
	 * (a NaN fails both tests and counts as no load). */
	if (!(pct >= 0))
		return 0;
	if (pct >= 100)
		return 100;
	return (int)pct;
}

int kick_average(const int *signal, int count)
{
	int sum = 0;

	for (int i = 0; i < count; i++)
		sum += signal[i];
	return count ? sum / count : 0;
}

int kick_step(int times, int average, int threshold, int max_times)
{
	times += average < threshold ? 1 : -1;
	return times < 0 || times > max_times ? 0 : times;
}

static const char *const phy_modes[] = {
	"auto", "11a", "11b", "11g", "fh", "turbo_a", "turbo_g", "11na", "11ng", "11na", "11na",
	"11ng", "11ng", "11ng", "11na", "11ac", "11ac", "11ac", "11ac", "11ac", "11ac", "11ac",
};

const char *phy_mode_name(unsigned index)
{
	return index < sizeof(phy_modes) / sizeof(phy_modes[0]) ? phy_modes[index] : NULL;
}

const char *auth_mode_name(uint32_t bits, const char *prev)
{
	static const char *const names[] = { "none", "open", "shared", "8021x", "auto", "wpa", "rsn", "cckm" };

	for (unsigned i = 0; i < 8; i++)
		if (bits & (1u << i))
			return names[i];
	return prev;
}

const char *cipher_name(uint32_t bits, const char *prev)
{
	if (bits & 0x01)
		return "wep";
	if (bits & 0x02)
		return "tkip";
	if (bits & 0x10)
		return "wapi";
	if (bits & 0x20)
		return "ckip";
	if (bits & 0x4C)
		return "aes";
	if (bits & 0x80)
		return "none";
	return prev;
}

int chain_count(uint32_t mask)
{
	return (int)(mask & 1) + (int)((mask >> 1) & 1) + (int)((mask >> 2) & 1);
}

void radio_mode_text(char *buf, size_t size, uint32_t txmask, uint32_t rxmask)
{
	if (txmask < 2)
		snprintf(buf, size, "SISO");
	else
		snprintf(buf, size, "MIMO %dx%d", chain_count(txmask), chain_count(rxmask));
}

void mcs_text(char *buf, size_t size, int maxautorate, int maxmcs, uint32_t txmask)
{
	int mcs = maxmcs;

	if (maxautorate >= 0) {
		switch (chain_count(txmask)) {
		case 1: mcs = maxautorate; break;
		case 2: mcs = maxautorate + 10; break;
		case 3: mcs = maxautorate + 20; break;
		default: break;
		}
	}
	if (mcs == 255)
		snprintf(buf, size, "auto");
	else
		snprintf(buf, size, "%u", (unsigned)mcs);
}

void channel_width_text(char *buf, size_t size, int chan_bw, int chwidth, int chextoffset, const char *mode)
{
	const char *m = mode ? mode : "";
	const char *w;

	if (chan_bw == 20 && chwidth == 0 && chextoffset == 0)
		w = strstr(m, "HT40PLUS") ? "40+" : strstr(m, "HT40MINUS") ? "40-" : "20";
	else if (chan_bw == 20 || chan_bw == 0)
		w = chwidth == 0 ? "20" : chwidth == 2 ? "80" : chextoffset == 1 ? "40+" : chextoffset == -1 ? "40-" : "20";
	else if (chan_bw == 15)
		w = strstr(m, "HT40") ? "30" : strstr(m, "HT80") ? "60" : "15";
	else {
		snprintf(buf, size, "%d", chan_bw);
		return;
	}
	snprintf(buf, size, "%s", w);
}

const char *station_chwidth(const struct station_width *w, int chan_bw)
{
	if (w->quarter_rate)
		return "10";
	if (w->half_rate)
		return "5";
	if (w->phy_index < 7 || w->phy_index > 14)
		return "20";
	if (w->phy_index <= 8)
		return chan_bw == 10 ? "10" : chan_bw == 5 ? "5" : "20";
	return w->ht40_minus ? "40-" : w->ht40_plus ? "40+" : "40";
}

void vap_protocol_text(char *buf, size_t size, const char *name, int puren, int pureg, int pure11ac,
		       int qlix, bool managed)
{
	char proto[32];

	snprintf(proto, sizeof(proto), "%s", name ? name : "");
	if (strncmp(proto, "11ac", strlen(proto)) == 0) {
		if (puren == 0 && pure11ac == 0)
			snprintf(proto, sizeof(proto), "11anac");
		else if (pure11ac == 0)
			snprintf(proto, sizeof(proto), "11nac");
	} else {
		if (puren)
			snprintf(proto, sizeof(proto), "11n");
		if (pureg)
			snprintf(proto, sizeof(proto), "11g");
	}
	if (qlix && managed)
		snprintf(buf, size, "%s,qlix", proto);
	else if (qlix)
		snprintf(buf, size, "qlix");
	else
		snprintf(buf, size, "%s", proto);
}

int32_t bitrate_value(int64_t rate)
{
	return (int32_t)(rate > 1000000 ? rate / 1000000 : rate / 1000);
}

double frequency_mhz(double hz, int chan_offset_khz)
{
	return (hz + (double)chan_offset_khz * 1000) / 1000000;
}
