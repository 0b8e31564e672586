/* The discovery responder's start-up, sockets, memberships, loop and restart.  The syslog texts are
 * the ones operators and the log contract know; they are the only output besides the boot window's
 * progress on standard output. */
#include "common/scout.h"

#include "common/daemon.h"
#include "common/fileio.h"
#include "common/scout_reset.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <linux/if_link.h>

#define LIST_STEP 10
/* Operational states of IFLA_OPERSTATE (RFC 2863); linux/if.h cannot be included beside net/if.h. */
#define OPER_UNKNOWN 0
#define OPER_UP 6
#define TICK_MS 1000

static volatile sig_atomic_t scout_stop;

static void on_stop(int sig)
{
	(void)sig;
	scout_stop = 1;
}

static const int stop_signals[] = { SIGHUP, SIGINT, SIGQUIT, SIGTERM };

/* ---- lists of descriptors and interface indexes ---- */

static int list_add(struct scout_list *l, int v)
{
	if (l->n == l->cap) {
		int *nv = (int *)realloc(l->v, (l->cap + LIST_STEP) * sizeof(*nv));
		if (!nv) {
			syslog(LOG_ERR, "Out of memory\n");
			return -1;
		}
		l->v = nv;
		l->cap += LIST_STEP;
	}
	l->v[l->n++] = v;
	return 0;
}

static int list_has(const struct scout_list *l, int v)
{
	for (unsigned i = 0; i < l->n; i++)
		if (l->v[i] == v)
			return 1;
	return 0;
}

static void list_free(struct scout_list *l, int close_fds)
{
	for (unsigned i = 0; close_fds && i < l->n; i++)
		close(l->v[i]);
	free(l->v);
	memset(l, 0, sizeof(*l));
}

/* ---- group sockets ---- */

struct sockopt {
	int level, name;
	int value;
	uint8_t one_byte; /* the multicast options take an unsigned char */
	uint8_t dproto_only;
	const char *text;
	uint8_t optional; /* a kernel without it still gets a working socket */
};

/* In the order they are set; the bind comes after SO_BROADCAST.  IP_MULTICAST_ALL off keeps each
 * socket to the memberships it holds itself: with several sockets bound to the same group and port,
 * every one of them would otherwise receive every request and answer it.  With one socket (fewer
 * interfaces than memberships per socket) it changes nothing, so a kernel without it still serves. */
static const struct sockopt before_bind[] = {
	{ SOL_SOCKET, SO_REUSEADDR, 1, 0, 0, "SO_REUSEADDR", 0 },
	{ SOL_SOCKET, SO_BROADCAST, 0, 0, 0, "SO_BROADCAST", 0 },
	{ IPPROTO_IP, IP_MULTICAST_ALL, 0, 0, 0, "IP_MULTICAST_ALL", 1 },
};
static const struct sockopt after_bind[] = {
	{ IPPROTO_IP, IP_MULTICAST_TTL, 1, 1, 1, "IP_MULTICAST_TTL", 0 },
	{ IPPROTO_IP, IP_PKTINFO, 1, 0, 0, "IP_PKTINFO", 0 },
	{ IPPROTO_IP, IP_MULTICAST_LOOP, 0, 1, 1, "IP_MULTICAST_LOOP", 0 },
};

static struct sockaddr_in group_addr(uint16_t port)
{
	struct sockaddr_in a;

	memset(&a, 0, sizeof(a));
	a.sin_family = AF_INET;
	a.sin_port = htons(port);
	a.sin_addr.s_addr = htonl(SCOUT_GROUP);
	return a;
}

static int set_options(int fd, const struct sockopt *o, size_t n, int dproto)
{
	for (size_t i = 0; i < n; i++) {
		if (o[i].dproto_only && !dproto)
			continue;
		unsigned char b = (unsigned char)o[i].value;
		int rc = o[i].one_byte ? setsockopt(fd, o[i].level, o[i].name, &b, 1)
				       : setsockopt(fd, o[i].level, o[i].name, &o[i].value, sizeof(o[i].value));
		if (rc < 0) {
			syslog(o[i].optional ? LOG_WARNING : LOG_ERR, "Failed to setsockopt %s: %s\n", o[i].text,
			       strerror(errno));
			if (!o[i].optional)
				return -1;
		}
	}
	return 0;
}

