/* CPU load from the samples that cpustat -l leaves in /var/run/cpustat.  Messages go to the stats
 * category: the collector's log contract puts them there. */
#include "stats/load.h"

#include "spine/logging.h"
#include "stats/stats_codec.h"

#include <stdio.h>

#define CPUSTAT_FILE "/var/run/cpustat"
#define CPUSTAT_MAX 100

int stats_get_current_load(void)
{
	double v[CPUSTAT_MAX];
	int n = 0;
	FILE *f = fopen(CPUSTAT_FILE, "re");

	if (!f) {
		LOG_E(log4c_cat_stats, "Failed to open " CPUSTAT_FILE "\n");
		return 0;
	}
	while (n < CPUSTAT_MAX && fscanf(f, "%lf", &v[n]) == 1)
		n++;
	fclose(f);
	return load_percent(v, n);
}
