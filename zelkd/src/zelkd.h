/* zelkd: the management agent.  One state record per process; everything runs in the main loop. */
#pragma once

#include <curl/curl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>

#include "common/list.h"
#include "ktrv.h"
#include "paths.h"
#include "zelk.h"

/* The server's heartbeat interval is taken within these bounds: a reply of 0 changes nothing, an
 * absurd one must neither make the agent post in a tight loop nor go silent for months. */
#define ZELK_INTERVAL_MIN 1
#define ZELK_INTERVAL_MAX 86400
#define ZELK_START_INTERVAL 15
#define ZELK_INFO_INTERVAL 5
#define ZELK_FILE_LIMIT 100000
#define ZELK_DOWNLOAD_LIMIT 300
/* After the installer or the reboot program started well the device is expected to go down; if it
 * has not after this long, the agent takes up its work again. */
#define ZELK_RESTART_GRACE_MS (600 * 1000)

enum zelk_task_code {
	ZELK_TASK_CONFIG_UPLOAD = 2,
	ZELK_TASK_CONFIG_DOWNLOAD = 3,
	ZELK_TASK_CONFIG_MERGE = 4,
	ZELK_TASK_FIRMWARE_UPGRADE = 5,
	ZELK_TASK_FIRMWARE_DOWNLOAD = 6,
	ZELK_TASK_REBOOT = 7,
	ZELK_TASK_TROUBLESHOOT = 12,
};

struct zelk_task {
	struct list_head link;
	int code;
	char *id;
	char *type;
	char *input;
	size_t input_len;
	char *result;
};

struct zelk_alarm {
	struct list_head link;
	int32_t id;
	char *name;
	char *desc;
	int64_t threshold;
	char *oid;
	int32_t op; /* 0 none, 1 below, 2 equal */
	char *ifname;
};

#define ZELK_STAT_INTERNAL 2
#define ZELK_OID_SIZE 1024

struct zelk_stat {
	struct list_head link;
	char *id;
	char *desc;
	char *oid;
	char resolved[ZELK_OID_SIZE];
	int kind;
};

struct zelk_state {
	int foreground;
	char *device_name;
	float latitude, longitude;
	char *location;
	char *url;
	int persistent;
	unsigned hb_interval, st_interval;
	unsigned timeout;
	unsigned connect_timeout;
	int verbose;
	int dump_request;
	unsigned log_level;
	int network_usage;
	int verify_peer, verify_host;
	char *auth_identifier, *auth_cert, *auth_cert_passwd, *auth_cert_uri;
	int snmp_enabled;
	char *snmp_rocommunity, *snmp_rouser, *snmp_ropassword;
	struct list_head stats;
	char *path_sysconf, *path_fwupdate, *path_reboot;
	struct zelk_time next_st, next_hb, last_hb;
	struct list_head tasks;
	struct list_head alarms;
	struct zelk_dev_info info;
	unsigned long counter;
	unsigned long failed_posts;
	int dump_fd;
	int reply_fd;
	char reply_name[sizeof(ZELK_DIR) + 32];
	int reply_failed;
	int immediate;
	int alarm_fd;
	CURL *easy;
	CURLM *multi;
	int up_progress, down_progress;
	const char *config_path;
	/* Set once the installer or the reboot program was started and returned success. */
	int restarting;
	uint64_t restarting_since_ms;
};

/* Flags of the signal handlers (the handlers do nothing else). */
extern volatile sig_atomic_t zelk_stop;
extern volatile sig_atomic_t zelk_child;

/* ---- agent (agent.cpp) ---- */
void zelk_state_init(struct zelk_state *s);
void zelk_log_signals(void);
int zelk_install_signals(void);
int zelk_handle_signals(void);
void zelk_adjust_hb_times(struct zelk_state *s, const struct timeval *now);
void zelk_adjust_st_times(struct zelk_state *s, const struct timeval *now);
void zelk_now(struct timeval *tv);
int zelk_version_load(struct zelk_state *s, const char *path);
void zelk_wait_for_stats(void);
void zelk_loop(struct zelk_state *s);
void zelk_shutdown(struct zelk_state *s);

/* ---- configuration (config.cpp) ---- */
int zelk_load_config(struct zelk_state *s, const char *path);
int zelk_load_ctx_extern(struct zelk_state *s, const char *path);
void zelk_free_config(struct zelk_state *s);

/* ---- heartbeat (heartbeat.cpp, transfer.cpp, reply.cpp) ---- */
int zelk_heartbeat(struct zelk_state *s);
int zelk_write_document(struct zelk_state *s, FILE *f);
int zelk_post_init(struct zelk_state *s, const char *body, size_t len);
int zelk_post(struct zelk_state *s);
int zelk_curl_transfer_done_ok(CURLM *multi, CURL *easy);
/* Runs a transfer already set up on easy to its end, a stop request or limit_s seconds.  0 when it
 * finished well (no libcurl error, response 200-399), else -1. */
int zelk_transfer(CURLM *multi, CURL *easy, unsigned limit_s);
int xml_extract(struct zelk_state *s, const char *path);
void zelk_set_interval(struct zelk_state *s, long long interval);

/* ---- tasks (tasks.cpp) ---- */
struct zelk_task *zelk_job_create(void);
void zelk_job_destroy(struct zelk_task *t);
int zelk_validate_request(struct zelk_task *t);
int zelk_tasks_now(struct zelk_state *s);
void zelk_tasks_destroy(struct zelk_state *s);
int flush_task_xml(const char *id, int status, const char *type, const char *text, const char *path);
int zelk_config_fetch_xml(struct zelk_state *s, struct zelk_task *t);
int zelk_config_apply_xml(struct zelk_state *s, struct zelk_task *t);
int zelk_firmware_download(struct zelk_state *s, struct zelk_task *t);
int zelk_upgrade_firmware(struct zelk_state *s, struct zelk_task *t);
int zelk_reboot_device(struct zelk_state *s, struct zelk_task *t);
int zelk_troubleshoot_fetch_xml(struct zelk_state *s, struct zelk_task *t);

/* ---- alarms and requested statistics (alarms.cpp) ---- */
int zelk_alarms_init(struct zelk_state *s);
int zelk_alarms_read(struct zelk_state *s);
int zelk_alarm_handle(struct zelk_state *s, const void *buf, int len);
int zelk_alarms_subscribe(struct zelk_state *s);
void zelk_alarms_shutdown(struct zelk_state *s);
int zelk_alarm_create(struct zelk_alarm **a);
void zelk_alarm_destroy(struct zelk_alarm **a);
int zelk_alarm_valid(const struct zelk_alarm *a);
void zelk_alarm_list_destroy(struct zelk_state *s);
int zelk_optional_create(struct zelk_stat **st);
void zelk_optional_destroy(struct zelk_stat *st);
void zelk_statistics_destroy(struct list_head *list);
int zelk_snmp_init(struct zelk_state *s);
void zelk_snmp_prepare(struct list_head *list);
void zelk_snmp_shutdown(struct zelk_state *s);
int zelk_statistics_read(struct zelk_state *s);

/* ---- small shared pieces (util.cpp) ---- */
/* Writes text XML-escaped. 0 or -1. */
int zelk_put_escaped(FILE *f, const char *text);
/* Appends the file's bytes to f (nothing when it does not exist).  0 or -1. */
int zelk_copy_file(FILE *f, const char *path);
/* At most size - 1 bytes of src, terminated. */
void zelk_copy_text(char *dst, size_t size, const char *src);
/* Logs how a helper ended; 1 when it exited with 0. */
int zelk_helper_ok(const char *activity, int status);
