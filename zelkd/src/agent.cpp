/* The agent's frame: state, signals, timers, the main loop and the shutdown. */
#include "zelkd.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "common/daemon.h"
#include "common/fileio.h"
#include "paths.h"

volatile sig_atomic_t zelk_stop;
volatile sig_atomic_t zelk_child;

/* Signals received and not yet logged, by number: the handler only counts, the loop logs. */
static volatile sig_atomic_t pending[NSIG];

static void on_signal(int sig)
{
	int saved = errno;

	if (sig > 0 && sig < NSIG)
		pending[sig] = 1;
	if (sig == SIGHUP || sig == SIGINT || sig == SIGTERM || sig == SIGQUIT)
		zelk_stop = 1;
	else if (sig == SIGCHLD)
		zelk_child = 1;
	errno = saved;
}

static const int handled[] = { SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2, SIGCHLD };
/* Names by the C library would need a newer one than the device's. */
static const char *const handled_names[] = { "SIGHUP",	"SIGINT",  "SIGTERM", "SIGQUIT",
					     "SIGPIPE", "SIGUSR1", "SIGUSR2", "SIGCHLD" };

int zelk_install_signals(void)
{
	return signals_on(handled, ARRAY_SIZE(handled), on_signal);
}

void zelk_log_signals(void)
{
	for (size_t i = 0; i < ARRAY_SIZE(handled); i++) {
		int sig = handled[i];
		if (!pending[sig] || sig == SIGCHLD)
			continue;
		pending[sig] = 0;
		if (sig == SIGUSR1 || sig == SIGUSR2)
			log_message(KTRV_LOG_DEBUG, "Got %s signal.\n", handled_names[i]);
		else
			log_message(KTRV_LOG_DEBUG, "got '%s'\n", handled_names[i]);
	}
}

int zelk_handle_signals(void)
{
	return zelk_stop;
}

void zelk_now(struct timeval *tv)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	tv->tv_sec = ts.tv_sec;
	tv->tv_usec = ts.tv_nsec / 1000;
}

static void set_time(struct zelk_time *t, const struct timeval *now, unsigned after_s)
{
	t->sec = (int64_t)now->tv_sec + after_s;
	t->usec = (int32_t)now->tv_usec;
}

void zelk_adjust_hb_times(struct zelk_state *s, const struct timeval *now)
{
	set_time(&s->next_hb, now, s->hb_interval);
	set_time(&s->last_hb, now, 0);
}

void zelk_adjust_st_times(struct zelk_state *s, const struct timeval *now)
{
	set_time(&s->next_st, now, s->st_interval);
}

void zelk_state_init(struct zelk_state *s)
{
	struct timeval now;

	memset(s, 0, sizeof(*s));
	list_init(&s->stats);
	list_init(&s->tasks);
	list_init(&s->alarms);
	init_dev_info(&s->info);
	s->dump_fd = s->reply_fd = s->alarm_fd = -1;
	s->hb_interval = s->st_interval = ZELK_START_INTERVAL;
	zelk_now(&now);
	set_time(&s->next_hb, &now, 0);
	set_time(&s->next_st, &now, 0);
}

int zelk_version_load(struct zelk_state *s, const char *path)
{
	char line[256];
	ssize_t n = read_prefix(path, line, sizeof(line) - 1);

	if (n <= 0)
		return -1;
	line[n] = '\0';
	line[strcspn(line, "\r\n")] = '\0';
	if (!line[0])
		return -1;
	size_t len = strnlen(line, sizeof(s->info.firmware) - 1);
	memcpy(s->info.firmware, line, len);
	s->info.firmware[len] = '\0';
	return 0;
}

