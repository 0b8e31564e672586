/* Alarms the server asked for, kept subscribed with the alarm daemon; the alarms it raises, stored
 * for the next heartbeat; and the requested statistics, answered from the device snapshot. */
#include "zelkd.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "alarm_codec.h"
#include "paths.h"

#define ALARM_DGRAM_MAX 1600
#define VALUE_SIZE 4096

int zelk_alarms_init(struct zelk_state *s)
{
	s->alarm_fd = socket_input_init(ZELK_ALARM_RECV);
	if (s->alarm_fd < 0)
		log_message_errno(KTRV_LOG_ERROR, "Cannot bind %s, alarms will not be received.\n", ZELK_ALARM_RECV);
	return 0;
}

void zelk_alarms_shutdown(struct zelk_state *s)
{
	socket_input_shutdown(s->alarm_fd, ZELK_ALARM_RECV);
	s->alarm_fd = -1;
}

int zelk_alarm_create(struct zelk_alarm **a)
{
	*a = (struct zelk_alarm *)calloc(1, sizeof(**a));
	if (!*a)
		return -1;
	list_init(&(*a)->link);
	return 0;
}

void zelk_alarm_destroy(struct zelk_alarm **a)
{
	if (!*a)
		return;
	free((*a)->name);
	free((*a)->desc);
	free((*a)->oid);
	free((*a)->ifname);
	free(*a);
	*a = NULL;
}

int zelk_alarm_valid(const struct zelk_alarm *a)
{
	return a->id != 0 ? 0 : -1;
}

void zelk_alarm_list_destroy(struct zelk_state *s)
{
	list_for_each_safe (pos, n, &s->alarms) {
		list_del(pos);
		struct zelk_alarm *a = list_entry(pos, struct zelk_alarm, link);
		zelk_alarm_destroy(&a);
	}
}

/* ---- subscription ---- */

static void send_record(const unsigned char rec[ALARM_SUB_SIZE], const char *what)
{
	log_message(KTRV_LOG_DEBUG, "Sending '%s' to alertd.\n", what);
	if (socket_write(rec, ALARM_SUB_SIZE, ZELK_ALARM_SEND) < 0)
		log_message(KTRV_LOG_ERROR, "Cannot connect to alertd.\n");
}

int zelk_alarms_subscribe(struct zelk_state *s)
{
	unsigned char rec[ALARM_SUB_SIZE];

	if (list_empty(&s->alarms))
		return 0;
	alarm_marker_encode(rec, "hello");
	send_record(rec, "hello");
	list_for_each (pos, &s->alarms) {
		struct zelk_alarm *a = list_entry(pos, struct zelk_alarm, link);
		struct alarm_sub sub = { a->id, a->name, a->desc, a->oid, a->ifname, a->threshold, a->op };
		alarm_sub_encode(rec, &sub);
		send_record(rec, a->name ? a->name : "");
	}
	alarm_marker_encode(rec, "byebye");
	send_record(rec, "byebye");
	return 0;
}

/* ---- received alarms ---- */

static struct zelk_alarm *subscribed(struct zelk_state *s, const struct alarm_rec *r)
{
	unsigned char name[ALARM_NAME_LEN];

	list_for_each (pos, &s->alarms) {
		struct zelk_alarm *a = list_entry(pos, struct zelk_alarm, link);
		if (a->id != r->id)
			continue;
		/* the name as it was subscribed: cut to its field */
		alarm_name_field(name, a->name);
		if (memcmp(name, r->raw_name, ALARM_NAME_LEN) == 0)
			return a;
	}
	return NULL;
}

static const char *state_text(int32_t state)
{
	switch (state) {
	case 1:
		return " status=\"active\"";
	case 2:
		return " status=\"closed\"";
	case 3:
		return " status=\"inactive\"";
	default:
		return "";
	}
}

static int write_alarm_line(FILE *f, const struct zelk_alarm *a, const struct alarm_rec *r)
{
	if (fprintf(f, "\t\t<alarm id=\"%d\" threshold=\"%lld\" value=\"%lld\" timestamp=\"%ld\"", a->id,
		    (long long)a->threshold, (long long)r->value, (long)r->timestamp) < 0)
		return -1;
	if (r->ifname[0] && (fputs(" ifname=\"", f) < 0 || zelk_put_escaped(f, r->ifname) < 0 || fputs("\"", f) < 0))
		return -1;
	if (r->peer_mac[0] &&
	    (fputs(" peermac=\"", f) < 0 || zelk_put_escaped(f, r->peer_mac) < 0 || fputs("\"", f) < 0))
		return -1;
	return fprintf(f, "%s/>\n", state_text(r->state)) < 0 ? -1 : 0;
}

/* 1 when the alarm was stored, 0 when refused, -1 on a failure. */
static int store_alarm(struct zelk_state *s, const struct alarm_rec *r)
{
	struct zelk_alarm *a = subscribed(s, r);

	if (!a) {
		log_message(KTRV_LOG_ERROR,
			    "Internal error: received alarm for alert (id=%d, name=%s) not subscribed in alertd.\n",
			    r->id, r->name);
		return -1;
	}
	FILE *f = fopen(ZELK_ALARMS, "ae");
	if (!f)
		return -1;
	if (file_size(ZELK_ALARMS) > ZELK_FILE_LIMIT) {
		log_message(KTRV_LOG_ERROR, "File %s size exceeds the limit %d, skipping appending.\n", ZELK_ALARMS,
			    ZELK_FILE_LIMIT);
		fclose(f);
		return 0;
	}
	int bad = write_alarm_line(f, a, r) < 0;
	if (fclose(f) != 0)
		bad = 1;
	if (bad) {
		log_message(KTRV_LOG_ERROR, "Internal error: failed to flush alarms to file %s.\n", ZELK_ALARMS);
		return -1;
	}
	log_message(KTRV_LOG_DEBUG, "Filename: %s.\nalarm id=%d\n", ZELK_ALARMS, a->id);
	return 1;
}

