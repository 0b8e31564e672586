/* The spectrum scan and the link test: started, read and stopped by the main loop only, on what
 * the MQTT thread asked for.  Stopping kills the child's process group first and closes the pipe
 * after, so no stream is closed under a reader and the MQTT thread never waits for a child. */
#include "pipes.h"

#include "agent.h"
#include "linebuf.h"
#include "request.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#define SCAN_LINE_MAX (32 * 1024)
#define LINKTEST_LINE_MAX 1024
#define READ_PER_ROUND (64 * 1024)
#define REAP_WAIT_MS 2000

struct child {
	pid_t pid;
	int fd;
	struct linebuf lb;
};

static int child_spawn(struct child *c, const char *const argv[])
{
	int p[2];

	if (pipe2(p, O_CLOEXEC) < 0)
		return -1;
	fflush(NULL);
	pid_t pid = fork();
	if (pid < 0) {
		close(p[0]);
		close(p[1]);
		return -1;
	}
	if (pid == 0) {
		sigset_t none;
		int null = open("/dev/null", O_RDONLY);
		setpgid(0, 0);
		if (null >= 0)
			dup2(null, STDIN_FILENO);
		dup2(p[1], STDOUT_FILENO);
		signal(SIGPIPE, SIG_DFL);
		sigemptyset(&none);
		sigprocmask(SIG_SETMASK, &none, NULL);
		execvp(argv[0], (char *const *)argv);
		_exit(127);
	}
	close(p[1]);
	setpgid(pid, pid); /* also from here: no kill may reach the group before the child made it */
	c->pid = pid;
	c->fd = p[0];
	return 0;
}

/* The child's wait status, waiting at most REAP_WAIT_MS before killing it. */
static int child_reap(pid_t pid)
{
	int status = 0;

	for (int waited = 0; waited < REAP_WAIT_MS; waited += 20) {
		pid_t r = waitpid(pid, &status, WNOHANG);
		if (r == pid || (r < 0 && errno != EINTR))
			return r == pid ? status : -1;
		struct timespec ts = { 0, 20 * 1000000L };
		nanosleep(&ts, NULL);
	}
	kill(-pid, SIGKILL);
	while (waitpid(pid, &status, 0) < 0)
		if (errno != EINTR)
			return -1;
	return status;
}

int child_output(const char *const argv[], char *out, size_t size, int *status)
{
	struct child c;
	size_t used = 0;
	char sink[512];

	if (child_spawn(&c, argv) < 0)
		return -1;
	for (;;) {
		ssize_t n = used + 1 < size ? read(c.fd, out + used, size - 1 - used) : read(c.fd, sink, sizeof(sink));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		if (used + 1 < size)
			used += (size_t)n;
	}
	out[used] = '\0';
	close(c.fd);
	*status = child_reap(c.pid);
	return *status == -1 ? -1 : 0;
}

/* ---- the two long-running children ---- */

struct job {
	const char *name;
	struct child c;
	int running;
};

static struct job scan = { "spectrum scan", { -1, -1, { NULL, 0, 0, 0, 0 } }, 0 };
static struct job test = { "link test", { -1, -1, { NULL, 0, 0, 0, 0 } }, 0 };
static char scan_radio[16];
static struct linktest_plan plan;
static int plan_index;

static void report_running(void)
{
	agent_lock();
	agent.scan_running = scan.running;
	agent.linktest_running = test.running;
	agent_unlock();
}

static int job_start(struct job *j, const char *const argv[], size_t line_max)
{
	if (linebuf_init(&j->c.lb, line_max) < 0)
		return -1;
	if (child_spawn(&j->c, argv) < 0) {
		linebuf_free(&j->c.lb);
		return -1;
	}
	fcntl(j->c.fd, F_SETFL, fcntl(j->c.fd, F_GETFL) | O_NONBLOCK);
	j->running = 1;
	return 0;
}

/* Ends the job: the process group is killed unless it already ended; then the pipe closes. */
static int job_end(struct job *j, int kill_first, const char *killall)
{
	if (!j->running)
		return -1;
	if (kill_first)
		kill(-j->c.pid, SIGTERM);
	if (killall) {
		const char *argv[] = { "killall", killall, NULL };
		run_program(argv);
	}
	close(j->c.fd);
	int status = child_reap(j->c.pid);
	linebuf_free(&j->c.lb);
	j->c.fd = -1;
	j->c.pid = -1;
	j->running = 0;
	return status;
}

static int job_read(struct job *j, int (*line)(void *, char *, size_t), int *eof)
{
	char buf[4096];
	size_t total = 0;

	*eof = 0;
	while (total < READ_PER_ROUND && j->running) {
		ssize_t n = read(j->c.fd, buf, sizeof(buf));
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
			break;
		if (n <= 0) {
			linebuf_finish(&j->c.lb, line, j);
			*eof = 1;
			break;
		}
		total += (size_t)n;
		size_t used = linebuf_feed(&j->c.lb, buf, (size_t)n, line, j);
		if (used < (size_t)n) {
			*eof = -1; /* the line handler gave up */
			break;
		}
	}
	return total > 0;
}

