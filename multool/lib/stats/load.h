/* The CPU load the collector publishes, from the samples cpustat -l leaves behind. */
#pragma once

/* CPU load percent from /var/run/cpustat (median of the samples); 0 without the file, -1 without
 * any number. */
int stats_get_current_load(void);
