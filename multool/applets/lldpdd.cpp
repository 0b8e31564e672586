/* lldpdd: records the LLDP neighbours heard on every interface in the neighbour file. */
#include "common/daemon.h"
#include "neighbour/lldp_codec.h"
#include "neighbour/lldp_table.h"
#include "spine/applet.h"
#include "spine/utils.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#define LLDPDD_PIDFILE "/var/run/lldpdd.pid"
#define LLDPDD_WAIT_MS 30000
#define LLDPDD_BURST 64 /* frames taken from the socket before the file is written */

static volatile sig_atomic_t lldpdd_stop;

static const int lldpdd_stop_signals[] = { SIGHUP, SIGINT, SIGTERM };

static void on_stop(int sig)
{
	(void)sig;
	lldpdd_stop = 1;
}

static long uptime_now(void)
{
	struct sysinfo si;
	return sysinfo(&si) < 0 ? 0 : si.uptime;
}

static int open_listener(void)
{
	struct sockaddr_ll a;
	int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(LLDP_ETHERTYPE));

	if (fd < 0)
		die_errno("socket");
	memset(&a, 0, sizeof(a));
	a.sll_family = AF_PACKET;
	a.sll_protocol = htons(LLDP_ETHERTYPE);
	a.sll_ifindex = 0; /* every interface */
	if (bind(fd, (struct sockaddr *)&a, sizeof(a)) < 0)
		die_errno("bind");
	return fd;
}

/* One received frame into the table; 1 when it was stored. */
static int take_frame(json_t *table, const uint8_t *buf, size_t len, const struct sockaddr_ll *from)
{
	struct lldp_neighbour n;
	char name[IF_NAMESIZE];

	if (lldp_parse(buf, len, from->sll_pkttype, &n) != LLDP_ACCEPT)
		return 0;
	const char *ifname = if_indextoname((unsigned)from->sll_ifindex, name);
	json_t *entry = lldp_table_entry(&n, from->sll_ifindex, ifname, uptime_now());
	return lldp_table_store(table, n.src, entry, LLDP_TABLE_MAX) == 0;
}

/* The frames waiting on the socket, at most a burst of them, so that a burst costs one write of the
 * file.  1 when the table changed. */
static int take_waiting(int fd, json_t *table)
{
	uint8_t buf[LLDP_RX_MAX];
	int changed = 0;

	for (int i = 0; i < LLDPDD_BURST; i++) {
		struct sockaddr_ll from;
		socklen_t fromlen = sizeof(from);
		ssize_t n = recvfrom(fd, buf, sizeof(buf), MSG_DONTWAIT, (struct sockaddr *)&from, &fromlen);
		if (n < 0) {
			if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
				break;
			die_errno("recvfrom");
		}
		changed |= take_frame(table, buf, (size_t)n, &from);
	}
	return changed;
}

/* Expiry and the file before every wait; the file is written when the table changed or a wait ended
 * without a frame. */
static void lldpdd_run(int fd, json_t *table)
{
	int dirty = 1;

	while (!lldpdd_stop) {
		if (lldp_table_expire(table, uptime_now()))
			dirty = 1;
		if (dirty)
			lldp_table_write(table, LLDP_DISCOVERY_FILE);
		dirty = 0;
		/* a stop asked for during the write would otherwise wait out the whole poll */
		if (lldpdd_stop)
			break;

		struct pollfd p = { fd, POLLIN, 0 };
		int ready = wait_fds(&p, 1, LLDPDD_WAIT_MS, &lldpdd_stop);
		if (ready < 0)
			die_errno("select");
		if (ready == 0)
			dirty = 1;
		else if (take_waiting(fd, table))
			dirty = 1;
	}
}

static int lldpdd_main(int argc, char **argv)
{
	int foreground = 0, opt;

	while ((opt = getopt(argc, argv, "f")) != -1) {
		if (opt != 'f') {
			fprintf(stderr, "Usage: %s [-f]\n", argv[0]);
			return 1;
		}
		foreground = 1;
	}
	signals_on(lldpdd_stop_signals, ARRAY_SIZE(lldpdd_stop_signals), on_stop);
	int fd = open_listener();
	json_t *table = lldp_table_load(LLDP_DISCOVERY_FILE, LLDP_TABLE_MAX);
	if (!table)
		die("cannot create JSON object");
	if (!foreground && daemon_start(LLDPDD_PIDFILE) < 0)
		die_errno("daemonization failed");

	lldpdd_run(fd, table);

	json_decref(table);
	close(fd);
	if (!foreground)
		unlink(LLDPDD_PIDFILE);
	return 0;
}

APPLET("lldpdd", lldpdd_main);
