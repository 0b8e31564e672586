/* The topic tree of the cloud session: the lists the agent subscribes and the route of a received
 * topic to its handler.  No I/O and no allocation, so the target build and a fuzz target share it. */
#pragma once

#include <stddef.h>

#define TOPIC_MAX 256
#define TOPIC_LIST_MAX 20

/* The names topics are made of: organization, network, client id, group id (NULL: none). */
struct topic_ids {
	const char *org;
	const char *net;
	const char *client;
	const char *group;
};

struct topic_list {
	size_t count;
	char name[TOPIC_LIST_MAX][TOPIC_MAX];
};

/* Whether a name from a message can be one part of a topic: not empty, shorter than size, and
 * without "/", "+", "#" (a wildcard would widen every subscription made with it). */
int topic_name_ok(const char *name, size_t size);

/* The parts joined with "/" into buf: 0, or -1 when it does not fit. */
int topic_join(char *buf, size_t size, const char *const *parts, size_t n);

/* Control topics: for each of ack, nack, sitesurvey, alerts/request, the device's own topic, the
 * group's (with a group id), the organization's and the network's.  0, or -1 when a name is too long. */
int topic_control_list(struct topic_list *list, const struct topic_ids *ids);
/* Node topics after the acknowledgement: the device-level list, the network-level list and, with guest
 * access, the two access point list topics. */
int topic_node_list(struct topic_list *list, const struct topic_ids *ids, int guest_access);
/* Topics a network master takes on: maccache/list, maccache/add, maccache/del of the network. */
int topic_master_list(struct topic_list *list, const struct topic_ids *ids);

/* A device topic node/O/N/C/<sub>, a control topic control/O/C/<sub>, and so on, into buf. */
int topic_node(char *buf, size_t size, const struct topic_ids *ids, const char *sub);
int topic_control(char *buf, size_t size, const struct topic_ids *ids, const char *sub);
/* control/G/C/hello with a group id, else control/O/C/hello. */
int topic_hello(char *buf, size_t size, const struct topic_ids *ids);

enum topic_route {
	ROUTE_UNKNOWN_CONTROL,
	ROUTE_UNKNOWN_NODE,
	ROUTE_UNKNOWN,
	ROUTE_ACK,
	ROUTE_NACK,
	ROUTE_SITESURVEY,
	ROUTE_ALERTS_REQUEST,
	ROUTE_CONFIG,
	ROUTE_FIRMWARE,
	ROUTE_FIRMWAREBIN,
	ROUTE_UPGRADE,
	ROUTE_FLYTRAP,
	ROUTE_REBOOT,
	ROUTE_RESET,
	ROUTE_TROUBLESHOOT_FULL,
	ROUTE_TROUBLESHOOT_SHORT,
	ROUTE_SCAN,
	ROUTE_PING,
	ROUTE_APLIST,
	ROUTE_KICKMAC,
	ROUTE_LINKTEST,
	ROUTE_CERT,
	ROUTE_MACCACHE_LIST,
	ROUTE_MACCACHE_ADD,
	ROUTE_MACCACHE_DEL,
};

/* Where a received topic goes: control topics of the organization (or group) by their last part,
 * the device's node topics by their ending, then the exact network-level topics. */
enum topic_route topic_route(const struct topic_ids *ids, const char *topic);
/* Whether the handler of the route reads its payload as JSON (the firmware image and the certificate
 * are taken raw). */
int topic_route_json(enum topic_route route);
/* The part of the topic named in a parse error: the subtopic after the matched prefix, or NULL for an
 * exact topic. */
const char *topic_subtopic(const struct topic_ids *ids, const char *topic);
