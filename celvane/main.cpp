/* celvane: the device's MQTT session with its cloud management service. */
#include "agent.h"

#include "eth.h"

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

static_assert(std::atomic<int>::is_always_lock_free, "signal handlers set atomics");

struct agent agent;
std::atomic<int> agent_stop, agent_exit, agent_phase, agent_verbosity;
std::atomic<int> due[ACT_COUNT];
std::atomic<int> dump_wanted, level_wanted, in_callback;
static std::atomic<int> last_signal;

static const int stop_signals[] = { SIGHUP, SIGINT, SIGTERM, SIGQUIT };

static void on_stop(int sig)
{
	last_signal.store(sig);
	agent_stop.store(1);
	agent_wake();
}

static void on_usr1(int sig)
{
	(void)sig;
	dump_wanted.store(1);
	agent_wake();
}

static void on_usr2(int sig)
{
	(void)sig;
	level_wanted.store(1);
	agent_wake();
}

static void usage(void)
{
	printf("Options:\n"
	       "\t-v verbose\n"
	       "\t-d same as -v (verbose)\n"
	       "\t-f foreground\n"
	       "\t-a <address> specify broker address (default: \"localhost:1883\")\n"
	       "\t-o <organization name> specify organization name (default: \"000000000000\")\n"
	       "\t-g <group id> specify group id\n"
	       "\t-n <network id> specify network id (default: \"default\")\n"
	       "\t-i <interval> publishing interval in seconds (default: 60, should be >=10)\n"
	       "\t-H do not verify hostname of certificate\r\n"
	       "\t-t test server\r\n"
	       "\t-T work on test config file (default: \"/tmp/config_rx.json\")\r\n"
	       "\t-h this help\r\n");
	exit(255);
}

/* A name that becomes part of topics and of the user name. */
static void copy_name(char *dst, size_t size, const char *src, char opt)
{
	if (!topic_name_ok(src, size)) {
		fprintf(stderr, "celvane: -%c must be 1 to %zu characters without '/', '+' or '#'\n", opt, size - 1);
		exit(255);
	}
	snprintf(dst, size, "%s", src);
}

static void parse_options(int argc, char **argv)
{
	int opt, net_given = 0;

	snprintf(agent.host, sizeof(agent.host), "localhost");
	snprintf(agent.org, sizeof(agent.org), "000000000000");
	snprintf(agent.net, sizeof(agent.net), "default");
	agent.interval = 60;
	while ((opt = getopt(argc, argv, "vdfa:o:i:n:hHtTg:r:")) != -1) {
		switch (opt) {
		case 'v':
		case 'd':
			agent_verbosity++;
			break;
		case 'f':
			agent.foreground = 1;
			break;
		case 'a':
			if (strlen(optarg) >= sizeof(agent.host))
				usage();
			snprintf(agent.host, sizeof(agent.host), "%s", optarg);
			break;
		case 'o':
			copy_name(agent.org, sizeof(agent.org), optarg, 'o');
			break;
		case 'g':
			copy_name(agent.group, sizeof(agent.group), optarg, 'g');
			break;
		case 'n':
			copy_name(agent.net, sizeof(agent.net), optarg, 'n');
			net_given = 1;
			break;
		case 'r':
			snprintf(agent.router, sizeof(agent.router), "%s", optarg);
			agent.router_set = 1;
			break;
		case 'i':
			agent.interval = atoi(optarg);
			break;
		case 'H':
			agent.no_host_check = 1;
			break;
		case 't':
			agent.test_server = 1;
			break;
		case 'T':
			agent.test_config = 1;
			break;
		default:
			usage();
		}
	}
	if (agent.interval < 11)
		agent.interval = 60;
	if (net_given && !agent.router_set)
		agent.router_set = 1; /* "" */
	if (agent_verbosity.load() > 3)
		agent_verbosity.store(3);
}

