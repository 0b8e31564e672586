/* Device actions on one-shot timers: configure, upgrade, reboot, reset.  The timer signal's handler
 * only marks the action due; the main loop logs the expiry, deletes the timer and carries it out. */
#include "agent.h"

#include "pipes.h"
#include "request.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#define TIMER_SIG (SIGRTMIN + 5)

static const char *const action_names[ACT_COUNT] = { "config", "upgrade", "reboot", "reset" };
static const char *const timer_names[ACT_COUNT] = { "configure", "upgrade", "reboot", "reset" };

static void on_timer(int sig, siginfo_t *info, void *uc)
{
	(void)sig;
	(void)uc;
	int which = info->si_value.sival_int;
	if (which >= 0 && which < ACT_COUNT)
		due[which].store(1);
	agent_wake();
}

int timers_install(void)
{
	struct sigaction sa;

	memset(&sa, 0, sizeof(sa));
	sa.sa_sigaction = on_timer;
	sa.sa_flags = SA_SIGINFO;
	sigemptyset(&sa.sa_mask);
	return sigaction(TIMER_SIG, &sa, NULL);
}

int timer_start(enum action which, long long delay)
{
	struct itimerspec its;
	struct sigevent sev;
	int rc = 0;

	memset(&its, 0, sizeof(its));
	its.it_value.tv_sec = request_delay(delay);
	agent_lock();
	if (!agent.timer_armed[which]) {
		memset(&sev, 0, sizeof(sev));
		sev.sigev_notify = SIGEV_SIGNAL;
		sev.sigev_signo = TIMER_SIG;
		sev.sigev_value.sival_int = which;
		if (timer_create(CLOCK_MONOTONIC, &sev, &agent.timer[which]) < 0) {
			agent_unlock();
			cv_log(0, "timer_create() failed\n");
			return -1;
		}
		agent.timer_armed[which] = 1;
	}
	if (timer_settime(agent.timer[which], 0, &its, NULL) < 0) {
		int err = errno;
		timer_delete(agent.timer[which]);
		agent.timer_armed[which] = 0;
		rc = -1;
		agent_unlock();
		cv_log(0, "failed to settime for %s timer: %s\n", timer_names[which], strerror(err));
		return rc;
	}
	agent_unlock();
	cv_log(2, "%s timer init for %d sec %lu nsec\n", timer_names[which], (int)its.it_value.tv_sec,
	       (unsigned long)its.it_value.tv_nsec);
	return 0;
}

/* Expired timers are deleted here, outside the handler. */
static void timers_reap(void)
{
	for (int i = 0; i < ACT_COUNT; i++) {
		if (!due[i].load())
			continue;
		agent_lock();
		int armed = agent.timer_armed[i];
		struct itimerspec left;
		if (armed && timer_gettime(agent.timer[i], &left) == 0 &&
		    (left.it_value.tv_sec || left.it_value.tv_nsec))
			armed = 0; /* re-armed after it expired: it runs again later */
		if (armed) {
			timer_delete(agent.timer[i]);
			agent.timer_armed[i] = 0;
		}
		agent_unlock();
		if (armed)
			cv_log(1, "%s timer expired\n", action_names[i]);
	}
}

int action_due(enum action which)
{
	return due[which].load();
}

int configure_pending(void)
{
	agent_lock();
	int armed = agent.timer_armed[ACT_CONFIGURE];
	agent_unlock();
	return armed || due[ACT_CONFIGURE].load();
}

void timer_remaining(enum action which, struct timespec *left)
{
	struct itimerspec its;

	memset(left, 0, sizeof(*left));
	agent_lock();
	if (agent.timer_armed[which] && timer_gettime(agent.timer[which], &its) == 0)
		*left = its.it_value;
	agent_unlock();
}

static void publish_event_upgrade(const char *version)
{
	json_t *doc = json_pack("{sss{ss}}", "event", "e0101", "params", "firmware", version);
	char *text = doc ? json_dumps(doc, 0) : NULL;

	if (text)
		publish_node("log", text, strlen(text), 2, 1);
	free(text);
	json_decref(doc);
}

static int run_configure(void)
{
	publish_status_down(1);
	if (agent.test_config) {
		cv_log(1, "sysconf run in testmode\n");
		return 1;
	}
	const char *sysconf[] = { "/usr/sbin/sysconf", "-w", NULL };
	const char *reload[] = { "/sbin/system_reload", "-n", NULL };
	int status = run_program(sysconf);
	cv_log(1, "sysconf rc: %d\n", status);
	run_program(reload);
	return 1;
}

/* The first two lines of the check's output: the image type and the new version. */
static void two_lines(char *out, char line1[256], char line2[256])
{
	char *nl = strchr(out, '\n');
	char *second = nl ? nl + 1 : out + strlen(out);

	snprintf(line1, 256, "%.*s", (int)(nl ? nl - out : (long)strlen(out)), out);
	nl = strchr(second, '\n');
	snprintf(line2, 256, "%.*s", (int)(nl ? nl - second : (long)strlen(second)), second);
}

static int run_upgrade(void)
{
	char out[4096], line1[256], line2[256];
	const char *check[] = { "fwupdate", "-c", NULL };
	const char *install[] = { "fwupdate", NULL };
	int status;

	if (child_output(check, out, sizeof(out), &status) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
		goto bad;
	two_lines(out, line1, line2);
	cv_log(1, "going to upgrade %s %s\n", line1, line2);
	publish_event_upgrade(line2);
	{
		int stops = strstr(line1, "firmware") != NULL;
		if (stops)
			publish_status_down(1);
		status = run_program(install);
		if (status == -1)
			goto bad;
		if (WIFSIGNALED(status)) {
			cv_log(0, "fwupdate killed by %d\n", WTERMSIG(status));
			goto bad;
		}
		if (WEXITSTATUS(status) != 0) {
			cv_log(0, "'fwupdate' exit code: %d %s\n", WEXITSTATUS(status), line1);
			goto bad;
		}
		cv_log(1, "system upgrade started\n");
		return stops;
	}
bad:
	cv_log(0, "Bad firmware\n");
	unlink(CV_FWFILE);
	publish_event_refused();
	return 0;
}

static int run_reboot(void)
{
	const char *argv[] = { "/sbin/reboot", NULL };

	publish_status_down(1);
	run_program(argv);
	return 1;
}

static int run_reset(void)
{
	const char *argv[] = { "/sbin/reset_to_defaults", NULL };

	run_program(argv);
	return 1;
}

int actions_run(void)
{
	static int (*const run[ACT_COUNT])(void) = { run_configure, run_upgrade, run_reboot, run_reset };

	timers_reap();
	for (int i = 0; i < ACT_COUNT; i++) {
		agent_lock();
		int waiting = agent.timer_armed[i];
		agent_unlock();
		if (!due[i].load() || waiting)
			continue;
		due[i].store(0);
		if (run[i]()) {
			agent_exit.store(0);
			agent_stop.store(1);
			return 1;
		}
		return 0;
	}
	return 0;
}
