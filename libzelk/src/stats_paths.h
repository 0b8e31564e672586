/* Where the statistics collector publishes the documents the snapshot reads. */
#pragma once

#define ZELK_STATS_DIR "/var/run/stats"