static int open_group_socket(int dproto)
{
	struct sockaddr_in a = group_addr(dproto ? SCOUT_PORT_DPROTO : SCOUT_PORT_LEGACY);
	int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);

	if (fd < 0) {
		syslog(LOG_ERR, "Failed to create socket: %s\n", strerror(errno));
		return -1;
	}
	if (set_options(fd, before_bind, ARRAY_SIZE(before_bind), dproto) < 0)
		goto fail;
	if (bind(fd, (struct sockaddr *)&a, sizeof(a)) < 0) {
		syslog(LOG_ERR, "Failed to bind socket: %s\n", strerror(errno));
		goto fail;
	}
	if (set_options(fd, after_bind, ARRAY_SIZE(after_bind), dproto) < 0)
		goto fail;
	return fd;
fail:
	close(fd);
	return -1;
}

/* Grows the list until socket number idx exists. */
static int need_socket(struct scout_list *l, unsigned idx, int dproto)
{
	while (l->n <= idx) {
		int fd = open_group_socket(dproto);
		if (fd < 0)
			return -1;
		if (list_add(l, fd) < 0) {
			close(fd);
			return -1;
		}
	}
	return 0;
}

static int add_membership(int fd, int ifindex)
{
	struct ip_mreqn mr;

	memset(&mr, 0, sizeof(mr));
	mr.imr_multiaddr.s_addr = htonl(SCOUT_GROUP);
	mr.imr_ifindex = ifindex;
	if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mr, sizeof(mr)) < 0) {
		syslog(LOG_ERR, "Failed to join interface %d to multicast group: %s\n", ifindex, strerror(errno));
		return -1;
	}
	return 0;
}

static const char *index_name(int index, char buf[IF_NAMESIZE])
{
	return if_indextoname((unsigned)index, buf) ? buf : "N/A";
}

/* Joins the group on the interface through socket k / M of each list.  -1 only when a socket cannot be
 * had; an interface the kernel refuses to join is left out and the others go on. */
static int join_interface(struct scout *s, int index)
{
	char buf[IF_NAMESIZE];
	const char *name = index_name(index, buf);

	if (scout_name_skipped(name)) {
		syslog(LOG_DEBUG, "Skipping %s(%u) interface\n", name, (unsigned)index);
		return 0;
	}
	if (scout_name_is_eth0(name))
		s->window.len_s = s->eth0_window_s;
	if (list_has(&s->joined, index)) {
		syslog(LOG_DEBUG, "Interface %s(%u) already in group\n", name, (unsigned)index);
		return 0;
	}
	if (list_add(&s->joined, index) < 0)
		return -1;
	unsigned k = scout_socket_index(s->joined.n, s->m);
	if (need_socket(&s->legacy, k, 0) < 0) {
		syslog(LOG_ERR, "Failed to create new legacy socket\n");
		return -1;
	}
	if (need_socket(&s->dproto, k, 1) < 0) {
		syslog(LOG_ERR, "Failed to create new dproto socket\n");
		return -1;
	}
	if (add_membership(s->legacy.v[k], index) < 0 || add_membership(s->dproto.v[k], index) < 0)
		s->joined.n--; /* it was the last one added */
	return 0;
}

/* ---- rtnetlink ---- */

static void log_link(const struct scout *s, const struct nlmsghdr *nh, const struct ifinfomsg *ifi, const char *name)
{
	if (!s->verbose)
		return;
	syslog(LOG_DEBUG, "Netlink message received.\tType: %d\n", nh->nlmsg_type);
	syslog(LOG_DEBUG, "\tInfo type: 0x%0X\n", ifi->ifi_type);
	syslog(LOG_DEBUG, "\tInfo family: 0x%0X\n", ifi->ifi_family);
	syslog(LOG_DEBUG, "\tInterface name: %s\n", name);
	syslog(LOG_DEBUG, "\tInfo flags: 0x%08X\n", ifi->ifi_flags);
	syslog(LOG_DEBUG, "\tInfo changed: 0x%08X\n", ifi->ifi_change);
}

static const struct ifinfomsg *link_body(const struct nlmsghdr *nh)
{
	if (nh->nlmsg_len < NLMSG_LENGTH(sizeof(struct ifinfomsg)))
		return NULL;
	return (const struct ifinfomsg *)NLMSG_DATA(nh);
}

