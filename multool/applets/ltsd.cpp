/* ltsd: the link test server.  Answers the remote linktest over LLC on the bridges (or one given
 * interface) and over UDP: receive counters, counter reset, and a reverse test whose output it
 * streams back.  Nothing a peer sends reaches a shell: a reverse test's arguments are checked and
 * given to /usr/sbin/linktest as an argument vector. */
#include "common/daemon.h"
#include "common/fileio.h"
#include "common/run.h"
#include "linktest/llc.h"
#include "linktest/lt_proto.h"
#include "linktest/pktgen.h"
#include "platform/procfs.h"
#include "radio/driver.h"
#include "spine/applet.h"
#include "spine/logging.h"
#include "spine/utils.h"

#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

LOG4C_CATEGORY(log4c_cat_ltsd, "ltsd");

#define LTSD_MAX_SOCKETS 1024
#define LTSD_LINKTEST "/usr/sbin/linktest"
#define LTSD_LINE_MAX 256 /* a line of the reverse test's output: at most 255 bytes */

enum ltsd_kind {
	LTSD_LLC = 0,
	LTSD_UDP = 1,
};

struct ltsd_socket {
	enum ltsd_kind kind;
	int fd;
	struct llc_link llc;
};

/* Where a request came from: replies go back there on the same socket. */
struct ltsd_peer {
	const struct ltsd_socket *sock;
	uint8_t mac[6];
	struct sockaddr_in addr;
};

static struct ltsd_socket ltsd_socks[LTSD_MAX_SOCKETS];
static size_t ltsd_nsocks;
/* The reverse test's child, -1 when none was started. */
static pid_t ltsd_child = -1;

/* ---- start-up ---- */

static void add_llc(const char *ifname)
{
	struct ltsd_socket *s;
	enum llc_step step;

	if (ltsd_nsocks >= LTSD_MAX_SOCKETS - 1) {
		LOG_W(log4c_cat_ltsd, "socket table full, %s left out", ifname);
		return;
	}
	s = &ltsd_socks[ltsd_nsocks];
	if (llc_open(&s->llc, ifname, LT_SAP, &step) < 0) {
		if (step == LLC_STEP_SOCKET)
			die_errno("socket LLC");
		if (step == LLC_STEP_BINDDEV)
			die_errno("setsockopt SO_BINDTODEVICE on %s", ifname);
		die_errno("bind LLC on %s", ifname);
	}
	s->kind = LTSD_LLC;
	s->fd = s->llc.fd;
	ltsd_nsocks++;
}

static bool is_bridge(const char *name)
{
	char path[300];
	struct stat st;

	snprintf(path, sizeof(path), "/sys/class/net/%s/bridge", name);
	return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

static void open_llc_sockets(const char *only)
{
	DIR *dir = opendir("/sys/class/net/");
	struct dirent *e;

	if (!dir)
		exit(1);
	if (only) {
		LOG_D(log4c_cat_ltsd, "try to bind to %s interface", only);
		add_llc(only);
	} else {
		while ((e = readdir(dir)) != NULL) {
			if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0 || !is_bridge(e->d_name))
				continue;
			add_llc(e->d_name);
		}
	}
	closedir(dir);
	if (!ltsd_nsocks)
		die("no LLC sockets, cannot proceed");
}

static void open_udp_socket(void)
{
	struct ltsd_socket *s = &ltsd_socks[ltsd_nsocks];
	struct sockaddr_in addr;
	int one = 1;

	s->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (s->fd < 0)
		die_errno("socket UDP");
	if (setsockopt(s->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) < 0)
		die_errno("setsockopt UDP");
	memset(&addr, 0, sizeof(addr));
	addr.sin_family = AF_INET;
	addr.sin_port = htons(LT_UDP_PORT);
	addr.sin_addr.s_addr = htonl(INADDR_ANY);
	if (bind(s->fd, (struct sockaddr *)&addr, sizeof(addr)) < 0)
		die_errno("bind UDP");
	s->kind = LTSD_UDP;
	ltsd_nsocks++;
}

/* The receive side counts only once it is told to; without the table there is nothing to set. */
static void configure_rx(void)
{
	static const char *const lines[] = { "rx all\n", "statistics basic\n", "display script\n" };

	for (size_t i = 0; i < ARRAY_SIZE(lines); i++)
		if (pktgen_write("pgrx", lines[i]) < 0)
			return;
}

