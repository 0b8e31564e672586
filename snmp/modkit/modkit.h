/* What the MIB modules share: the inputs they read (through one narrow table, so the publishing code
 * can be driven from memory by the tests and the fuzz targets), JSON read without trusting its
 * types, and adding objects with the module's type filter and bounded identifier texts.
 *
 * Linked into each module's shared object with hidden visibility: nothing here is exported. */
#pragma once

#include "snmp/agent_api.h"

#include <jansson.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

/* ---- inputs ---- */

struct mod_io {
	/* The parsed document, or NULL when the file cannot be read or is not JSON.  The caller owns it. */
	json_t *(*load_json)(const char *path);
	/* At most size - 1 bytes from the start of the file, NUL-terminated: the count, or -1 when the
	 * file cannot be opened. */
	ssize_t (*read_text)(const char *path, char *buf, size_t size);
	/* The IPv4 address of the interface in dotted text: 0, or -1. */
	int (*ipv4_text)(const char *ifname, char *buf, size_t size);
	/* Calls fn with every entry name of the folder: 0, or -1 when it cannot be opened. */
	int (*list_dir)(const char *dir, void (*fn)(const char *name, void *ctx), void *ctx);
	/* Calls fn with the name of every network interface: 0, or -1. */
	int (*if_names)(void (*fn)(const char *name, void *ctx), void *ctx);
	/* The socket for interface requests (-1 with errno), one request on it (the ioctl's result), and
	 * its release. */
	int (*req_open)(void);
	int (*req)(int fd, unsigned long request, void *arg);
	void (*req_close)(int fd);
};

/* Files, interfaces and requests of the running system. */
extern const struct mod_io mod_system_io;

/* ---- JSON without trusting its types ---- */

/* The member of an object (NULL when o is not an object or has none). */
json_t *mj_get(const json_t *o, const char *key);
/* The value at a dotted path of object members ("wireless.signal"), or NULL. */
json_t *mj_dot(const json_t *o, const char *path);
/* The member's text when it is a string, else NULL. */
const char *mj_str(const json_t *o, const char *key);
/* A number (integer or real) as a signed 64-bit value, reals truncated: 0, or -1 for anything
 * else, NaN and reals out of range included. */
int mj_i64(const json_t *v, int64_t *out);
/* The same, limited to what a 32-bit signed integer holds: -1 outside. */
int mj_i32(const json_t *v, int32_t *out);
/* A number cut to its low 32 bits (what a Counter32 of a 64-bit count shows): 0 or -1. */
int mj_u32_trunc(const json_t *v, uint32_t *out);
/* Sum and count of the non-zero numbers of an array that fit 32 bits (other entries are left out);
 * the truncating integer average, 0 when there is none. */
struct mj_avg {
	int64_t sum;
	int64_t count;
};
void mj_avg_add(struct mj_avg *a, const json_t *array);
int32_t mj_avg_value(const struct mj_avg *a);

/* "xx:xx:xx:xx:xx:xx" in hex digits, nothing else: 0, or -1. */
int mod_parse_mac(const char *text, uint8_t mac[6]);

/* ---- publishing ---- */

#define MOD_OID_TEXT_MAX 512

struct mod_pub {
	const struct module *owner;
	const uint8_t *types; /* the value types the module accepts */
	size_t ntypes;
	int rc;               /* ORed results of the adds */
};

/* Formats the identifier (bounded: a text that would not fit MOD_OID_TEXT_MAX is refused with the
 * error text set), then adds the value: makeoid_stub, the type filter ("invalid type (0x%02x)
 * specified"), odb_add, and mem_free_stub of the identifier whatever became of the add.  0 or -1;
 * a failure also sets p->rc. */
int mod_addf(struct mod_pub *p, const struct agent_value *v, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
/* The same with the identifier text as it is. */
int mod_add(struct mod_pub *p, const char *oid, const struct agent_value *v);

static inline struct agent_value mod_int(int32_t i)
{
	struct agent_value v = {};
	v.type = AGENT_INTEGER;
	v.v.i = i;
	return v;
}

static inline struct agent_value mod_unsigned(uint8_t type, uint32_t u)
{
	struct agent_value v = {};
	v.type = type;
	v.v.u = u;
	return v;
}

static inline struct agent_value mod_octets(const void *p, size_t len)
{
	struct agent_value v = {};
	v.type = AGENT_OCTETS;
	v.v.s.len = (uint32_t)len;
	v.v.s.p = p;
	return v;
}

struct agent_value mod_text(const char *text);

static inline struct agent_value mod_counter64(uint64_t c)
{
	struct agent_value v = {};
	v.type = AGENT_COUNTER64;
	v.v.c64.hi = (uint32_t)(c >> 32);
	v.v.c64.lo = (uint32_t)c;
	return v;
}