/* The IFLA_* attributes of a link message. */
static void link_attrs(const struct nlmsghdr *nh, struct rtattr **tb)
{
	const struct ifinfomsg *ifi = (const struct ifinfomsg *)NLMSG_DATA(nh);
	int len = (int)nh->nlmsg_len - (int)NLMSG_LENGTH(sizeof(*ifi));

	nl_parse_rtattr(tb, IFLA_MAX, IFLA_RTA(ifi), len);
}

static const char *link_name(struct rtattr **tb, int index, char buf[IF_NAMESIZE])
{
	struct rtattr *a = tb[IFLA_IFNAME];

	if (a && nla_length(a) > 0) {
		size_t n = (size_t)nla_length(a) < IF_NAMESIZE - 1 ? (size_t)nla_length(a) : IF_NAMESIZE - 1;
		memcpy(buf, nla_data(a), n);
		buf[n] = '\0';
		return buf;
	}
	return index_name(index, buf);
}

static int on_dump_msg(struct nlmsghdr *nh, void *ctx)
{
	struct scout *s = (struct scout *)ctx;
	const struct ifinfomsg *ifi = link_body(nh);
	struct rtattr *tb[IFLA_MAX + 1];
	char buf[IF_NAMESIZE];

	if (nh->nlmsg_type != RTM_NEWLINK || !ifi)
		return 0;
	link_attrs(nh, tb);
	log_link(s, nh, ifi, link_name(tb, ifi->ifi_index, buf));
	if (!scout_link_qualifies(ifi->ifi_family, ifi->ifi_type, ifi->ifi_flags))
		return 0;
	if (join_interface(s, ifi->ifi_index) < 0) {
		errno = 0;
		return -1;
	}
	return 0;
}

static void log_nl_failure(const struct nl_status *st, int at_start)
{
	switch (st->fail) {
	case NL_FAIL_ERROR_SHORT:
		syslog(LOG_ERR, "Netlink error message truncated\n");
		break;
	case NL_FAIL_ERROR:
	case NL_FAIL_ACK:
		syslog(LOG_ERR, "Netlink error: (%d) %s", -st->err, strerror(st->err));
		break;
	case NL_FAIL_LEFTOVER:
		syslog(LOG_ERR, "Netlink packet parsing error. Remnant of size %d\n", st->err);
		break;
	case NL_FAIL_EOF:
		syslog(LOG_ERR, "EOF on netlink\n");
		break;
	case NL_FAIL_NOMEM:
		syslog(LOG_ERR, "Out of memory\n");
		break;
	case NL_FAIL_HANDLER:
		break; /* the handler said why */
	default:
		syslog(LOG_ERR, at_start ? "Failed to receive response from netlink.\n"
					 : "Failed to receive from netlink socket.\n");
	}
}

static int open_netlink(struct scout *s)
{
	struct {
		struct nlmsghdr nh;
		struct ifinfomsg ifi;
	} req;
	struct nl_status st;

	if (nl_connect(&s->nl, NETLINK_ROUTE, RTMGRP_LINK | RTMGRP_IPV4_IFADDR, &st) < 0) {
		syslog(LOG_ERR, st.fail == NL_FAIL_BIND ? "Failed to bind netlink socket: %s\n"
							: "Failed to create netlink socket: %s\n",
		       strerror(st.err));
		return -1;
	}
	/* Link events are read until the socket would block; a dump is made of whole datagrams the kernel
	 * queues as each one is read, so it is read the same way. */
	fcntl(s->nl.fd, F_SETFL, fcntl(s->nl.fd, F_GETFL) | O_NONBLOCK);
	memset(&req, 0, sizeof(req));
	req.nh.nlmsg_len = sizeof(req);
	req.nh.nlmsg_type = RTM_GETLINK;
	req.nh.nlmsg_flags = NLM_F_REQUEST | NLM_F_ROOT;
	req.nh.nlmsg_seq = ++s->nl.seq;
	req.nh.nlmsg_pid = (uint32_t)getpid();
	if (nl_request(&s->nl, &req, sizeof(req), &st) < 0) {
		syslog(LOG_ERR, "Failed to send netlink message: %s.\n", strerror(st.err));
		return -1;
	}
	if (nl_receive(&s->nl, on_dump_msg, s, &st) < 0) {
		log_nl_failure(&st, 1);
		return -1;
	}
	return 0;
}

