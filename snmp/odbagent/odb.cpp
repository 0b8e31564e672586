/* The object database and the other agent functions the modules call. */
#include "snmp/odbagent/odb.h"

#include <ctype.h>
#include <errno.h>
#include <net/if.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

struct odb_entry {
	const struct module *owner;
	uint8_t type;
	int32_t i;
	uint32_t u, hi, lo;
	std::vector<uint8_t> bytes; /* octets, or the arcs of an identifier value (u32 each) */
};

std::map<std::vector<uint32_t>, odb_entry> odb;
std::string enterprise = "99999";
char last_error[512];
int log_level = AGENT_LOG_NOTICE;
std::unordered_map<std::string, int> ifcache;
long oids_outstanding;

void fill_view(const std::map<std::vector<uint32_t>, odb_entry>::const_iterator &it, struct odb_view *out)
{
	const odb_entry &e = it->second;

	out->arcs = it->first.data();
	out->len = (uint32_t)it->first.size();
	out->owner = e.owner;
	memset(&out->value, 0, sizeof(out->value));
	out->value.type = e.type;
	switch (e.type) {
	case AGENT_INTEGER:
		out->value.v.i = e.i;
		break;
	case AGENT_OCTETS:
		out->value.v.s.len = (uint32_t)e.bytes.size();
		out->value.v.s.p = e.bytes.data();
		break;
	case AGENT_OID:
		out->value.v.o = (const struct agent_oid *)e.bytes.data();
		break;
	case AGENT_COUNTER64:
		out->value.v.c64.hi = e.hi;
		out->value.v.c64.lo = e.lo;
		break;
	default:
		out->value.v.u = e.u;
		break;
	}
}

} // namespace

/* ---------------------------------------------------------------- the module side */

const char *module_get_enterprise_oid(void)
{
	return enterprise.c_str();
}

void abz_clear_error(void)
{
	last_error[0] = '\0';
}

void abz_set_error(const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(last_error, sizeof(last_error), fmt, ap);
	va_end(ap);
}

void odb_destroy(const struct module *owner)
{
	for (auto it = odb.begin(); it != odb.end();)
		it = it->second.owner == owner ? odb.erase(it) : std::next(it);
}

int odb_add(const struct module *owner, const struct agent_oid *oid, const struct agent_value *value)
{
	odb_entry e = {};

	if (!oid || oid->len < AGENT_OID_MIN_ARCS || oid->len > AGENT_OID_MAX_ARCS) {
		abz_set_error("bad object identifier");
		return -1;
	}
	e.owner = owner;
	e.type = value->type;
	switch (value->type) {
	case AGENT_INTEGER:
		e.i = value->v.i;
		break;
	case AGENT_OCTETS:
		/* The agent's PDUs hold no more than this in one string. */
		if (value->v.s.len > 65535 || (value->v.s.len && !value->v.s.p)) {
			abz_set_error("octet string of %u bytes refused", value->v.s.len);
			return -1;
		}
		e.bytes.assign((const uint8_t *)value->v.s.p, (const uint8_t *)value->v.s.p + value->v.s.len);
		break;
	case AGENT_OID: {
		const struct agent_oid *o = value->v.o;
		if (!o || o->len < AGENT_OID_MIN_ARCS || o->len > AGENT_OID_MAX_ARCS) {
			abz_set_error("bad object identifier value");
			return -1;
		}
		e.bytes.resize(sizeof(uint32_t) * (o->len + 1));
		memcpy(e.bytes.data(), o, e.bytes.size());
		break;
	}
	case AGENT_COUNTER32:
	case AGENT_GAUGE32:
	case AGENT_TIMETICKS:
		e.u = value->v.u;
		break;
	case AGENT_COUNTER64:
		e.hi = value->v.c64.hi;
		e.lo = value->v.c64.lo;
		break;
	default:
		abz_set_error("invalid type (0x%02x) specified", value->type);
		return -1;
	}
	std::vector<uint32_t> key(oid->arcs, oid->arcs + oid->len);
	auto held = odb.find(key);
	if (held != odb.end()) {
		/* First come, first served: a refresh never changes which module answers for an object. */
		std::string text;
		for (uint32_t i = 0; i < oid->len; i++)
			text += (i ? "." : "") + std::to_string(oid->arcs[i]);
		abz_set_error("object %.400s already held by %.32s", text.c_str(),
			      held->second.owner && held->second.owner->name ? held->second.owner->name : "?");
		return -1;
	}
	odb.emplace(std::move(key), std::move(e));
	return 0;
}

struct agent_oid *makeoid_stub(const char *text)
{
	uint32_t arcs[AGENT_OID_MAX_ARCS];
	uint32_t n = 0;
	const char *p = text;

	if (!p)
		return NULL;
	for (;;) {
		if (!isdigit((unsigned char)*p) || n == AGENT_OID_MAX_ARCS)
			return NULL;
		uint64_t v = 0;
		while (isdigit((unsigned char)*p)) {
			v = v * 10 + (uint64_t)(*p++ - '0');
			if (v > 0xFFFFFFFFu)
				return NULL;
		}
		arcs[n++] = (uint32_t)v;
		if (*p == '\0')
			break;
		if (*p++ != '.')
			return NULL;
	}
	if (n < AGENT_OID_MIN_ARCS || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40))
		return NULL;
	struct agent_oid *oid = (struct agent_oid *)malloc(sizeof(*oid) + n * sizeof(uint32_t));
	if (!oid)
		return NULL;
	oid->len = n;
	memcpy(oid->arcs, arcs, n * sizeof(uint32_t));
	oids_outstanding++;
	return oid;
}

