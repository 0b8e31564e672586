/* cpustat: CPU time shares, or only the load, over an interval, from the kernel's counters. */
#include "common/text.h"
#include "platform/cpusample.h"
#include "spine/applet.h"
#include "spine/utils.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static volatile sig_atomic_t stop_requested;

static void on_sigint(int sig)
{
	(void)sig;
	stop_requested = 1;
}

static int usage(void)
{
	printf("Usage: cpustat [-h] [-l] [-c count] [delay]\n"
	       "\t-c count -- how many results to display (default: infinity)\n"
	       "\t-l       -- display only cpu load\n"
	       "\t-h       -- display this and exit\n");
	return 0;
}

/* Whole number, sign allowed (its absolute value is used). */
static unsigned long parse_abs(const char *text)
{
	long v;
	if (parse_long(&v, text) < 0)
		die("Cannot parse '%s' as number.\n", text);
	return v < 0 ? -(unsigned long)v : (unsigned long)v;
}

static void read_sample(struct cpu_sample *s)
{
	FILE *f = fopen("/proc/stat", "re");
	if (!f)
		die("fopen() failed");
	if (cpu_sample_read(f, s) < 0)
		die("fscanf() failed");
	fclose(f);
}

static int cpustat_main(int argc, char **argv)
{
	unsigned long count = 0, delay = 1;
	bool load_only = false;
	int c;

	while ((c = getopt(argc, argv, ":c:lh")) != -1) {
		switch (c) {
		case 'c':
			count = parse_abs(optarg);
			break;
		case 'l':
			load_only = true;
			break;
		default:
			return usage();
		}
	}
	if (optind < argc)
		delay = parse_abs(argv[optind]);
	if (sysconf(_SC_CLK_TCK) <= 0)
		die("sysconf() failed");

	struct sigaction sa;
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_sigint;
	sigaction(SIGINT, &sa, NULL);

	for (unsigned long n = 0; !stop_requested && (count == 0 || n < count); n++) {
		struct cpu_sample prev, cur;
		char line[256];

		read_sample(&prev);
		if (delay)
			sleep((unsigned)delay);
		read_sample(&cur);
		cpu_report(line, sizeof(line), &prev, &cur, load_only);
		fputs(line, stdout);
		fflush(stdout);
	}
	return 0;
}

APPLET("cpustat", cpustat_main);
