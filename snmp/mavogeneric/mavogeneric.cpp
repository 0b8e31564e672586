/* mavogeneric: every "ping-stats-" document of the alarm daemon's folder, "time" under its oid_fmt with
 * 3 and "host" with 4. */
#include "snmp/mavogeneric/mavogeneric.h"

#include <stdio.h>
#include <string.h>

static const uint8_t mg_types[] = { AGENT_INTEGER, AGENT_OCTETS };

int mg_format_ok(const char *fmt)
{
	const char *pct = strchr(fmt, '%');

	return pct && pct[1] == 'd' && !strchr(pct + 2, '%');
}

struct mg_run {
	struct mod_pub pub;
	const struct mod_io *io;
};

static void mg_publish(struct mod_pub *p, const char *fmt, int col, const struct agent_value *v)
{
	char text[MOD_OID_TEXT_MAX];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
	int n = snprintf(text, sizeof(text), fmt, col);
#pragma GCC diagnostic pop
	if (n < 0 || (size_t)n >= sizeof(text)) {
		abz_set_error("object identifier text longer than %d bytes", MOD_OID_TEXT_MAX - 1);
		p->rc = -1;
		return;
	}
	mod_add(p, text[0] == '.' ? text + 1 : text, v);
}

static void mg_file(const char *name, void *ctx)
{
	struct mg_run *r = (struct mg_run *)ctx;
	char path[512];

	if (!strstr(name, MG_MATCH))
		return;
	if ((size_t)snprintf(path, sizeof(path), "%s/%s", MG_DIR, name) >= sizeof(path))
		return;
	json_t *doc = r->io->load_json(path);
	const char *fmt = mj_str(doc, "oid_fmt");
	if (!fmt || !mg_format_ok(fmt)) {
		if (fmt)
			log_printf_stub(AGENT_LOG_WARNING, "%s: oid_fmt must hold one %%d and no other %%\n", path);
		json_decref(doc);
		return;
	}
	int64_t t;
	if (mj_i64(mj_get(doc, "time"), &t) == 0) {
		struct agent_value v = mod_int((int32_t)(uint32_t)(uint64_t)t);
		mg_publish(&r->pub, fmt, 3, &v);
	}
	const char *host = mj_str(doc, "host");
	if (host) {
		struct agent_value v = mod_text(host);
		mg_publish(&r->pub, fmt, 4, &v);
	}
	json_decref(doc);
}

int mavogeneric_run(const struct module *self, const struct mod_io *io)
{
	struct mg_run r = { { self, mg_types, sizeof(mg_types), 0 }, io };

	abz_clear_error();
	odb_destroy(self);
	/* No folder: the alarm daemon has nothing to report yet. */
	io->list_dir(MG_DIR, mg_file, &r);
	return r.pub.rc;
}
