/* launchd: runs the shell commands of the service files in /tmp/launchd/periodic and
 * /tmp/launchd/services periodically, following the folders as files come, change and go. */
#include "spine/applet.h"
#include "spine/logging.h"
#include "spine/utils.h"
#include "supervise/launcher.h"
#include "supervise/watchtab.h"

#include <errno.h>
#include <ftw.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

LOG4C_CATEGORY_PAIR(log4c_cats_launchd, "launchd.timing", "launchd");

#define LAUNCHD_DIR "/tmp/launchd"
#define LAUNCHD_PERIODIC LAUNCHD_DIR "/periodic"
#define LAUNCHD_SERVICES LAUNCHD_DIR "/services"
#define WATCH_MASK (IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE)
#define EVENT_BUF 16384

static volatile sig_atomic_t launchd_stop;

static void on_int(int sig)
{
	(void)sig;
	launchd_stop = 1;
}

/* Its only work is to end the wait, so the loop reaps. */
static void on_chld(int sig)
{
	(void)sig;
}

/* The timer signal and SIGCHLD exclude each other; SIGINT only sets the flag. */
static void install_signals(void)
{
	struct sigaction sa;
	int timer = launcher_timer_signal();

	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_int;
	sigemptyset(&sa.sa_mask);
	if (sigaction(SIGINT, &sa, NULL) < 0)
		die_errno("sigaction");
	sa.sa_handler = NULL;
	sa.sa_sigaction = launcher_on_timer;
	sa.sa_flags = SA_SIGINFO;
	sigaddset(&sa.sa_mask, SIGCHLD);
	if (sigaction(timer, &sa, NULL) < 0)
		die_errno("sigaction");
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_chld;
	sigemptyset(&sa.sa_mask);
	sigaddset(&sa.sa_mask, timer);
	if (sigaction(SIGCHLD, &sa, NULL) < 0)
		die_errno("sigaction");
}

/* The three signals are blocked everywhere but in the wait (see main_loop); returns the mask the
 * wait takes. */
static sigset_t block_signals(void)
{
	sigset_t block, wait_mask;

	sigemptyset(&block);
	sigaddset(&block, SIGINT);
	sigaddset(&block, SIGCHLD);
	sigaddset(&block, launcher_timer_signal());
	sigprocmask(SIG_BLOCK, &block, &wait_mask);
	sigdelset(&wait_mask, SIGINT);
	sigdelset(&wait_mask, SIGCHLD);
	sigdelset(&wait_mask, launcher_timer_signal());
	return wait_mask;
}

static void make_dirs(void)
{
	static const char *const dirs[] = { LAUNCHD_DIR, LAUNCHD_PERIODIC, LAUNCHD_SERVICES };
	for (size_t i = 0; i < sizeof(dirs) / sizeof(dirs[0]); i++)
		if (mkdir(dirs[i], 0700) < 0 && errno != EEXIST)
			fprintf(stderr, "mkdir %s: %s\n", dirs[i], strerror(errno));
}

static void watch_dir(int ifd, struct watchtab *tab, const char *dir)
{
	int wd = inotify_add_watch(ifd, dir, WATCH_MASK);
	if (wd < 0)
		die_errno("inotify_add_watch() failed.");
	if (watchtab_put(tab, wd, dir) < 0)
		die("out of memory");
	LOG_D(log4c_cat_launchd, "watching %s", dir);
}

static int load_found(const char *path, const struct stat *st, int type, struct FTW *ftw)
{
	(void)ftw;
	if (type == FTW_F && S_ISREG(st->st_mode))
		launcher_load(path);
	return 0;
}

static void handle_event(const struct watchtab *tab, const struct inotify_event *ev)
{
	const char *dir = watchtab_get(tab, ev->wd);
	const char *name = ev->len ? ev->name : "";
	char path[PATH_MAX], kind[48];

	if (!dir)
		dir = "";
	snprintf(path, sizeof(path), "%s/%s", dir, name);
	if (ev->mask & (IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_TO)) {
		LOG_D(log4c_cat_launchd, "(re)load service '%s'", path);
		launcher_load(path);
	} else if (ev->mask & (IN_MOVED_FROM | IN_DELETE)) {
		LOG_D(log4c_cat_launchd, "remove service '%s'", path);
		launcher_remove(path);
	} else {
		LOG_D(log4c_cat_launchd, "Unhandled event: %s: '%s/%s'\n", inotify_kind(ev->mask, ev->cookie, kind, sizeof(kind)),
		      dir, name);
	}
}

/* Every pending event, EVENT_BUF bytes at a time; the kernel never splits an event across reads. */
static void read_events(int ifd, const struct watchtab *tab)
{
	static char buf[EVENT_BUF] __attribute__((aligned(__alignof__(struct inotify_event))));

	for (;;) {
		ssize_t n = read(ifd, buf, sizeof(buf));
		if (n <= 0)
			return;
		for (ssize_t off = 0; (size_t)(n - off) >= sizeof(struct inotify_event);) {
			const struct inotify_event *ev = (const struct inotify_event *)(buf + off);
			size_t step = sizeof(*ev) + ev->len;
			if (step > (size_t)(n - off))
				break;
			handle_event(tab, ev);
			off += (ssize_t)step;
		}
	}
}

static void reap(void)
{
	for (;;) {
		int status;
		pid_t pid = waitpid(-1, &status, WNOHANG);
		if (pid > 0) {
			launcher_reaped(pid);
			continue;
		}
		if (pid == 0 || errno == ECHILD)
			return;
		if (errno != EINTR)
			die_errno("waitpid() failed");
	}
}

/* Signals are taken only inside the wait: the handler that starts services can then never
 * interrupt a change of the list, an allocation or a log line of this loop. */
static void main_loop(int ep, int ifd, const struct watchtab *tab, const sigset_t *wait_mask)
{
	while (!launchd_stop) {
		struct epoll_event ev;
		int n = epoll_pwait(ep, &ev, 1, -1, wait_mask);
		if (n < 0 && errno != EINTR)
			die_errno("epoll_wait() failed.");
		if (n > 0)
			read_events(ifd, tab);
		reap();
	}
}

static int launchd_main(int argc, char **argv)
{
	struct watchtab tab;
	struct epoll_event ev;

	(void)argc;
	(void)argv;
	watchtab_init(&tab);
	int ifd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
	if (ifd < 0)
		die_errno("inotify_init() failed.");
	sigset_t wait_mask = block_signals();
	install_signals();
	make_dirs();
	watch_dir(ifd, &tab, LAUNCHD_PERIODIC);
	watch_dir(ifd, &tab, LAUNCHD_SERVICES);
	if (nftw(LAUNCHD_PERIODIC, load_found, 16, FTW_PHYS) < 0)
		die_errno("nftw() failed.");
	int ep = epoll_create1(EPOLL_CLOEXEC);
	if (ep < 0)
		die_errno("epoll_create() failed.");
	memset(&ev, 0, sizeof(ev));
	ev.events = EPOLLIN;
	ev.data.fd = ifd;
	if (epoll_ctl(ep, EPOLL_CTL_ADD, ifd, &ev) < 0)
		die_errno("epoll_ctl() failed.");

	main_loop(ep, ifd, &tab, &wait_mask);

	close(ep);
	launcher_clear();
	watchtab_free(&tab);
	close(ifd);
	return 0;
}

APPLET("launchd", launchd_main);
