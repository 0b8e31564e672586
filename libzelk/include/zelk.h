/* libzelk: the management agent's support library.  A snapshot of the device read from the statistics
 * documents under /var/run/stats (cached for a few seconds), the statistic identifiers the management
 * server asks for, placeholder expansion, and small process, file and JSON helpers.
 *
 * Plain C ABI; single-threaded; logging goes through log_message/log_message_errno, which the process
 * provides (libktrv).  Buffers returned by load_file are the caller's to free. */
#pragma once

#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/time.h>

#include "common/list.h"
#include "zjson.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZELK_SIGNAL_NONE (-99)
#define ZELK_CHAINS 3

/* A point in time of the clock the caller reads (the agent reads the monotonic clock). */
struct zelk_time {
	int64_t sec;
	int32_t usec;
};

struct zelk_vap {
	struct list_head link;
	char name[16];
	int32_t if_index;
	char mac[20];
	int32_t frequency;
	int32_t bitrate;
	char security[64];
	char channel_width[64];
	int32_t tx_power;
	int32_t noise;
	int32_t signal;			   /* combined over the chains with a value; -99 none */
	int32_t chain_signal[ZELK_CHAINS]; /* -99 none */
};

struct zelk_peer {
	struct list_head link;
	char vap[16];
	int32_t vap_if_index;
	char mac[20];
	uint32_t link_uptime;
	uint64_t tx_bytes, tx_rate, rx_bytes, rx_rate;
	char remote_ip[64];
	int32_t remote_tx_power;
	int32_t remote_signal[ZELK_CHAINS]; /* 0 none */
};

struct zelk_ifstat {
	struct list_head link;
	char name[16];
	int32_t if_index;
	uint64_t tx_bytes, rx_bytes;
};

struct zelk_dev_info {
	struct zelk_time next; /* next collection */
	char firmware[128];    /* filled by the agent from its version file */
	char device_ip[64];
	char eth_mac[20];
	char eth_link[10];
	int32_t cpu_load;
	int32_t memory_usage;
	struct list_head vaps;
	struct list_head ifstats;
	int32_t peer_count;
	struct list_head peers;
};

/* ---- device information ---- */
ZELK_API void init_dev_info(struct zelk_dev_info *info);
/* Refreshes unless the last refresh is less than interval seconds old: 0; -1 when a needed document
 * is missing, lacks interfaces.eth0, or memory runs out (the lists are emptied then). */
ZELK_API int collect_dev_info(struct zelk_dev_info *info, int interval);
ZELK_API void free_dev_info(struct zelk_dev_info *info);
ZELK_API struct zelk_vap *get_wireless_info_by_name(struct zelk_dev_info *info, const char *name);
ZELK_API struct zelk_vap *get_wireless_info_by_index(struct zelk_dev_info *info, int index);
ZELK_API struct zelk_ifstat *get_interface_stats_by_index(struct zelk_dev_info *info, int index);
/* The n-th peer (from 1) of the whole list when it belongs to the VAP of that index, else NULL. */
ZELK_API struct zelk_peer *get_peer_info(struct zelk_dev_info *info, int vap_index, unsigned n);

/* ---- statistic identifiers ---- */
/* Value text of the identifier in buf: 0; -1 when no prefix matches, the value is absent or does not
 * fit in size. */
ZELK_API int get_pseudo_optional(struct zelk_dev_info *info, const char *identifier, char *buf, int size);
/* Expands $if_index(name) and $(name) parts into interface indexes.  -1 when the result does not fit
 * in size bytes (out then holds no partial text). */
ZELK_API int resolve_placeholders(const char *identifier, char *out, size_t size);
/* interfaces.<name>.if_index of statistics.json, or -1. */
ZELK_API int get_ifindex(const char *name);
/* Milliseconds until next: 0 once it has passed, and 0 when more than interval seconds remain (the
 * clock went back). */
ZELK_API int64_t time_remains(int interval, const struct timeval *now, const struct zelk_time *next);

/* ---- helpers ---- */
/* Runs argv[0] with argv and waits: 0 and the raw wait status; -1 when it could not be started. */
ZELK_API int run_helper(char *const argv[], int *status);
ZELK_API int zelk_install_handler(int sig, void (*handler)(int));
ZELK_API int resolve(const char *host, char *buf, int size);
/* The whole file in a new buffer, not terminated; NULL for an empty or unreadable file. */
ZELK_API char *load_file(const char *path, int *len);
ZELK_API int flush_file(const char *path, const void *data, int len);
ZELK_API unsigned long file_size(const char *path);
ZELK_API int file_exists(const char *path);
ZELK_API int matches(const char *a, const char *b);
ZELK_API int matches_icase(const char *a, const char *b);

/* ---- JSON ---- */
/* Copies the string at the dotted key (at most len - 1 bytes, terminated); leaves dst otherwise. */
ZELK_API void json_fill_string(const zjson *obj, const char *key, char *dst, int len);
/* The number at the dotted key rounded half away from zero; 0 when missing or not a number. */
ZELK_API void json_fill_integer(const zjson *obj, const char *key, int *out);
ZELK_API void json_fill_u32(const zjson *obj, const char *key, unsigned *out);
ZELK_API void json_fill_u64(const zjson *obj, const char *key, uint64_t *out);
/* The conversion under them: rounded, and clamped to the 64-bit range (a real such as 1e30 has no
 * integer value; converting it unclamped is undefined). */
ZELK_API int64_t zelk_round(double v);

#ifdef __cplusplus
}
#endif
