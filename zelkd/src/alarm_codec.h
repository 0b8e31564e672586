/* The alarm daemon's records: subscriptions the agent sends (456 bytes) and alarms it receives
 * (480 bytes), big-endian numbers, NUL-padded text fields.  Dependency-free. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#define ALARM_SUB_SIZE 456
#define ALARM_REC_SIZE 480
#define ALARM_NAME_LEN 32
#define ALARM_DESC_LEN 256
#define ALARM_OID_LEN 128
#define ALARM_IFNAME_LEN 20
#define ALARM_MAC_LEN 24

struct alarm_sub {
	int32_t id;
	const char *name, *desc, *oid, *ifname; /* NULL: empty */
	int64_t threshold;
	int32_t op;
};

/* Received alarm; the texts are terminated copies of fields that need not be. */
struct alarm_rec {
	int32_t id;
	char name[ALARM_NAME_LEN + 1];
	char ifname[ALARM_IFNAME_LEN + 1];
	int64_t value;
	int32_t state;
	int32_t timestamp;
	char peer_mac[ALARM_MAC_LEN + 1];
	unsigned char raw_name[ALARM_NAME_LEN]; /* as sent, for an exact comparison */
};

/* The name field as a subscription carries it: at most 32 bytes, NUL-padded, unterminated when full. */
void alarm_name_field(unsigned char out[ALARM_NAME_LEN], const char *name);
void alarm_sub_encode(unsigned char out[ALARM_SUB_SIZE], const struct alarm_sub *s);
/* A marker record: all zero but the name ("hello", "byebye"). */
void alarm_marker_encode(unsigned char out[ALARM_SUB_SIZE], const char *name);
/* 0 for exactly ALARM_REC_SIZE bytes, else -1. */
int alarm_rec_decode(const unsigned char *in, size_t len, struct alarm_rec *r);