/* ---- spectrum scan ---- */

static int scan_line(void *ctx, char *text, size_t len)
{
	json_error_t err;
	json_t *data = json_loadb(text, len, JSON_DECODE_ANY, &err);

	(void)ctx;
	if (!data) {
		cv_log(0, "JSON error: %s\n", err.text);
		return 0;
	}
	json_t *doc = json_pack("{ssssso}", "type", "spectrum", "wifi", scan_radio, "data", data);
	struct ids_copy c;
	char topic[TOPIC_MAX];
	agent_ids(&c);
	int rc = -1;
	if (doc && topic_node(topic, sizeof(topic), &c.ids, "results") == 0)
		rc = publish_json(topic, doc, 0, 1);
	json_decref(doc);
	return rc < 0; /* a failed publication ends the scan */
}

static void scan_start(void)
{
	const char *argv[] = { "/sbin/spectraltool.sh", scan_radio, NULL };

	if (job_start(&scan, argv, SCAN_LINE_MAX) < 0)
		cv_log(0, "cannot open output stream\n");
}

/* ---- link test ---- */

static int linktest_line(void *ctx, char *text, size_t len)
{
	json_error_t err;
	json_t *doc = json_loadb(text, len, 0, &err);

	(void)ctx;
	if (!doc) {
		cv_log(0, "JSON error: %s\n", err.text);
		return 0;
	}
	struct ids_copy c;
	char topic[TOPIC_MAX];
	agent_ids(&c);
	if (topic_node(topic, sizeof(topic), &c.ids, "linktest") == 0)
		publish_json(topic, doc, 0, 0);
	json_decref(doc);
	return 0;
}

static int linktest_run(void)
{
	char iter[16], size[16], count[16];
	int s = plan.sizes[plan_index];
	const char *argv[16];
	int n = 0;

	snprintf(iter, sizeof(iter), "%d", plan.iterations);
	snprintf(size, sizeof(size), "%d", s);
	snprintf(count, sizeof(count), "%d", request_linktest_count(s));
	argv[n++] = "/usr/sbin/linktest";
	argv[n++] = "-t";
	argv[n++] = iter;
	argv[n++] = "-s";
	argv[n++] = size;
	argv[n++] = "-p";
	argv[n++] = plan.station;
	argv[n++] = "-j";
	if (plan.reverse)
		argv[n++] = "-r";
	argv[n++] = "-c";
	argv[n++] = count;
	argv[n++] = "-d";
	argv[n++] = "auto";
	argv[n] = NULL;
	if (job_start(&test, argv, LINKTEST_LINE_MAX) < 0) {
		cv_log(0, "cannot open output stream\n");
		return -1;
	}
	return 0;
}

/* ---- the main loop's part ---- */

static void take_requests(void)
{
	agent_lock();
	enum pipe_request sr = agent.scan_req, lr = agent.linktest_req;
	agent.scan_req = PIPE_NONE;
	agent.linktest_req = PIPE_NONE;
	if (sr == PIPE_START)
		memcpy(scan_radio, agent.scan_radio, sizeof(scan_radio));
	if (lr == PIPE_START)
		plan = agent.linktest;
	agent_unlock();

	if (sr == PIPE_STOP) {
		if (scan.running)
			job_end(&scan, 1, "spectralscan");
		else {
			const char *argv[] = { "killall", "spectralscan", NULL };
			run_program(argv);
		}
	} else if (sr == PIPE_START && !scan.running) {
		scan_start();
	}
	if (lr == PIPE_STOP) {
		if (test.running)
			job_end(&test, 1, "linktest");
		else {
			const char *argv[] = { "killall", "linktest", NULL };
			run_program(argv);
		}
	} else if (lr == PIPE_START && !test.running) {
		plan_index = 0;
		linktest_run();
	}
}

int pipes_service(void)
{
	int eof, forwarded = 0;

	take_requests();
	if (scan.running) {
		forwarded |= job_read(&scan, scan_line, &eof);
		if (eof) {
			job_end(&scan, eof < 0, NULL);
			cv_log(1, "spectrum scan of %s finished\n", scan_radio);
		}
	}
	if (test.running) {
		forwarded |= job_read(&test, linktest_line, &eof);
		if (eof) {
			int status = job_end(&test, eof < 0, NULL);
			if (eof > 0 && status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
			    ++plan_index < plan.count)
				linktest_run();
			else
				cv_log(1, "linktest finished after %d of %d packet sizes\n", plan_index, plan.count);
		}
	}
	report_running();
	return forwarded;
}

void pipes_close(void)
{
	job_end(&scan, 1, NULL);
	job_end(&test, 1, NULL);
	report_running();
}

int pipes_linktest_running(void)
{
	return test.running;
}

int pipes_pollfds(struct pollfd *fds, int max)
{
	int n = 0;

	if (scan.running && n < max) {
		fds[n].fd = scan.c.fd;
		fds[n++].events = POLLIN;
	}
	if (test.running && n < max) {
		fds[n].fd = test.c.fd;
		fds[n++].events = POLLIN;
	}
	return n;
}
