/* linktest: throughput and loss of the radio link to one peer.  The kernel packet generator sends
 * sessions of equal packets to the peer's MAC; the peer's ltsd reports before and after each session
 * what it received, over LLC or UDP, whichever answers first.  With -r the peer runs the test toward
 * us and we relay its output. */
#include "common/ctlsock.h"
#include "common/daemon.h"
#include "common/fileio.h"
#include "common/text.h"
#include "linktest/llc.h"
#include "linktest/lt_proto.h"
#include "linktest/pktgen.h"
#include "radio/iwinfo.h"
#include "spine/applet.h"
#include "spine/jsonutil.h"
#include "spine/logging.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <jansson.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#define LT_WIRELESS "/var/run/stats/wireless.json"
#define LT_LOCK "/var/run/linktest.pid"
#define LT_TRIES 6
#define LT_ANSWER_MS 2000
#define LT_REVERSE_MS 10000
#define LT_NAME_MAX 32

enum lt_level {
	LT_ERROR = 0,
	LT_FATAL = 1,
	LT_WARN = 2,
	LT_INFO = 3,
	LT_DETAIL = 4,
};

struct lt_opts {
	int sessions, packets, delay, size, peer;
	char mac[MAC_TEXT_SIZE];
	char name[LT_NAME_MAX + 1];
	bool list, verbose, json, reverse;
};

struct lt_peer {
	char ifname[IF_NAMESIZE];
	char mac[MAC_TEXT_SIZE];
	char ip[INET_ADDRSTRLEN];
	char name[LT_NAME_MAX + 1];
	uint8_t hw[6];
};

/* The control channel to the peer's ltsd; a transport once switched off stays off for the run. */
struct lt_ctl {
	bool llc_on, udp_on;
	bool llc_open;
	struct llc_link llc;
	int udp;
};

static struct lt_opts lt_o = { 60, 1000, 0, 64, 1, "", "", false, false, false, false };
static struct lt_peer lt_p;
static struct lt_ctl lt_c = { true, true, false, { -1, LLC_KIND_PACKET, 0, 0, { 0 } }, -1 };
static json_t *lt_base;
static bool lt_quiet;
static bool lt_failed;
static volatile sig_atomic_t lt_abort;

/* What to undo at exit, on every path: only what this process did. */
static bool lt_lock_ours;
static bool lt_txq_saved;
static int lt_txq_len;

/* ---- messages ---- */

static void json_line(json_t *obj)
{
	char *text = json_dumps(obj, JSON_COMPACT | JSON_PRESERVE_ORDER | JSON_REAL_PRECISION(1));
	if (text) {
		printf("%s\n", text);
		free(text);
	}
	fflush(stdout);
}

static const char *applet_prefix(void)
{
	return invoke_name() ? invoke_name() : "linktest";
}