enum scout_link_event scout_link_event(const struct nlmsghdr *msg, size_t len)
{
	if (len < sizeof(*msg) || msg->nlmsg_len > len)
		return SCOUT_EV_END;
	if (msg->nlmsg_type != RTM_NEWLINK && msg->nlmsg_type != RTM_DELLINK)
		return SCOUT_EV_END;
	const struct ifinfomsg *ifi = link_body(msg);
	if (!ifi || ifi->ifi_change == ~0u || ifi->ifi_family == AF_BRIDGE)
		return SCOUT_EV_END;
	struct rtattr *tb[IFLA_MAX + 1];
	link_attrs(msg, tb);
	if (tb[IFLA_WIRELESS] || !tb[IFLA_OPERSTATE] || nla_length(tb[IFLA_OPERSTATE]) < 1)
		return SCOUT_EV_END;
	uint8_t oper = *(const uint8_t *)nla_data(tb[IFLA_OPERSTATE]);
	const uint32_t up_running = IFF_UP | IFF_RUNNING;
	if (oper == OPER_UP || (oper == OPER_UNKNOWN && (ifi->ifi_flags & ifi->ifi_change & up_running) == up_running))
		return SCOUT_EV_RESTART;
	return SCOUT_EV_NEXT;
}

struct event_pass {
	struct scout *s;
	enum scout_link_event ev;
};

static int on_event_msg(struct nlmsghdr *nh, void *ctx)
{
	struct event_pass *p = (struct event_pass *)ctx;

	p->ev = scout_link_event(nh, nh->nlmsg_len);
	if (p->s->verbose && p->ev != SCOUT_EV_END) {
		struct rtattr *tb[IFLA_MAX + 1];
		char buf[IF_NAMESIZE];
		const struct ifinfomsg *ifi = link_body(nh);
		link_attrs(nh, tb);
		log_link(p->s, nh, ifi, link_name(tb, ifi->ifi_index, buf));
		syslog(LOG_DEBUG, "\tOperstate: %u\n", *(const uint8_t *)nla_data(tb[IFLA_OPERSTATE]));
	}
	if (p->ev == SCOUT_EV_NEXT)
		return 0;
	errno = 0;
	return -1;
}

static void restart(struct scout *s)
{
	syslog(LOG_DEBUG, "Detected new operating interface. RESTARTING!");
	closelog();
	fflush(NULL);
	/* The program file itself rather than a search for argv[0]: detaching moved us to "/", and the
	 * multool applet's name would find the daemon of the same name in the PATH. */
	execv("/proc/self/exe", s->argv);
	execvp(s->argv[0], s->argv);
	openlog("scoutd", LOG_PID, LOG_DAEMON);
	syslog(LOG_ERR, "Failed to restart %s: %s\n", s->argv[0], strerror(errno));
	scout_finish(s, SCOUT_EXIT_FAIL);
}

static void serve_netlink(struct scout *s)
{
	struct event_pass p = { s, SCOUT_EV_NEXT };
	struct nl_status st;

	if (nl_receive(&s->nl, on_event_msg, &p, &st) < 0) {
		if (p.ev == SCOUT_EV_RESTART)
			restart(s);
		else if (p.ev != SCOUT_EV_END)
			log_nl_failure(&st, 0);
	}
}

/* ---- sending ---- */

static int send_out(int fd, const uint8_t *data, size_t len, const struct sockaddr_in *to, int ifindex)
{
	union {
		char buf[CMSG_SPACE(sizeof(struct in_pktinfo))];
		struct cmsghdr align;
	} c;
	struct iovec iov = { (void *)data, len };
	struct msghdr msg;
	ssize_t n;

	memset(&c, 0, sizeof(c));
	memset(&msg, 0, sizeof(msg));
	msg.msg_name = (void *)to;
	msg.msg_namelen = sizeof(*to);
	msg.msg_iov = &iov;
	msg.msg_iovlen = 1;
	msg.msg_control = c.buf;
	msg.msg_controllen = sizeof(c.buf);
	struct cmsghdr *cm = CMSG_FIRSTHDR(&msg);
	cm->cmsg_level = IPPROTO_IP;
	cm->cmsg_type = IP_PKTINFO;
	cm->cmsg_len = CMSG_LEN(sizeof(struct in_pktinfo));
	struct in_pktinfo pi;
	memset(&pi, 0, sizeof(pi));
	pi.ipi_ifindex = ifindex;
	memcpy(CMSG_DATA(cm), &pi, sizeof(pi));
	do
		n = sendmsg(fd, &msg, MSG_DONTROUTE);
	while (n < 0 && errno == EINTR);
	return n < 0 ? -1 : 0;
}

