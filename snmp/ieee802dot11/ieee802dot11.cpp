/* ieee802dot11: the scalar and six tables of the IEEE 802.11 MIB, one row per wireless interface.
 *
 * Sources: the station and operation identity from the interface's hardware address, the SSID, BSS
 * type, privacy, RTS and fragmentation thresholds, retry limit, PHY type and channel from Wireless
 * Extensions requests, the discarded-packet counters from /proc/net/wireless, the manufacturer and
 * product from /etc/product.  Columns without a source are left out, as the MIB allows. */
#include "snmp/ieee802dot11/ieee802dot11.h"

#include <errno.h>
#include <net/if.h>
/* after net/if.h, which it extends */
#include <linux/wireless.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>

#include <string>
#include <vector>

static const uint8_t d11_types[] = { AGENT_INTEGER, AGENT_OCTETS, AGENT_OID, AGENT_COUNTER32, AGENT_GAUGE32,
				     AGENT_TIMETICKS, AGENT_COUNTER64 };

#define D11_LOADER "ieee802dot11.load80211Structs()"
#define D11_TABLES "ieee802dot11.loadTables()"

enum d11_table { D11_STATION, D11_OPERATION, D11_COUNTERS, D11_PHY, D11_DSSS, D11_RESOURCE, D11_NTABLES };

static const struct {
	const char *oid;
	int ncols;
} d11_tables[D11_NTABLES] = {
	{ "1.2.840.10036.1.1.1", 20 }, { "1.2.840.10036.2.1.1", 9 }, { "1.2.840.10036.2.2.1", 14 },
	{ "1.2.840.10036.4.1.1", 3 },  { "1.2.840.10036.4.5.1", 4 }, { "1.2.840.10036.3.1.2.1", 4 },
};

#define D11_MAX_COLS 20
#define D11_CELL_MAX 64

static uint8_t d11_col_type(int table, int col)
{
	switch (table) {
	case D11_STATION:
		return col == 1 || col == 9 || col == 11 || col == 16 || col == 18 || col == 20 ? AGENT_OCTETS : AGENT_INTEGER;
	case D11_OPERATION:
		return col == 1 || col == 8 || col == 9 ? AGENT_OCTETS : AGENT_INTEGER;
	case D11_COUNTERS:
		return col == 3 || col == 4 || col == 14 ? AGENT_COUNTER32 : AGENT_INTEGER;
	case D11_RESOURCE:
		return AGENT_OCTETS;
	default:
		return AGENT_INTEGER;
	}
}

struct d11_cell {
	uint8_t set;
	int32_t i;
	uint32_t len;
	uint8_t b[D11_CELL_MAX];
};

struct d11_row {
	char key[16];
	int index;
	struct d11_cell col[D11_MAX_COLS + 1];
};

/* ---------------------------------------------------------------- rows */

struct d11_run {
	struct mod_pub pub;
	const struct mod_io *io;
	int fd;
	json_t *product;
	std::vector<struct d11_row> rows[D11_NTABLES];
	std::vector<struct d11_wstats> wstats;
	std::vector<std::string> names;
};

static struct d11_row d11_new_row(int index)
{
	struct d11_row r;
	memset(&r, 0, sizeof(r));
	r.index = index;
	snprintf(r.key, sizeof(r.key), "%04d", index);
	return r;
}

/* Rows stay sorted by key; a row with a key already held replaces it. */
static void d11_put_row(std::vector<struct d11_row> &list, const struct d11_row &row)
{
	size_t i = 0;
	while (i < list.size() && strcmp(list[i].key, row.key) < 0)
		i++;
	if (i < list.size() && strcmp(list[i].key, row.key) == 0)
		list[i] = row;
	else
		list.insert(list.begin() + (long)i, row);
}

static void d11_set_int(struct d11_row *r, int col, int32_t v)
{
	r->col[col].set = 1;
	r->col[col].i = v;
}

static void d11_set_bytes(struct d11_row *r, int col, const void *p, size_t len)
{
	if (len > D11_CELL_MAX)
		len = D11_CELL_MAX;
	r->col[col].set = 1;
	r->col[col].len = (uint32_t)len;
	memcpy(r->col[col].b, p, len);
}

static void d11_set_text(struct d11_row *r, int col, const char *text)
{
	if (text)
		d11_set_bytes(r, col, text, strlen(text));
}

static int d11_wext(struct d11_run *run, const char *ifname, unsigned long req, struct iwreq *wrq)
{
	snprintf(wrq->ifr_name, sizeof(wrq->ifr_name), "%s", ifname);
	return run->io->req(run->fd, req, wrq);
}

