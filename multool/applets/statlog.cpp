/* statlog: memory, CPU and network-device statistics recorded into round-robin databases.
 *
 *   statlog [-d folder] [-i seconds] [-c count] [-D]
 *
 * Every interval (default 60 s) the figures are handed to /usr/bin/rrdtool; a database that is
 * missing is created first.  The databases, in the folder (default /var/run/statlog):
 *
 *   memory.rrd     GAUGE   total free buffers cached                 bytes (/proc/meminfo)
 *   cpu.rrd        DERIVE  user nice system idle iowait irq softirq  jiffies (/proc/stat "cpu")
 *   if-<name>.rrd  DERIVE  rx_bytes rx_packets rx_errors tx_bytes tx_packets tx_errors  (/proc/net/dev)
 *
 * one per network device but "lo"; step = the interval, heartbeat twice the interval, DERIVE with a
 * minimum of 0 (a counter reset is a gap, not a spike).  Each holds RRA:AVERAGE:0.5:1:720,
 * RRA:AVERAGE:0.5:30:720 and RRA:MAX:0.5:30:720.  -c ends after that many records, -D detaches (pid
 * file /var/run/statlog.pid); SIGTERM, SIGINT and SIGHUP end the loop. */
#include "common/daemon.h"
#include "common/fileio.h"
#include "common/run.h"
#include "common/text.h"
#include "platform/cpusample.h"
#include "platform/procfs.h"
#include "platform/statlog_codec.h"
#include "spine/applet.h"
#include "spine/logging.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

LOG4C_CATEGORY(log4c_cat_statlog, "statlog");

#define STATLOG_RRDTOOL "/usr/bin/rrdtool"
#define STATLOG_DIR "/var/run/statlog"
#define STATLOG_PIDFILE "/var/run/statlog.pid"
#define STATLOG_DEFAULT_INTERVAL 60
#define STATLOG_MAX_INTERVAL 3600

static volatile sig_atomic_t statlog_stop;

static void on_stop(int sig)
{
	(void)sig;
	statlog_stop = 1;
}

struct statlog_db {
	const char *dir;
	unsigned step;
};

static const char *const mem_ds[] = { "total", "free", "buffers", "cached" };
static const char *const cpu_ds[] = { "user", "nice", "system", "idle", "iowait", "irq", "softirq" };
static const char *const net_ds[] = { "rx_bytes", "rx_packets", "rx_errors", "tx_bytes", "tx_packets", "tx_errors" };

static int rrdtool(const std::vector<std::string> &args)
{
	std::vector<const char *> argv;
	argv.push_back(STATLOG_RRDTOOL);
	for (const auto &a : args)
		argv.push_back(a.c_str());
	argv.push_back(NULL);
	struct run_opts o = {};
	o.null_stdout = 1;
	int st = run_argv(argv.data(), &o);
	if (!run_ok(st, NULL)) {
		LOG_E(log4c_cat_statlog, "%s %s %s failed (status %d)", STATLOG_RRDTOOL, args[0].c_str(), args[1].c_str(), st);
		return -1;
	}
	return 0;
}

/* Creates the database when it is missing, then adds one record of the values at time t. */
static int record(const struct statlog_db *db, const std::string &name, const char *type, const char *const *ds,
		  size_t nds, const uint64_t *values, time_t t)
{
	std::string path = std::string(db->dir) + "/" + name + ".rrd";

	if (access(path.c_str(), F_OK) < 0) {
		std::vector<std::string> a = { "create", path, "--step", std::to_string(db->step), "--start",
					       std::to_string((long long)t - 1) };
		for (size_t i = 0; i < nds; i++)
			a.push_back(std::string("DS:") + ds[i] + ":" + type + ":" + std::to_string(2 * db->step) + ":0:U");
		a.push_back("RRA:AVERAGE:0.5:1:720");
		a.push_back("RRA:AVERAGE:0.5:30:720");
		a.push_back("RRA:MAX:0.5:30:720");
		if (rrdtool(a) < 0)
			return -1;
	}
	std::string v = std::to_string((long long)t);
	for (size_t i = 0; i < nds; i++)
		v += ":" + std::to_string((unsigned long long)values[i]);
	return rrdtool({ "update", path, v });
}

struct net_pass {
	const struct statlog_db *db;
	time_t t;
	int failed;
};

static void record_netdev(const struct statlog_netdev *d, void *ctx)
{
	struct net_pass *p = (struct net_pass *)ctx;
	const uint64_t v[] = { d->rx_bytes, d->rx_packets, d->rx_errors, d->tx_bytes, d->tx_packets, d->tx_errors };

	if (strcmp(d->name, "lo") == 0)
		return;
	if (!statlog_name_ok(d->name)) {
		LOG_W(log4c_cat_statlog, "interface name '%s' left out", d->name);
		return;
	}
	if (record(p->db, std::string("if-") + d->name, "DERIVE", net_ds, ARRAY_SIZE(net_ds), v, p->t) < 0)
		p->failed = 1;
}

