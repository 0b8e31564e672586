/* odbagent: loads MIB modules and serves their objects to the device's master SNMP agent as an AgentX
 * subagent.
 *
 *   odbagent -x AGENTX_SOCKET -e ENTERPRISE [-i REFRESH_SECONDS] [-v]... MODULE.so...
 *   odbagent -d -e ENTERPRISE MODULE.so...      one refresh, the objects printed, no agent
 *
 * Every module is refreshed at start, every REFRESH_SECONDS (30) and on SIGHUP, between requests, so
 * a request waits at most one refresh of the modules.  After each refresh the registrations with the
 * master follow the database: each module's subtree, and every object a module placed outside all of
 * them, on its own.  A module whose refresh fails keeps what it added before failing.  SIGTERM and
 * SIGINT end the program. */
/* The SNMP library's MIB parser has a struct module of its own, which this program never uses: it is
 * renamed here so the descriptor keeps its name.  C linkage, so nothing changes in the binary. */
#define module netsnmp_mib_parser_module
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#undef module

#include "snmp/odbagent/odb.h"

#include "common/daemon.h"
#include "common/text.h"

#include <dlfcn.h>
#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <unistd.h>

#include <vector>

#define ODB_NAME "odbagent"
#define ODB_DEFAULT_REFRESH 30
#define ODB_MAX_REFRESH 86400
#define ODB_PING_SECONDS 5

struct loaded_module {
	const char *path;
	void *handle;
	const struct module *m;
	std::vector<uint32_t> subtree;
};

struct registration {
	std::vector<uint32_t> root;
	netsnmp_handler_registration *reg;
};

static std::vector<loaded_module> modules;
static std::vector<registration> registrations;
static volatile sig_atomic_t odb_stop, odb_hup;

static void on_stop(int sig)
{
	(void)sig;
	odb_stop = 1;
}

static void on_hup(int sig)
{
	(void)sig;
	odb_hup = 1;
}

static void usage(void)
{
	fprintf(stderr,
		"Usage: %s -x AGENTX_SOCKET -e ENTERPRISE [-i REFRESH_SECONDS] [-v] MODULE.so...\n"
		"       %s -d -e ENTERPRISE MODULE.so...\n"
		"\t-x socket   the master agent's AgentX socket (a path, or tcp:host:port)\n"
		"\t-e number   the enterprise number of the private modules\n"
		"\t-i seconds  refresh interval, default %d (SIGHUP refreshes at once)\n"
		"\t-d          refresh once, print \"OID TYPE VALUE\" lines and exit (1 when a module failed)\n"
		"\t-v          more log lines (repeat for debug)\n",
		ODB_NAME, ODB_NAME, ODB_DEFAULT_REFRESH);
}

/* ---------------------------------------------------------------- modules */

static int load_module(const char *path)
{
	loaded_module lm = { path, NULL, NULL, {} };
	uint32_t arcs[AGENT_OID_MAX_ARCS];

	lm.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
	if (!lm.handle) {
		fprintf(stderr, "%s: %s\n", ODB_NAME, dlerror());
		return -1;
	}
	lm.m = (const struct module *)dlsym(lm.handle, "module");
	int n = lm.m && lm.m->name && lm.m->update ? module_subtree(lm.m, arcs) : -1;
	if (n < AGENT_OID_MIN_ARCS) {
		fprintf(stderr, "%s: %s: no usable module descriptor\n", ODB_NAME, path);
		dlclose(lm.handle);
		return -1;
	}
	lm.subtree.assign(arcs, arcs + n);
	modules.push_back(lm);
	return 0;
}

/* 0 when every module refreshed without error. */
static int refresh_modules(void)
{
	int failed = 0;

	ifcache_reset();
	for (const auto &lm : modules) {
		int rc = lm.m->update();
		if (rc) {
			log_printf_stub(AGENT_LOG_WARNING, "%s: refresh failed (%d): %s", lm.m->name, rc, abz_get_error());
			failed = 1;
		}
	}
	return failed;
}

static void print_object(const struct odb_view *v, void *ctx)
{
	char line[1024];
	(void)ctx;
	puts(odb_format(v, line, sizeof(line)));
}

/* ---------------------------------------------------------------- serving */

static int under(const std::vector<uint32_t> &root, const uint32_t *arcs, uint32_t len)
{
	return len >= root.size() && memcmp(arcs, root.data(), root.size() * sizeof(uint32_t)) == 0;
}