int scout_answer(struct scout *s, const struct scout_rx *rx, const uint8_t *payload, size_t n)
{
	uint8_t out[SCOUT_ANSWER_MAX];
	size_t len = scout_frame_answer(out, sizeof(out), &rx->req, s->id, payload, n);
	struct sockaddr_in to = rx->req.dproto ? group_addr(SCOUT_PORT_DPROTO) : rx->from;

	if (!len)
		return -1;
	if (rx->req.dproto && s->verbose) {
		char a[INET_ADDRSTRLEN];
		syslog(LOG_DEBUG, "Response will be send to %s:%d\n",
		       inet_ntop(AF_INET, &to.sin_addr, a, sizeof(a)) ? a : "Convert Err", ntohs(to.sin_port));
	}
	syslog(LOG_DEBUG, "Sending response on %d\n", rx->ifindex);
	if (send_out(rx->fd, out, len, &to, rx->ifindex) < 0) {
		syslog(LOG_ERR, "Failed to send message: %s\n", strerror(errno));
		return -1;
	}
	return 0;
}

uint8_t scout_flags(const struct scout *s)
{
	return scout_state_flags(&s->state);
}

int scout_answer_state(struct scout *s, const struct scout_rx *rx)
{
	uint8_t p[3];
	size_t n = scout_state_payload(p, sizeof(p), rx->req.version, scout_flags(s));

	syslog(LOG_DEBUG, "Send state (cmd=%d) response on iface %d -- flags %0X\n", rx->req.cmd, rx->ifindex,
	       p[2]);
	return scout_answer(s, rx, p, n);
}

int scout_broadcast_state(struct scout *s)
{
	uint8_t out[SCOUT_STATE_BROADCAST_LEN];
	size_t len = scout_state_broadcast(out, sizeof(out), s->proto->version, s->id, scout_flags(s));
	struct sockaddr_in to = group_addr(SCOUT_PORT_DPROTO);
	int rc = 0;

	for (unsigned j = 0; j < s->joined.n; j++) {
		unsigned k = scout_socket_index(j, s->m);
		if (k >= s->dproto.n) {
			syslog(LOG_ERR, "State send on invalid socket index %u\n", k);
			rc = -1;
			continue;
		}
		if (s->joined.v[j] <= 0) {
			syslog(LOG_ERR, "State send invalid interface index %u\n", (unsigned)s->joined.v[j]);
			rc = -1;
			continue;
		}
		if (send_out(s->dproto.v[k], out, len, &to, s->joined.v[j]) < 0) {
			syslog(LOG_ERR, "Failed state send on interface %u\n", (unsigned)s->joined.v[j]);
			rc = -1;
		}
	}
	return rc;
}

/* ---- the device ---- */

static int eth0_ioctl(unsigned long req, struct ifreq *ifr, const char **step)
{
	int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	int rc, saved;

	*step = "socket";
	if (fd < 0)
		return -1;
	memset(ifr, 0, sizeof(*ifr));
	strcpy(ifr->ifr_name, "eth0");
	*step = "ioctl";
	rc = ioctl(fd, req, ifr);
	saved = errno;
	close(fd);
	errno = saved;
	return rc;
}

int scout_eth0_mac(uint8_t mac[6], const char **step)
{
	struct ifreq ifr;

	if (eth0_ioctl(SIOCGIFHWADDR, &ifr, step) < 0)
		return -1;
	memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
	return 0;
}

void scout_eth0_ipv4(uint8_t ip[4])
{
	struct ifreq ifr;
	const char *step;

	memset(ip, 0, 4);
	if (eth0_ioctl(SIOCGIFADDR, &ifr, &step) == 0 && ifr.ifr_addr.sa_family == AF_INET)
		memcpy(ip, &((struct sockaddr_in *)&ifr.ifr_addr)->sin_addr, 4);
}

size_t scout_version_line(char buf[SCOUT_VERSION_LINE_MAX + 1])
{
	FILE *f = fopen(SCOUT_VERSION_FILE, "re");
	size_t n = 0;

	buf[0] = '\0';
	if (!f)
		return 0;
	if (fgets(buf, SCOUT_VERSION_LINE_MAX + 1, f))
		n = strlen(buf);
	fclose(f);
	return n;
}

