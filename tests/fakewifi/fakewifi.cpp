/* Stand-in radio driver, preloaded into unmodified programs.
 *
 * It answers the Wireless Extensions requests, the private descriptor table and named private
 * values, and the driver's own requests for the interfaces described in the fixture named by
 * FAKEWIFI_CONFIG; every other ioctl goes to the C library.  Each answered request is appended as
 * one JSON line to FAKEWIFI_LOG.  Records are encoded from layout.h (LAYOUTS.md), never from the
 * production headers. */
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <jansson.h>
#include <net/if.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
/* after net/if.h */
#include <linux/wireless.h>
#include <netinet/ether.h>

#include <string>
#include <utility>
#include <vector>

#include "layout.h"

using namespace fw_layout;

namespace {

typedef int (*ioctl_fn)(int, unsigned long, void *);

json_t *config;
int loaded;

struct answer {
	unsigned long req;
	const char *ifname;
	long subcmd = -1;
	unsigned len_in = 0, flags_in = 0;
	const uint8_t *written = nullptr;
	size_t written_len = 0;
	const struct iwreq *wrq = nullptr;
	bool inline_answer = false;
	std::string in; /* head of the caller's buffer on entry (driver requests) */
};

void load_config()
{
	loaded = 1;
	const char *path = getenv("FAKEWIFI_CONFIG");
	if (!path)
		return;
	json_error_t err;
	config = json_load_file(path, 0, &err);
	if (!config)
		fprintf(stderr, "fakewifi: %s:%d: %s\n", path, err.line, err.text);
}

json_t *fixture_iface(const char *name)
{
	if (!loaded)
		load_config();
	return json_object_get(json_object_get(config, "interfaces"), name);
}

unsigned long num(json_t *v, unsigned long dflt = 0)
{
	if (json_is_integer(v))
		return (unsigned long)json_integer_value(v);
	if (json_is_string(v))
		return strtoul(json_string_value(v), nullptr, 0);
	if (json_is_true(v))
		return 1;
	return dflt;
}

long snum(json_t *v, long dflt = 0)
{
	if (json_is_integer(v))
		return (long)json_integer_value(v);
	if (json_is_string(v))
		return strtol(json_string_value(v), nullptr, 0);
	return dflt;
}

std::string hex(const uint8_t *p, size_t n)
{
	static const char digits[] = "0123456789abcdef";
	std::string s;
	s.reserve(n * 2);
	for (size_t i = 0; i < n; i++) {
		s += digits[p[i] >> 4];
		s += digits[p[i] & 15];
	}
	return s;
}

std::vector<uint8_t> unhex(const char *s)
{
	std::vector<uint8_t> v;
	while (s[0] && s[1]) {
		if (s[0] == ' ' || s[0] == ':') {
			s++;
			continue;
		}
		char b[3] = { s[0], s[1], 0 };
		v.push_back((uint8_t)strtoul(b, nullptr, 16));
		s += 2;
	}
	return v;
}

void log_answer(const answer &a, int rc, int err)
{
	const char *path = getenv("FAKEWIFI_LOG");
	if (!path)
		return;
	size_t n = a.written_len;
	json_t *o = json_object();
	char req[16];
	snprintf(req, sizeof(req), "0x%04lX", a.req);
	json_object_set_new(o, "pid", json_integer(getpid()));
	json_object_set_new(o, "ifname", json_string(a.ifname));
	json_object_set_new(o, "req", json_string(req));
	if (a.subcmd >= 0)
		json_object_set_new(o, "subcmd", json_integer(a.subcmd));
	json_object_set_new(o, "length_in", json_integer(a.len_in));
	json_object_set_new(o, "flags_in", json_integer(a.flags_in));
	if (!a.in.empty())
		json_object_set_new(o, "in", json_string(a.in.c_str()));
	json_object_set_new(o, "rc", json_integer(rc));
	json_object_set_new(o, "errno", json_integer(rc ? err : 0));
	if (a.written) {
		/* trailing zeros are left out of the text, not out of the count */
		size_t shown = n;
		while (shown && !a.written[shown - 1])
			shown--;
		json_object_set_new(o, "written_len", json_integer((json_int_t)n));
		json_object_set_new(o, "written", json_string(hex(a.written, shown).c_str()));
	}
	if (a.wrq) {
		json_object_set_new(o, "length_out", json_integer(a.wrq->u.data.length));
		if (a.inline_answer)
			json_object_set_new(o, "inline", json_string(hex((const uint8_t *)&a.wrq->u, 16).c_str()));
	}
	char *line = json_dumps(o, JSON_COMPACT);
	json_decref(o);
	if (!line)
		return;
	int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
	if (fd >= 0) {
		std::string s = std::string(line) + "\n";
		if (write(fd, s.data(), s.size()) < 0) {
		}
		close(fd);
	}
	free(line);
}

template <typename T> void put(uint8_t *buf, size_t off, T v)
{
	memcpy(buf + off, &v, sizeof(v));
}

uint32_t ath_u32(const uint8_t *buf, size_t off)
{
	uint32_t v;
	memcpy(&v, buf + off, sizeof(v));
	return v;
}

void put_mac(uint8_t *dst, json_t *v)
{
	struct ether_addr *ea = json_is_string(v) ? ether_aton(json_string_value(v)) : nullptr;
	if (ea)
		memcpy(dst, ea, 6);
}

void put_counters(uint8_t *buf, size_t off, json_t *arr, int max)
{
	for (int i = 0; i < max && i < (int)json_array_size(arr); i++)
		put<uint32_t>(buf, off + 4 * (size_t)i, (uint32_t)num(json_array_get(arr, (size_t)i)));
}

/* ---- private descriptor table ---- */

std::vector<iw_priv_args> priv_table(json_t *ifc)
{
	std::vector<iw_priv_args> t;
	json_t *e;
	size_t i;
	json_array_foreach(json_object_get(ifc, "priv"), i, e) {
		iw_priv_args a;
		memset(&a, 0, sizeof(a));
		a.cmd = (uint32_t)num(json_array_get(e, 0));
		a.set_args = (uint16_t)num(json_array_get(e, 1));
		a.get_args = (uint16_t)num(json_array_get(e, 2));
		const char *name = json_string_value(json_array_get(e, 3));
		if (name)
			memcpy(a.name, name, strnlen(name, sizeof(a.name)));
		t.push_back(a);
	}
	unsigned long fill = num(json_object_get(ifc, "priv_fill"));
	for (unsigned long k = 0; k < fill; k++) {
		iw_priv_args a;
		memset(&a, 0, sizeof(a));
		a.cmd = 0x8BFE;
		a.get_args = 0x4801;
		snprintf(a.name, sizeof(a.name), "dummy%u", (unsigned)(k % 100000));
		t.push_back(a);
	}
	return t;
}

const unsigned type_size[8] = { 0, 1, 1, 0, 4, 8, 16, 0 };

/* Value bytes of a named private value. */
bool value_bytes(json_t *ifc, const char *name, uint16_t get, std::vector<uint8_t> &out)
{
	json_t *v = json_object_get(json_object_get(ifc, "values"), name);
	unsigned ts = type_size[(get >> 12) & 7];
	if (!v)
		return false;
	if (json_is_string(v)) {
		const char *s = json_string_value(v);
		if (!strncmp(s, "hex:", 4))
			out = unhex(s + 4);
		else
			out.assign(s, s + strlen(s));
		return true;
	}
	json_t *arr = json_is_array(v) ? v : nullptr;
	size_t n = arr ? json_array_size(arr) : 1;
	for (size_t i = 0; i < n; i++) {
		long x = snum(arr ? json_array_get(arr, i) : v);
		uint8_t b[16] = { 0 };
		if (ts == 4) {
			int32_t w = (int32_t)x;
			memcpy(b, &w, 4);
		} else if (ts == 1) {
			b[0] = (uint8_t)x;
		} else {
			memcpy(b, &x, sizeof(x) < ts ? sizeof(x) : ts);
		}
		out.insert(out.end(), b, b + (ts ? ts : 1));
	}
	return true;
}

int do_getpriv(json_t *ifc, struct iwreq *wrq, answer &a)
{
	std::vector<iw_priv_args> t = priv_table(ifc);
	if (wrq->u.data.length < t.size()) {
		wrq->u.data.length = (uint16_t)num(json_object_get(ifc, "priv_report"), t.size());
		errno = E2BIG;
		return -1;
	}
	size_t n = t.size() * sizeof(iw_priv_args);
	memcpy(wrq->u.data.pointer, t.data(), n);
	wrq->u.data.length = (uint16_t)t.size();
	a.written = (const uint8_t *)wrq->u.data.pointer;
	a.written_len = n;
	return 0;
}

int do_private(json_t *ifc, unsigned long req, struct iwreq *wrq, answer &a, bool *handled)
{
	std::vector<iw_priv_args> t = priv_table(ifc);
	const iw_priv_args *named = nullptr, *unnamed = nullptr;
	for (const iw_priv_args &d : t) {
		if (d.cmd != req)
			continue;
		if (d.name[0] && !named)
			named = &d;
		if (!d.name[0] && !unnamed)
			unnamed = &d;
	}
	if (!named && !unnamed) {
		*handled = false;
		return 0;
	}
	*handled = true;
	const iw_priv_args *d = unnamed ? unnamed : named;
	uint16_t get = d->get_args, set = d->set_args;
	size_t full = (size_t)(get & 0x7FF) * type_size[(get >> 12) & 7];
	bool inl = set == 0 && (get & 0x800) && full <= 16;

	if (unnamed) {
		int sub;
		if (inl)
			memcpy(&sub, wrq->u.name, sizeof(sub));
		else
			sub = wrq->u.data.flags;
		a.subcmd = sub;
		named = nullptr;
		for (const iw_priv_args &x : t)
			if (x.name[0] && (int)x.cmd == sub && x.set_args == set && x.get_args == get) {
				named = &x;
				break;
			}
		if (!named) {
			errno = EINVAL;
			return -1;
		}
	}
	char name[IFNAMSIZ + 1];
	snprintf(name, sizeof(name), "%.*s", IFNAMSIZ, named->name);
	std::vector<uint8_t> v;
	if (!value_bytes(ifc, name, get, v)) {
		errno = EOPNOTSUPP;
		return -1;
	}
	if (inl) {
		memset(wrq->u.name, 0, 16);
		memcpy(wrq->u.name, v.data(), v.size() < full ? v.size() : full);
		a.inline_answer = true;
		return 0;
	}
	if (get & 0x800) {
		/* a fixed answer is always written whole, like the kernel's wext core does */
		v.resize(full, 0);
	} else {
		size_t ts = type_size[(get >> 12) & 7];
		size_t elems = ts ? v.size() / ts : 0;
		if (elems > (size_t)(get & 0x7FF))
			elems = get & 0x7FF;
		v.resize(elems * ts);
		wrq->u.data.length = (uint16_t)elems;
	}
	memcpy(wrq->u.data.pointer, v.data(), v.size());
	a.written = (const uint8_t *)wrq->u.data.pointer;
	a.written_len = v.size();
	return 0;
}

/* ---- Wireless Extensions ---- */

int do_we(json_t *ifc, unsigned long req, struct iwreq *wrq, answer &a)
{
	json_t *v;
	switch (req) {
	case SIOCGIWNAME:
		if (!(v = json_object_get(ifc, "name")))
			break;
		memset(wrq->u.name, 0, IFNAMSIZ);
		strncpy(wrq->u.name, json_string_value(v), IFNAMSIZ);
		a.inline_answer = true;
		return 0;
	case SIOCGIWESSID: {
		if (!(v = json_object_get(ifc, "essid")))
			break;
		const char *s = json_string_value(v);
		size_t n = strlen(s);
		if (n > 32 || n > wrq->u.essid.length) {
			errno = E2BIG;
			return -1;
		}
		memcpy(wrq->u.essid.pointer, s, n);
		wrq->u.essid.length = (uint16_t)n;
		wrq->u.essid.flags = (uint16_t)num(json_object_get(ifc, "essid_on"), 1);
		a.written = (const uint8_t *)wrq->u.essid.pointer;
		a.written_len = n;
		return 0;
	}
	case SIOCGIWMODE:
		if (!(v = json_object_get(ifc, "mode")))
			break;
		wrq->u.mode = (uint32_t)num(v);
		a.inline_answer = true;
		return 0;
	case SIOCGIWFREQ:
		if (!(v = json_object_get(ifc, "freq")))
			break;
		wrq->u.freq.m = (int32_t)snum(json_object_get(v, "m"));
		wrq->u.freq.e = (int16_t)snum(json_object_get(v, "e"));
		wrq->u.freq.i = (uint8_t)num(json_object_get(v, "i"));
		wrq->u.freq.flags = 0;
		a.inline_answer = true;
		return 0;
	case SIOCGIWAP:
		if (!(v = json_object_get(ifc, "ap")))
			break;
		memset(&wrq->u.ap_addr, 0, sizeof(wrq->u.ap_addr));
		wrq->u.ap_addr.sa_family = 1; /* ARPHRD_ETHER */
		put_mac((uint8_t *)wrq->u.ap_addr.sa_data, v);
		a.inline_answer = true;
		return 0;
	case SIOCGIWTXPOW:
		if (!(v = json_object_get(ifc, "txpower")))
			break;
		wrq->u.txpower.value = (int32_t)snum(json_object_get(v, "value"));
		wrq->u.txpower.disabled = (uint8_t)num(json_object_get(v, "disabled"));
		wrq->u.txpower.fixed = 0;
		wrq->u.txpower.flags = IW_TXPOW_DBM;
		a.inline_answer = true;
		return 0;
	case SIOCGIWSTATS: {
		if (!(v = json_object_get(ifc, "quality")))
			break;
		struct iw_statistics st;
		memset(&st, 0, sizeof(st));
		st.qual.qual = (uint8_t)num(json_object_get(v, "qual"));
		st.qual.level = (uint8_t)num(json_object_get(v, "level"));
		st.qual.noise = (uint8_t)num(json_object_get(v, "noise"));
		st.qual.updated = wrq->u.data.flags ? 0 : 0x7;
		size_t n = wrq->u.data.length < sizeof(st) ? wrq->u.data.length : sizeof(st);
		memcpy(wrq->u.data.pointer, &st, n);
		wrq->u.data.length = (uint16_t)sizeof(st);
		a.written = (const uint8_t *)wrq->u.data.pointer;
		a.written_len = n;
		return 0;
	}
	case SIOCGIWRATE:
		if (!(v = json_object_get(ifc, "bitrate")))
			break;
		memset(&wrq->u.bitrate, 0, sizeof(wrq->u.bitrate));
		wrq->u.bitrate.value = (int32_t)snum(v);
		a.inline_answer = true;
		return 0;
	case SIOCGIWENCODE: {
		if (!(v = json_object_get(ifc, "encode_flags")))
			break;
		wrq->u.encoding.flags = (uint16_t)num(v);
		wrq->u.encoding.length = 0;
		return 0;
	}
	case SIOCGIWPRIV:
		return do_getpriv(ifc, wrq, a);
	default:
		break;
	}
	errno = EOPNOTSUPP;
	return -1;
}

/* ---- driver requests ---- */

json_t *find_station(json_t *ifc, const uint8_t *mac)
{
	json_t *s;
	size_t i;
	json_array_foreach(json_object_get(ifc, "stations"), i, s) {
		uint8_t m[6] = { 0 };
		put_mac(m, json_object_get(s, "mac"));
		if (!memcmp(m, mac, 6))
			return s;
	}
	return nullptr;
}

std::vector<uint8_t> station_record(json_t *s)
{
	size_t extra = num(json_object_get(s, "ie_len"));
	std::vector<uint8_t> r(SL_MIN + extra, 0);
	uint8_t *b = r.data();
	put<uint16_t>(b, SL_LEN, (uint16_t)num(json_object_get(s, "reclen"), r.size()));
	put<uint16_t>(b, SL_ASSOCID, (uint16_t)num(json_object_get(s, "associd")));
	put<uint16_t>(b, SL_CHAN_FREQ, (uint16_t)num(json_object_get(s, "chan_freq")));
	put<uint16_t>(b, SL_CHAN_FLAGS, (uint16_t)num(json_object_get(s, "chan_flags")));
	put<uint32_t>(b, SL_FLAGS, (uint32_t)num(json_object_get(s, "flags")));
	b[SL_RSSI] = (uint8_t)num(json_object_get(s, "rssi"));
	put_mac(b + SL_MAC, json_object_get(s, "mac"));
	b[SL_PHYMODE] = (uint8_t)num(json_object_get(s, "phymode"));
	b[SL_NSS] = (uint8_t)num(json_object_get(s, "nss"), 1);
	put<uint32_t>(b, SL_UPTIME, (uint32_t)num(json_object_get(s, "uptime")));
	b[SL_CHAINMASK] = (uint8_t)num(json_object_get(s, "chainmask"));
	json_t *c = json_object_get(s, "chain_rssi");
	for (size_t i = 0; i < 3 && i < json_array_size(c); i++)
		b[SL_CHAIN_RSSI + i] = (uint8_t)num(json_array_get(c, i));
	put<uint32_t>(b, SL_AUTHMODE, (uint32_t)num(json_object_get(s, "authmode")));
	put<uint32_t>(b, SL_CIPHER, (uint32_t)num(json_object_get(s, "cipher")));
	put<uint32_t>(b, SL_TXRATE, (uint32_t)num(json_object_get(s, "txrate")));
	put<uint32_t>(b, SL_RXRATE, (uint32_t)num(json_object_get(s, "rxrate")));
	return r;
}

std::vector<uint8_t> station_list(json_t *ifc, size_t room)
{
	json_t *raw = json_object_get(ifc, "stalist_raw");
	if (json_is_string(raw))
		return unhex(json_string_value(raw));
	std::vector<uint8_t> out;
	json_t *s;
	size_t i;
	json_array_foreach(json_object_get(ifc, "stations"), i, s) {
		std::vector<uint8_t> r = station_record(s);
		if (out.size() + r.size() > room)
			break;
		out.insert(out.end(), r.begin(), r.end());
	}
	return out;
}

void station_stats(json_t *s, uint8_t *b)
{
	json_t *st = json_object_get(s, "stats");
	put_mac(b + SS_MAC, json_object_get(s, "mac"));
	put<uint32_t>(b, SS_RX_PACKETS, (uint32_t)num(json_object_get(st, "rx_packets")));
	put<uint32_t>(b, SS_TX_PACKETS, (uint32_t)num(json_object_get(st, "tx_packets")));
	put<uint32_t>(b, SS_RX_BYTES, (uint32_t)num(json_object_get(st, "rx_bytes")));
	put<uint32_t>(b, SS_TX_BYTES, (uint32_t)num(json_object_get(st, "tx_bytes")));
	put<uint32_t>(b, SS_TX_RETRIES, (uint32_t)num(json_object_get(st, "tx_retries")));
	put<uint32_t>(b, SS_TX_SUCCESS, (uint32_t)num(json_object_get(st, "tx_success")));
	put_counters(b, SS_TX_FAIL, json_object_get(st, "tx_fail"), SS_TX_FAIL_N);
	put_counters(b, SS_RX_ERR, json_object_get(st, "rx_err"), SS_RX_ERR_N);
	put<uint32_t>(b, SS_RX_DROPS, (uint32_t)num(json_object_get(st, "rx_drops")));
	json_t *fp = json_object_get(s, "dhcp_fp");
	for (size_t i = 0; i < SS_DHCP_FP_LEN && i < json_array_size(fp); i++)
		b[SS_DHCP_FP + i] = (uint8_t)num(json_array_get(fp, i));
	json_t *name = json_object_get(s, "name");
	if (json_is_string(name))
		strncpy((char *)b + SS_NAME, json_string_value(name), SS_NAME_LEN);
	json_t *ip = json_object_get(s, "ip");
	if (json_is_string(ip))
		inet_pton(AF_INET, json_string_value(ip), b + SS_IPV4);
	json_t *ip6 = json_object_get(s, "ip6");
	if (json_is_string(ip6))
		inet_pton(AF_INET6, json_string_value(ip6), b + SS_IPV6);
}

int do_driver(json_t *ifc, unsigned long req, struct iwreq *wrq, answer &a)
{
	uint8_t *buf = (uint8_t *)wrq->u.data.pointer;
	size_t room = wrq->u.data.length;
	std::vector<uint8_t> out;

	switch (req) {
	case 0x89F0: {
		json_t *a0 = json_object_get(ifc, "athstats");
		if (!a0)
			break;
		out.assign(ATH_SIZE, 0);
		json_t *nf = json_object_get(a0, "noise");
		for (size_t i = 0; i < 3 && i < json_array_size(nf); i++)
			put<int16_t>(out.data(), ATH_NOISE + 2 * i, (int16_t)snum(json_array_get(nf, i)));
		goto copy;
	}
	case 0x89F2: {
		json_t *w = json_object_get(ifc, "wlstats");
		if (!w)
			break;
		out.assign(WL_SIZE, 0);
		put<uint32_t>(out.data(), WL_RX_UCAST, (uint32_t)num(json_object_get(w, "rx_ucast")));
		put<uint32_t>(out.data(), WL_RX_MCAST, (uint32_t)num(json_object_get(w, "rx_mcast")));
		put<uint32_t>(out.data(), WL_TX_UCAST, (uint32_t)num(json_object_get(w, "tx_ucast")));
		put<uint32_t>(out.data(), WL_TX_MCAST, (uint32_t)num(json_object_get(w, "tx_mcast")));
		put_counters(out.data(), WL_RX_ERR, json_object_get(w, "rx_err"), WL_RX_ERR_N);
		goto copy;
	}
	case 0x89F5: {
		if (room < 6) {
			errno = EINVAL;
			return -1;
		}
		json_t *s = find_station(ifc, buf + SS_MAC);
		if (!s) {
			errno = ENOENT;
			return -1;
		}
		out.assign(SS_SIZE, 0);
		station_stats(s, out.data());
		goto copy;
	}
	case 0x89F6:
		if (!json_object_get(ifc, "stations") && !json_object_get(ifc, "stalist_raw"))
			break;
		out = station_list(ifc, room);
		if (out.size() > room)
			out.resize(room);
		wrq->u.data.length = (uint16_t)out.size();
		goto copy;
	default:
		break;
	}
	errno = EOPNOTSUPP;
	return -1;
copy:
	if (out.size() > room) {
		errno = EFAULT;
		return -1;
	}
	memcpy(buf, out.data(), out.size());
	a.written = buf;
	a.written_len = out.size();
	return 0;
}

/* ---- the configuration request 0x89FF (LAYOUTS.md, "Configuration request") ---- */

struct cfg_state {
	bool ready = false;
	std::vector<uint8_t> mask = std::vector<uint8_t>(CF_MASK_SIZE, 0);
	std::vector<uint8_t> xelto = std::vector<uint8_t>(CF_XELTO_SIZE, 0);
	std::vector<uint8_t> rate = std::vector<uint8_t>(CF_RATE_SIZE, 0);
	std::string name, circuit, remote;
};

std::vector<std::pair<std::string, cfg_state>> cfg_states;

/* What survives between requests of one process, first taken from the fixture's "athtool" object. */
cfg_state &cfg_of(const char *ifname, json_t *ifc)
{
	for (auto &p : cfg_states)
		if (p.first == ifname)
			return p.second;
	cfg_states.emplace_back(ifname, cfg_state());
	cfg_state &st = cfg_states.back().second;
	json_t *a = json_object_get(ifc, "athtool");
	json_t *v;
	size_t i;
	if (json_is_string(v = json_object_get(a, "name")))
		st.name = json_string_value(v);
	if (json_is_string(v = json_object_get(a, "circuit")))
		st.circuit = json_string_value(v);
	if (json_is_string(v = json_object_get(a, "remote")))
		st.remote = json_string_value(v);
	if ((v = json_object_get(a, "mask"))) {
		put<uint32_t>(st.mask.data(), 0, (uint32_t)num(json_object_get(v, "enabled")));
		json_t *f;
		json_array_foreach(json_object_get(v, "freqs"), i, f)
			if (i < CF_MASK_MAX)
				put<uint16_t>(st.mask.data(), 4 + 2 * i, (uint16_t)num(f));
	}
	if ((v = json_object_get(a, "xelto"))) {
		json_t *l;
		put<uint32_t>(st.xelto.data(), 0, (uint32_t)json_array_size(v));
		json_array_foreach(v, i, l)
			for (size_t k = 0; k < 4 && 4 + 16 * i + 4 * k + 4 <= CF_XELTO_SIZE; k++)
				put<uint32_t>(st.xelto.data(), 4 + 16 * i + 4 * k, (uint32_t)num(json_array_get(l, k)));
	}
	if ((v = json_object_get(a, "rate"))) {
		st.rate[0] = (uint8_t)num(json_array_get(v, 0));
		put<uint16_t>(st.rate.data(), 2, (uint16_t)num(json_array_get(v, 1)));
		st.rate[4] = (uint8_t)num(json_array_get(v, 2));
	}
	return st;
}

/* A fixed-size text answer: copied up to the room, with no terminator when it fills it. */
void cfg_text(uint8_t *dst, size_t room, const std::string &s)
{
	memset(dst, 0, room);
	memcpy(dst, s.data(), s.size() < room ? s.size() : room);
}

/* Payload size the driver accepts for a command; -1 for "any up to max" (returned in *max). */
long cfg_size(uint32_t cmd, const uint8_t *payload, uint32_t len, size_t *max)
{
	*max = 0;
	switch (cmd) {
	case 1: case 2: return CF_MASK_SIZE;
	case 3: *max = 4096; return -1;
	case 4: return CF_NAME_SIZE;
	case 5: return CF_CHAN_SIZE;
	case 6: return len >= CF_REG_HDR ? (long)CF_REG_HDR + CF_RANGE_SIZE * (long)ath_u32(payload, 8) : (long)CF_REG_HDR;
	case 7: return CF_COUNTRY_SIZE;
	case 8: case 9: return CF_RATE_SIZE;
	case 17: case 18: return CF_XELTO_SIZE;
	case 19: *max = CF_CIRCUIT_SIZE; return -1;
	case 20: return CF_CIRCUIT_SIZE;
	case 21: *max = CF_REMOTE_SET; return -1;
	case 22: return CF_REMOTE_SIZE;
	default: return -2;
	}
}

void cfg_log(const char *ifname, uint32_t cmd, uint32_t len, const uint8_t *env, size_t env_len, int rc, int err,
	     const uint8_t *answer, size_t answer_len)
{
	const char *path = getenv("FAKEWIFI_LOG");
	if (!path)
		return;
	json_t *o = json_object();
	json_object_set_new(o, "pid", json_integer(getpid()));
	json_object_set_new(o, "ifname", json_string(ifname));
	json_object_set_new(o, "req", json_string("0x89FF"));
	json_object_set_new(o, "cmd", json_integer(cmd));
	json_object_set_new(o, "length", json_integer(len));
	json_object_set_new(o, "request", json_string(hex(env, env_len).c_str()));
	json_object_set_new(o, "rc", json_integer(rc));
	json_object_set_new(o, "errno", json_integer(rc ? err : 0));
	if (answer)
		json_object_set_new(o, "answer", json_string(hex(answer, answer_len).c_str()));
	char *line = json_dumps(o, JSON_COMPACT);
	json_decref(o);
	if (!line)
		return;
	int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
	if (fd >= 0) {
		std::string text = std::string(line) + "\n";
		if (write(fd, text.data(), text.size()) < 0) {
		}
		close(fd);
	}
	free(line);
}

int do_config(json_t *ifc, const char *ifname, struct ifreq *ifr)
{
	uint8_t *env = (uint8_t *)ifr->ifr_data;
	if (!env) {
		errno = EFAULT;
		return -1;
	}
	uint32_t cmd = ath_u32(env, 0), len = ath_u32(env, 4);
	uint8_t *p = env + CF_HDR;
	size_t max;
	long want = cfg_size(cmd, p, len, &max);
	/* only a length the driver expects is trusted: nothing past it is read */
	bool fits = want == -1 ? len <= max : want >= 0 && len == (uint32_t)want;
	std::vector<uint8_t> request(env, env + CF_HDR + (fits ? len : 0));
	int rc = 0, err = 0;
	bool answers = false;
	int forced = (int)num(json_object_get(json_object_get(ifc, "fail"), std::to_string(cmd).c_str()));

	if (!fits || forced) {
		rc = -1;
		err = forced ? forced : EINVAL;
		goto out;
	}
	{
		cfg_state &st = cfg_of(ifname, ifc);
		json_t *a = json_object_get(ifc, "athtool");
		switch (cmd) {
		case 1: memcpy(st.mask.data(), p, CF_MASK_SIZE); break;
		case 2: memcpy(p, st.mask.data(), CF_MASK_SIZE); answers = true; break;
		case 3: st.name.assign((const char *)p, strnlen((const char *)p, len)); break;
		case 4: cfg_text(p, CF_NAME_SIZE, st.name); answers = true; break;
		case 5: {
			json_t *list = json_object_get(a, "channels"), *c;
			size_t i, room = ath_u32(p, 0);
			json_array_foreach(list, i, c) {
				if (i >= room || i >= CF_CHAN_ROOM)
					break;
				uint8_t *e = p + CF_CHAN_FIRST + CF_CHAN_ENTRY * i;
				memset(e, 0, CF_CHAN_ENTRY);
				put<uint16_t>(e, 0, (uint16_t)num(json_object_get(c, "freq")));
				put<uint32_t>(e, 2, (uint32_t)num(json_object_get(c, "flags")));
				put<uint16_t>(e, 6, (uint16_t)num(json_object_get(c, "extra")));
				e[8] = (uint8_t)num(json_object_get(c, "chan"));
				e[9] = (uint8_t)snum(json_object_get(c, "eirp"));
				e[10] = (uint8_t)snum(json_object_get(c, "max"));
				e[11] = (uint8_t)snum(json_object_get(c, "min"));
			}
			put<uint32_t>(p, 0, (uint32_t)num(json_object_get(a, "channel_count"), json_array_size(list)));
			answers = true;
			break;
		}
		case 6: break;
		case 7: {
			json_t *list = json_object_get(a, "countries"), *c;
			size_t i, room = ath_u32(p, 0);
			json_array_foreach(list, i, c) {
				if (i >= room || i >= CF_COUNTRY_ROOM)
					break;
				uint8_t *e = p + CF_COUNTRY_FIRST + CF_COUNTRY_ENTRY * i;
				const char *code = json_string_value(json_array_get(c, 0));
				memset(e, 0, CF_COUNTRY_ENTRY);
				if (code)
					memcpy(e, code, strnlen(code, 2));
				for (size_t k = 0; k < 4; k++)
					e[2 + k] = (uint8_t)snum(json_array_get(c, k + 1));
			}
			put<uint32_t>(p, 0, (uint32_t)num(json_object_get(a, "country_count"), json_array_size(list)));
			answers = true;
			break;
		}
		case 8: memcpy(st.rate.data(), p, CF_RATE_SIZE); break;
		case 9: memcpy(p, st.rate.data(), CF_RATE_SIZE); answers = true; break;
		case 17: memcpy(st.xelto.data(), p, CF_XELTO_SIZE); break;
		case 18:
			memcpy(p, st.xelto.data(), CF_XELTO_SIZE);
			if (json_object_get(a, "xelto_count"))
				put<uint32_t>(p, 0, (uint32_t)num(json_object_get(a, "xelto_count")));
			answers = true;
			break;
		case 19: st.circuit.assign((const char *)p, len); break;
		case 20: cfg_text(p, CF_CIRCUIT_SIZE, st.circuit); answers = true; break;
		case 21: st.remote.assign((const char *)p, len); break;
		case 22: cfg_text(p, CF_REMOTE_SIZE, st.remote); answers = true; break;
		}
	}
out:
	cfg_log(ifname, cmd, len, request.data(), request.size(), rc, err, answers ? p : nullptr, answers ? len : 0);
	errno = err;
	return rc;
}

int forced_error(json_t *ifc, unsigned long req)
{
	char key[16];
	snprintf(key, sizeof(key), "0x%04lX", req);
	return (int)num(json_object_get(json_object_get(ifc, "fail"), key));
}

} // namespace

