/* bwmonitor: transmit and receive rates of the interfaces, on the terminal or as a document. */
#include "common/daemon.h"
#include "common/text.h"
#include "inventory.h"
#include "platform/ifi.h"
#include "spine/applet.h"
#include "spine/jsonutil.h"
#include "spine/logging.h"
#include "spine/utils.h"

#include <jansson.h>
#include <libgen.h>
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysinfo.h>
#include <unistd.h>

LOG4C_CATEGORY(log4c_cat_bwmonitor, "bwmonitor");

#define BW_JSON "/var/run/stats/bwmonitor.json"
#define BW_JSON_TMP BW_JSON ".xxx"
#define BW_PIDFILE "/var/run/bwmonitor.pid"
#define BW_DEFAULT_PERIOD 5
#define BW_MAX_PERIOD 300
#define BW_KEEPALIVE 20

struct bw_sample {
	uint32_t tx, tx_prev, rx, rx_prev;
	uint64_t elapsed_ms;
};

struct bw_iface {
	char name[16];
	struct bw_sample sample;
	struct bw_iface *next;
};

static volatile sig_atomic_t bw_stop;
static volatile sig_atomic_t bw_keepalive; /* monotonic seconds of the last SIGUSR1 */

static const int bw_stop_signals[] = { SIGHUP, SIGTERM, SIGABRT, SIGINT };

struct bw_opts {
	const char *prog;
	const char *only; /* -i list, or NULL for every interface */
	unsigned period;
	int daemonize, fullscreen, names_given;
};

static long mono_sec(void)
{
	return (long)(mono_ms() / 1000);
}

static void on_stop(int sig)
{
	(void)sig;
	bw_stop = 1;
}

static void on_usr1(int sig)
{
	(void)sig;
	bw_keepalive = (sig_atomic_t)mono_sec();
}

static void usage(const char *prog)
{
	fprintf(stderr,
		"Usage: %s [options]\n"
		"\t-h\t\t\t\tthis help\n"
		"\t-i <interface[,interface]>\tinterfaces to monitor, default all except 'lo'\n"
		"\t-p <period>\t\t\tdata collection period in seconds, default %d\n"
		"\t-d\t\t\t\trun as daemon constantly writing output to the\n"
		"\t\t\t\t\t%s file\n"
		"\t-f\t\t\t\tshow output in fullscreen\n"
		"\nIn daemon mode process exits when %d seconds pass after last SIGUSR1 signal reception.\n",
		prog, BW_DEFAULT_PERIOD, BW_JSON, BW_KEEPALIVE);
}

/* Reads the byte counters of every monitored interface from a fresh inventory. */
static void read_counters(struct bw_iface *list)
{
	ifi_free_all();
	inventory();
	for (struct bw_iface *b = list; b; b = b->next) {
		struct ifi *ifi = ifi_find_by_name(b->name);
		uint32_t tx = 0, rx = 0;
		if (ifi && ifi->stats) {
			tx = ifi->stats[IFI_TX_BYTES];
			rx = ifi->stats[IFI_RX_BYTES];
		}
		b->sample.tx_prev = b->sample.tx;
		b->sample.rx_prev = b->sample.rx;
		b->sample.tx = tx;
		b->sample.rx = rx;
	}
}

/* Rates are written with one decimal place. */
static json_t *rate_json(float rate)
{
	return json_real(round((double)rate * 10) / 10);
}

static int write_json(struct bw_iface *list, unsigned period)
{
	struct sysinfo si;
	json_t *root = json_object(), *ifs = json_object();

	if (!root || !ifs) {
		json_decref(root);
		json_decref(ifs);
		return -1;
	}
	memset(&si, 0, sizeof(si));
	sysinfo(&si);
	json_object_set_new(root, "uptime", json_integer(si.uptime));
	json_object_set_new(root, "period", json_integer(period));
	for (struct bw_iface *b = list; b; b = b->next) {
		float tx = 0, rx = 0;
		ifi_rate_mbps(b->sample.tx_prev, b->sample.tx, b->sample.elapsed_ms, &tx);
		ifi_rate_mbps(b->sample.rx_prev, b->sample.rx, b->sample.elapsed_ms, &rx);
		json_t *o = json_object();
		json_object_set_new(o, "txRate", rate_json(tx));
		json_object_set_new(o, "rxRate", rate_json(rx));
		json_object_set_new(ifs, b->name, o);
	}
	json_object_set_new(root, "interfaces", ifs);
	/* 15 significant digits print a value rounded to 0.1 as such ("23.4", not 23.399999...) */
	if (json_write_doc(root, BW_JSON, ".xxx", JSON_DOC_FLAGS | JSON_REAL_PRECISION(15)) < 0)
		LOG_E(log4c_cat_bwmonitor, "failed to write %s\n", BW_JSON_TMP);
	json_decref(root);
	return 0;
}

static void print_rates(struct bw_iface *list, int fullscreen, int names_given)
{
	if (fullscreen)
		printf("%c[2J", 27);
	for (struct bw_iface *b = list; b; b = b->next) {
		float tx = 0, rx = 0;
		ifi_rate_mbps(b->sample.tx_prev, b->sample.tx, b->sample.elapsed_ms, &tx);
		ifi_rate_mbps(b->sample.rx_prev, b->sample.rx, b->sample.elapsed_ms, &rx);
		printf("%s:\tTX, Mbps: %.2f\tRX, Mbps: %.2f\n", b->name, (double)tx, (double)rx);
	}
	if (names_given > 1)
		printf("\n");
	fflush(stdout);
}

