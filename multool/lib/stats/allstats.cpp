/* Reading /sys/qlix/all-stats. */
#include "stats/allstats.h"

#include "common/fileio.h"
#include "stats/stats_codec.h"

#include <stdint.h>
#include <stdlib.h>

size_t allstats_load(const char *path, struct qlix_stats_rec *out, size_t max)
{
	size_t size, n;
	char *buf = read_file(path, &size);

	if (!buf)
		return 0;
	n = allstats_decode((const uint8_t *)buf, size, out, max);
	free(buf);
	return n;
}