static void set_value(netsnmp_variable_list *vb, const struct agent_value *v)
{
	switch (v->type) {
	case AGENT_INTEGER: {
		long l = v->v.i;
		snmp_set_var_typed_value(vb, ASN_INTEGER, &l, sizeof(l));
		break;
	}
	case AGENT_OCTETS:
		snmp_set_var_typed_value(vb, ASN_OCTET_STR, v->v.s.len ? v->v.s.p : "", v->v.s.len);
		break;
	case AGENT_OID: {
		oid o[AGENT_OID_MAX_ARCS];
		for (uint32_t i = 0; i < v->v.o->len; i++)
			o[i] = v->v.o->arcs[i];
		snmp_set_var_typed_value(vb, ASN_OBJECT_ID, o, v->v.o->len * sizeof(oid));
		break;
	}
	case AGENT_COUNTER64: {
		struct counter64 c;
		c.high = v->v.c64.hi;
		c.low = v->v.c64.lo;
		snmp_set_var_typed_value(vb, ASN_COUNTER64, &c, sizeof(c));
		break;
	}
	default: {
		u_long u = v->v.u;
		u_char type = v->type == AGENT_COUNTER32 ? ASN_COUNTER : v->type == AGENT_GAUGE32 ? ASN_GAUGE : ASN_TIMETICKS;
		snmp_set_var_typed_value(vb, type, &u, sizeof(u));
		break;
	}
	}
}

/* The request's identifier in the database's arcs; arcs beyond 32 bits (which no object has) are
 * cut to the largest, so GETNEXT still moves past them. */
static uint32_t request_arcs(const netsnmp_variable_list *vb, uint32_t *arcs)
{
	uint32_t n = vb->name_length < AGENT_OID_MAX_ARCS ? (uint32_t)vb->name_length : AGENT_OID_MAX_ARCS;
	for (uint32_t i = 0; i < n; i++)
		arcs[i] = vb->name[i] > 0xFFFFFFFFul ? 0xFFFFFFFFu : (uint32_t)vb->name[i];
	return n;
}

static int odb_handler(netsnmp_mib_handler *handler, netsnmp_handler_registration *reginfo,
		       netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests)
{
	std::vector<uint32_t> root(reginfo->rootoid, reginfo->rootoid + reginfo->rootoid_len);
	(void)handler;

	for (netsnmp_request_info *r = requests; r; r = r->next) {
		netsnmp_variable_list *vb = r->requestvb;
		uint32_t arcs[AGENT_OID_MAX_ARCS];
		uint32_t n = request_arcs(vb, arcs);
		struct odb_view v;

		if (r->processed)
			continue;
		switch (reqinfo->mode) {
		case MODE_GET:
			if (odb_find(arcs, n, &v) < 0 || !under(root, v.arcs, v.len))
				netsnmp_set_request_error(reqinfo, r, SNMP_NOSUCHINSTANCE);
			else
				set_value(vb, &v.value);
			break;
		case MODE_GETNEXT: {
			int before = !under(root, arcs, n) &&
				std::lexicographical_compare(arcs, arcs + n, root.begin(), root.end());
			int found = before ? odb_next(root.data(), (uint32_t)root.size(), 1, &v) : odb_next(arcs, n, 0, &v);
			/* Nothing left in this registration: the agent goes on with the next one. */
			if (found < 0 || !under(root, v.arcs, v.len))
				break;
			oid o[AGENT_OID_MAX_ARCS];
			for (uint32_t i = 0; i < v.len; i++)
				o[i] = v.arcs[i];
			snmp_set_var_objid(vb, o, v.len);
			set_value(vb, &v.value);
			break;
		}
		default:
			netsnmp_set_request_error(reqinfo, r, SNMP_ERR_NOTWRITABLE);
			break;
		}
	}
	return SNMP_ERR_NOERROR;
}

struct wanted {
	std::vector<std::vector<uint32_t>> roots;
};

static int covered(const wanted &w, const uint32_t *arcs, uint32_t len)
{
	for (const auto &r : w.roots)
		if (under(r, arcs, len))
			return 1;
	return 0;
}

static void want_outside(const struct odb_view *v, void *ctx)
{
	wanted *w = (wanted *)ctx;
	if (!covered(*w, v->arcs, v->len))
		w->roots.emplace_back(v->arcs, v->arcs + v->len);
}

static int register_root(const std::vector<uint32_t> &root)
{
	oid o[AGENT_OID_MAX_ARCS];

	for (size_t i = 0; i < root.size(); i++)
		o[i] = root[i];
	netsnmp_handler_registration *reg =
		netsnmp_create_handler_registration(ODB_NAME, odb_handler, o, root.size(), HANDLER_CAN_RONLY);
	if (!reg || netsnmp_register_handler(reg) != MIB_REGISTERED_OK) {
		log_printf_stub(AGENT_LOG_ERROR, "cannot register a subtree of %zu arcs", root.size());
		return -1;
	}
	registrations.push_back({ root, reg });
	return 0;
}

/* Registers what the database now needs and withdraws what it no longer does. */
static void sync_registrations(void)
{
	wanted w;

	for (const auto &lm : modules)
		if (!covered(w, lm.subtree.data(), (uint32_t)lm.subtree.size()))
			w.roots.push_back(lm.subtree);
	odb_each(want_outside, &w);
	for (size_t i = 0; i < registrations.size();) {
		bool keep = false;
		for (const auto &r : w.roots)
			keep = keep || r == registrations[i].root;
		if (keep) {
			i++;
			continue;
		}
		netsnmp_unregister_handler(registrations[i].reg);
		registrations.erase(registrations.begin() + (long)i);
	}
	for (const auto &r : w.roots) {
		bool held = false;
		for (const auto &reg : registrations)
			held = held || reg.root == r;
		if (!held)
			register_root(r);
	}
}

