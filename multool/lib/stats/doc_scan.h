/* Statistics collector: the counters of the previous wireless documents (the published one and its
 * state file), read straight from their text.  A document is taken or refused exactly as the JSON
 * library the collector writes with would take or refuse it (strict JSON, valid UTF-8, no \u0000,
 * integers within 64 bits, at most 2048 levels); what is kept of it is what the counters need:
 * "vaps" and "peers" entries with their names and integer counters, and "timestamp".  Later
 * duplicates of a member win, as they do in that library.  libc only. */
#pragma once

#include <stddef.h>
#include <stdint.h>

/* Counters of an entry, in the order the documents write them. */
#define DOC_VAP_COUNTERS 3  /* rxPackets, txPackets, rxErrors */
#define DOC_PEER_COUNTERS 5 /* txBytes, rxBytes, txPackets, rxPackets, txPacketsSuccess */
#define DOC_COUNTERS_MAX 5

extern const char *const doc_vap_counter_names[DOC_VAP_COUNTERS];
extern const char *const doc_peer_counter_names[DOC_PEER_COUNTERS];

/* One object of "vaps" or "peers".  A text member that is missing or not a text is NULL; a counter
 * that is missing or not an integer has its bit clear in has. */
struct doc_entry {
	char *name; /* "name" (vaps) */
	char *mac;  /* "mac" (peers) */
	char *vap;  /* "vap" (peers) */
	unsigned has;
	int64_t value[DOC_COUNTERS_MAX];
};

struct doc_counters {
	int object;              /* the document is an object (an array is JSON too, but holds nothing) */
	struct doc_entry *vaps;  /* objects of "vaps" in document order (other elements left out) */
	size_t nvaps;
	struct doc_entry *peers; /* objects of "peers" in document order */
	size_t npeers;
	int has_timestamp;       /* "timestamp" is an integer */
	int64_t timestamp;
};

/* 0 and the counters when text is a document the library would load, -1 (nothing kept) otherwise
 * or when memory runs out. */
int doc_scan(const char *text, size_t len, struct doc_counters *out);
void doc_counters_free(struct doc_counters *d);
