/* The cloud agent's process-wide state and the functions its sources share.
 *
 * Threads: the main loop runs the session phases, the device actions, the child pipes and the
 * watched directories; the MQTT library runs the message, connection and completion callbacks on its
 * own threads.  Everything both sides touch is in struct agent under agent.lock, except the flags a
 * signal handler sets, which are lock-free atomics.  The lock is held only to copy or change fields:
 * never across a library call, a child program or a script. */
#pragma once

#include "topic.h"

#include <MQTTAsync.h>
#include <poll.h>
#include <atomic>
#include <jansson.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#define CV_PIDFILE "/var/run/celvane.pid"
#define CV_STATEFILE "/var/run/celvane-cloud.json"
#define CV_CERTFILE "/data/.celvane.crt"
#define CV_CONFIG "/tmp/config.json"
#define CV_CONFIG_TEST "/tmp/config_rx.json"
#define CV_FWFILE "/tmp/fwupdate.bin"

#define CV_PORT_PLAIN 1883
#define CV_PORT_TLS 8883

enum phase {
	PHASE_CERT = 0,
	PHASE_AUTH = 1,
	PHASE_OPER = 2,
};

enum action {
	ACT_CONFIGURE,
	ACT_UPGRADE,
	ACT_REBOOT,
	ACT_RESET,
	ACT_COUNT,
};

/* What the MQTT thread asks the main loop to do with a child pipe. */
enum pipe_request {
	PIPE_NONE,
	PIPE_START,
	PIPE_STOP,
};

struct linktest_plan {
	char station[18];
	int iterations;
	int sizes[16];
	int count;
	int reverse;
};

struct agent {
	pthread_mutex_t lock;

	/* from the command line; fixed after start */
	char host[256];
	char client_id[16];
	char org[64];
	char group[64]; /* "" when none */
	char router[64];
	int router_set;
	char user[128];
	int foreground, test_server, test_config, no_host_check;

	/* guarded by lock */
	char net[64];
	char uri[300];
	char *password;
	int interval;
	int registered;      /* an acknowledgement came in this session */
	int control_subbed;  /* control topics subscribed ("connected") */
	int node_subbed;     /* node topics subscribed ("registered" in the state file) */
	int master_subbed;
	int monitoring;      /* read-only mode */
	int net_master;
	int flytrap, flytrap_running;
	int proximity_periodic, proximity_priority, secure_logging, alerts, guest_access;
	char ga_mac[18];
	struct topic_list control, node, master;
	int conn_state;      /* see session.cpp: 0 idle, 1 connecting, 2 connected, -1 failed */
	int disconnected;    /* the disconnect request completed */
	int upgrade_delay;
	char *upgrade_sha1;  /* NULL when the announcement had none */
	int timer_armed[ACT_COUNT];
	timer_t timer[ACT_COUNT];
	enum pipe_request scan_req, linktest_req;
	char scan_radio[16];
	struct linktest_plan linktest;
	int scan_running, linktest_running; /* as the main loop last reported them */

	/* the current client: set and cleared by the main loop while no callback can run */
	MQTTAsync client;
};

extern struct agent agent;

/* Set by signal handlers and read anywhere. */
extern std::atomic<int> agent_stop;     /* the running flag, inverted */
extern std::atomic<int> agent_exit;     /* exit status once stopped */
extern std::atomic<int> agent_phase;
extern std::atomic<int> agent_verbosity;
extern std::atomic<int> due[ACT_COUNT]; /* a device-action timer expired */
extern std::atomic<int> dump_wanted, level_wanted;
/* Callbacks of the MQTT library running now: the client is not destroyed under one. */
extern std::atomic<int> in_callback;

static inline void agent_lock(void)
{
	pthread_mutex_lock(&agent.lock);
}

static inline void agent_unlock(void)
{
	pthread_mutex_unlock(&agent.lock);
}

/* The ids topics are made of, copied under the lock into the caller's buffers. */
struct ids_copy {
	char net[64];
	struct topic_ids ids;
};
void agent_ids(struct ids_copy *c);

/* ---- wake.cpp ---- */
/* The MQTT thread, the timer signal and the stop signals wake the main loop's wait at once when they
 * changed something it acts on (async-signal-safe). */
