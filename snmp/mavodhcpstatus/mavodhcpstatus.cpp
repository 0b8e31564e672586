/* mavodhcpstatus: dhcp_status.json (an object keyed by interface name) as enterprise.3.11. */
#include "snmp/mavodhcpstatus/mavodhcpstatus.h"

#include <string.h>

static const uint8_t md_types[] = { AGENT_INTEGER, AGENT_OCTETS, AGENT_COUNTER32 };

#define MD_COL "1.3.6.1.4.1.%s.3.11.1.1.1.1.%d.%d"

static void md_text(struct mod_pub *p, const char *ent, const json_t *o, const char *key, int col, int ifindex)
{
	const char *s = mj_str(o, key);

	if (s) {
		struct agent_value v = mod_text(s);
		mod_addf(p, &v, MD_COL, ent, col, ifindex);
	}
}

static void md_row(struct mod_pub *p, const char *ent, const json_t *o, int ifindex)
{
	struct agent_value v;
	uint8_t mac[6];
	int32_t result = 0;

	md_text(p, ent, o, "ssid", 1, ifindex);
	md_text(p, ent, o, "time", 2, ifindex);
	mj_i32(mj_get(o, "result"), &result);
	v = mod_int(result);
	mod_addf(p, &v, MD_COL, ent, 3, ifindex);
	if (mod_parse_mac(mj_str(o, "dhcp_mac"), mac) == 0) {
		v = mod_octets(mac, 6);
		mod_addf(p, &v, MD_COL, ent, 4, ifindex);
	}
	static const char *const texts[] = { "client_ip", "your_ip", "next_server", "relay_server", "server_id" };
	for (int i = 0; i < 5; i++)
		md_text(p, ent, o, texts[i], 5 + i, ifindex);
}

int mavodhcpstatus_run(const struct module *self, const struct mod_io *io)
{
	struct mod_pub p = { self, md_types, sizeof(md_types), 0 };
	const char *ent = module_get_enterprise_oid();
	const char *key;
	json_t *doc, *o;

	abz_clear_error();
	odb_destroy(self);
	doc = io->load_json(MD_STATUS);
	if (!json_is_object(doc)) {
		abz_set_error("cannot load %s", MD_STATUS);
		json_decref(doc);
		return -1;
	}
	json_object_foreach(doc, key, o) {
		/* A key without a value ends the table. */
		if (json_is_null(o))
			break;
		int ifindex = ifcache_get_ifindex(key);
		if (ifindex == 0) {
			log_printf_stub(AGENT_LOG_NOTICE, "%s() '%s' has no ifIndex\n", "mavodhcpstatus_run", key);
			continue;
		}
		if (json_is_object(o))
			md_row(&p, ent, o, ifindex);
	}
	json_decref(doc);
	return p.rc;
}
