/* Statistic identifiers (zelk.wireless.signal_level.3, ...), placeholder expansion, and the small
 * pure helpers beside them: text comparison, remaining time, JSON numbers with rounding. */
#include "zelk.h"

#include <inttypes.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "stats_paths.h"

/* ---- JSON numbers ---- */

int64_t zelk_round(double v)
{
	if (v != v)
		return 0;
	v = v < 0 ? v - 0.5 : v + 0.5;
	if (v >= 9223372036854775807.0)
		return INT64_MAX;
	if (v <= -9223372036854775808.0)
		return INT64_MIN;
	return (int64_t)v;
}

static int64_t fill_number(const zjson *obj, const char *key)
{
	const zjson *v = zj_dotget(obj, key);
	return zj_type(v) == ZJ_NUMBER ? zelk_round(zj_number(v)) : 0;
}

void json_fill_string(const zjson *obj, const char *key, char *dst, int len)
{
	const char *s = zj_string(zj_dotget(obj, key));
	if (!s || len <= 0)
		return;
	size_t n = strlen(s);
	if (n > (size_t)len - 1)
		n = (size_t)len - 1;
	memcpy(dst, s, n);
	dst[n] = '\0';
}

void json_fill_integer(const zjson *obj, const char *key, int *out)
{
	*out = (int)(uint32_t)(uint64_t)fill_number(obj, key);
}

void json_fill_u32(const zjson *obj, const char *key, unsigned *out)
{
	*out = (unsigned)(uint64_t)fill_number(obj, key);
}

void json_fill_u64(const zjson *obj, const char *key, uint64_t *out)
{
	*out = (uint64_t)fill_number(obj, key);
}

/* ---- comparisons and time ---- */

int matches(const char *a, const char *b)
{
	if (!a || !b || strlen(a) != strlen(b))
		return -1;
	return strcmp(a, b);
}

int matches_icase(const char *a, const char *b)
{
	if (!a || !b || strlen(a) != strlen(b))
		return -1;
	return strcasecmp(a, b);
}

int64_t time_remains(int interval, const struct timeval *now, const struct zelk_time *next)
{
	int64_t ms = (next->sec - (int64_t)now->tv_sec) * 1000 + ((int64_t)next->usec - (int64_t)now->tv_usec) / 1000;

	if (ms <= 0 || ms > (int64_t)interval * 1000)
		return 0;
	return ms;
}

/* ---- identifiers ---- */

/* A numeric argument; 0 (also for a missing or non-numeric one) means absent. */
static long long arg_number(const char *text)
{
	return strtoll(text, NULL, 10);
}

/* "k.n": k before the first dot, n after the last. */
static struct zelk_peer *peer_arg(struct zelk_dev_info *info, const char *arg)
{
	const char *last = strrchr(arg, '.');
	long long k = arg_number(arg);
	long long n = last ? arg_number(last + 1) : 0;

	if (k == 0 || n <= 0 || k < INT32_MIN || k > INT32_MAX || n > UINT32_MAX)
		return NULL;
	return get_peer_info(info, (int)k, (unsigned)n);
}

static struct zelk_vap *vap_arg(struct zelk_dev_info *info, const char *arg)
{
	long long k = arg_number(arg);
	return k == 0 || k < INT32_MIN || k > INT32_MAX ? NULL : get_wireless_info_by_index(info, (int)k);
}

static struct zelk_ifstat *if_arg(struct zelk_dev_info *info, const char *arg)
{
	long long k = arg_number(arg);
	return k == 0 || k < INT32_MIN || k > INT32_MAX ? NULL : get_interface_stats_by_index(info, (int)k);
}

enum value_kind {
	V_INT,
	V_U32,
	V_U64
};

struct value {
	enum value_kind kind;
	int64_t i;
	uint64_t u;
};

static int v_int(struct value *v, int32_t x)
{
	v->kind = V_INT;
	v->i = x;
	return 0;
}

static int v_u64(struct value *v, uint64_t x)
{
	v->kind = V_U64;
	v->u = x;
	return 0;
}

static int cpu_load(struct zelk_dev_info *info, const char *, struct value *v)
{
	return v_int(v, info->cpu_load);
}

static int memory_usage(struct zelk_dev_info *info, const char *, struct value *v)
{
	return v_int(v, info->memory_usage);
}

#define VAP_VALUE(fn, expr)                                                         \
	static int fn(struct zelk_dev_info *info, const char *arg, struct value *v) \
	{                                                                           \
		struct zelk_vap *vap = vap_arg(info, arg);                          \
		return vap ? v_int(v, (expr)) : -1;                                 \
	}
VAP_VALUE(signal_level, vap->signal)
VAP_VALUE(frequency, vap->frequency)
VAP_VALUE(channel_width, atoi(vap->channel_width))
VAP_VALUE(tx_power, vap->tx_power)

static int peer_count(struct zelk_dev_info *info, const char *, struct value *v)
{
	return v_int(v, info->peer_count);
}

static int assoc_time(struct zelk_dev_info *info, const char *arg, struct value *v)
{
	struct zelk_peer *p = peer_arg(info, arg);
	if (!p)
		return -1;
	v->kind = V_U32;
	v->u = p->link_uptime;
	return 0;
}

#define PEER_VALUE(fn, field)                                                       \
	static int fn(struct zelk_dev_info *info, const char *arg, struct value *v) \
	{                                                                           \
		struct zelk_peer *p = peer_arg(info, arg);                          \
		return p ? v_u64(v, p->field) : -1;                                 \
	}
