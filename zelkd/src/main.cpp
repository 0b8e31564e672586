/* zelkd: options, start, the loop, shutdown. */
#include "zelkd.h"

#include <errno.h>
#include <getopt.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/daemon.h"
#include "paths.h"

static void usage(void)
{
	fputs("Options:\r\n\t-v verbose\r\n\t-d same as -v (verbose)\r\n\t-f foreground\r\n"
	      "\t-c <config> specify configuration file\r\n\t-h this help\r\n",
	      stderr);
	exit(255);
}

static void parse_options(struct zelk_state *s, int argc, char **argv)
{
	int c;

	s->foreground = 0;
	while ((c = getopt(argc, argv, "vdfc:h")) != -1) {
		switch (c) {
		case 'v':
		case 'd':
			s->verbose = 1;
			break;
		case 'f':
			s->foreground = 1;
			break;
		case 'c':
			s->config_path = optarg;
			break;
		default:
			usage();
		}
	}
}

static int make_workdir(void)
{
	if (mkdir(ZELK_DIR, 0755) < 0 && errno != EEXIST)
		return -1;
	return 0;
}

int main(int argc, char **argv)
{
	static struct zelk_state state;
	struct zelk_state *s = &state;

	if (make_workdir() < 0) {
		log_message_errno(KTRV_LOG_ERROR, "Cannot create %s directory.\n", ZELK_DIR);
		return 255;
	}
	if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK)
		return 255;
	zelk_state_init(s);
	if (!(s->easy = curl_easy_init()) || !(s->multi = curl_multi_init()))
		return 255;
	zelk_install_signals();
	parse_options(s, argc, argv);
	set_facility(KTRV_DEST_STDERR);
	if (!s->foreground)
		set_facility(KTRV_DEST_SYSLOG);
	set_level(s->verbose ? KTRV_LOG_DEBUG : KTRV_LOG_INFO);

	if (zelk_load_config(s, s->config_path) != 0) {
		log_message(KTRV_LOG_ERROR, "Cannot parse configuration file.\n");
		return 255;
	}
	s->verify_peer = s->verify_host = 0;
	s->connect_timeout = s->timeout * 2 / 3;

	if (!s->foreground && daemon_start(NULL) < 0) {
		log_message(KTRV_LOG_ERROR, "Daemonization failed.\n");
		return 255;
	}
	if (pidfile_write(ZELK_PIDFILE) < 0)
		log_message(KTRV_LOG_WARNING, "Cannot create %s file.\n", ZELK_PIDFILE);
	zelk_alarms_init(s);
	zelk_snmp_init(s);
	if (zelk_version_load(s, ZELK_VERSION) < 0 && zelk_version_load(s, ZELK_VERSION_LOCAL) < 0) {
		log_message(KTRV_LOG_ERROR, "Failed to obtain device version information.\n");
		return 255;
	}
	log_message(KTRV_LOG_DEBUG, "Device version information loaded.\n");
	zelk_wait_for_stats();

	if (!zelk_stop)
		zelk_loop(s);
	zelk_log_signals();
	zelk_shutdown(s);
	return 0;
}