/* ---- shared handlers ---- */

int scout_cmd_discovery(struct scout *s, const struct scout_rx *rx)
{
	uint8_t p[16 + SCOUT_VERSION_LINE_MAX], mac[6], ip[4];
	char line[SCOUT_VERSION_LINE_MAX + 1];
	const char *step;
	size_t len = scout_version_line(line);

	if (scout_eth0_mac(mac, &step) < 0)
		memcpy(mac, s->mac, 6); /* what the id was made of */
	scout_eth0_ipv4(ip);
	size_t n = scout_discovery_payload(p, sizeof(p), rx->req.version, mac, ip, line, len);
	syslog(LOG_DEBUG, "Send discovery (cmd=%d) response on iface %d\n", rx->req.cmd, rx->ifindex);
	return scout_answer(s, rx, p, n);
}

/* A state request addressed to every device (all 0xFF) never gets here: the acceptance rules drop it
 * as not ours, so one broadcast request cannot make every device on the LAN answer. */
int scout_cmd_state(struct scout *s, const struct scout_rx *rx)
{
	return scout_answer_state(s, rx);
}

int scout_cmd_extend(struct scout *s, const struct scout_rx *rx)
{
	if (rx->req.dproto && !s->window.extended) {
		syslog(LOG_DEBUG, "Execute extend cmd=%d\n", rx->req.cmd);
		unsigned add = scout_window_extend(&s->window, s->proto->dialect, rx->req.arg[0]);
		s->state.extended = 1;
		printf("\n%llx: extend boot for %u\n", (unsigned long long)rx->req.src, add);
		fflush(stdout);
	}
	return scout_answer_state(s, rx);
}

/* ---- receiving ---- */

static int pktinfo_index(struct msghdr *msg)
{
	for (struct cmsghdr *cm = CMSG_FIRSTHDR(msg); cm; cm = CMSG_NXTHDR(msg, cm)) {
		if (cm->cmsg_level == IPPROTO_IP && cm->cmsg_type == IP_PKTINFO &&
		    cm->cmsg_len >= CMSG_LEN(sizeof(struct in_pktinfo))) {
			struct in_pktinfo pi;
			memcpy(&pi, CMSG_DATA(cm), sizeof(pi));
			return pi.ipi_ifindex;
		}
	}
	return -1;
}

static scout_cmd_fn find_cmd(const struct scout_proto *p, uint8_t cmd)
{
	for (const struct scout_cmd_entry *e = p->cmds; e->cmd != SCOUT_CMD_END; e++)
		if (e->cmd == cmd)
			return e->fn;
	return NULL;
}

static int verdict_priority(enum scout_verdict v)
{
	switch (v) {
	case SCOUT_MINE:
	case SCOUT_NOT_OURS:
		return LOG_DEBUG; /* every request to another device on the LAN */
	case SCOUT_BAD_VERSION:
		return LOG_WARNING;
	default:
		return LOG_NOTICE;
	}
}

static void serve_socket(struct scout *s, int fd)
{
	uint8_t buf[SCOUT_REQUEST_MAX];
	union {
		char buf[CMSG_SPACE(sizeof(struct in_pktinfo)) + 64];
		struct cmsghdr align;
	} c;
	struct scout_rx rx;
	struct iovec iov = { buf, sizeof(buf) };
	struct msghdr msg;
	char text[64];

	memset(&rx, 0, sizeof(rx));
	memset(&msg, 0, sizeof(msg));
	msg.msg_name = &rx.from;
	msg.msg_namelen = sizeof(rx.from);
	msg.msg_iov = &iov;
	msg.msg_iovlen = 1;
	msg.msg_control = c.buf;
	msg.msg_controllen = sizeof(c.buf);
	ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
	if (n < 0) {
		if (errno != EINTR && errno != EAGAIN)
			syslog(LOG_ERR, "Failed to receive message: %s\n", strerror(errno));
		return;
	}
	if (msg.msg_flags & MSG_TRUNC) {
		syslog(LOG_NOTICE, "Failed to receive message: truncated message\n");
		return;
	}
	rx.fd = fd;
	rx.ifindex = pktinfo_index(&msg);
	if (rx.ifindex <= 0) {
		syslog(LOG_ERR, "Failed to get interface index on which message received\n");
		return;
	}
	if (s->verbose) {
		char a[INET_ADDRSTRLEN];
		syslog(LOG_DEBUG, "received mcast - from %s, len - %u",
		       inet_ntop(AF_INET, &rx.from.sin_addr, a, sizeof(a)) ? a : "Convert Err", (unsigned)n);
	}
	enum scout_verdict v = scout_parse_request(s->proto->dialect, buf, (size_t)n, s->id, &rx.req);
	if (v != SCOUT_SERVE) {
		if (v != SCOUT_LEGACY_LONG)
			syslog(verdict_priority(v), "%s", scout_verdict_text(v, &rx.req, (size_t)n, text, sizeof(text)));
		return;
	}
	syslog(LOG_DEBUG, "Received CMD=%d on iface %d\n", rx.req.cmd, rx.ifindex);
	if (rx.req.dproto)
		syslog(LOG_DEBUG, "Processing request from %llx\n", (unsigned long long)rx.req.src);
	scout_cmd_fn fn = find_cmd(s->proto, rx.req.cmd);
	if (fn && fn(s, &rx) < 0)
		fprintf(stderr, "!!! Response send failed\n");
}