int zelk_alarm_handle(struct zelk_state *s, const void *buf, int len)
{
	struct alarm_rec r;
	int plen;

	const void *payload = socket_input_extract(buf, len, &plen);
	if (!payload) {
		log_message(KTRV_LOG_ERROR, "Socket input is corrupted.\n");
		return 0;
	}
	/* The frame must be exactly one record: the length field and what arrived agree. */
	if (plen != ALARM_REC_SIZE || len != 4 + ALARM_REC_SIZE ||
	    alarm_rec_decode((const unsigned char *)payload, (size_t)plen, &r) < 0) {
		log_message(KTRV_LOG_ERROR, "Socket input has incorrect length.\n");
		return 0;
	}
	int stored = store_alarm(s, &r);
	if (stored < 0)
		log_message(KTRV_LOG_ERROR, "Cannot write alarms to file.\n");
	if (stored > 0)
		s->immediate++;
	return stored > 0;
}

int zelk_alarms_read(struct zelk_state *s)
{
	unsigned char buf[ALARM_DGRAM_MAX];
	int stored = 0;

	if (s->alarm_fd < 0)
		return 0;
	for (;;) {
		int n = socket_input_read_single(s->alarm_fd, buf, sizeof(buf));
		if (n <= 0)
			break;
		stored += zelk_alarm_handle(s, buf, n);
	}
	return stored;
}

/* ---- requested statistics ---- */

int zelk_optional_create(struct zelk_stat **st)
{
	*st = (struct zelk_stat *)calloc(1, sizeof(**st));
	if (!*st)
		return -1;
	list_init(&(*st)->link);
	return 0;
}

void zelk_optional_destroy(struct zelk_stat *st)
{
	list_del(&st->link);
	free(st->id);
	free(st->desc);
	free(st->oid);
	free(st);
}

void zelk_statistics_destroy(struct list_head *list)
{
	list_for_each_safe (pos, n, list)
		zelk_optional_destroy(list_entry(pos, struct zelk_stat, link));
}

int zelk_snmp_init(struct zelk_state *s)
{
	unlink(ZELK_OPTIONAL);
	list_init(&s->stats);
	zelk_snmp_prepare(&s->stats);
	return 0;
}

void zelk_snmp_prepare(struct list_head *list)
{
	list_for_each_safe (pos, n, list) {
		struct zelk_stat *st = list_entry(pos, struct zelk_stat, link);
		const char *desc = st->desc ? st->desc : "";
		/* The identifier comes from the server: one that cannot fit is refused, never cut. */
		if (strlen(st->oid) >= sizeof(st->resolved) ||
		    resolve_placeholders(st->oid, st->resolved, sizeof(st->resolved)) < 0) {
			log_message(KTRV_LOG_ERROR, "Cannot parse OID %s %.64s, ignored.\n", desc, st->oid);
			zelk_optional_destroy(st);
			continue;
		}
		if (strncmp(st->resolved, "zelk.", 5) != 0) {
			log_message(KTRV_LOG_DEBUG, "Unknown OID %s %s, ignored.\n", desc, st->oid);
			zelk_optional_destroy(st);
			continue;
		}
		st->kind = ZELK_STAT_INTERNAL;
		log_message(KTRV_LOG_DEBUG, "Internal ZELK oid %s parsed ok.\n", st->resolved);
	}
}

void zelk_snmp_shutdown(struct zelk_state *s)
{
	unlink(ZELK_OPTIONAL);
	zelk_statistics_destroy(&s->stats);
}

int zelk_statistics_read(struct zelk_state *s)
{
	static char value[VALUE_SIZE];

	int r = collect_dev_info(&s->info, ZELK_INFO_INTERVAL);
	if (r < 0)
		return r;
	FILE *f = fopen(ZELK_OPTIONAL, "ae");
	if (!f)
		return -1;
	fputs("\t<statistics>\r\n", f);
	list_for_each (pos, &s->stats) {
		struct zelk_stat *st = list_entry(pos, struct zelk_stat, link);
		if (st->kind != ZELK_STAT_INTERNAL) {
			log_message(KTRV_LOG_DEBUG, "Ignoring %s OID.\n", st->oid);
			continue;
		}
		if (get_pseudo_optional(&s->info, st->resolved, value, sizeof(value)) < 0) {
			log_message(KTRV_LOG_DEBUG, "Cannot get %s OID.\n", st->oid);
			continue;
		}
		fputs("\t\t<stat id=\"", f);
		zelk_put_escaped(f, st->id);
		fputs("\">", f);
		zelk_put_escaped(f, value);
		fputs("</stat>\n", f);
	}
	fputs("\t</statistics>\n", f);
	int bad = fclose(f) != 0;
	log_message(KTRV_LOG_DEBUG, "Querying statistics.\n");
	return bad ? -1 : 0;
}