void mem_free_stub(void *p)
{
	if (p)
		oids_outstanding--;
	free(p);
}

int ifcache_get_ifindex(const char *name)
{
	if (!name || !*name || strlen(name) >= IF_NAMESIZE)
		return 0;
	auto it = ifcache.find(name);
	if (it != ifcache.end())
		return it->second;
	int index = (int)if_nametoindex(name);
	ifcache.emplace(name, index);
	return index;
}

void log_printf_stub(int level, const char *fmt, ...)
{
	static const char *const names[] = { "error", "warning", "notice", "info", "debug" };
	char text[1024];
	va_list ap;

	if (level > log_level)
		return;
	va_start(ap, fmt);
	vsnprintf(text, sizeof(text), fmt, ap);
	va_end(ap);
	size_t n = strlen(text);
	while (n && text[n - 1] == '\n')
		text[--n] = '\0';
	fprintf(stderr, "odbagent: %s: %s\n", level >= 0 && level <= AGENT_LOG_DEBUG ? names[level] : "log", text);
}

/* ---------------------------------------------------------------- the agent side */

int odb_find(const uint32_t *arcs, uint32_t len, struct odb_view *out)
{
	auto it = odb.find(std::vector<uint32_t>(arcs, arcs + len));
	if (it == odb.end())
		return -1;
	fill_view(it, out);
	return 0;
}

int odb_next(const uint32_t *arcs, uint32_t len, int inclusive, struct odb_view *out)
{
	std::vector<uint32_t> key(arcs, arcs + len);
	auto it = inclusive ? odb.lower_bound(key) : odb.upper_bound(key);
	if (it == odb.end())
		return -1;
	fill_view(it, out);
	return 0;
}

void odb_each(void (*fn)(const struct odb_view *v, void *ctx), void *ctx)
{
	for (auto it = odb.cbegin(); it != odb.cend(); ++it) {
		struct odb_view v;
		fill_view(it, &v);
		fn(&v, ctx);
	}
}

size_t odb_count(void)
{
	return odb.size();
}

void odb_clear(void)
{
	odb.clear();
}

static size_t put_oid(char *buf, size_t size, size_t at, const uint32_t *arcs, uint32_t len)
{
	for (uint32_t i = 0; i < len && at < size; i++) {
		int n = snprintf(buf + at, size - at, i ? ".%u" : "%u", arcs[i]);
		if (n < 0)
			break;
		at += (size_t)n;
	}
	return at < size ? at : size - 1;
}

char *odb_format(const struct odb_view *v, char *buf, size_t size)
{
	const struct agent_value *val = &v->value;
	size_t at;

	if (!size)
		return buf;
	buf[0] = '\0';
	at = put_oid(buf, size, 0, v->arcs, v->len);
#define PUT(...) at += (size_t)snprintf(buf + at, at < size ? size - at : 0, __VA_ARGS__), at = at < size ? at : size - 1
	switch (val->type) {
	case AGENT_INTEGER:
		PUT(" INTEGER %d", val->v.i);
		break;
	case AGENT_OCTETS: {
		const uint8_t *p = (const uint8_t *)val->v.s.p;
		bool printable = true;
		for (uint32_t i = 0; i < val->v.s.len; i++)
			printable = printable && p[i] >= 0x20 && p[i] < 0x7f && p[i] != '"';
		if (printable) {
			PUT(" STRING \"%.*s\"", (int)val->v.s.len, (const char *)p);
		} else {
			PUT(" STRING");
			for (uint32_t i = 0; i < val->v.s.len; i++)
				PUT(" %02X", p[i]);
		}
		break;
	}
	case AGENT_OID:
		PUT(" OID ");
		at = put_oid(buf, size, at, val->v.o->arcs, val->v.o->len);
		break;
	case AGENT_COUNTER32:
		PUT(" Counter32 %u", val->v.u);
		break;
	case AGENT_GAUGE32:
		PUT(" Gauge32 %u", val->v.u);
		break;
	case AGENT_TIMETICKS:
		PUT(" Timeticks %u", val->v.u);
		break;
	case AGENT_COUNTER64:
		PUT(" Counter64 %llu", (unsigned long long)val->v.c64.hi << 32 | val->v.c64.lo);
		break;
	default:
		PUT(" ? 0x%02x", val->type);
		break;
	}
#undef PUT
	return buf;
}

void agent_set_enterprise(const char *text)
{
	enterprise = text;
}

const char *abz_get_error(void)
{
	return last_error;
}

void agent_set_log_level(int level)
{
	log_level = level;
}

void ifcache_reset(void)
{
	ifcache.clear();
}

long agent_oids_outstanding(void)
{
	return oids_outstanding;
}

int module_subtree(const struct module *m, uint32_t *arcs)
{
	const uint32_t *w = m->oid;

	if (!w || w[0] < 1 || w[0] + 1 > AGENT_OID_MAX_ARCS)
		return -1;
	uint32_t first = w[1];
	arcs[0] = first < 40 ? 0 : first < 80 ? 1 : 2;
	arcs[1] = first - 40 * arcs[0];
	for (uint32_t i = 1; i < w[0]; i++)
		arcs[i + 1] = w[i + 1];
	return (int)w[0] + 1;
}
