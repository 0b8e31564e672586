/* The discovery responder: what the daemon (scoutd/) and the multool applet of the older protocol
 * share.  Options "frv", start-up (detaching, syslog "scoutd", the pid file, the device id), the
 * group sockets and their memberships on every qualifying interface, the state broadcast, the loop
 * with its one-second tick and the boot window, and the restart when rtnetlink reports an interface
 * coming up.  What each program adds is its protocol: a command table and a few hooks.
 *
 * Logging goes to syslog with the messages the system's log contract fixes; debug lines only with -v.
 * Nothing here ends the process: scout_run returns the exit status (255 for the contract's -1),
 * except the restart, which replaces the program image. */
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <stdint.h>

#include "common/netlink.h"
#include "common/scout_codec.h"

#define SCOUT_PIDFILE "/var/run/scoutd.pid"
#define SCOUT_VERSION_FILE "/usr/lib/version"
#define SCOUT_SERIAL_FILE "/etc/serial-no"
#define SCOUT_MAX_MEMBERSHIPS_FILE "/proc/sys/net/ipv4/igmp_max_memberships"
#define SCOUT_BOOT_WINDOW_S 10
#define SCOUT_EXIT_FAIL 255

struct scout;

/* One request that passed the acceptance rules, with where it came from. */
struct scout_rx {
	int fd;      /* the socket it came in on, which answers it */
	int ifindex; /* the interface it came in on, which the answer leaves by */
	struct sockaddr_in from;
	struct scout_request req;
};

/* A command's handler answers through scout_answer and friends.  0, or -1 when its answer could not
 * be sent (the loop then prints "!!! Response send failed"); a refusal that sends nothing is 0. */
typedef int (*scout_cmd_fn)(struct scout *s, const struct scout_rx *rx);

struct scout_cmd_entry {
	uint8_t cmd;
	scout_cmd_fn fn;
};

/* What makes one responder differ from the other. */
struct scout_proto {
	enum scout_dialect dialect;
	uint8_t version;                    /* of the state broadcast */
	const struct scout_cmd_entry *cmds; /* ended by SCOUT_CMD_END */
	uint8_t reset_capture;              /* boot-time mode listens for the trigger frame */
	uint8_t remove_pidfile;             /* on leaving the loop */
	/* Called in boot-time mode once the device id is known: 0 to go on, else the exit status. */
	int (*boot_setup)(struct scout *s);
};

struct scout_list {
	int *v;
	unsigned n, cap;
};

struct scout {
	const struct scout_proto *proto;
	char **argv; /* saved for the restart */
	uint8_t foreground, boot, verbose;
	uint64_t id;
	uint8_t mac[6];
	unsigned m; /* memberships per socket */
	struct scout_list legacy, dproto, joined;
	struct nl_handle nl;
	int capture; /* the trigger frame socket, -1 outside boot-time mode */
	struct scout_window window;
	unsigned eth0_window_s; /* the window once eth0 is joined */
	struct scout_state state;
	uint8_t broadcasting;
	uint8_t done; /* a handler ended the loop with status */
	int status;
	void *priv; /* the program's own data */
};

/* Options, start-up, the loop and the teardown: the program's exit status. */
int scout_run(const struct scout_proto *proto, int argc, char **argv, void *priv);

/* Ends the loop after the current request; scout_run then returns status. */
void scout_finish(struct scout *s, int status);
/* The state flags byte as it stands. */
uint8_t scout_flags(const struct scout *s);

/* ---- answers ---- */

/* Frames the payload for the request and sends it out of the interface it came in on. */
int scout_answer(struct scout *s, const struct scout_rx *rx, const uint8_t *payload, size_t n);
/* The state answer (version, 3, flags), also used by commands 2, 4, 5 and 6. */
int scout_answer_state(struct scout *s, const struct scout_rx *rx);
/* The 21-byte state datagram on every joined interface: 0, or -1 when one send failed. */
int scout_broadcast_state(struct scout *s);

/* The handlers both responders share: discovery (0), state (3), extend boot (4). */
int scout_cmd_discovery(struct scout *s, const struct scout_rx *rx);
int scout_cmd_state(struct scout *s, const struct scout_rx *rx);
int scout_cmd_extend(struct scout *s, const struct scout_rx *rx);

/* ---- the device ---- */

/* The MAC of eth0 (SIOCGIFHWADDR); -1 with errno, *step naming the failing call ("socket" or "ioctl"). */
int scout_eth0_mac(uint8_t mac[6], const char **step);
/* The IPv4 address of eth0 (SIOCGIFADDR), zero when it has none. */
void scout_eth0_ipv4(uint8_t ip[4]);
/* The first line of the version file, line break included, at most 127 bytes: its length, 0 when
 * the file cannot be read. */
size_t scout_version_line(char buf[SCOUT_VERSION_LINE_MAX + 1]);

/* ---- link events ---- */

enum scout_link_event {
	SCOUT_EV_NEXT,    /* nothing to do, look at the next message */
	SCOUT_EV_END,     /* ends the pass over what was received */
	SCOUT_EV_RESTART, /* an interface came up: start anew */
};
/* What a run-time rtnetlink message means to the responder; len is what the datagram holds from msg
 * on.  Not RTM_NEWLINK/RTM_DELLINK, a change mask of all ones, AF_BRIDGE, IFLA_WIRELESS or no
 * IFLA_OPERSTATE end the pass; operational state up, or unknown with up and running among the changed
 * flags, restarts. */
enum scout_link_event scout_link_event(const struct nlmsghdr *msg, size_t len);