int wake_init(void);
void agent_wake(void);
/* Waits up to ms for a wake-up or for one of the extra descriptors (may be NULL); returns poll's
 * count (wake-ups drained, not counted), -1 with errno on a poll error other than EINTR. */
int wake_wait(int ms, struct pollfd *fds, int n);

/* ---- log.cpp ---- */
void cv_log_open(void);
void cv_log(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void cv_sleep_ms(unsigned ms); /* cut short by a stop */

/* ---- state.cpp ---- */
int state_file_write(void); /* takes the lock */
void state_file_remove(void);
char *state_json(void);     /* the agent state handed to the scripts, compact; takes the lock */
void state_dump(void);      /* SIGUSR1: at level 0 */

/* ---- session.cpp ---- */
int session_run(void);      /* the phase loop until stopped; the exit status */
/* Sends one non-retained message.  wait: wait up to 5 s for its completion (the main loop only: on
 * a callback thread the wait is skipped).  0, or -1 when refused or not delivered. */
int publish(const char *topic, const void *payload, size_t len, int qos, int wait);
int publish_text(const char *topic, const char *text, int qos, int wait);
int publish_json(const char *topic, json_t *doc, int qos, int wait); /* compact; doc not taken */
int publish_node(const char *sub, const void *payload, size_t len, int qos, int wait);
int publish_status_down(int wait);
int subscribe_list(const struct topic_list *list, int which);
int unsubscribe_list(const struct topic_list *list, int which);
/* Brackets of every library callback: the client is not destroyed under one, and a publish from
 * one never waits. */
void callback_enter(void);
void callback_leave(void);
enum sub_which {
	SUB_CONTROL,
	SUB_NODE,
	SUB_MASTER,
};

/* ---- dispatch.cpp (the MQTT thread) ---- */
int on_message(void *ctx, char *topic, int topic_len, MQTTAsync_message *msg);

/* ---- handlers.cpp ---- */
struct message {
	const char *topic;
	const char *payload;
	size_t len;
	json_t *doc; /* parsed payload, or NULL for raw ones */
	MQTTAsync_message *raw;
};
void handle_ack(struct message *m);
void handle_nack(struct message *m);
void handle_node_config(struct message *m);
void handle_flytrap(struct message *m);
void handle_aplist(struct message *m);
void handle_maccache(struct message *m, const char *cmd);
void handle_sitesurvey(struct message *m);
void handle_alerts_request(struct message *m);
void handle_ping(struct message *m);
void handle_kickmac(struct message *m);
void handle_cert(struct message *m);
void flytrap_stop(void);

/* ---- commands.cpp ---- */
void handle_upgrade(struct message *m);
void handle_firmwarebin(struct message *m);
void handle_reboot(struct message *m, enum action which);
void handle_troubleshoot(struct message *m, int full);
void handle_scan(struct message *m);
void handle_linktest(struct message *m);
void publish_event_refused(void);

/* ---- actions.cpp ---- */
int timers_install(void);
int timer_start(enum action which, long long delay);
int action_due(enum action which); /* expired and not yet carried out */
int configure_pending(void);
/* Performs the first due action, in the order configure, upgrade, reboot, reset.  1 when the agent
 * stops after it, else 0. */
int actions_run(void);
void timer_remaining(enum action which, struct timespec *left);

/* ---- pipes.cpp (the main loop) ---- */
/* Starts and stops the scan and link-test children as asked, forwards their output.  1 when a line
 * was forwarded (the caller goes on at once). */
int pipes_service(void);
void pipes_close(void);
int pipes_linktest_running(void);

/* ---- script.cpp ---- */
/* Runs a script of the interface: the returned string (malloc'ed), or NULL after logging why. */
char *script_run(const char *path, const char *const *args, size_t nargs);
/* The same, with a JSON object result (also dumped to the last-messages folder at verbosity > 1). */
json_t *script_json(const char *path, const char *const *args, size_t nargs);

/* ---- watch.cpp ---- */
int watch_start(void);
int watch_fd(void);
void watch_events(void);
void watch_stop(void);
void secure_logging_round(int after_stats);

/* ---- shared small helpers (handlers.cpp) ---- */
int run_program(const char *const argv[]); /* wait status, -1 */
int signal_named(const char *name, int sig); /* processes signalled */
int save_json_file(const char *path, json_t *doc); /* indent 2, escaped slashes, replaced whole */
