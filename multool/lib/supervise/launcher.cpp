/* The launcher's service list, timers, runs and reaping.  Its messages are the launchd applet's:
 * they go to the categories "launchd" and "launchd.timing" and, where the launcher's contract prints
 * them, to standard error. */
#include "supervise/launcher.h"

#include "common/daemon.h"
#include "common/list.h"
#include "spine/logging.h"
#include "spine/strbuf.h"
#include "spine/utils.h"
#include "supervise/svcfile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

struct svc {
	struct list_head node;
	int id;           /* what the timer carries */
	char *path;       /* the service file: the key */
	struct svc_def def;
	char *out_tmp;    /* def.out + ".xxx", made at load so a run allocates nothing */
	timer_t timer;
	volatile pid_t pid; /* running instance, 0 when none; set by the handler */
};

static struct list_head services = { &services, &services }; /* newest first */
static int last_id;

/* One write, so a message from the handler never interleaves with one of the main loop. */
static void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void say(const char *fmt, ...)
{
	char buf[512];
	struct strbuf sb;
	va_list ap;

	strbuf_init(&sb, buf, sizeof(buf));
	va_start(ap, fmt);
	strbuf_vappend(&sb, fmt, ap);
	va_end(ap);
	ssize_t ignored = write(STDERR_FILENO, buf, sb.len);
	(void)ignored;
}

int launcher_timer_signal(void)
{
	return SIGRTMIN;
}

static struct svc *find_id(int id)
{
	list_for_each(pos, &services) {
		struct svc *s = list_entry(pos, struct svc, node);
		if (s->id == id)
			return s;
	}
	return NULL;
}

static struct svc *find_path(const char *path)
{
	list_for_each(pos, &services) {
		struct svc *s = list_entry(pos, struct svc, node);
		if (strcmp(s->path, path) == 0)
			return s;
	}
	return NULL;
}

/* Ids are never 0 and never shared by two live entries; after a wrap the oldest ids are long gone. */
static int new_id(void)
{
	do
		last_id = last_id == INT_MAX ? 1 : last_id + 1;
	while (find_id(last_id));
	return last_id;
}

static void svc_free(struct svc *s)
{
	svc_def_free(&s->def);
	free(s->path);
	free(s->out_tmp);
	free(s);
}

/* The grandchild, or the child when runs are not timed: output redirected, then the shell. */
[[noreturn]] static void exec_service(const struct svc *s)
{
	if (s->def.out) {
		int fd = open(s->out_tmp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
		if (fd < 0)
			die_errno("open() on '%s' failed", s->def.out);
		if (fd != STDOUT_FILENO) {
			dup2(fd, STDOUT_FILENO);
			close(fd);
		}
	}
	/* The launcher keeps its signals blocked outside its wait; the command starts with none. */
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, NULL);
	execlp("sh", "sh", "-c", s->def.cmd, (char *)NULL);
	die_errno("can't exec %s", s->def.cmd);
}

/* The middle process of a timed run: waits for the service and logs its run time. */
[[noreturn]] static void timed_run(const struct svc *s)
{
	uint64_t start = mono_ms();
	pid_t child = fork();
	int status = 0;
	pid_t got;

	if (child < 0)
		die_errno("fork() failed");
	if (child == 0)
		exec_service(s);
	do
		got = waitpid(child, &status, 0);
	while (got < 0 && errno == EINTR);
	if (got != child) {
		LOG_E(log4c_cat_launchd_timing, "invalid child pid=%d.", (int)got);
		exit(-1);
	}
	int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	LOG_D(log4c_cat_launchd_timing, "'%s' ran: %ld ms, period: %d ms, pid: %d, status: %d", s->def.name,
	      (long)(mono_ms() - start), s->def.period_ms, (int)child, code);
	exit(code);
}

static void svc_run(struct svc *s)
{
	if (s->pid) {
		LOG_W(log4c_cat_launchd, "'%s' is still running, not started.", s->def.name);
		return;
	}
	pid_t pid = fork();
	if (pid < 0) {
		say("fork() failed: %s\n", strerror(errno));
		return;
	}
	if (pid == 0) {
		if (__log4c_enabled(&log4c_cat_launchd_timing, LOG_DEBUG))
			timed_run(s);
		exec_service(s);
	}
	s->pid = pid;
}

