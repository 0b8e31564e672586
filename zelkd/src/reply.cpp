/* The server's reply: errors, tasks, requested statistics and alarms, the next interval. */
#include "zelkd.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "xmlrd.h"

/* An attribute that is empty counts as absent. */
static const char *attr(xr_node *n, const char *name)
{
	const char *v = xr_attr(n, name);
	return v && v[0] ? v : NULL;
}

static long long number(const char *text)
{
	return text ? strtoll(text, NULL, 10) : 0;
}

void zelk_set_interval(struct zelk_state *s, long long interval)
{
	if (interval <= 0)
		return;
	if (interval > ZELK_INTERVAL_MAX)
		interval = ZELK_INTERVAL_MAX;
	s->hb_interval = s->st_interval = (unsigned)interval;
	if (s->hb_interval > s->timeout) {
		s->timeout = s->hb_interval;
		s->connect_timeout = s->timeout * 2 / 3;
	}
}

static void log_errors(xr_node *root)
{
	for (xr_node *errs = xr_child(root, "errors"); errs; errs = xr_next(errs))
		for (xr_node *e = xr_child(errs, "error"); e; e = xr_next(e)) {
			const char *code = xr_attr(e, "code");
			log_message(KTRV_LOG_ERROR, "Server error: %s, error code = %s\n", xr_txt(e), code ? code : "");
		}
}

static int add_tasks(struct zelk_state *s, xr_node *root)
{
	for (xr_node *n = xr_child(root, "task"); n; n = xr_next(n)) {
		struct zelk_task *t = zelk_job_create();
		const char *type = xr_attr(n, "type"), *id = xr_attr(n, "id"), *text = xr_txt(n);
		if (!t || (type && !(t->type = strdup(type))) || (id && !(t->id = strdup(id))) ||
		    !(t->input = strdup(text))) {
			log_message(KTRV_LOG_ERROR, "Cannot allocate ZELK job.\n");
			zelk_job_destroy(t);
			return -1;
		}
		t->input_len = strlen(text);
		if (zelk_validate_request(t) < 0) {
			zelk_job_destroy(t);
			continue;
		}
		list_add_tail(&t->link, &s->tasks);
	}
	return 0;
}

static int add_stats(struct zelk_state *s, xr_node *root)
{
	xr_node *req = xr_child(root, "requested-statistics");

	zelk_statistics_destroy(&s->stats);
	if (!req)
		return 0;
	for (xr_node *n = xr_child(req, "stat"); n; n = xr_next(n)) {
		const char *id = attr(n, "id"), *oid = attr(n, "oid"), *desc = attr(n, "desc");
		if (!id || !oid) {
			log_message(KTRV_LOG_WARNING,
				    "Invalid 'requested-statistics' received, missing 'id' and/or 'oid'.\n");
			continue;
		}
		struct zelk_stat *st;
		if (zelk_optional_create(&st) < 0 || !(st->id = strdup(id)) || !(st->oid = strdup(oid)) ||
		    (desc && !(st->desc = strdup(desc)))) {
			log_message(KTRV_LOG_ERROR, "Cannot allocate ZELK OID.\n");
			if (st) {
				list_add_tail(&st->link, &s->stats);
				zelk_optional_destroy(st);
			}
			return -1;
		}
		list_add_tail(&st->link, &s->stats);
		log_message(KTRV_LOG_DEBUG, "Added new statistics configuration. ID: %s, OID: %s.\n", id, oid);
	}
	zelk_snmp_prepare(&s->stats);
	return 0;
}

static int32_t clamp32(long long v)
{
	return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : (int32_t)v;
}

static int32_t op_code(const char *op)
{
	if (!op)
		return 0;
	if (strcmp(op, "below") == 0)
		return 1;
	if (strcmp(op, "equal") == 0)
		return 2;
	return 0;
}

static int add_alarms(struct zelk_state *s, xr_node *root)
{
	zelk_alarm_list_destroy(s);
	for (xr_node *req = xr_child(root, "requested-alarms"); req; req = xr_next(req))
		for (xr_node *n = xr_child(req, "alarm"); n; n = xr_next(n)) {
			struct zelk_alarm *a;
			if (zelk_alarm_create(&a) < 0)
				return -1;
			const char *name = attr(n, "name"), *desc = attr(n, "desc"), *oid = attr(n, "oid");
			const char *ifname = attr(n, "ifname");
			a->id = clamp32(number(attr(n, "id")));
			a->threshold = number(attr(n, "threshold"));
			a->op = op_code(attr(n, "op"));
			if ((name && !(a->name = strdup(name))) || (desc && !(a->desc = strdup(desc))) ||
			    (oid && !(a->oid = strdup(oid))) || (ifname && !(a->ifname = strdup(ifname)))) {
				zelk_alarm_destroy(&a);
				return -1;
			}
			if (zelk_alarm_valid(a) < 0) {
				zelk_alarm_destroy(&a);
				continue;
			}
			list_add_tail(&a->link, &s->alarms);
		}
	return 0;
}

int xml_extract(struct zelk_state *s, const char *path)
{
	xr_doc *doc = xr_parse_file(path);
	int ret = 0;

	if (!doc)
		return -1;
	xr_node *root = xr_root(doc);
	log_errors(root);
	if (add_tasks(s, root) < 0 || add_stats(s, root) < 0 || add_alarms(s, root) < 0)
		ret = -1;
	xr_node *interval = xr_child(root, "heartbeat-interval");
	if (interval)
		zelk_set_interval(s, number(xr_txt(interval)));
	xr_free(doc);
	return ret;
}