/* One record of every database; -1 when one of them failed. */
static int record_all(const struct statlog_db *db, time_t t)
{
	int failed = 0;
	char path[256];
	char *text = read_file("/proc/meminfo", NULL);
	struct statlog_mem m;

	if (text && statlog_parse_meminfo(text, &m) == 0) {
		const uint64_t v[] = { m.total, m.free, m.buffers, m.cached };
		failed |= record(db, "memory", "GAUGE", mem_ds, ARRAY_SIZE(mem_ds), v, t) < 0;
	} else {
		failed = 1;
	}
	free(text);
	FILE *f = fopen("/proc/stat", "r");
	struct cpu_sample s;
	if (f && cpu_sample_read(f, &s) == 0) {
		uint64_t v[CPU_COUNTERS];
		for (int i = 0; i < CPU_COUNTERS; i++)
			v[i] = s.v[i];
		failed |= record(db, "cpu", "DERIVE", cpu_ds, ARRAY_SIZE(cpu_ds), v, t) < 0;
	} else {
		failed = 1;
	}
	if (f)
		fclose(f);
	text = read_file(proc_path("net/dev", path, sizeof(path)), NULL);
	struct net_pass p = { db, t, 0 };
	if (text)
		statlog_parse_netdev(text, record_netdev, &p);
	free(text);
	return failed || p.failed || !text ? -1 : 0;
}

static void usage(const char *prog)
{
	fprintf(stderr,
		"Usage: %s [-d folder] [-i seconds] [-c count] [-D]\n"
		"Records memory, CPU and network-device statistics with %s:\n"
		"\tmemory.rrd, cpu.rrd and if-<name>.rrd in the folder (default %s)\n"
		"\t-i  seconds between records (default %d, at most %d)\n"
		"\t-c  stop after this many records (default: until SIGTERM)\n"
		"\t-D  run in the background (pid file %s)\n",
		prog, STATLOG_RRDTOOL, STATLOG_DIR, STATLOG_DEFAULT_INTERVAL, STATLOG_MAX_INTERVAL, STATLOG_PIDFILE);
}

static int statlog_main(int argc, char **argv)
{
	static const int stops[] = { SIGTERM, SIGINT, SIGHUP };
	struct statlog_db db = { STATLOG_DIR, STATLOG_DEFAULT_INTERVAL };
	uint32_t count = 0, u;
	int detach = 0, c;

	while ((c = getopt(argc, argv, "d:i:c:Dh")) != -1) {
		switch (c) {
		case 'd':
			db.dir = optarg;
			break;
		case 'i':
			if (parse_uint32(&u, optarg) < 0 || u < 1 || u > STATLOG_MAX_INTERVAL) {
				fprintf(stderr, "%s: interval must be 1 to %d seconds\n", argv[0], STATLOG_MAX_INTERVAL);
				return 1;
			}
			db.step = u;
			break;
		case 'c':
			if (parse_uint32(&count, optarg) < 0) {
				fprintf(stderr, "%s: bad count '%s'\n", argv[0], optarg);
				return 1;
			}
			break;
		case 'D':
			detach = 1;
			break;
		default:
			usage(argv[0]);
			return c == 'h' ? 0 : 1;
		}
	}
	if (optind != argc) {
		usage(argv[0]);
		return 1;
	}
	if (mkdir(db.dir, 0755) < 0 && errno != EEXIST) {
		fprintf(stderr, "%s: cannot create %s: %s\n", argv[0], db.dir, strerror(errno));
		return 1;
	}
	if (signals_on(stops, ARRAY_SIZE(stops), on_stop) < 0) {
		perror("signals");
		return 1;
	}
	if (detach && daemon_start(STATLOG_PIDFILE) < 0) {
		perror("daemon");
		return 1;
	}
	int status = 0;
	time_t last = 0;
	for (uint32_t n = 0; !statlog_stop && (!count || n < count);) {
		time_t now = time(NULL);
		/* A database takes one record per second at most. */
		if (now != last) {
			if (record_all(&db, now) < 0)
				status = 1;
			last = now;
			n++;
			if (count && n == count)
				break;
		}
		sleep_ms((uint64_t)db.step * 1000, &statlog_stop);
	}
	if (detach)
		unlink(STATLOG_PIDFILE);
	return status;
}

APPLET("statlog", statlog_main);
