/* Topic lists and routes of the cloud session. */
#include "topic.h"

#include <stdio.h>
#include <string.h>

int topic_name_ok(const char *name, size_t size)
{
	if (!name || !name[0] || strnlen(name, size) >= size)
		return 0;
	return strpbrk(name, "/+#") == NULL;
}

int topic_join(char *buf, size_t size, const char *const *parts, size_t n)
{
	size_t used = 0;

	if (!size)
		return -1;
	buf[0] = '\0';
	for (size_t i = 0; i < n; i++) {
		size_t len = strlen(parts[i]);
		if (used + (i ? 1 : 0) + len >= size)
			return -1;
		if (i)
			buf[used++] = '/';
		memcpy(buf + used, parts[i], len);
		used += len;
		buf[used] = '\0';
	}
	return 0;
}

static int list_add(struct topic_list *list, const char *const *parts, size_t n)
{
	if (list->count >= TOPIC_LIST_MAX)
		return -1;
	if (topic_join(list->name[list->count], TOPIC_MAX, parts, n) < 0)
		return -1;
	list->count++;
	return 0;
}

static const char *const control_subs[] = { "ack", "nack", "sitesurvey", "alerts/request" };
static const char *const node_device_subs[] = { "firmware", "firmwarebin", "upgrade",         "config",
						"flytrap",  "reboot",      "reset",           "gettroubleshoot",
						"scan",     "ping",        "kickmac",         "linktest_start" };
static const char *const node_net_subs[] = { "nack", "reboot", "reset", "gettroubleshoot", "ping" };
static const char *const master_subs[] = { "maccache/list", "maccache/add", "maccache/del" };

int topic_control_list(struct topic_list *list, const struct topic_ids *ids)
{
	list->count = 0;
	for (size_t i = 0; i < sizeof(control_subs) / sizeof(control_subs[0]); i++) {
		const char *s = control_subs[i];
		const char *own[] = { "control", ids->org, ids->client, s };
		const char *group[] = { "control", ids->group, ids->client, s };
		const char *org[] = { "control", ids->org, s };
		const char *net[] = { "control", ids->net, s };
		if (list_add(list, own, 4) < 0)
			return -1;
		if (ids->group && list_add(list, group, 4) < 0)
			return -1;
		if (list_add(list, org, 3) < 0 || list_add(list, net, 3) < 0)
			return -1;
	}
	return 0;
}

int topic_node_list(struct topic_list *list, const struct topic_ids *ids, int guest_access)
{
	list->count = 0;
	for (size_t i = 0; i < sizeof(node_device_subs) / sizeof(node_device_subs[0]); i++) {
		const char *p[] = { "node", ids->org, ids->net, ids->client, node_device_subs[i] };
		if (list_add(list, p, 5) < 0)
			return -1;
	}
	for (size_t i = 0; i < sizeof(node_net_subs) / sizeof(node_net_subs[0]); i++) {
		const char *p[] = { "node", ids->org, ids->net, node_net_subs[i] };
		if (list_add(list, p, 4) < 0)
			return -1;
	}
	if (guest_access) {
		const char *net[] = { "node", ids->org, ids->net, "aplist/list" };
		const char *own[] = { "node", ids->org, ids->net, ids->client, "aplist/list" };
		if (list_add(list, net, 4) < 0 || list_add(list, own, 5) < 0)
			return -1;
	}
	return 0;
}

int topic_master_list(struct topic_list *list, const struct topic_ids *ids)
{
	list->count = 0;
	for (size_t i = 0; i < sizeof(master_subs) / sizeof(master_subs[0]); i++) {
		const char *p[] = { "node", ids->org, ids->net, master_subs[i] };
		if (list_add(list, p, 4) < 0)
			return -1;
	}
	return 0;
}

int topic_node(char *buf, size_t size, const struct topic_ids *ids, const char *sub)
{
	const char *p[] = { "node", ids->org, ids->net, ids->client, sub };
	return topic_join(buf, size, p, 5);
}

int topic_control(char *buf, size_t size, const struct topic_ids *ids, const char *sub)
{
	const char *p[] = { "control", ids->org, ids->client, sub };
	return topic_join(buf, size, p, 4);
}

int topic_hello(char *buf, size_t size, const struct topic_ids *ids)
{
	const char *p[] = { "control", ids->group ? ids->group : ids->org, ids->client, "hello" };
	return topic_join(buf, size, p, 4);
}

/* The rest of topic after "a/b/" (the parts given), or NULL when it does not start so. */
static const char *after_prefix(const char *topic, const char *const *parts, size_t n)
{
	const char *t = topic;

	for (size_t i = 0; i < n; i++) {
		size_t len = strlen(parts[i]);
		if (strncmp(t, parts[i], len) != 0 || t[len] != '/')
			return NULL;
		t += len + 1;
	}
	return t;
}

