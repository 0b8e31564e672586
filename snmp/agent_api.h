/* What a MIB module and the SNMP agent that loads it know of each other.
 *
 * A module is a shared object exporting one data symbol, `module` (struct module below).  The agent
 * dlopens it, reads the descriptor and calls its update entry on every refresh; the entry drops the
 * module's previous objects (odb_destroy) and adds a fresh set (odb_add).  The agent functions below
 * are resolved from the agent's own executable when the module is loaded: a module links none of
 * them.  Plain C ABI, pointer-sized descriptor words, so the same layout holds on 32- and 64-bit
 * targets. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- object identifiers ---- */

#define AGENT_OID_MAX_ARCS 128
#define AGENT_OID_MIN_ARCS 2

/* An identifier as the agent keeps it: the arc count, then every arc as it is written in the dotted
 * text ("1.3.6.1" is {4, 1, 3, 6, 1}). */
struct agent_oid {
	uint32_t len;
	uint32_t arcs[];
};

/* The registered subtree of a descriptor is stored the other way: a word count, then the
 * sub-identifiers with the first two arcs combined as 40 * a + b (43 for "1.3", 42 for "1.2"). */
#define MODULE_OID_WORDS(n) ((n) + 1)

/* ---- values ---- */

enum agent_type {
	AGENT_INTEGER = 0x02,   /* i, 32-bit signed */
	AGENT_OCTETS = 0x04,    /* s */
	AGENT_OID = 0x06,       /* o */
	AGENT_COUNTER32 = 0x41, /* u */
	AGENT_GAUGE32 = 0x42,   /* u */
	AGENT_TIMETICKS = 0x43, /* u */
	AGENT_COUNTER64 = 0x46, /* c64, high word first */
};

struct agent_value {
	uint8_t type;
	union {
		int32_t i;
		uint32_t u;
		struct {
			uint32_t len;
			const void *p;
		} s;
		struct {
			uint32_t hi, lo;
		} c64;
		const struct agent_oid *o;
	} v;
};

/* ---- the module descriptor ---- */

/* 0 when every object was added; anything else when one add or the input failed. */
typedef int (*module_update_fn)(void);

struct module {
	const char *name;
	const char *description;
	const uint32_t *oid;       /* registered subtree, MODULE_OID_WORDS layout */
	const uint32_t *oid_again; /* the same subtree */
	void *reserved_a[2];
	module_update_fn update;
	void *reserved_b[7];
};

/* ---- agent functions a module calls ---- */

/* The enterprise number as decimal text, e.g. "99999". */
const char *module_get_enterprise_oid(void);

/* The last error text of the running update. */
void abz_clear_error(void);
void abz_set_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Drops every object the owner added. */
void odb_destroy(const struct module *owner);
/* Adds a copy of the value under the identifier.  0; -1 (with the error text set) for a value the
 * agent cannot serve or an identifier that is already held, by this owner or another: the object
 * added first stays. */
int odb_add(const struct module *owner, const struct agent_oid *oid, const struct agent_value *value);

/* Parses dotted decimal text ("1.3.6.1.4.1.9"): digits and single dots only, 2 to 128 arcs, each
 * below 2^32, the first 0 to 2 and, under 0 and 1, the second below 40.  A heap identifier to give
 * back with mem_free_stub, or NULL. */
struct agent_oid *makeoid_stub(const char *text);
void mem_free_stub(void *p);

/* The interface's index as IF-MIB::ifIndex has it (the kernel's); 0 when there is none. */
int ifcache_get_ifindex(const char *name);

/* Logging levels of the agent. */
enum agent_log_level {
	AGENT_LOG_ERROR = 0,
	AGENT_LOG_WARNING = 1,
	AGENT_LOG_NOTICE = 2,
	AGENT_LOG_INFO = 3,
	AGENT_LOG_DEBUG = 4,
};
void log_printf_stub(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

#ifdef __cplusplus
}

static_assert(sizeof(struct module) == 14 * sizeof(void *), "the descriptor is 14 pointer-sized words");
#endif