/* ---- replies ---- */

static int send_to(const struct ltsd_peer *to, const void *data, size_t len)
{
	ssize_t n;

	if (to->sock->kind == LTSD_LLC)
		n = llc_send(&to->sock->llc, to->mac, data, len);
	else
		n = sendto(to->sock->fd, data, len, 0, (const struct sockaddr *)&to->addr, sizeof(to->addr));
	return n == (ssize_t)len ? 0 : -1;
}

static int reply_status(const struct ltsd_peer *to, int code, const char *text)
{
	uint8_t buf[LT_MSG_SIZE];
	int n = lt_status_reply(buf, sizeof(buf), to->sock->kind == LTSD_LLC, code, text);

	if (n < 0)
		return -1;
	return send_to(to, buf, (size_t)n);
}

/* ---- counters ---- */

static void read_counters(uint64_t *packets, uint64_t *bytes, uint64_t *duration)
{
	/* Static: a counter request costs no heap.  The values line is the second of the table. */
	static char snmp[4096], pgrx[8192];
	char path[256];
	ssize_t n;

	proc_path("net/snmp", path, sizeof(path));
	n = read_prefix(path, snmp, sizeof(snmp));
	if (n < 0)
		die("cannot open %s", path);
	if (lt_parse_snmp(snmp, (size_t)n, packets, bytes) < 0)
		die("cannot read pktgen counters from %s", path);
	n = read_prefix(pktgen_path("pgrx", path, sizeof(path)), pgrx, sizeof(pgrx));
	*duration = n > 0 ? lt_parse_pgrx(pgrx, (size_t)n) : 0;
}

static void device_mac(uint8_t mac[6])
{
	if (drv_get_hwaddr("wifi0", mac) == 0 || drv_get_hwaddr("eth0", mac) == 0)
		return;
	die_errno("ioctl");
}

static void reply_counters(const struct ltsd_peer *to)
{
	uint64_t packets, bytes, duration;

	read_counters(&packets, &bytes, &duration);
	if (to->sock->kind == LTSD_LLC) {
		uint8_t buf[LT_COUNTERS_LEN];
		lt_put_counters(buf, packets, bytes, duration);
		send_to(to, buf, sizeof(buf));
		return;
	}
	char text[LT_MSG_SIZE];
	uint8_t mac[6];
	device_mac(mac);
	int len = lt_udp_counters(text, sizeof(text), packets, bytes, mac);
	if (len < 0)
		return;
	ssize_t sent = sendto(to->sock->fd, text, (size_t)len, 0, (const struct sockaddr *)&to->addr, sizeof(to->addr));
	if (sent < len)
		LOG_D(log4c_cat_ltsd, "sent only %d bytes, instead of %d bytes.", (int)sent, len);
}

/* ---- the reverse test ---- */

/* Our child of the last RUN is still there.  Children are reaped by the kernel (SIGCHLD ignored),
 * so a finished one is no longer ours to wait for and its pid may belong to anybody now. */
static bool child_running(void)
{
	if (ltsd_child <= 0)
		return false;
	if (waitpid(ltsd_child, NULL, WNOHANG) == 0)
		return true;
	ltsd_child = -1;
	return false;
}

[[noreturn]] static void run_child(const struct ltsd_peer *to, const char *const argv[])
{
	char line[LTSD_LINE_MAX];
	bool sent_all = true;
	pid_t pid;
	int status;

	signal(SIGCHLD, SIG_DFL);
	setpgid(0, 0);
	int fd = run_argv_pipe(argv, &pid);
	FILE *in = fd >= 0 ? fdopen(fd, "r") : NULL;
	if (!in) {
		reply_status(to, 400, "CANNOT RUN LINKTEST\n");
		_exit(1);
	}
	while (fgets(line, sizeof(line), in)) {
		if (reply_status(to, 100, line) < 0) {
			sent_all = false;
			break;
		}
	}
	bool read_error = ferror(in);
	fclose(in);
	status = run_wait(pid);
	if (sent_all && !read_error && status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
		reply_status(to, 200, NULL);
		_exit(0);
	}
	reply_status(to, 400, "LINKTEST FAILED\n");
	_exit(1);
}

