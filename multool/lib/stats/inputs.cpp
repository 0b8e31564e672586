/* Statistics collector: what the documents read of the interface inventory, and the clock. */
#include "stats/sample.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

/* The inventory the applet collected; empty when it could not be. */
struct list_head *stats_interfaces(void)
{
	static struct list_head none = { &none, &none };
	struct list_head *l = ifi_get_all();
	return l ? l : &none;
}

bool stats_prefix_listed(const json_t *preconf, const char *name)
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

uint32_t stats_counter(const struct ifi *ifi, enum ifi_stat s)
{
	return ifi->stats ? ifi->stats[s] : 0;
}

void stats_add_addresses(json_t *obj, const struct ifi *ifi)
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

const char *stats_first_address(char *buf, size_t size, const struct ifi *ifi, int family)
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

uint32_t stats_now_seconds(void)
{
	return (uint32_t)time(NULL);
}
