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
