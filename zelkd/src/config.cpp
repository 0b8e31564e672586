/* The agent's configuration: a JSON object read with dotted keys, a key possibly listing
 * alternatives ("system.device.name|device.name").  The second table follows the device
 * configuration document, re-read before every heartbeat. */
#include "zelkd.h"

#include <math.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "paths.h"

enum opt_type {
	OPT_U32,
	OPT_STRING,
	OPT_BOOL,
	OPT_FLOAT
};

struct option_def {
	const char *key;
	enum opt_type type;
	size_t offset;
	const char *def_text;
	double def_num;
};

#define AT(field) offsetof(struct zelk_state, field)

static const struct option_def first_table[] = {
	{ "path.sysconf", OPT_STRING, AT(path_sysconf), "/usr/sbin/sysconf", 0 },
	{ "path.fwupdate", OPT_STRING, AT(path_fwupdate), "/usr/sbin/fwupdate", 0 },
	{ "path.reboot", OPT_STRING, AT(path_reboot), "/sbin/reboot", 0 },
	{ "heartbeat.url", OPT_STRING, AT(url), "", 0 },
	{ "heartbeat.dumprequest", OPT_BOOL, AT(dump_request), NULL, 0 },
	{ "heartbeat.network_usage", OPT_BOOL, AT(network_usage), NULL, 0 },
	{ "connection.timeout", OPT_U32, AT(timeout), NULL, 60 },
	{ "connection.persistent", OPT_BOOL, AT(persistent), NULL, 0 },
	{ "log_level", OPT_U32, AT(log_level), NULL, 3 },
	{ "auth.certificate", OPT_STRING, AT(auth_cert), NULL, 0 },
	{ "auth.cert_passwd", OPT_STRING, AT(auth_cert_passwd), NULL, 0 },
	{ "auth.cert_uri", OPT_STRING, AT(auth_cert_uri), NULL, 0 },
	{ "auth.identifier", OPT_STRING, AT(auth_identifier), NULL, 0 },
};

static const struct option_def second_table[] = {
	{ "services.snmp.enabled", OPT_BOOL, AT(snmp_enabled), NULL, 0 },
	{ "services.snmp.rocommunity", OPT_STRING, AT(snmp_rocommunity), "public", 0 },
	{ "services.snmp.rouser", OPT_STRING, AT(snmp_rouser), NULL, 0 },
	{ "services.snmp.ropassword", OPT_STRING, AT(snmp_ropassword), NULL, 0 },
	{ "system.device.name|device.name", OPT_STRING, AT(device_name), "no-name", 0 },
	{ "system.device.location|device.location", OPT_STRING, AT(location), NULL, 0 },
	{ "system.device.coordinate.latitude|device.latitude", OPT_FLOAT, AT(latitude), NULL, 0 },
	{ "system.device.coordinate.longitude|device.longitude", OPT_FLOAT, AT(longitude), NULL, 0 },
};

#define N(t) (sizeof(t) / sizeof((t)[0]))

/* Calls fn on each alternative of the key text until it returns a value. */
static const zjson *first_alternative(const zjson *doc, const char *key, int (*want)(const zjson *v))
{
	char alt[128];

	for (const char *p = key;;) {
		const char *bar = strchr(p, '|');
		size_t n = bar ? (size_t)(bar - p) : strlen(p);
		if (n < sizeof(alt)) {
			memcpy(alt, p, n);
			alt[n] = '\0';
			const zjson *v = zj_dotget(doc, alt);
			if (v && want(v))
				return v;
		}
		if (!bar)
			return NULL;
		p = bar + 1;
	}
}

static int is_string(const zjson *v)
{
	return zj_type(v) == ZJ_STRING;
}

static int is_bool(const zjson *v)
{
	return zj_type(v) == ZJ_BOOL;
}

static int is_present(const zjson *)
{
	return 1;
}

static unsigned to_unsigned(double d)
{
	if (!(d > 0))
		return 0;
	return d >= 4294967295.0 ? 4294967295u : (unsigned)d;
}

static int load_option(struct zelk_state *s, const zjson *doc, const struct option_def *o)
{
	void *field = (char *)s + o->offset;
	const zjson *v;

	switch (o->type) {
	case OPT_STRING: {
		v = first_alternative(doc, o->key, is_string);
		const char *text = v ? zj_string(v) : o->def_text;
		char *copy = NULL;
		if (text && !(copy = strdup(text))) {
			log_message(KTRV_LOG_ERROR, "Cannot allocate memory.\n");
			log_message(KTRV_LOG_ERROR, "Failed to initialize '%s' option.\n", o->key);
			return -1;
		}
		free(*(char **)field);
		*(char **)field = copy;
		log_message(KTRV_LOG_DEBUG, "'%s': '%s'\n", o->key, copy ? copy : "NULL");
		return 0;
	}
	case OPT_BOOL:
		v = first_alternative(doc, o->key, is_bool);
		*(int *)field = v ? zj_bool(v) : (int)o->def_num;
		log_message(KTRV_LOG_DEBUG, "'%s': '%d'\n", o->key, *(int *)field);
		return 0;
	case OPT_U32:
		v = first_alternative(doc, o->key, is_present);
		*(unsigned *)field = zj_type(v) == ZJ_NUMBER ? to_unsigned(zj_number(v)) : (unsigned)o->def_num;
		log_message(KTRV_LOG_DEBUG, "'%s': '%d'\n", o->key, *(unsigned *)field);
		return 0;
	case OPT_FLOAT:
		v = first_alternative(doc, o->key, is_present);
		*(float *)field = zj_type(v) == ZJ_NUMBER ? (float)zj_number(v) : (float)o->def_num;
		log_message(KTRV_LOG_DEBUG, "'%s': '%f'\n", o->key, (double)*(float *)field);
		return 0;
	}
	log_message(KTRV_LOG_ERROR, "Unknown parameter '%s', type %d.\n", o->key, (int)o->type);
	return 0;
}

static int load_table(struct zelk_state *s, const char *path, const struct option_def *table, size_t n)
{
	zjson *doc = zj_parse_file(path);
	if (!doc)
		return -1;
	for (size_t i = 0; i < n; i++)
		load_option(s, doc, &table[i]);
	zj_free(doc);
	return 0;
}

int zelk_load_config(struct zelk_state *s, const char *path)
{
	if (!path)
		path = ZELK_CONFIG;
	if (load_table(s, path, first_table, N(first_table)) < 0)
		return -1;
	return load_table(s, path, second_table, N(second_table)) < 0 ? -1 : 0;
}

int zelk_load_ctx_extern(struct zelk_state *s, const char *path)
{
	return load_table(s, path, second_table, N(second_table));
}

static void free_table(struct zelk_state *s, const struct option_def *table, size_t n)
{
	for (size_t i = 0; i < n; i++) {
		if (table[i].type != OPT_STRING)
			continue;
		char **field = (char **)((char *)s + table[i].offset);
		free(*field);
		*field = NULL;
	}
}

void zelk_free_config(struct zelk_state *s)
{
	free_table(s, first_table, N(first_table));
	free_table(s, second_table, N(second_table));
}
