/* Fixed paths of the agent: its own files, the helpers it starts and the alarm daemon's sockets. */
#pragma once

#define ZELK_DIR "/tmp/zelk"
#define ZELK_PIDFILE "/var/run/zelkd.pid"
#define ZELK_CONFIG "/etc/zelkd.conf"
#define ZELK_DEVICE_CONFIG "/tmp/config.json"
#define ZELK_VERSION "/usr/lib/version"
#define ZELK_VERSION_LOCAL ZELK_DIR "/version"
#define ZELK_STATS_FILE "/var/run/stats/statistics.json"
#define ZELK_WIRELESS_FILE "/var/run/stats/wireless.json"

#define ZELK_HEARTBEAT ZELK_DIR "/last-heartbeat"
#define ZELK_HEARTBEAT_TMP ZELK_DIR "/last-heartbeat-XXXXXX"
#define ZELK_REPLY ZELK_DIR "/last-heartbeat-reply"
#define ZELK_REPLY_TMP ZELK_DIR "/last-heartbeat-reply-XXXXXX"
#define ZELK_REQUEST_DUMP ZELK_DIR "/request"
#define ZELK_ALARMS ZELK_DIR "/alarms"
#define ZELK_OPTIONAL ZELK_DIR "/optional"
#define ZELK_STATS_OUT ZELK_DIR "/zelk-stats"
#define ZELK_TASKS_XML ZELK_DIR "/zelk-tasks-xml"
#define ZELK_TASKS_XML_KEPT "/data/zelk-tasks-xml"
#define ZELK_CONFIG_FETCH_TMP ZELK_DIR "/zelk-config-fetch-tmp"
#define ZELK_CONFIG_APPLY_TMP ZELK_DIR "/zelk-config-apply-tmp"

#define ZELK_STORE_CONFIG "/usr/sbin/zelk-store-config"
#define ZELK_STORE_CONFIG_ERROR "/tmp/zelk-store-config-error"
#define ZELK_TROUBLESHOOT "/usr/sbin/troubleshoot"
#define ZELK_TROUBLESHOOT_TAR "/tmp/troubleshoot.tar"
#define ZELK_FIRMWARE_FILE "/tmp/fwupdate.bin"

#define ZELK_ALARM_RECV "/tmp/.tesk_send_alarm"
#define ZELK_ALARM_SEND "/tmp/.tesk_listen_alarm"
