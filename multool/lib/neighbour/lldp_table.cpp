/* The neighbour table over jansson. */
#include "neighbour/lldp_table.h"

#include "common/text.h"
#include "spine/jsonutil.h"
#include "spine/utils.h"

#include <arpa/inet.h>
#include <limits.h>
#include <string.h>
#include <sys/socket.h>

/* When the entry was last heard; LONG_MIN when it cannot be told, so such an entry counts as the
 * oldest. */
static long heard_at(const json_t *entry)
{
	const json_t *v = json_object_get(entry, "uptime");
	return json_is_integer(v) ? (long)json_integer_value(v) : LONG_MIN;
}

static void evict_oldest(json_t *table)
{
	const char *key, *oldest = NULL;
	long best = LONG_MAX;
	json_t *v;

	json_object_foreach(table, key, v) {
		long t = heard_at(v);
		if (!oldest || t < best) {
			oldest = key;
			best = t;
		}
	}
	if (oldest)
		json_object_del(table, oldest);
}

json_t *lldp_table_load(const char *path, size_t max)
{
	json_t *t = json_load_file(path, 0, NULL);

	if (!json_is_object(t)) {
		json_decref(t);
		return json_object();
	}
	while (json_object_size(t) > max)
		evict_oldest(t);
	return t;
}

size_t lldp_table_expire(json_t *table, long now)
{
	const char *key;
	json_t *v;
	void *tmp;
	size_t removed = 0;

	json_object_foreach_safe(table, tmp, key, v) {
		long t = heard_at(v);
		if (t == LONG_MIN || t > now || now - t > LLDP_EXPIRY) {
			json_object_del(table, key);
			removed++;
		}
	}
	return removed;
}

/* Wire text as valid UTF-8: jansson refuses invalid sequences, and a NUL would make the file one that
 * jansson does not load back. */
static json_t *wire_text(const uint8_t *p, size_t len)
{
	char buf[LLDP_VALUE_MAX * 4 + 1];
	return json_string(utf8_escape(buf, sizeof(buf), (const char *)p, len));
}

static void set(json_t *obj, const char *key, json_t *value, int *failed)
{
	if (!value || json_object_set_new(obj, key, value) < 0)
		*failed = 1;
}

static json_t *address_text(int family, const uint8_t *addr)
{
	char buf[INET6_ADDRSTRLEN];
	return inet_ntop(family, addr, buf, sizeof(buf)) ? json_string(buf) : NULL;
}

json_t *lldp_table_entry(const struct lldp_neighbour *n, int ifindex, const char *ifname, long uptime)
{
	json_t *e = json_object();
	char mac[MAC_TEXT_SIZE];
	int failed = !e;

	if (failed)
		return NULL;
	set(e, "ifIndex", json_integer(ifindex), &failed);
	if (ifname)
		set(e, "iface", json_text(ifname), &failed);
	if (n->fields & LLDP_F_CHASSIS)
		set(e, "macAddress", json_string(mac_text(mac, n->chassis)), &failed);
	if (n->fields & LLDP_F_TTL)
		set(e, "ttl", json_integer(n->ttl), &failed);
	if (n->fields & LLDP_F_NAME)
		set(e, "name", wire_text(n->name, n->name_len), &failed);
	if (n->fields & LLDP_F_DESCR)
		set(e, "description", wire_text(n->descr, n->descr_len), &failed);
	if (n->fields & LLDP_F_IP4)
		set(e, "ip4", address_text(AF_INET, n->ip4), &failed);
	if (n->fields & LLDP_F_IP6)
		set(e, "ip6", address_text(AF_INET6, n->ip6), &failed);
	if (n->fields & LLDP_F_APMODE)
		set(e, "apMode", json_string(n->ap_mode), &failed);
	set(e, "uptime", json_integer(uptime), &failed);
	if (failed) {
		json_decref(e);
		return NULL;
	}
	return e;
}

int lldp_table_store(json_t *table, const uint8_t src[6], json_t *entry, size_t max)
{
	char key[MAC_TEXT_SIZE];

	if (!entry)
		return -1;
	mac_text_lower(key, src);
	if (!json_object_get(table, key))
		while (json_object_size(table) >= max && json_object_size(table))
			evict_oldest(table);
	return json_object_set_new(table, key, entry);
}

int lldp_table_write(const json_t *table, const char *path)
{
	if (create_path(path) < 0)
		return -1;
	/* streamed: a full table of the longest texts dumps to more than a megabyte */
	return json_stream_doc(table, path, LLDP_DISCOVERY_SUFFIX, JSON_DOC_FLAGS);
}