PEER_VALUE(peer_tx_bytes, tx_bytes)
PEER_VALUE(peer_tx_rate, tx_rate)
PEER_VALUE(peer_rx_bytes, rx_bytes)
PEER_VALUE(peer_rx_rate, rx_rate)

static int if_tx_bytes(struct zelk_dev_info *info, const char *arg, struct value *v)
{
	struct zelk_ifstat *s = if_arg(info, arg);
	return s ? v_u64(v, s->tx_bytes) : -1;
}

static int if_rx_bytes(struct zelk_dev_info *info, const char *arg, struct value *v)
{
	struct zelk_ifstat *s = if_arg(info, arg);
	return s ? v_u64(v, s->rx_bytes) : -1;
}

static const struct {
	const char *prefix;
	int (*get)(struct zelk_dev_info *info, const char *arg, struct value *v);
} identifiers[] = {
	{ "zelk.generic.cpu_load", cpu_load },
	{ "zelk.generic.memory_usage", memory_usage },
	{ "zelk.wireless.signal_level.", signal_level },
	{ "zelk.wireless.frequency.", frequency },
	{ "zelk.wireless.channel_width.", channel_width },
	{ "zelk.wireless.tx_power.", tx_power },
	{ "zelk.wireless.peer_count.", peer_count },
	{ "zelk.wireless.peer.assoc_time.", assoc_time },
	{ "zelk.wireless.peer.tx_bytes.", peer_tx_bytes },
	{ "zelk.wireless.peer.tx_rate.", peer_tx_rate },
	{ "zelk.wireless.peer.rx_bytes.", peer_rx_bytes },
	{ "zelk.wireless.peer.rx_rate.", peer_rx_rate },
	{ "zelk.interface.tx_bytes.", if_tx_bytes },
	{ "zelk.interface.rx_bytes.", if_rx_bytes },
};

int get_pseudo_optional(struct zelk_dev_info *info, const char *identifier, char *buf, int size)
{
	struct value v;
	int n;

	if (!identifier || !buf || size <= 0)
		return -1;
	for (size_t i = 0; i < sizeof(identifiers) / sizeof(identifiers[0]); i++) {
		size_t len = strlen(identifiers[i].prefix);
		if (strncasecmp(identifier, identifiers[i].prefix, len) != 0)
			continue;
		if (identifiers[i].get(info, identifier + len, &v) < 0)
			return -1;
		if (v.kind == V_INT)
			n = snprintf(buf, (size_t)size, "%" PRId64, v.i);
		else
			n = snprintf(buf, (size_t)size, "%" PRIu64, v.u);
		return n >= 0 && n < size ? 0 : -1;
	}
	return -1;
}

/* ---- placeholders ---- */

static const char *const placeholders[] = { "$if_index(", "$(" };

int get_ifindex(const char *name)
{
	char key[96];
	int index = 0;

	if (!name || snprintf(key, sizeof(key), "interfaces.%s.if_index", name) >= (int)sizeof(key))
		return -1;
	zjson *doc = zj_parse_file(ZELK_STATS_DIR "/statistics.json");
	if (!doc)
		return -1;
	json_fill_integer(doc, key, &index);
	zj_free(doc);
	return index ? index : -1;
}

/* The index text a part stands for, or NULL when it is no placeholder or does not resolve. */
static const char *expand_part(const char *part, size_t len, char *num, size_t num_size)
{
	char name[16];

	for (size_t i = 0; i < sizeof(placeholders) / sizeof(placeholders[0]); i++) {
		size_t plen = strlen(placeholders[i]);
		if (len < plen || strncmp(part, placeholders[i], plen) != 0)
			continue;
		const char *start = part + plen;
		size_t n = 0;
		while (start + n < part + len && start[n] != ')' && n < sizeof(name) - 1)
			n++;
		memcpy(name, start, n);
		name[n] = '\0';
		int index = get_ifindex(name);
		if (index <= 0)
			return NULL;
		snprintf(num, num_size, "%d", index);
		return num;
	}
	return NULL;
}

static int append(char *out, size_t size, size_t *used, const char *text, size_t len)
{
	if (*used + len >= size)
		return -1;
	memcpy(out + *used, text, len);
	*used += len;
	out[*used] = '\0';
	return 0;
}

int resolve_placeholders(const char *identifier, char *out, size_t size)
{
	size_t used = 0;
	int first = 1;
	char num[16];

	if (!identifier || !out || size == 0)
		return -1;
	out[0] = '\0';
	if (identifier[0] == '.' && append(out, size, &used, ".", 1) < 0)
		goto too_long;
	for (const char *p = identifier; *p;) {
		const char *dot = strchr(p, '.');
		size_t len = dot ? (size_t)(dot - p) : strlen(p);
		const char *next = dot ? dot + 1 : p + len;
		if (len) {
			const char *text = p;
			const char *index = p[0] == '$' ? expand_part(p, len, num, sizeof(num)) : NULL;
			if (index) {
				text = index;
				len = strlen(index);
			}
			if ((!first && append(out, size, &used, ".", 1) < 0) || append(out, size, &used, text, len) < 0)
				goto too_long;
			first = 0;
		}
		p = next;
	}
	return 0;
too_long:
	out[0] = '\0';
	return -1;
}