static void identity(void)
{
	uint8_t mac[6];

	if (eth0_mac(mac) == 0)
		eth0_mac_text(agent.ga_mac);
	if (agent.test_server) {
		snprintf(agent.client_id, sizeof(agent.client_id), "0123456789ab");
	} else {
		if (eth0_mac(mac) < 0) {
			fprintf(stderr, "Failed to get mac address of eth0\n");
			exit(255);
		}
		snprintf(agent.client_id, sizeof(agent.client_id), "%.2x%.2x%.2x%.2x%.2x%.2x", mac[0], mac[1], mac[2],
			 mac[3], mac[4], mac[5]);
	}
	if ((size_t)snprintf(agent.user, sizeof(agent.user), "%s-%s", agent.org, agent.client_id) >= sizeof(agent.user)) {
		fprintf(stderr, "failed to alloc\n");
		exit(1);
	}
}

static int signals_install(void)
{
	struct sigaction ign;

	memset(&ign, 0, sizeof(ign));
	ign.sa_handler = SIG_IGN;
	sigaction(SIGPIPE, &ign, NULL);
	for (size_t i = 0; i < sizeof(stop_signals) / sizeof(stop_signals[0]); i++) {
		struct sigaction sa;
		memset(&sa, 0, sizeof(sa));
		sa.sa_handler = on_stop;
		sigemptyset(&sa.sa_mask);
		if (sigaction(stop_signals[i], &sa, NULL) < 0)
			return -1;
	}
	struct sigaction u1, u2;
	memset(&u1, 0, sizeof(u1));
	memset(&u2, 0, sizeof(u2));
	u1.sa_handler = on_usr1;
	u2.sa_handler = on_usr2;
	if (sigaction(SIGUSR1, &u1, NULL) < 0 || sigaction(SIGUSR2, &u2, NULL) < 0)
		return -1;
	if (timers_install() < 0) {
		cv_log(0, "Failed to setup signal handling for TIMER_SIG\n");
		exit(255);
	}
	return 0;
}

/* The lock lives as long as the process; the file is only removed at a clean exit. */
static int pidfile_lock(void)
{
	char text[24];
	int fd = open(CV_PIDFILE, O_RDWR | O_CREAT | O_CLOEXEC, 0644);

	if (fd < 0) {
		cv_log(0, "Cannot create '%s' pid file.\n", CV_PIDFILE);
		exit(255);
	}
	if (flock(fd, LOCK_EX | LOCK_NB) < 0) {
		cv_log(0, "Waiting to lock '%s' pid file - another instance running?\n", CV_PIDFILE);
		sleep(15);
		if (flock(fd, LOCK_EX | LOCK_NB) < 0) {
			cv_log(0, "Failed to register pid file - celvane already running?\n");
			exit(255);
		}
	}
	int len = snprintf(text, sizeof(text), "%d\n", (int)getpid());
	if (ftruncate(fd, 0) < 0 || pwrite(fd, text, (size_t)len, 0) != len)
		cv_log(0, "Cannot write '%s' pid file.\n", CV_PIDFILE);
	return fd;
}

int main(int argc, char **argv)
{
#ifdef M_ARENA_MAX
	/* Three threads with little contention: one heap, so bursts on the MQTT threads do not leave
	 * arenas of their own behind (the resident size stays flat under load). */
	mallopt(M_ARENA_MAX, 1);
#endif
	pthread_mutex_init(&agent.lock, NULL);
	cv_log_open();
	parse_options(argc, argv);
	identity();
	if (!agent.foreground && !agent.test_server && daemon(0, 0) < 0) {
		cv_log(0, "Cannot detach: %s\n", strerror(errno));
		exit(255);
	}
	if (signals_install() < 0) {
		cv_log(0, "Cannot install signal handlers\n");
		exit(255);
	}
	int pidfd = pidfile_lock();
	state_file_write();

	int status = session_run();
	if (last_signal.load())
		cv_log(3, "Got signal %d\n", last_signal.load());

	agent_lock();
	free(agent.password);
	agent.password = NULL;
	free(agent.upgrade_sha1);
	agent.upgrade_sha1 = NULL;
	agent_unlock();
	cv_log(2, "exiting\n");
	closelog();
	unlink(CV_PIDFILE);
	close(pidfd);
	state_file_remove();
	return status;
}