void zelk_wait_for_stats(void)
{
	const int checks = 12, apart_ms = 5000;

	for (int i = 0; i < checks; i++) {
		if (file_exists(ZELK_STATS_FILE) && file_exists(ZELK_WIRELESS_FILE))
			return;
		if (i == 0)
			log_message(KTRV_LOG_INFO, "Waiting for up to %d seconds for statistics files to appear...\n",
				    checks * apart_ms / 1000);
		sleep_ms(apart_ms, &zelk_stop);
		if (zelk_stop)
			return;
	}
	if (!(file_exists(ZELK_STATS_FILE) && file_exists(ZELK_WIRELESS_FILE)))
		log_message(KTRV_LOG_INFO, "Cannot find statistics files.\n");
}

static void reap_children(void)
{
	int status;
	pid_t pid;

	for (;;) {
		pid = waitpid(-1, &status, WNOHANG);
		if (pid < 0 && errno == EINTR)
			continue;
		if (pid <= 0)
			return;
		log_message(KTRV_LOG_DEBUG, "[%d] child terminated, status: %d.\n", (int)pid,
			    WIFEXITED(status) ? WEXITSTATUS(status) : -1);
	}
}

/* After the installer or the reboot program started well the agent does no further work, until the
 * grace time says the device did not go down after all. */
static int idle_for_restart(struct zelk_state *s)
{
	if (!s->restarting)
		return 0;
	if (mono_ms() - s->restarting_since_ms < ZELK_RESTART_GRACE_MS)
		return 1;
	log_message(KTRV_LOG_ERROR, "The device did not restart, resuming work.\n");
	s->restarting = 0;
	return 0;
}

static void round_of_work(struct zelk_state *s, const struct timeval *now)
{
	zelk_heartbeat(s);
	if (s->immediate == 0) {
		zelk_adjust_hb_times(s, now);
		zelk_adjust_st_times(s, now);
	}
	zelk_alarms_subscribe(s);
	if (zelk_tasks_now(s) == 0) {
		s->immediate++;
		log_message(KTRV_LOG_DEBUG, "Immediately sending heartbeat.\n");
	} else {
		s->immediate = 0;
		log_message(KTRV_LOG_DEBUG, "Waiting for new heartbeat...\n");
	}
}

void zelk_loop(struct zelk_state *s)
{
	struct timeval now;

	s->immediate = 0;
	for (;;) {
		zelk_now(&now);
		int64_t r = time_remains((int)s->hb_interval, &now, &s->next_hb);
		if (!idle_for_restart(s) && (r <= 0 || s->immediate)) {
			round_of_work(s, &now);
			zelk_now(&now);
			r = time_remains((int)s->hb_interval, &now, &s->next_hb);
		}
		zelk_log_signals();
		if (zelk_stop)
			break;
		struct pollfd pfd = { s->alarm_fd, POLLIN, 0 };
		int64_t wait = s->immediate > 0 ? 0 : s->restarting ? 1000 : r;
		/* a closed alarm socket (-1) is left out of the wait */
		int n = wait_fds(&pfd, s->alarm_fd >= 0 ? 1 : 0, wait, &zelk_stop);
		if (n > 0 && (pfd.revents & POLLIN))
			zelk_alarms_read(s);
		else if (n < 0)
			log_message_errno(KTRV_LOG_ERROR, "select(2) failed !\n");
		zelk_log_signals();
		if (zelk_stop)
			break;
		if (zelk_child) {
			zelk_child = 0;
			reap_children();
		}
	}
}

void zelk_shutdown(struct zelk_state *s)
{
	log_message(KTRV_LOG_DEBUG, "ZELK agent is shutting down...\n");
	zelk_snmp_shutdown(s);
	zelk_alarms_shutdown(s);
	zelk_alarm_list_destroy(s);
	zelk_tasks_destroy(s);
	unlink(ZELK_ALARMS);
	unlink(ZELK_STATS_OUT);
	unlink(ZELK_OPTIONAL);
	if (s->multi)
		curl_multi_cleanup(s->multi);
	if (s->easy)
		curl_easy_cleanup(s->easy);
	curl_global_cleanup();
	free_dev_info(&s->info);
	zelk_free_config(s);
}
