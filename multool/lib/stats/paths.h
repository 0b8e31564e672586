/* The documents of the statistics collector, and the files it reads beside them. */
#pragma once

#define STATS_DIR "/var/run/stats"
#define STATS_STATE_DIR STATS_DIR "/state"
#define STATS_STATISTICS STATS_DIR "/statistics.json"
#define STATS_PERIODIC STATS_DIR "/periodic.json"
#define STATS_WIRELESS STATS_DIR "/wireless.json"
#define STATS_KICKER STATS_DIR "/kicker.json"
#define STATS_STATE_STATISTICS STATS_STATE_DIR "/statistics.json"
#define STATS_STATE_WIRELESS STATS_STATE_DIR "/wireless.json"
#define STATS_PEER_CACHE STATS_DIR "/peer.cache"
#define STATS_PRECONFIGURED STATS_DIR "/preconfigured.json"
#define STATS_RFSCHEDULER STATS_DIR "/rfscheduler_status.json"
#define STATS_ALLSTATS "/sys/qlix/all-stats"