static void d11_identity(struct d11_run *run, const char *ifname, struct d11_row *st, struct d11_row *op,
			 struct d11_row *res)
{
	struct ifreq ifr;

	memset(&ifr, 0, sizeof(ifr));
	snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", ifname);
	if (run->io->req(run->fd, SIOCGIFHWADDR, &ifr) == 0) {
		d11_set_bytes(st, 1, ifr.ifr_hwaddr.sa_data, 6);
		d11_set_bytes(op, 1, ifr.ifr_hwaddr.sa_data, 6);
		d11_set_bytes(res, 1, ifr.ifr_hwaddr.sa_data, 3);
	}
	d11_set_text(op, 8, json_string_value(mj_dot(run->product, "snmp.enterpriseName")));
	d11_set_text(op, 9, mj_str(run->product, "productName"));
	d11_set_text(res, 2, json_string_value(mj_dot(run->product, "snmp.enterpriseName")));
	d11_set_text(res, 3, mj_str(run->product, "productName"));
	d11_set_text(res, 4, mj_str(run->product, "productVersion"));
}

static void d11_station(struct d11_run *run, const char *ifname, struct d11_row *st)
{
	struct iwreq wrq;
	char buf[IW_ESSID_MAX_SIZE + 1];
	uint8_t key[IW_ENCODING_TOKEN_MAX];

	memset(&wrq, 0, sizeof(wrq));
	wrq.u.encoding.pointer = key;
	wrq.u.encoding.length = sizeof(key);
	if (d11_wext(run, ifname, SIOCGIWENCODE, &wrq) == 0)
		d11_set_int(st, 7, (wrq.u.encoding.flags & IW_ENCODE_DISABLED) ? 2 : 1);
	memset(&wrq, 0, sizeof(wrq));
	memset(buf, 0, sizeof(buf));
	wrq.u.essid.pointer = buf;
	wrq.u.essid.length = sizeof(buf);
	if (d11_wext(run, ifname, SIOCGIWESSID, &wrq) == 0)
		d11_set_bytes(st, 9, buf, wrq.u.essid.length < IW_ESSID_MAX_SIZE ? wrq.u.essid.length : IW_ESSID_MAX_SIZE);
	memset(&wrq, 0, sizeof(wrq));
	if (d11_wext(run, ifname, SIOCGIWMODE, &wrq) == 0)
		/* dot11DesiredBSSType: infrastructure 1, independent 2, any 3 */
		d11_set_int(st, 10, wrq.u.mode == IW_MODE_ADHOC ? 2 : wrq.u.mode == IW_MODE_INFRA || wrq.u.mode == IW_MODE_MASTER ? 1 : 3);
}

static void d11_operation(struct d11_run *run, const char *ifname, struct d11_row *op)
{
	struct iwreq wrq;

	memset(&wrq, 0, sizeof(wrq));
	if (d11_wext(run, ifname, SIOCGIWRTS, &wrq) == 0)
		/* a switched-off threshold is the MIB's largest value */
		d11_set_int(op, 2, wrq.u.rts.disabled ? 2347 : wrq.u.rts.value);
	memset(&wrq, 0, sizeof(wrq));
	if (d11_wext(run, ifname, SIOCGIWRETRY, &wrq) == 0 && (wrq.u.retry.flags & IW_RETRY_LIMIT))
		d11_set_int(op, (wrq.u.retry.flags & IW_RETRY_LONG) ? 4 : 3, wrq.u.retry.value);
	memset(&wrq, 0, sizeof(wrq));
	if (d11_wext(run, ifname, SIOCGIWFRAG, &wrq) == 0)
		d11_set_int(op, 5, wrq.u.frag.disabled ? 2346 : wrq.u.frag.value);
}

static void d11_counters(struct d11_run *run, const char *ifname, int ifindex)
{
	for (const auto &w : run->wstats) {
		if (strcmp(w.name, ifname) != 0)
			continue;
		struct d11_row r = d11_new_row(ifindex);
		d11_set_int(&r, 3, (int32_t)w.retry);
		d11_set_int(&r, 14, (int32_t)w.crypt);
		d11_put_row(run->rows[D11_COUNTERS], r);
	}
}