/* Whether the rest of a topic is the given subtopic or ends in "/" + it. */
static int ends_with(const char *rest, const char *sub)
{
	size_t rl = strlen(rest), sl = strlen(sub);

	if (rl < sl || strcmp(rest + rl - sl, sub) != 0)
		return 0;
	return rl == sl || rest[rl - sl - 1] == '/';
}

struct route_rule {
	const char *sub;
	enum topic_route route;
};

/* Tested in this order.  A rule matches whole parts of the topic, so "ack" is never taken for "nack"
 * nor "firmware" for "firmwarebin" whatever the order. */
static const struct route_rule control_rules[] = {
	{ "nack", ROUTE_NACK },
	{ "ack", ROUTE_ACK },
	{ "sitesurvey", ROUTE_SITESURVEY },
	{ "alerts/request", ROUTE_ALERTS_REQUEST },
};

static const struct route_rule node_rules[] = {
	{ "config", ROUTE_CONFIG },
	{ "firmware", ROUTE_FIRMWARE },
	{ "firmwarebin", ROUTE_FIRMWAREBIN },
	{ "upgrade", ROUTE_UPGRADE },
	{ "flytrap", ROUTE_FLYTRAP },
	{ "reboot", ROUTE_REBOOT },
	{ "reset", ROUTE_RESET },
	{ "gettroubleshoot", ROUTE_TROUBLESHOOT_FULL },
	{ "scan", ROUTE_SCAN },
	{ "ping", ROUTE_PING },
	{ "aplist/list", ROUTE_APLIST },
	{ "kickmac", ROUTE_KICKMAC },
	{ "linktest_start", ROUTE_LINKTEST },
};

static const struct route_rule net_rules[] = {
	{ "nack", ROUTE_NACK },
	{ "reboot", ROUTE_REBOOT },
	{ "reset", ROUTE_RESET },
	{ "gettroubleshoot", ROUTE_TROUBLESHOOT_SHORT },
	{ "ping", ROUTE_PING },
	{ "aplist/list", ROUTE_APLIST },
	{ "maccache/list", ROUTE_MACCACHE_LIST },
	{ "maccache/add", ROUTE_MACCACHE_ADD },
	{ "maccache/del", ROUTE_MACCACHE_DEL },
};

static int by_ending(const struct route_rule *rules, size_t n, const char *rest, enum topic_route *route)
{
	for (size_t i = 0; i < n; i++) {
		if (ends_with(rest, rules[i].sub)) {
			*route = rules[i].route;
			return 1;
		}
	}
	return 0;
}

static const char *control_rest(const struct topic_ids *ids, const char *topic)
{
	const char *org[] = { "control", ids->org };
	const char *group[] = { "control", ids->group };
	const char *rest = after_prefix(topic, org, 2);

	if (!rest && ids->group)
		rest = after_prefix(topic, group, 2);
	return rest;
}

static const char *node_rest(const struct topic_ids *ids, const char *topic)
{
	const char *own[] = { "node", ids->org, ids->net, ids->client };
	return after_prefix(topic, own, 4);
}

enum topic_route topic_route(const struct topic_ids *ids, const char *topic)
{
	enum topic_route route;
	const char *rest;

	if ((rest = control_rest(ids, topic)) != NULL)
		return by_ending(control_rules, sizeof(control_rules) / sizeof(control_rules[0]), rest, &route)
			       ? route
			       : ROUTE_UNKNOWN_CONTROL;
	if ((rest = node_rest(ids, topic)) != NULL)
		return by_ending(node_rules, sizeof(node_rules) / sizeof(node_rules[0]), rest, &route)
			       ? route
			       : ROUTE_UNKNOWN_NODE;
	if (strcmp(topic, "init/crt/response") == 0)
		return ROUTE_CERT;
	const char *net[] = { "node", ids->org, ids->net };
	rest = after_prefix(topic, net, 3);
	if (rest) {
		for (size_t i = 0; i < sizeof(net_rules) / sizeof(net_rules[0]); i++)
			if (strcmp(rest, net_rules[i].sub) == 0)
				return net_rules[i].route;
	}
	return ROUTE_UNKNOWN;
}

int topic_route_json(enum topic_route route)
{
	switch (route) {
	case ROUTE_FIRMWAREBIN:
	case ROUTE_CERT:
	case ROUTE_UNKNOWN:
	case ROUTE_UNKNOWN_CONTROL:
	case ROUTE_UNKNOWN_NODE:
		return 0;
	default:
		return 1;
	}
}

const char *topic_subtopic(const struct topic_ids *ids, const char *topic)
{
	const char *rest = control_rest(ids, topic);

	if (!rest)
		rest = node_rest(ids, topic);
	return rest;
}