static void refresh(void)
{
	refresh_modules();
	sync_registrations();
	log_printf_stub(AGENT_LOG_INFO, "%zu objects in %zu registrations", odb_count(), registrations.size());
}

static int agent_start(const char *socket)
{
	snmp_enable_stderrlog();
	netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
	netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, socket);
	netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL, ODB_PING_SECONDS);
	/* Our own loop runs the alarms; no SIGALRM, no configuration or state files of the library. */
	netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
	netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
	netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
	netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
	netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
	/* Identifiers are numeric throughout: loading the MIB files would only cost start-up time. */
	setenv("MIBS", "", 1);
	if (init_agent(ODB_NAME) != 0)
		return -1;
	init_snmp(ODB_NAME);
	return 0;
}

/* Waits for requests until the refresh is due or a signal asks for something. */
static int serve_until(uint64_t due_ms)
{
	int numfds = 0, block = 1;
	fd_set fds;
	struct timeval tv = { 0, 0 };
	uint64_t now = mono_ms();
	uint64_t ours = due_ms > now ? due_ms - now : 0;

	FD_ZERO(&fds);
	snmp_select_info(&numfds, &fds, &tv, &block);
	uint64_t lib = (uint64_t)tv.tv_sec * 1000 + (uint64_t)tv.tv_usec / 1000;
	if (block || ours < lib) {
		tv.tv_sec = (time_t)(ours / 1000);
		tv.tv_usec = (suseconds_t)(ours % 1000 * 1000);
	}
	int n = select(numfds, &fds, NULL, NULL, &tv);
	if (n > 0)
		snmp_read(&fds);
	else if (n == 0)
		snmp_timeout();
	else if (errno != EINTR)
		return -1;
	run_alarms();
	netsnmp_check_outstanding_agent_requests();
	return 0;
}

static int run_agent(const char *socket, unsigned interval)
{
	static const int stops[] = { SIGTERM, SIGINT };
	struct mono_timer next;

	if (signals_on(stops, ARRAY_SIZE(stops), on_stop) < 0 || signal_on(SIGHUP, on_hup) < 0) {
		perror(ODB_NAME ": signals");
		return 1;
	}
	signal(SIGPIPE, SIG_IGN);
	if (agent_start(socket) < 0) {
		fprintf(stderr, "%s: cannot start the AgentX subagent\n", ODB_NAME);
		return 1;
	}
	refresh();
	timer_arm(&next, mono_ms(), (uint64_t)interval * 1000);
	while (!odb_stop) {
		if (odb_hup || timer_expired(&next, mono_ms())) {
			odb_hup = 0;
			refresh();
			timer_arm(&next, mono_ms(), (uint64_t)interval * 1000);
		}
		if (serve_until(next.due_ms) < 0) {
			perror(ODB_NAME ": select");
			break;
		}
	}
	while (!registrations.empty()) {
		netsnmp_unregister_handler(registrations.back().reg);
		registrations.pop_back();
	}
	snmp_shutdown(ODB_NAME);
	return 0;
}

int main(int argc, char **argv)
{
	const char *socket = NULL, *enterprise = NULL;
	unsigned interval = ODB_DEFAULT_REFRESH;
	int dump = 0, verbose = 0, c;
	uint32_t u;

	while ((c = getopt(argc, argv, "x:e:i:dvh")) != -1) {
		switch (c) {
		case 'x':
			socket = optarg;
			break;
		case 'e':
			enterprise = optarg;
			break;
		case 'i':
			if (parse_uint32(&u, optarg) < 0 || u < 1 || u > ODB_MAX_REFRESH) {
				fprintf(stderr, "%s: refresh interval must be 1 to %d seconds\n", ODB_NAME, ODB_MAX_REFRESH);
				return 1;
			}
			interval = u;
			break;
		case 'd':
			dump = 1;
			break;
		case 'v':
			verbose++;
			break;
		default:
			usage();
			return c == 'h' ? 0 : 1;
		}
	}
	/* Decimal digits only: the text goes into identifiers as it is. */
	if (!enterprise || !*enterprise || (enterprise[0] == '0' && enterprise[1]) || strspn(enterprise, "0123456789") != strlen(enterprise) ||
	    parse_uint32(&u, enterprise) < 0 || (!dump && !socket) || optind >= argc) {
		usage();
		return 1;
	}
	agent_set_enterprise(enterprise);
	agent_set_log_level(AGENT_LOG_NOTICE + verbose);
	for (int i = optind; i < argc; i++)
		if (load_module(argv[i]) < 0)
			return 1;
	if (dump) {
		int failed = refresh_modules();
		odb_each(print_object, NULL);
		return failed;
	}
	return run_agent(socket, interval);
}