/* ---- start-up, loop, teardown ---- */

void scout_finish(struct scout *s, int status)
{
	s->done = 1;
	s->status = status;
}

static void parse_options(struct scout *s, int argc, char **argv)
{
	int c;

	opterr = 0;
	while ((c = getopt(argc, argv, "frv")) != -1) {
		switch (c) {
		case 'f':
			s->foreground = 1;
			break;
		case 'r':
			s->boot = 1;
			break;
		case 'v':
			s->verbose = 1;
			break;
		default:
			fprintf(stderr, "Got unknown option: %c\n", optopt);
		}
	}
}

static unsigned read_max_memberships(void)
{
	char text[4];
	ssize_t n = read_prefix(SCOUT_MAX_MEMBERSHIPS_FILE, text, sizeof(text));

	return scout_max_memberships(text, n > 0 ? (size_t)n : 0);
}

static int make_device_id(struct scout *s)
{
	const char *step;

	if (scout_eth0_mac(s->mac, &step) < 0) {
		if (strcmp(step, "socket") == 0)
			syslog(LOG_ERR, "Failed to create socket: %s\n", strerror(errno));
		else
			syslog(LOG_ERR, "Failed to get MAC of %s: %s\n", "eth0", strerror(errno));
		syslog(LOG_ERR, "Failed to make device ID\n");
		return -1;
	}
	s->id = scout_device_id(s->mac);
	return 0;
}

/* Steps 2 to 5 of the start-up: 0, or the exit status. */
static int start(struct scout *s)
{
	if (!s->foreground && daemon(0, 0) < 0) {
		openlog("scoutd", LOG_PID, LOG_DAEMON);
		syslog(LOG_ERR, "Failed to detach: %s\n", strerror(errno));
		return SCOUT_EXIT_FAIL;
	}
	openlog("scoutd", LOG_PID, LOG_DAEMON);
	setlogmask(LOG_UPTO(s->verbose ? LOG_DEBUG : LOG_INFO));
	if (pidfile_write(SCOUT_PIDFILE) < 0)
		syslog(LOG_ERR, "Cannot create '%s' file.\n", SCOUT_PIDFILE);
	if (make_device_id(s) < 0)
		return SCOUT_EXIT_FAIL;
	if (s->boot) {
		s->window.start_ms = mono_ms();
		if (s->proto->reset_capture) {
			s->capture = scout_capture_open();
			if (s->capture < 0)
				return SCOUT_EXIT_FAIL;
		}
		if (s->proto->boot_setup) {
			int rc = s->proto->boot_setup(s);
			if (rc)
				return rc;
		}
	}
	s->m = read_max_memberships();
	if (need_socket(&s->legacy, 0, 0) < 0 || need_socket(&s->dproto, 0, 1) < 0 || open_netlink(s) < 0)
		return SCOUT_EXIT_FAIL;
	if (s->verbose)
		syslog(LOG_INFO, "Opened %u/%u multicast sockets on %u interfaces\n", s->legacy.n, s->dproto.n,
		       s->joined.n);
	return 0;
}

struct waitset {
	struct pollfd *fds;
	nfds_t n;
};