void launcher_fire(int id)
{
	struct svc *s = find_id(id);
	if (s)
		svc_run(s);
}

void launcher_on_timer(int sig, siginfo_t *info, void *uctx)
{
	(void)uctx;
	if (sig != launcher_timer_signal() || !info || info->si_code != SI_TIMER)
		return;
	int saved = errno;
	launcher_fire(info->si_value.sival_int);
	errno = saved;
}

static void svc_unlink(struct svc *s)
{
	list_del(&s->node);
	timer_delete(s->timer);
	svc_free(s);
}

void launcher_remove(const char *path)
{
	list_for_each_safe(pos, n, &services) {
		struct svc *s = list_entry(pos, struct svc, node);
		if (strcmp(s->path, path) == 0)
			svc_unlink(s);
	}
}

static int arm_timer(struct svc *s)
{
	struct sigevent sev;
	struct itimerspec its;

	memset(&sev, 0, sizeof(sev));
	sev.sigev_notify = SIGEV_SIGNAL;
	sev.sigev_signo = launcher_timer_signal();
	sev.sigev_value.sival_int = s->id;
	if (timer_create(CLOCK_MONOTONIC, &sev, &s->timer) < 0) {
		say("timer_create() failed: %s\n", strerror(errno));
		return -1;
	}
	memset(&its, 0, sizeof(its));
	its.it_value.tv_sec = s->def.period_ms / 1000;
	its.it_value.tv_nsec = (long)(s->def.period_ms % 1000) * 1000000L;
	its.it_interval = its.it_value;
	if (timer_settime(s->timer, 0, &its, NULL) < 0) {
		say("timer_settime() failed: %s\n", strerror(errno));
		timer_delete(s->timer);
		return -1;
	}
	return 0;
}

static struct svc *svc_new(const char *path, struct svc_def *def)
{
	struct svc *s = (struct svc *)calloc(1, sizeof(*s));

	if (!s)
		return NULL;
	s->def = *def;
	memset(def, 0, sizeof(*def));
	s->path = strdup(path);
	if (s->def.out && asprintf(&s->out_tmp, "%s.xxx", s->def.out) < 0)
		s->out_tmp = NULL;
	if (!s->path || (s->def.out && !s->out_tmp)) {
		svc_free(s);
		return NULL;
	}
	return s;
}

int launcher_load(const char *path)
{
	struct svc *old = find_path(path);
	pid_t running = old ? old->pid : 0;
	struct svc_def def;
	struct svc *s;

	launcher_remove(path);
	if (svcfile_load(path, &def) < 0 || !(s = svc_new(path, &def))) {
		svc_def_free(&def);
		say("can't load '%s' service\n", path);
		return -1;
	}
	s->id = new_id();
	LOG_I(log4c_cat_launchd, "add new service '%s': name=[%s], cmd=[%s], period=[%d]", s->path, s->def.name,
	      s->def.cmd, s->def.period_ms);
	if (arm_timer(s) < 0) {
		say("failed to add timer for: '%s'\n", path);
		svc_free(s);
		return -1;
	}
	list_add_tail(&s->node, services.next);
	s->pid = running;
	if (!s->def.delay_first)
		svc_run(s);
	return 0;
}

void launcher_reaped(pid_t pid)
{
	list_for_each(pos, &services) {
		struct svc *s = list_entry(pos, struct svc, node);
		if (s->pid != pid)
			continue;
		s->pid = 0;
		if (s->def.out && rename(s->out_tmp, s->def.out) < 0)
			LOG_D(log4c_cat_launchd, "rename '%s': %s", s->out_tmp, strerror(errno));
	}
}

void launcher_clear(void)
{
	list_for_each_safe(pos, n, &services)
		svc_unlink(list_entry(pos, struct svc, node));
}

int launcher_id_of(const char *path)
{
	struct svc *s = find_path(path);
	return s ? s->id : 0;
}

pid_t launcher_pid_of(const char *path)
{
	struct svc *s = find_path(path);
	return s ? s->pid : 0;
}

unsigned launcher_count(void)
{
	unsigned n = 0;
	list_for_each(pos, &services)
		n++;
	return n;
}
