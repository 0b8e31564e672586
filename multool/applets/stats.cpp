#include "spine/applet.h"
#include "spine/logging.h"

#include "inventory.h"
#include "platform/ifi.h"
#include "radio/iwpriv.h"
#include "stats/stats_codec.h"
#include "stats/stats_sample.h"

#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

LOG4C_CATEGORY(log4c_cat_stats, "stats");

static void usage(const char *name)
{
	fprintf(stderr, "Usage: %s [-psw] [-l signal level]\n", name);
	fprintf(stderr, "\t-p                  dump periodic stats to %s\n", STATS_PERIODIC);
	fprintf(stderr, "\t-s                  dump common stats to %s\n", STATS_STATISTICS);
	fprintf(stderr, "\t-l signal level     use this signal level (in dBm) as a threshold value when\n");
	fprintf(stderr, "\t                    updating kicker data in %s, only\n", STATS_KICKER);
	fprintf(stderr, "\t                    works together with -w\n");
	fprintf(stderr, "\t-w                  dump wireless stats to %s\n", STATS_WIRELESS);
}

/* An interface is known to the driver when its mode can be read. */
static int vap_known(const char *ifname, void *arg)
{
	char mode[65];

	(void)arg;
	return iwpriv_get(ifname, "get_mode", mode, sizeof(mode) - 1) < 0 ? -1 : 0;
}

static int stats_main(int argc, char **argv)
{
	struct kick_entry *kick = NULL;
	int nkick = 0, opt;
	bool wireless = false, any = false;

	inventory();
	while ((opt = getopt(argc, argv, "pwsl:h")) != -1) {
		switch (opt) {
		case 'p':
			any = true;
			periodic_stats();
			break;
		case 's':
			any = true;
			statistics_stats();
			break;
		case 'w':
			any = true;
			wireless = true;
			break;
		case 'l': {
			char msg[512];
			free(kick);
			kick = NULL;
			nkick = kick_parse(optarg, vap_known, NULL, &kick, msg, sizeof(msg));
			if (nkick < 0) {
				fputs(msg, stderr);
				goto out;
			}
			break;
		}
		default:
			usage(argv[0]);
			goto out;
		}
	}
	if (!any)
		usage(argv[0]);
	else if (wireless)
		wireless_stats(kick, nkick);
out:
	free(kick);
	ifi_free_all();
	return 0;
}

APPLET("stats", stats_main);
