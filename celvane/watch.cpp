/* Directories other programs drop documents into for the cloud (proximity, alerts, guest access),
 * and the secure logging file.  Main loop only. */
#include "agent.h"

#include "common/text.h"
#include "eth.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#define SECURE_LOG "/var/run/logging/.secure_logging.json"
#define PROX_DIR "/tmp/proximity"
#define PRIO_DIR "/tmp/proximity/priority"
#define ALERTS_DIR "/tmp/.celvane_alerts/"
#define GA_DIR "/var/run/guest_access"
#define SECURE_SESSIONS_MAX 10000

enum watched {
	W_PROX,
	W_PRIO,
	W_ALERTS,
	W_GA,
	W_COUNT,
};

static const char *const watch_dirs[W_COUNT] = { PROX_DIR, PRIO_DIR, ALERTS_DIR, GA_DIR };
static int ifd = -1;
static int wd[W_COUNT] = { -1, -1, -1, -1 };

/* The secure logging file is re-read only when it changed. */
static struct {
	time_t mtime;
	long mtime_ns;
	off_t size;
	int known;
} secure_seen;

static int exists(const char *path)
{
	struct stat st;

	if (stat(path, &st) == 0)
		return 1;
	cv_log(3, "Searching for '%s' dir. Not found!\n", path);
	return 0;
}

static void add_watch(enum watched w, uint32_t mask)
{
	wd[w] = inotify_add_watch(ifd, watch_dirs[w], mask);
	if (wd[w] < 0)
		cv_log(0, "Cannot watch '%s'\n", watch_dirs[w]);
	else
		cv_log(1, "init_inotify: Started watching '%s' directory! Watch mask: 0x%x\n", watch_dirs[w], mask);
}

int watch_start(void)
{
	int sl = exists(SECURE_LOG), pp = exists(PROX_DIR), pr = exists(PRIO_DIR), al = exists(ALERTS_DIR);
	int ga = exists(GA_DIR);
	char mac[18] = "";

	if (ga && eth0_mac_text(mac) < 0) {
		cv_log(0, "Failed to get 'eth0' MAC address ! Disabling guest access !\n");
		ga = 0;
	}
	agent_lock();
	agent.secure_logging = sl;
	agent.proximity_periodic = pp;
	agent.proximity_priority = pr;
	agent.alerts = al;
	agent.guest_access = ga;
	if (ga)
		memcpy(agent.ga_mac, mac, sizeof(agent.ga_mac));
	agent_unlock();
	secure_seen.known = 0;
	if (!(pp || pr || al || ga))
		return 0;
	ifd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
	if (ifd < 0) {
		cv_log(0, "Inotify init FAILED\n");
		return -1;
	}
	if (pp)
		add_watch(W_PROX, IN_CLOSE_WRITE);
	if (pr)
		add_watch(W_PRIO, IN_CLOSE_WRITE);
	if (al)
		add_watch(W_ALERTS, IN_CLOSE_WRITE);
	if (ga)
		add_watch(W_GA, IN_MOVED_TO);
	if (al && wd[W_ALERTS] >= 0) {
		signal_named("alertd", SIGUSR2);
		cv_log(1, "Sent signal inotify_ready (SIGUSR2) to alertd pid.\n");
	}
	return 0;
}

int watch_fd(void)
{
	return ifd;
}

static void publish_file(const char *dir, const char *name, const char *sub)
{
	char path[PATH_MAX];
	json_error_t err;
	int n = snprintf(path, sizeof(path), "%s%s%s", dir, dir[strlen(dir) - 1] == '/' ? "" : "/", name);

	if (n < 0 || (size_t)n >= sizeof(path)) {
		cv_log(0, "Failed to make file_path!\n");
		return;
	}
	json_t *doc = json_load_file(path, 0, &err);
	if (!doc) {
		cv_log(0, "JSON error: %s\n", err.text);
		return;
	}
	char *text = json_dumps(doc, JSON_COMPACT);
	if (text)
		publish_node(sub, text, strlen(text), 2, 0);
	free(text);
	json_decref(doc);
}

static void on_event(const struct inotify_event *e)
{
	if (!e->len || !e->name[0])
		return;
	if (e->wd == wd[W_PROX] && strcmp(e->name, "periodic.json") == 0) {
		publish_file(PROX_DIR, e->name, "proximity_periodic");
	} else if (e->wd == wd[W_PRIO]) {
		publish_file(PRIO_DIR, e->name, "proximity_priority");
	} else if (e->wd == wd[W_ALERTS]) {
		publish_file(ALERTS_DIR, e->name, "alerts");
	} else if (e->wd == wd[W_GA] && strcmp(e->name, "mac-cache.json") == 0) {
		agent_lock();
		int master = agent.net_master;
		agent_unlock();
		if (master)
			publish_file(GA_DIR, e->name, "maccache/save");
	}
}

void watch_events(void)
{
	char buf[4096] __attribute__((aligned(__alignof__(struct inotify_event))));

	if (ifd < 0)
		return;
	for (;;) {
		ssize_t n = read(ifd, buf, sizeof(buf));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return;
		for (ssize_t off = 0; off + (ssize_t)sizeof(struct inotify_event) <= n;) {
			const struct inotify_event *e = (const struct inotify_event *)(buf + off);
			if (off + (ssize_t)sizeof(*e) + (ssize_t)e->len > n)
				break;
			on_event(e);
			off += (ssize_t)sizeof(*e) + e->len;
		}
	}
}

void watch_stop(void)
{
	if (ifd >= 0)
		close(ifd); /* the watches go with it */
	ifd = -1;
	for (int i = 0; i < W_COUNT; i++)
		wd[i] = -1;
}

static void secure_publish(void)
{
	json_error_t err;
	json_t *doc = json_load_file(SECURE_LOG, 0, &err);

	if (!doc) {
		cv_log(0, "JSON error: %s\n", err.text);
		return;
	}
	char *text = json_dumps(doc, JSON_COMPACT);
	if (text && publish_node("secure_logging", text, strlen(text), 2, 0) == 0)
		unlink(SECURE_LOG);
	free(text);
	json_decref(doc);
	secure_seen.known = 0;
}

void secure_logging_round(int after_stats)
{
	struct stat st;

	agent_lock();
	int on = agent.secure_logging;
	agent_unlock();
	if (!on || stat(SECURE_LOG, &st) < 0)
		return;
	if (after_stats) {
		secure_publish();
		return;
	}
	if (secure_seen.known && secure_seen.mtime == st.st_mtim.tv_sec && secure_seen.mtime_ns == st.st_mtim.tv_nsec &&
	    secure_seen.size == st.st_size)
		return;
	secure_seen.known = 1;
	secure_seen.mtime = st.st_mtim.tv_sec;
	secure_seen.mtime_ns = st.st_mtim.tv_nsec;
	secure_seen.size = st.st_size;
	json_error_t err;
	json_t *doc = json_load_file(SECURE_LOG, 0, &err);
	size_t sessions = json_array_size(json_object_get(doc, "sessions"));
	json_decref(doc);
	if (sessions >= SECURE_SESSIONS_MAX)
		secure_publish();
}