static void start_run(const struct ltsd_peer *to, char *args)
{
	const char *argv[LT_RUN_MAX_ARGS + 2];

	if (child_running()) {
		reply_status(to, 400, "LINKTEST IS RUNING\n");
		return;
	}
	argv[0] = LTSD_LINKTEST;
	int n = lt_split_args(args, (char **)argv + 1, LT_RUN_MAX_ARGS);
	if (n < 0) {
		LOG_W(log4c_cat_ltsd, "reverse test refused: its arguments hold more than options and values");
		reply_status(to, 400, "CANNOT RUN LINKTEST\n");
		return;
	}
	argv[n + 1] = NULL;
	pid_t pid = fork();
	if (pid < 0) {
		reply_status(to, 400, "CANNOT RUN LINKTEST\n");
		return;
	}
	if (pid == 0)
		run_child(to, argv);
	/* Its own group, so that ABOR reaches the linktest below it as well; set on both sides. */
	setpgid(pid, pid);
	ltsd_child = pid;
}

static void abort_run(const struct ltsd_peer *to)
{
	if (child_running())
		kill(-ltsd_child, SIGTERM);
	reply_status(to, 200, NULL);
}

/* ---- requests ---- */

static void handle(const struct ltsd_peer *from, char *text)
{
	struct lt_request req;

	lt_parse_request(text, &req);
	switch (req.cmd) {
	case LT_CMD_RST:
		pktgen_write("pgrx", "rx_reset\n");
		reply_status(from, 200, NULL);
		break;
	case LT_CMD_RUN:
		start_run(from, req.args);
		break;
	case LT_CMD_ABOR:
		abort_run(from);
		break;
	case LT_CMD_COUNTERS:
		reply_counters(from);
		break;
	}
}

static void receive(const struct ltsd_socket *s)
{
	char buf[LT_MSG_SIZE];
	struct ltsd_peer from;
	ssize_t n;

	memset(&from, 0, sizeof(from));
	from.sock = s;
	switch (s->kind) {
	case LTSD_LLC:
		do
			n = llc_recv(&s->llc, buf, sizeof(buf) - 1, from.mac);
		while (n < 0 && errno == EINTR);
		if (n < 0 || !lt_has_header((const uint8_t *)buf, (size_t)n) ||
		    lt_llc_is_reply((const uint8_t *)buf, (size_t)n))
			return;
		buf[n] = '\0';
		handle(&from, buf + LT_HDR_LEN);
		break;
	case LTSD_UDP: {
		socklen_t alen = sizeof(from.addr);
		do
			n = recvfrom(s->fd, buf, sizeof(buf) - 1, MSG_DONTWAIT, (struct sockaddr *)&from.addr, &alen);
		while (n < 0 && errno == EINTR);
		if (n < 0)
			return;
		buf[n] = '\0';
		handle(&from, buf);
		break;
	}
	default:
		die("invalid socket type %d detected.", (int)s->kind);
	}
}

[[noreturn]] static void serve(void)
{
	static struct pollfd fds[LTSD_MAX_SOCKETS];

	for (size_t i = 0; i < ltsd_nsocks; i++) {
		fds[i].fd = ltsd_socks[i].fd;
		fds[i].events = POLLIN;
	}
	for (;;) {
		if (wait_fds(fds, ltsd_nsocks, -1, NULL) < 0)
			die_errno("select");
		for (size_t i = 0; i < ltsd_nsocks; i++)
			if (fds[i].revents & (POLLIN | POLLERR))
				receive(&ltsd_socks[i]);
	}
}

static void usage(const char *prog)
{
	fprintf(stderr, "Usage: %s [-i interface]\n", prog);
}

static int ltsd_main(int argc, char **argv)
{
	const char *only = NULL;
	int opt;

	while ((opt = getopt(argc, argv, "i:h")) != -1) {
		switch (opt) {
		case 'i':
			only = optarg;
			break;
		default:
			usage(argv[0]);
			return 1;
		}
	}
	open_llc_sockets(only);
	open_udp_socket();
	if (pktgen_load() < 0)
		die("Error loading pktgen module");
	configure_rx();
	signal(SIGCHLD, SIG_IGN);
	if (daemon_start(NULL) != 0)
		die_errno("daemonization failed");
	serve();
}

APPLET("ltsd", ltsd_main);