static int waitset_build(struct waitset *w, const struct scout *s)
{
	w->n = 0;
	w->fds = (struct pollfd *)calloc(2 + s->legacy.n + s->dproto.n, sizeof(*w->fds));
	if (!w->fds) {
		syslog(LOG_ERR, "Out of memory\n");
		return -1;
	}
	for (unsigned i = 0; i < s->legacy.n; i++)
		w->fds[w->n++].fd = s->legacy.v[i];
	for (unsigned i = 0; i < s->dproto.n; i++)
		w->fds[w->n++].fd = s->dproto.v[i];
	if (s->capture >= 0)
		w->fds[w->n++].fd = s->capture;
	w->fds[w->n++].fd = s->nl.fd;
	for (nfds_t i = 0; i < w->n; i++)
		w->fds[i].events = POLLIN;
	return 0;
}

/* Every second: the state broadcast while it is on (once outside boot-time mode, until the boot is
 * extended in it) and the window's progress dot. */
static void tick(struct scout *s)
{
	if (s->state.extended)
		s->broadcasting = 0;
	if (s->broadcasting) {
		scout_broadcast_state(s);
		if (!s->boot)
			s->broadcasting = 0;
	}
	if (s->boot) {
		putchar('.');
		fflush(stdout);
	}
}

static void serve_ready(struct scout *s, const struct waitset *w)
{
	for (nfds_t i = 0; i < w->n && !s->done; i++) {
		if (!(w->fds[i].revents & (POLLIN | POLLERR)))
			continue;
		int fd = w->fds[i].fd;
		if (fd == s->capture)
			scout_capture_serve(s);
		else if (fd == s->nl.fd)
			serve_netlink(s);
		else
			serve_socket(s, fd);
	}
}

static void loop(struct scout *s)
{
	struct waitset w;
	uint64_t next = mono_ms() + TICK_MS;

	if (scout_stop)
		return; /* stopped during the wait before start-up: a pending order is not carried out now */
	if (s->capture >= 0) {
		if (scout_reset_pending()) {
			s->state.resetting = 1;
			scout_broadcast_state(s);
			scout_finish(s, scout_reset_perform());
			return;
		}
		printf("Waiting for reset to factory defaults packet.\n");
		fflush(stdout);
	}
	if (waitset_build(&w, s) < 0) {
		scout_finish(s, SCOUT_EXIT_FAIL);
		return;
	}
	while (!s->done) {
		uint64_t now = mono_ms();
		int r = wait_fds(w.fds, w.n, next > now ? (int64_t)(next - now) : 0, &scout_stop);
		if (scout_stop)
			break;
		if (r < 0) {
			syslog(LOG_ERR, "Failed to wait: %s\n", strerror(errno));
			scout_finish(s, SCOUT_EXIT_FAIL);
			break;
		}
		now = mono_ms();
		if (now >= next) {
			next = now + TICK_MS;
			tick(s);
		}
		if (r > 0)
			serve_ready(s, &w);
		if (!s->done && s->boot && scout_window_over(&s->window, mono_ms())) {
			putchar('\n');
			fflush(stdout);
			break;
		}
	}
	free(w.fds);
}

static void teardown(struct scout *s)
{
	list_free(&s->legacy, 1);
	list_free(&s->dproto, 1);
	list_free(&s->joined, 0);
	nl_close(&s->nl);
	if (s->capture >= 0)
		close(s->capture);
	s->capture = -1;
	if (s->proto->remove_pidfile)
		unlink(SCOUT_PIDFILE);
	closelog();
}

int scout_run(const struct scout_proto *proto, int argc, char **argv, void *priv)
{
	struct scout s;

	memset(&s, 0, sizeof(s));
	s.proto = proto;
	s.argv = argv;
	s.priv = priv;
	s.capture = -1;
	s.nl.fd = -1;
	s.window.len_s = SCOUT_BOOT_WINDOW_S;
	s.eth0_window_s = 3;
	s.broadcasting = 1;
	if (signals_on(stop_signals, ARRAY_SIZE(stop_signals), on_stop) < 0) {
		perror("sigaction");
		return SCOUT_EXIT_FAIL;
	}
	parse_options(&s, argc, argv);
	s.state.boot = s.boot;
	if (s.boot && proto->reset_capture && scout_reset_pending())
		sleep_ms(10000, &scout_stop);
	int rc = start(&s);
	if (rc == 0)
		loop(&s);
	else
		scout_finish(&s, rc);
	teardown(&s);
	return s.status;
}
