/* CPU load from the samples that cpustat -l leaves in /var/run/cpustat.  Messages go to the stats
 * category: the collector's log contract puts them there. */
#include "stats/load.h"

#include "spine/logging.h"

#include <stdio.h>
#include <stdlib.h>

#define CPUSTAT_FILE "/var/run/cpustat"
#define CPUSTAT_MAX 100

static int cmp_double(const void *a, const void *b)
{
	double x = *(const double *)a, y = *(const double *)b;
	return x < y ? -1 : x > y;
}

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
	if (n == 0)
		return -1;
	qsort(v, (size_t)n, sizeof(v[0]), cmp_double);
	double median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
	int load = (int)(median * 100 + 0.5);
	return load > 100 ? 100 : load;
}
