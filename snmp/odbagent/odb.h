/* The agent's side of the module interface (snmp/agent_api.h): the object database the modules fill,
 * read back in identifier order, and the settings behind the other agent functions.  No SNMP library
 * here: the AgentX bridge (odbagent.cpp), the unit tests and the fuzz targets share it. */
#pragma once

#include "snmp/agent_api.h"

#include <stddef.h>
#include <stdint.h>

/* One object as the database holds it; pointers stay valid until the next change of the database. */
struct odb_view {
	const uint32_t *arcs;
	uint32_t len;
	const struct module *owner;
	struct agent_value value;
};

/* The object at exactly this identifier: 0, or -1. */
int odb_find(const uint32_t *arcs, uint32_t len, struct odb_view *out);
/* The first object after the identifier (or at it, when inclusive): 0, or -1 when there is none. */
int odb_next(const uint32_t *arcs, uint32_t len, int inclusive, struct odb_view *out);
/* Every object in identifier order. */
void odb_each(void (*fn)(const struct odb_view *v, void *ctx), void *ctx);
size_t odb_count(void);
void odb_clear(void);

/* "OID TYPE VALUE": INTEGER, STRING (quoted when printable, else hex bytes), OID, Counter32, Gauge32,
 * Timeticks, Counter64.  Returns buf (cut to size). */
char *odb_format(const struct odb_view *v, char *buf, size_t size);

/* The text module_get_enterprise_oid returns. */
void agent_set_enterprise(const char *text);
/* The text of the last abz_set_error since abz_clear_error ("" when none). */
const char *abz_get_error(void);
/* Messages at or below the level are written to standard error. */
void agent_set_log_level(int level);
/* Forgets the interface indexes looked up so far (before each refresh: interfaces come and go). */
void ifcache_reset(void);
/* Identifiers from makeoid_stub not yet given back with mem_free_stub. */
long agent_oids_outstanding(void);

/* The registered subtree of a descriptor in the database's form (first two arcs split again): the
 * arc count, or -1 for a malformed one.  arcs has room for AGENT_OID_MAX_ARCS. */
int module_subtree(const struct module *m, uint32_t *arcs);