extern "C" int ioctl(int fd, unsigned long req, ...)
{
	static ioctl_fn real;
	va_list ap;
	va_start(ap, req);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	if (!real)
		real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");

	bool we = req >= 0x8B00 && req <= 0x8BFF;
	bool drv = req >= 0x89F0 && req <= 0x89FF;
	if ((!we && !drv) || !arg)
		return real(fd, req, arg);
	struct iwreq *wrq = (struct iwreq *)arg;
	char name[IFNAMSIZ + 1];
	snprintf(name, sizeof(name), "%.*s", IFNAMSIZ, wrq->ifr_name);
	json_t *ifc = fixture_iface(name);
	if (!ifc)
		return real(fd, req, arg);
	/* The configuration request passes a struct ifreq, not an iwreq. */
	if (req == 0x89FF && !json_object_get(json_object_get(ifc, "fail"), "0x89FF"))
		return do_config(ifc, name, (struct ifreq *)arg);

	answer a;
	a.req = req;
	a.ifname = name;
	a.len_in = wrq->u.data.length;
	a.flags_in = wrq->u.data.flags;
	a.wrq = wrq;
	if (drv && wrq->u.data.pointer && wrq->u.data.length) {
		size_t n = wrq->u.data.length < 64 ? wrq->u.data.length : 64;
		const uint8_t *p = (const uint8_t *)wrq->u.data.pointer;
		while (n && !p[n - 1])
			n--;
		a.in = hex(p, n);
	}
	int rc, err = 0;
	int forced = forced_error(ifc, req);
	if (forced) {
		errno = forced;
		rc = -1;
	} else {
		bool handled = false;
		rc = 0;
		if ((req >= SIOCIWFIRSTPRIV && req <= SIOCIWLASTPRIV) || drv)
			rc = do_private(ifc, req, wrq, a, &handled);
		if (!handled)
			rc = drv ? do_driver(ifc, req, wrq, a) : do_we(ifc, req, wrq, a);
	}
	if (rc)
		err = errno;
	log_answer(a, rc, err);
	errno = err;
	return rc;
}