static void d11_interface(struct d11_run *run, const char *ifname)
{
	struct iwreq wrq;

	memset(&wrq, 0, sizeof(wrq));
	if (d11_wext(run, ifname, SIOCGIWNAME, &wrq) < 0) {
		log_printf_stub(AGENT_LOG_DEBUG, "SNMP %s - %s %s\n", D11_LOADER, ifname, "no wireless extensions");
		return;
	}
	char proto[IFNAMSIZ + 1];
	snprintf(proto, sizeof(proto), "%.*s", IFNAMSIZ, wrq.u.name);
	int ifindex = ifcache_get_ifindex(ifname);
	if (ifindex == 0) {
		log_printf_stub(AGENT_LOG_NOTICE, "SNMP %s - %s %s\n", D11_LOADER, ifname, "has no ifIndex");
		return;
	}
	struct d11_row st = d11_new_row(ifindex), op = d11_new_row(ifindex), res = d11_new_row(ifindex);
	struct d11_row phy = d11_new_row(ifindex), dsss = d11_new_row(ifindex);
	d11_identity(run, ifname, &st, &op, &res);
	d11_station(run, ifname, &st);
	d11_operation(run, ifname, &op);
	int32_t t = d11_phy_type(proto);
	if (t)
		d11_set_int(&phy, 1, t);
	memset(&wrq, 0, sizeof(wrq));
	if (d11_wext(run, ifname, SIOCGIWFREQ, &wrq) == 0) {
		int32_t ch = d11_channel(wrq.u.freq.m, wrq.u.freq.e);
		if (ch)
			d11_set_int(&dsss, 1, ch);
	}
	d11_put_row(run->rows[D11_STATION], st);
	d11_put_row(run->rows[D11_OPERATION], op);
	d11_put_row(run->rows[D11_PHY], phy);
	d11_put_row(run->rows[D11_DSSS], dsss);
	d11_put_row(run->rows[D11_RESOURCE], res);
	d11_counters(run, ifname, ifindex);
}

/* ---------------------------------------------------------------- loading and publishing */

static void d11_add_name(struct d11_run *run, const char *name)
{
	if (strlen(name) >= IFNAMSIZ)
		return;
	for (const auto &n : run->names)
		if (n == name)
			return;
	run->names.push_back(name);
}

static void d11_keep_wstats(const struct d11_wstats *w, void *ctx)
{
	struct d11_run *run = (struct d11_run *)ctx;
	run->wstats.push_back(*w);
	d11_add_name(run, w->name);
}

static void d11_keep_name(const char *name, void *ctx)
{
	d11_add_name((struct d11_run *)ctx, name);
}

static int d11_load(struct d11_run *run)
{
	std::vector<char> text(65536);

	if (run->io->read_text(D11_PROC_WIRELESS, text.data(), text.size()) < 0)
		log_printf_stub(AGENT_LOG_INFO, "SNMP %s - %s %s\n", D11_LOADER, "cannot read", D11_PROC_WIRELESS);
	else
		d11_parse_proc_wireless(text.data(), d11_keep_wstats, run);
	/* Kernels without the wireless statistics file still answer the requests of their drivers. */
	run->io->if_names(d11_keep_name, run);
	run->fd = run->io->req_open();
	if (run->fd < 0) {
		log_printf_stub(AGENT_LOG_ERROR, "SNMP %s - %s\n", D11_TABLES, "socket open failure");
		abz_set_error("socket open failure");
		return -1;
	}
	run->product = run->io->load_json(D11_PRODUCT);
	for (const auto &n : run->names)
		d11_interface(run, n.c_str());
	run->io->req_close(run->fd);
	return 0;
}

static void d11_publish(struct d11_run *run)
{
	for (int t = 0; t < D11_NTABLES; t++) {
		for (const auto &row : run->rows[t]) {
			for (int c = 1; c <= d11_tables[t].ncols; c++) {
				const struct d11_cell *cell = &row.col[c];
				if (!cell->set)
					continue;
				uint8_t type = d11_col_type(t, c);
				struct agent_value v = type == AGENT_OCTETS ? mod_octets(cell->b, cell->len)
					: type == AGENT_INTEGER ? mod_int(cell->i) : mod_unsigned(type, (uint32_t)cell->i);
				mod_addf(&run->pub, &v, "%s.%d.%d", d11_tables[t].oid, c, row.index);
			}
		}
	}
}

int ieee802dot11_run(const struct module *self, const struct mod_io *io)
{
	struct d11_run run;
	int rc;

	abz_clear_error();
	odb_destroy(self);
	run.pub = { self, d11_types, sizeof(d11_types), 0 };
	run.io = io;
	run.fd = -1;
	run.product = NULL;
	struct agent_value v = mod_octets("RTID", 4);
	mod_add(&run.pub, "1.2.840.10036.3.1.1.0", &v);
	rc = d11_load(&run);
	d11_publish(&run);
	json_decref(run.product);
	return rc | run.pub.rc;
}
