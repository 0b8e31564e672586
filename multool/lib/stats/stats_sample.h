/* Statistics collector: the three documents.  Each returns 0, or -1 when its document was stopped. */
#pragma once

#include "stats/stats_codec.h"

int statistics_stats(void);
int periodic_stats(void);
int wireless_stats(const struct kick_entry *kick, int nkick);