static void msg(enum lt_level level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void msg(enum lt_level level, const char *fmt, ...)
{
	char text[1024];
	va_list ap;

	if (level >= LT_WARN && (!lt_o.verbose || lt_quiet))
		return;
	va_start(ap, fmt);
	vsnprintf(text, sizeof(text), fmt, ap);
	va_end(ap);
	if (lt_o.json) {
		json_t *o = lt_base ? json_copy(lt_base) : json_object();
		json_object_set_new(o, "error", json_text(text));
		json_line(o);
		json_decref(o);
	} else if (level == LT_FATAL) {
		size_t plen = strlen(applet_prefix());
		bool named = strncmp(text, applet_prefix(), plen) == 0 && strncmp(text + plen, ": ", 2) == 0;
		fprintf(stderr, "%s%s%s\n", named ? "" : applet_prefix(), named ? "" : ": ", text);
	} else {
		fprintf(stderr, "%s\n", text);
	}
	if (level == LT_FATAL)
		exit(1);
	if (level == LT_ERROR)
		lt_failed = true;
}

#define fatal(...) (msg(LT_FATAL, __VA_ARGS__), exit(1))

/* ---- exit ---- */

static int txqueuelen(const char *ifname, int *len, bool set)
{
	struct ifreq ifr;
	int fd = ctl_socket(SOCK_DGRAM);

	if (fd < 0 || strlen(ifname) >= sizeof(ifr.ifr_name))
		return -1;
	memset(&ifr, 0, sizeof(ifr));
	strcpy(ifr.ifr_name, ifname);
	ifr.ifr_qlen = *len;
	if (ioctl(fd, set ? SIOCSIFTXQLEN : SIOCGIFTXQLEN, &ifr) < 0)
		return -1;
	*len = ifr.ifr_qlen;
	return 0;
}

static void at_exit(void)
{
	if (lt_txq_saved) {
		lt_txq_saved = false;
		txqueuelen(lt_p.ifname, &lt_txq_len, true);
	}
	if (lt_lock_ours) {
		lt_lock_ours = false;
		unlink(LT_LOCK);
	}
}

static void on_signal(int sig)
{
	lt_abort = sig;
}

static const char *abort_name(void)
{
	const char *name = lt_abort > 0 ? strsignal(lt_abort) : NULL;
	return name ? name : "unknown";
}

/* ---- options ---- */

static void usage(const char *prog)
{
	printf("Usage: %s [options]\n\t-t sessions count\n\t-c packet count per session\n\t-d packet send delay\n"
	       "\t-s packet size in bytes\n\t-p peer number\n\t-n peer name substring (overrides -p)\n"
	       "\t-l list peers\n\t-v verbose mode\n\t-j output each line as a separate JSON object\n"
	       "\t\t(this option disables verbose mode)\n\t-h usage\n",
	       prog);
}

/* Numbers as the options take them: a text that is not one counts as 0 and is refused later. */
static int option_int(const char *text)
{
	long v;
	if (parse_long(&v, text) < 0 || v < -2147483647L || v > 2147483647L)
		return 0;
	return (int)v;
}

static void option_peer(const char *text)
{
	uint8_t mac[6];

	if (strlen(text) == 17 && parse_mac(text, mac, MAC_STRICT) == 0) {
		mac_text(lt_o.mac, mac);
		lt_o.peer = 0;
		return;
	}
	lt_o.peer = option_int(text);
}

static int parse_options(int argc, char **argv)
{
	int opt;

	while ((opt = getopt(argc, argv, "t:c:d:s:p:n:lvjrh")) != -1) {
		switch (opt) {
		case 't':
			lt_o.sessions = option_int(optarg);
			break;
		case 'c':
			lt_o.packets = option_int(optarg);
			break;
		case 'd':
			if (strcasecmp(optarg, "auto") == 0) {
				lt_o.delay = -1;
			} else {
				long v;
				if (parse_long(&v, optarg) < 0 || v < -1 || v > 2147483647L)
					fatal("Invalid packet send delay '%s'", optarg);
				lt_o.delay = (int)v;
			}
			break;
		case 's':
			lt_o.size = option_int(optarg);
			break;
		case 'p':
			option_peer(optarg);
			break;
		case 'n':
			snprintf(lt_o.name, sizeof(lt_o.name), "%s", optarg);
			lt_o.peer = 0;
			break;
		case 'l':
			lt_o.list = true;
			break;
		case 'v':
			if (!lt_o.json)
				lt_o.verbose = true;
			break;
		case 'j':
			lt_o.json = true;
			lt_o.verbose = false;
			break;
		case 'r':
			lt_o.reverse = true;
			break;
		default:
			usage(argv[0]);
			return 1;
		}
	}
	return 0;
}

/* ---- the statistics file ---- */

static json_t *load_wireless(void)
{
	json_t *doc = json_load_path(LT_WIRELESS);
	if (!doc)
		fatal("No wireless statistics file '%s'", LT_WIRELESS);
	return doc;
}

static const char *member_text(const json_t *o, const char *key)
{
	return json_string_value(json_object_get(o, key));
}

static void list_peers(void)
{
	json_t *doc = load_wireless();
	json_t *peers = json_object_get(doc, "peers");
	bool header = false;

	for (size_t i = 0; i < json_array_size(peers); i++) {
		const json_t *e = json_array_get(peers, i);
		const char *mac = member_text(e, "mac"), *name = member_text(e, "deviceName");
		if (!mac)
			continue;
		if (lt_o.json) {
			json_t *o = json_object();
			json_object_set_new(o, "peer", json_integer((json_int_t)i + 1));
			json_object_set_new(o, "mac", json_text(mac));
			if (name && *name)
				json_object_set_new(o, "name", json_text(name));
			json_line(o);
			json_decref(o);
			continue;
		}
		if (!header) {
			printf("Peer\tMAC address\t\tName\nNo.\n");
			header = true;
		}
		if (name && *name)
			printf("%-2d\t%s\t%s\n", (int)i + 1, mac, name);
		else
			printf("%-2d\t%s\n", (int)i + 1, mac);
	}
	json_decref(doc);
}

static void check_peer_number(void)
{
	if (lt_o.peer == 0)
		return;
	json_t *doc = load_wireless();
	int count = (int)json_array_size(json_object_get(doc, "peers"));
	json_decref(doc);
	if (count == 0)
		msg(LT_DETAIL, "no connected peers, trying mac");
	else if (lt_o.peer < 0 || lt_o.peer > count)
		fatal("Invalid peer %d (detected %d peer(s))", lt_o.peer, count);
}

static bool interface_exists(const char *name)
{
	char path[64];
	snprintf(path, sizeof(path), "/sys/class/net/%s", name);
	return access(path, F_OK) == 0;
}

/* Fills the peer from an entry of "peers"; false when it lacks the MAC, interface or address. */
static bool take_entry(const json_t *e)
{
	const char *mac = member_text(e, "mac"), *ip = member_text(e, "ipAddress");
	const char *ifname = member_text(e, "peerIfName"), *name = member_text(e, "deviceName");

	if (!ifname)
		ifname = member_text(e, "vap");
	if (!mac || !ip || !ifname || strlen(mac) >= sizeof(lt_p.mac) || parse_mac(mac, lt_p.hw, MAC_STRICT) < 0)
		return false;
	snprintf(lt_p.mac, sizeof(lt_p.mac), "%s", mac);
	snprintf(lt_p.ip, sizeof(lt_p.ip), "%s", strlen(ip) < sizeof(lt_p.ip) ? ip : "");
	snprintf(lt_p.ifname, sizeof(lt_p.ifname), "%s", interface_exists("agg0") ? "agg0" : ifname);
	snprintf(lt_p.name, sizeof(lt_p.name), "%s", name ? name : "");
	if (strcmp(lt_p.ip, "0.0.0.0") == 0) {
		msg(LT_DETAIL, "unusable IP address '0.0.0.0': fallback to llc only");
		lt_c.udp_on = false;
	}
	return true;
}

static bool entry_matches(const json_t *e)
{
	if (lt_o.name[0]) {
		const char *name = member_text(e, "deviceName");
		return name && strstr(name, lt_o.name);
	}
	const char *mac = member_text(e, "mac");
	return mac && strcasecmp(mac, lt_o.mac) == 0;
}

static void resolve_peer(void)
{
	json_t *doc, *peers;

	if (lt_o.peer != 0) {
		doc = load_wireless();
		const json_t *e = json_array_get(json_object_get(doc, "peers"), (size_t)lt_o.peer - 1);
		if (!e || !take_entry(e))
			fatal("Cannot get peer info");
		json_decref(doc);
		return;
	}
	if (!lt_o.mac[0] && !lt_o.name[0])
		fatal("Invalid peer 0");
	doc = json_load_path(LT_WIRELESS);
	peers = json_object_get(doc, "peers");
	for (size_t i = 0; i < json_array_size(peers); i++) {
		const json_t *e = json_array_get(peers, i);
		if (entry_matches(e) && take_entry(e)) {
			json_decref(doc);
			return;
		}
	}
	json_decref(doc);
	/* Not in the file: the MAC given is all there is to reach it by. */
	if (!lt_o.mac[0])
		fatal("Cannot get peer info");
	msg(LT_DETAIL, "cannot resolve peer info, using \"ath0\" via LLC");
	snprintf(lt_p.ifname, sizeof(lt_p.ifname), "ath0");
	snprintf(lt_p.mac, sizeof(lt_p.mac), "%s", lt_o.mac);
	parse_mac(lt_p.mac, lt_p.hw, MAC_STRICT);
	lt_c.udp_on = false;
}

/* ---- control channel ---- */

static int ctl_open(void)
{
	enum llc_step step;
	int one = 1;

	if (lt_c.llc_on) {
		if (llc_open(&lt_c.llc, lt_p.ifname, LT_SAP, &step) < 0) {
			if (step == LLC_STEP_SOCKET)
				msg(LT_ERROR, "socket(): %s", strerror(errno));
			else if (step == LLC_STEP_IFACE)
				msg(LT_ERROR, "Invalid interface '%s'", lt_p.ifname);
			else if (step == LLC_STEP_BINDDEV)
				msg(LT_ERROR, "Cannot bind socket to device '%s'", lt_p.ifname);
			else
				msg(LT_ERROR, "bind(): %s", strerror(errno));
			return -1;
		}
		lt_c.llc_open = true;
	}
	if (lt_c.udp_on) {
		lt_c.udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
		if (lt_c.udp < 0) {
			msg(LT_ERROR, "socket(): %s", strerror(errno));
			return -1;
		}
		if (setsockopt(lt_c.udp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) < 0) {
			msg(LT_ERROR, "setsockopt(): %s", strerror(errno));
			return -1;
		}
	}
	return 0;
}

static void ctl_close(void)
{
	if (lt_c.llc_open)
		llc_close(&lt_c.llc);
	lt_c.llc_open = false;
	if (lt_c.udp >= 0)
		close(lt_c.udp);
	lt_c.udp = -1;
}

static int llc_request(const char *text)
{
	uint8_t buf[LT_MSG_SIZE];
	size_t len = strlen(text);

	if (LT_HDR_LEN + len > sizeof(buf))
		return -1;
	memcpy(buf, lt_header, LT_HDR_LEN);
	memcpy(buf + LT_HDR_LEN, text, len);
	if (llc_send(&lt_c.llc, lt_p.hw, buf, LT_HDR_LEN + len) < 0) {
		msg(LT_ERROR, "sendto(): %s", strerror(errno));
		return -1;
	}
	return 0;
}

static void udp_request(void)
{
	struct sockaddr_in to;

	memset(&to, 0, sizeof(to));
	to.sin_family = AF_INET;
	to.sin_port = htons(LT_UDP_PORT);
	if (inet_pton(AF_INET, lt_p.ip, &to.sin_addr) != 1) {
		msg(LT_ERROR, "inet_pton(): %s", errno ? strerror(errno) : "invalid address");
		return;
	}
	if (sendto(lt_c.udp, "", 0, 0, (struct sockaddr *)&to, sizeof(to)) < 0)
		msg(LT_ERROR, "sendto(): %s", strerror(errno));
}

/* Answers left over from an earlier try would be taken for this one's. */
static void drain(void)
{
	uint8_t buf[LT_MSG_SIZE], src[6];

	while (lt_c.llc_open && (llc_recv(&lt_c.llc, buf, sizeof(buf), src) >= 0 || errno == EINTR))
		;
	while (lt_c.udp >= 0 && recv(lt_c.udp, buf, sizeof(buf), MSG_DONTWAIT) >= 0)
		;
}

enum lt_wait {
	LT_GOT,
	LT_TIMEOUT,
	LT_ABORTED,
	LT_WAIT_FAILED,
};

/* Waits until the deadline for a readable control socket; fds[0] LLC, fds[1] UDP. */
static enum lt_wait wait_answer(struct pollfd fds[2], uint64_t deadline)
{
	for (;;) {
		if (lt_abort)
			return LT_ABORTED;
		uint64_t now = mono_ms();
		if (now >= deadline)
			return LT_TIMEOUT;
		fds[0].fd = lt_c.llc_open ? lt_c.llc.fd : -1;
		fds[1].fd = lt_c.udp;
		fds[0].events = fds[1].events = POLLIN;
		fds[0].revents = fds[1].revents = 0;
		int r = wait_fds(fds, 2, (int64_t)(deadline - now), &lt_abort);
		if (r < 0) {
			msg(LT_ERROR, "select(): %s", strerror(errno));
			return LT_WAIT_FAILED;
		}
		if (r > 0)
			return LT_GOT;
	}
}

/* One answer from a ready socket: 1 with the counters, 0 when it was none. */
static int take_answer(const struct pollfd fds[2], struct lt_counters *c)
{
	uint8_t buf[LT_MSG_SIZE], src[6];
	ssize_t n;

	if (fds[0].revents & (POLLIN | POLLERR)) {
		n = llc_recv(&lt_c.llc, buf, sizeof(buf), src);
		if (n >= 0) {
			if (lt_get_llc_counters(buf, (size_t)n, c) == 0) {
				lt_c.udp_on = false;
				return 1;
			}
			msg(LT_ERROR, "Unknown LLC packet");
		}
	}
	if (fds[1].revents & (POLLIN | POLLERR)) {
		n = recv(lt_c.udp, buf, sizeof(buf) - 1, MSG_DONTWAIT);
		if (n >= 0) {
			if (lt_parse_udp_counters((const char *)buf, (size_t)n, c) == 0) {
				lt_c.llc_on = false;
				return 1;
			}
			msg(LT_ERROR, "sscanf(): failed to parse data");
		}
	}
	return 0;
}

enum lt_req {
	LT_REQ_OK,
	LT_REQ_FAILED,
	LT_REQ_ABORTED,
};

static enum lt_req counter_request(struct lt_counters *c)
{
	struct pollfd fds[2];

	for (int t = 0; t < LT_TRIES; t++) {
		drain();
		if (lt_c.llc_on && lt_c.llc_open)
			llc_request("");
		if (lt_c.udp_on && lt_c.udp >= 0)
			udp_request();
		uint64_t deadline = mono_ms() + LT_ANSWER_MS;
		for (;;) {
			enum lt_wait w = wait_answer(fds, deadline);
			if (w == LT_ABORTED)
				return LT_REQ_ABORTED;
			if (w == LT_WAIT_FAILED)
				return LT_REQ_FAILED;
			if (w == LT_TIMEOUT)
				break;
			if (take_answer(fds, c))
				return LT_REQ_OK;
		}
		msg(LT_WARN, "select(): remote stats timeout");
	}
	msg(LT_ERROR, "select(): remote stats retried-out");
	return LT_REQ_FAILED;
}

static void probe(void)
{
	struct lt_counters c;

	if (ctl_open() < 0)
		fatal("Failed to open control socket");
	lt_quiet = true;
	enum lt_req r = counter_request(&c);
	lt_quiet = false;
	ctl_close();
	if (r == LT_REQ_ABORTED)
		fatal("Aborted by '%s' signal", abort_name());
	if (r != LT_REQ_OK)
		fatal("Remote peer does not respond");
}

/* The answer to RST only tells it arrived. */
static void reset_remote(void)
{
	struct pollfd fds[2];
	uint8_t buf[LT_MSG_SIZE], src[6];

	drain();
	if (llc_request("RST") < 0)
		return;
	uint64_t deadline = mono_ms() + LT_ANSWER_MS;
	while (wait_answer(fds, deadline) == LT_GOT) {
		if ((fds[0].revents & POLLIN) && llc_recv(&lt_c.llc, buf, sizeof(buf), src) >= 0)
			return;
		if (fds[1].revents & POLLIN)
			recv(lt_c.udp, buf, sizeof(buf), MSG_DONTWAIT);
	}
}

/* ---- the generator ---- */

static void pg(const char *file, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void pg(const char *file, const char *fmt, ...)
{
	char line[128], path[256];
	va_list ap;

	va_start(ap, fmt);
	vsnprintf(line, sizeof(line), fmt, ap);
	va_end(ap);
	if (pktgen_write(file, line) < 0)
		fatal("Cannot write to '%s' file", pktgen_path(file, path, sizeof(path)));
}

static void program_generator(void)
{
	pg("pgctrl", "stop\n");
	pg("kpktgend_0", "rem_device_all\n");
	pg("kpktgend_0", "add_device %s\n", lt_p.ifname);
	pg(lt_p.ifname, "clone_skb 0\n");
	pg(lt_p.ifname, "min_pkt_size %d\n", lt_o.size);
	pg(lt_p.ifname, "max_pkt_size %d\n", lt_o.size);
	pg(lt_p.ifname, "dst_min 1.1.1.1\n");
	pg(lt_p.ifname, "dst_max 1.1.1.1\n");
	pg(lt_p.ifname, "src_min 1.1.1.2\n");
	pg(lt_p.ifname, "src_max 1.1.1.2\n");
	pg(lt_p.ifname, "dst_mac %s\n", lt_p.mac);
	pg(lt_p.ifname, "ttl %d\n", 1);
	pg(lt_p.ifname, "count %d\n", lt_o.packets);
	if (lt_o.delay > 0)
		pg(lt_p.ifname, "delay %d\n", lt_o.delay);
}

/* Local send duration of the last run (µs), 0 when there is none. */
static uint64_t send_duration(void)
{
	char path[256], text[4096];
	uint64_t usec = 0;
	ssize_t n = read_prefix(pktgen_path(lt_p.ifname, path, sizeof(path)), text, sizeof(text));

	if (n < 0) {
		msg(LT_WARN, "fopen(): %s", strerror(errno));
		return 0;
	}
	if (lt_parse_result(text, (size_t)n, &usec) < 0) {
		msg(LT_ERROR, "Invalid test duration");
		return 0;
	}
	return usec;
}

/* ---- auto delay ---- */

struct lt_rates {
	double max_real; /* Mbps */
};

static void auto_rates(struct lt_rates *r)
{
	json_t *doc = load_wireless();
	const char *radio = "wifi0";
	json_t *vaps = json_object_get(doc, "vaps");

	for (size_t i = 0; i < json_array_size(vaps); i++) {
		const json_t *v = json_array_get(vaps, i);
		const char *name = member_text(v, "name");
		if (name && strcmp(name, lt_p.ifname) == 0 && member_text(v, "radio"))
			radio = member_text(v, "radio");
	}
	const json_t *dev = json_object_get(json_object_get(json_object_get(doc, "radios"), "dev"), radio);
	if (!json_is_object(dev))
		fatal("No radios.dev.wifiX object in wireless statistics file '%s'", LT_WIRELESS);
	const char *width = member_text(dev, "channelWidth");
	double bitrate = (double)json_integer_value(json_object_get(dev, "bitrate"));
	msg(LT_DETAIL, "Channel width: %d MHz", width ? atoi(width) : 0);
	msg(LT_DETAIL, "Max Tx bitrate from driver: %.2f Mbps", bitrate);
	r->max_real = bitrate * 0.8;
	msg(LT_DETAIL, "Calculated real max Tx bitrate: %.2f Mbps", r->max_real);
	json_decref(doc);
}

/* The rate the link can carry now; the delay for it is reported, never given to the generator. */
static double current_rate(const struct lt_rates *r)
{
	struct iw_info iw;
	double rate = r->max_real;

	memset(&iw, 0, sizeof(iw));
	const char *radio_if = strcmp(lt_p.ifname, "agg0") == 0 ? "ath0" : lt_p.ifname;
	if (iw_current_bit_rate(&iw, radio_if) == 0 && iw.bitrate / 1e6 > 10) {
		msg(LT_DETAIL, "Current Tx bitrate from driver: %.2f Mbps", iw.bitrate / 1e6);
		rate = iw.bitrate / 1e6 * 0.8;
		msg(LT_DETAIL, "Current real Tx bitrate: %.2f Mbps", rate);
	}
	msg(LT_DETAIL, "Calculated delay: %d ns", lt_auto_delay((uint32_t)lt_o.size, rate));
	return rate;
}

/* ---- sessions ---- */

static void detail_counters(const struct lt_counters *before, const struct lt_counters *after)
{
	msg(LT_DETAIL, "------------------------------------------");
	msg(LT_DETAIL, "Data from remote side:");
	msg(LT_DETAIL, "Packet count before test = %llu", (unsigned long long)before->packets);
	msg(LT_DETAIL, "Packet count after test  = %llu", (unsigned long long)after->packets);
	msg(LT_DETAIL, "Byte count before test   = %llu", (unsigned long long)before->bytes);
	msg(LT_DETAIL, "Byte count after test    = %llu", (unsigned long long)after->bytes);
	if (after->has_duration)
		msg(LT_DETAIL, "Rx duration, usec        = %llu", (unsigned long long)after->duration_us);
}

static void detail_rate(const char *title, const struct lt_rate *r)
{
	msg(LT_DETAIL, "%s", title);
	msg(LT_DETAIL, "PPS                      = %d", r->pps);
	msg(LT_DETAIL, "Throughput, Mbps         = %.2f", (double)r->mbps);
}

static void report(int session, const struct lt_session_in *in, const struct lt_figures *f)
{
	msg(LT_DETAIL, "Calculations:");
	msg(LT_DETAIL, "Rx packets               = %llu", (unsigned long long)f->rx_packets);
	msg(LT_DETAIL, "Rx bytes                 = %llu", (unsigned long long)f->rx_bytes);
	msg(LT_DETAIL, "Tx duration, usec        = %llu", (unsigned long long)in->tx_us);
	if (f->overflow)
		msg(LT_WARN, "Packet overflow, Rx-Tx diff %llu", (unsigned long long)f->overflow);
	if (in->auto_mode) {
		detail_rate("Using Tx duration:", &f->tx);
		if (f->used_rx)
			detail_rate("Using Rx duration:", &f->rx);
	}
	if (lt_o.json) {
		json_t *o = json_copy(lt_base);
		json_object_set_new(o, "test", json_integer(session));
		json_object_set_new(o, "mbps", json_real((double)f->shown.mbps));
		json_object_set_new(o, "pps", json_integer(f->shown.pps));
		json_object_set_new(o, "loss", json_real((double)f->loss));
		json_line(o);
		json_decref(o);
		return;
	}
	char line[256];
	lt_session_line(line, sizeof(line), session, lt_o.sessions, f, lt_o.packets);
	fputs(line, stdout);
	fflush(stdout);
}

/* One session: 0 when done (shown or skipped), -1 when the run cannot go on. */
static int session(int s, const struct lt_rates *rates)
{
	struct lt_session_in in;
	struct lt_figures f;

	memset(&in, 0, sizeof(in));
	in.packets = (uint32_t)lt_o.packets;
	in.size = (uint32_t)lt_o.size;
	in.auto_mode = lt_o.delay == -1;
	in.real_rate = rates->max_real;
	if (ctl_open() < 0) {
		ctl_close();
		msg(LT_ERROR, "Failed to open control socket");
		return -1;
	}
	if (lt_c.llc_on)
		reset_remote();
	enum lt_req r = counter_request(&in.before);
	if (r == LT_REQ_OK && in.auto_mode && rates->max_real != 0)
		in.real_rate = current_rate(rates);
	/* A signal may cut the run short; the abort flag ends the loop then. */
	if (r == LT_REQ_OK && pktgen_write("pgctrl", "start\n") < 0 && errno != EINTR && !lt_abort) {
		char path[256];
		fatal("Cannot write to '%s' file", pktgen_path("pgctrl", path, sizeof(path)));
	}
	if (r == LT_REQ_OK)
		r = counter_request(&in.after);
	ctl_close();
	if (r == LT_REQ_ABORTED)
		return -1;
	if (r != LT_REQ_OK) {
		msg(LT_ERROR, "Failed to get remote statistics");
		return -1;
	}
	detail_counters(&in.before, &in.after);
	in.tx_us = send_duration();
	if (lt_compute(&in, &f) < 0)
		return 0;
	report(s, &in, &f);
	return 0;
}

static void run_sessions(void)
{
	struct lt_rates rates = { 0 };

	if (lt_o.delay == -1)
		auto_rates(&rates);
	if (pktgen_load() < 0)
		fatal("Error loading pktgen module");
	if (txqueuelen(lt_p.ifname, &lt_txq_len, false) == 0) {
		int want = lt_o.packets;
		lt_txq_saved = true;
		txqueuelen(lt_p.ifname, &want, true);
	}
	program_generator();
	if (!lt_o.json) {
		printf("Sessions:%d, Packets per session:%d, Packet size:%d\n", lt_o.sessions, lt_o.packets, lt_o.size);
		fflush(stdout);
	}
	for (int s = 1; s <= lt_o.sessions && !lt_abort; s++)
		if (session(s, &rates) < 0)
			break;
	if (!lt_abort) {
		if (!lt_o.json) {
			printf("Test done\n");
			fflush(stdout);
		}
	} else {
		msg(LT_ERROR, "Test aborted by '%s' signal", abort_name());
	}
}

/* ---- reverse test ---- */

/* Handles one answer of the remote run: 1 when it was the last. */
static int reverse_answer(char *text)
{
	size_t n = strlen(text);

	if (n && text[n - 1] == '\n') {
		text[--n] = '\0';
		if (n && text[n - 1] == '\r')
			text[--n] = '\0';
	}
	char *space = strchr(text, ' ');
	const char *rest = space ? space + 1 : "";
	if (space)
		*space = '\0';
	int code = atoi(text);
	if (code >= 100 && code <= 199) {
		fputs(rest, stdout);
		fflush(stdout);
		return 0;
	}
	if (code < 200 || code > 299)
		msg(LT_ERROR, "Remote failed: %s", rest);
	return 1;
}

static void run_reverse(void)
{
	char line[128];
	bool done = false;

	if (!lt_c.llc_on) {
		msg(LT_ERROR, "Remote link test works only over LLC");
		return;
	}
	if (ctl_open() < 0) {
		ctl_close();
		msg(LT_ERROR, "Failed to open control socket");
		return;
	}
	drain();
	snprintf(line, sizeof(line), "RUN -t %d -c %d -d %d -s %d %s\r\n", lt_o.sessions, lt_o.packets, lt_o.delay,
		 lt_o.size, lt_o.json ? "-j" : "");
	if (llc_request(line) == 0) {
		while (!done && !lt_abort) {
			struct pollfd fds[2];
			uint8_t buf[LT_MSG_SIZE], src[6];
			enum lt_wait w = wait_answer(fds, mono_ms() + LT_REVERSE_MS);
			if (w == LT_TIMEOUT) {
				msg(LT_ERROR, "Timeout");
				lt_abort = -1;
			}
			if (w != LT_GOT)
				break;
			ssize_t n = llc_recv(&lt_c.llc, buf, sizeof(buf) - 1, src);
			if (n < 0) {
				if (errno == EAGAIN || errno == EINTR)
					continue;
				msg(LT_ERROR, "recv(): %s", strerror(errno));
				break;
			}
			if (!lt_has_header(buf, (size_t)n))
				continue;
			buf[n] = '\0';
			done = reverse_answer((char *)buf + LT_HDR_LEN);
		}
		if (lt_abort && !done)
			llc_request("ABOR");
	}
	ctl_close();
}

/* ---- main ---- */

static void take_lock(void)
{
	char text[24];
	int fd = open(LT_LOCK, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);

	if (fd < 0) {
		if (errno == EEXIST)
			fatal("linktest: already running, aborted.");
		fatal("linktest: can't create a lock file, %s", strerror(errno));
	}
	lt_lock_ours = true;
	int len = snprintf(text, sizeof(text), "%d\n", (int)getpid());
	write_all(fd, text, (size_t)len);
	close(fd);
}

static void check_settings(void)
{
	if (lt_o.size < LT_PKT_SIZE_MIN || lt_o.size > LT_PKT_SIZE_MAX)
		fatal("Packet size not in range: %d-%d", LT_PKT_SIZE_MIN, LT_PKT_SIZE_MAX);
	/* No packets would divide by zero, and a count of 0 makes the generator send for ever. */
	if (lt_o.packets < 1)
		fatal("Packet count must be at least 1");
	if (lt_o.sessions < 1)
		fatal("Sessions count must be at least 1");
}

static int linktest_main(int argc, char **argv)
{
	static const int sigs[] = { SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE };

	if (parse_options(argc, argv))
		return 0;
	if (lt_o.list) {
		list_peers();
		return 0;
	}
	if (lt_o.json) {
		lt_base = json_object();
		json_object_set_new(lt_base, "packets", json_integer(lt_o.packets));
		json_object_set_new(lt_base, "size", json_integer(lt_o.size));
		json_object_set_new(lt_base, "sessions", json_integer(lt_o.sessions));
	}
	check_peer_number();
	check_settings();
	atexit(at_exit);
	take_lock();
	signals_on(sigs, ARRAY_SIZE(sigs), on_signal);
	msg(LT_INFO, "Initializing linktester");
	check_peer_number();
	resolve_peer();
	if (lt_o.reverse) {
		msg(LT_DETAIL, "force reverse linktest via LLC");
		lt_c.udp_on = false;
	}
	msg(LT_INFO, "Peer interface: %s", lt_p.ifname);
	msg(LT_INFO, "Peer MAC: %s", lt_p.mac);
	msg(LT_INFO, "Peer IP: %s", lt_p.ip);
	msg(LT_INFO, "Peer name: %s", lt_p.name);
	probe();
	if (lt_o.reverse)
		run_reverse();
	else
		run_sessions();
	msg(LT_INFO, "Finalizing linktester\n");
	at_exit();
	json_decref(lt_base);
	return lt_failed || lt_abort ? 1 : 0;
}

APPLET("linktest", linktest_main);