static int listed(const char *list, const char *name)
{
	char copy[1024];
	snprintf(copy, sizeof(copy), "%s", list);
	for (char *save, *tok = strtok_r(copy, ",", &save); tok; tok = strtok_r(NULL, ",", &save))
		if (!strcmp(tok, name))
			return 1;
	return 0;
}

static struct bw_iface *build_list(const char *only)
{
	struct bw_iface *head = NULL, **tail = &head;
	list_for_each(l, inventory()) {
		struct ifi *ifi = ifi_entry(l);
		if (!strcmp(ifi->name, "lo") || strlen(ifi->name) >= 16)
			continue;
		if (only && !listed(only, ifi->name))
			continue;
		struct bw_iface *b = (struct bw_iface *)calloc(1, sizeof(*b));
		if (!b) {
			fprintf(stderr, "Memory allocation error.\n");
			exit(1);
		}
		snprintf(b->name, sizeof(b->name), "%s", ifi->name);
		*tail = b;
		tail = &b->next;
	}
	return head;
}

/* Options; 0 to go on, else the exit status (usage and range messages printed). */
static int bw_parse(int argc, char **argv, struct bw_opts *o)
{
	int opt;

	memset(o, 0, sizeof(*o));
	o->prog = basename(argv[0]);
	o->period = BW_DEFAULT_PERIOD;
	while ((opt = getopt(argc, argv, "i:dp:hf")) != -1) {
		switch (opt) {
		case 'i': {
			o->only = optarg;
			char copy[1024];
			snprintf(copy, sizeof(copy), "%s", optarg);
			o->names_given = 0;
			for (char *save, *tok = strtok_r(copy, ",", &save); tok; tok = strtok_r(NULL, ",", &save)) {
				o->names_given++;
				if (strlen(tok) >= 16) {
					fprintf(stderr, "Invalid interface name length '%s'.\n", tok);
					return 1;
				}
				inventory();
				if (!ifi_find_by_name(tok)) {
					fprintf(stderr, "Unknown interface '%s'.\n", tok);
					return 1;
				}
			}
			break;
		}
		case 'p': {
			uint32_t v;
			if (parse_uint32(&v, optarg) < 0) {
				fprintf(stderr, "Cannot parse '%s' as number.\n", optarg);
				return 1;
			}
			if (v < 1 || v > BW_MAX_PERIOD) {
				fprintf(stderr, "Valid number range for option -%c is 1 - %u.\n", 'p', BW_MAX_PERIOD);
				return 1;
			}
			o->period = v;
			break;
		}
		case 'd':
			o->daemonize = 1;
			break;
		case 'f':
			o->fullscreen = 1;
			break;
		default:
			usage(o->prog);
			return 1;
		}
	}
	return 0;
}

/* The sampling loop: two counter reads a period apart, then the rates. */
static void bw_run(struct bw_iface *list, const struct bw_opts *o)
{
	while (!bw_stop) {
		uint64_t t0 = mono_ms();
		read_counters(list);
		sleep_ms((uint64_t)o->period * 1000, &bw_stop);
		read_counters(list);
		uint64_t ms = mono_ms() - t0;
		for (struct bw_iface *b = list; b; b = b->next)
			b->sample.elapsed_ms = ms;

		/* a sleep cut short by a stop signal measures nothing */
		if (!bw_stop && ms >= 1000) {
			if (o->daemonize) {
				if (write_json(list, o->period) < 0)
					bw_stop = 1;
			} else {
				print_rates(list, o->fullscreen, o->names_given);
			}
		}
		if (o->daemonize && mono_sec() - bw_keepalive > BW_KEEPALIVE) {
			LOG_I(log4c_cat_bwmonitor, "timeout\n");
			bw_stop = 1;
		}
	}
}

static void bw_stop_all(struct bw_iface *list, const struct bw_opts *o)
{
	while (list) {
		struct bw_iface *next = list->next;
		free(list);
		list = next;
	}
	ifi_free_all();
	if (o->daemonize) {
		LOG_I(log4c_cat_bwmonitor, "stopping...\n");
		unlink(BW_JSON);
		unlink(BW_PIDFILE);
	}
}

static int bwmonitor_main(int argc, char **argv)
{
	struct bw_opts o;
	int rc = bw_parse(argc, argv, &o);

	if (rc)
		return rc;
	signals_on(bw_stop_signals, ARRAY_SIZE(bw_stop_signals), on_stop);
	signal_on(SIGUSR1, on_usr1);
	if (o.daemonize) {
		if (pidfile_owner(BW_PIDFILE)) {
			fprintf(stderr, "Already running...\n");
			return 1;
		}
		rc = daemon_start(BW_PIDFILE);
		if (rc < 0)
			die_errno("daemon() failed");
		if (rc > 0)
			LOG_E(log4c_cat_bwmonitor, "failed to write %s\n", BW_PIDFILE);
		bw_keepalive = (sig_atomic_t)mono_sec();
	}

	struct bw_iface *list = build_list(o.only);
	create_path(BW_JSON);
	if (o.daemonize) {
		LOG_I(log4c_cat_bwmonitor, "starting...\n");
		LOG_I(log4c_cat_bwmonitor, "timeout is set to %d seconds\n", BW_KEEPALIVE);
	}
	bw_run(list, &o);
	bw_stop_all(list, &o);
	return 0;
}

APPLET("bwmonitor", bwmonitor_main);
