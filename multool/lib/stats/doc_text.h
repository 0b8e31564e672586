/* Statistics collector: JSON text written straight into a growing buffer, byte for byte as the JSON
 * library dumps the collector's documents (two-space indent, ": " after keys, escaped slashes,
 * control characters as \uXXXX, integers in decimal).  For the parts of a document that grow with
 * the stations; libc only. */
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#define DOC_TEXT_MAX_DEPTH 16

struct doc_text {
	char *buf;
	size_t len, cap;
	int depth;                       /* containers open, plus the depth it was started at */
	bool items[DOC_TEXT_MAX_DEPTH];  /* the container at that depth holds an item */
	bool after_key;                  /* the next value is a member's */
	bool nomem;                      /* an append failed: the text is incomplete */
};

/* An empty text whose first value stands at depth (0 for a whole document; deeper, the value goes on
 * the line the caller writes before it). */
void doc_text_init(struct doc_text *t, int depth);
void doc_text_free(struct doc_text *t);

void doc_text_object(struct doc_text *t);
void doc_text_array(struct doc_text *t);
/* Closes the innermost container. */
void doc_text_end(struct doc_text *t, char close);
void doc_text_key(struct doc_text *t, const char *key);
void doc_text_int(struct doc_text *t, int64_t v);
void doc_text_bool(struct doc_text *t, bool v);
/* A text that is valid UTF-8 (the library refuses anything else). */
void doc_text_string(struct doc_text *t, const char *s, size_t n);
/* Any bytes: those that form no valid UTF-8 sequence are written as the four characters "\xNN",
 * as the collector's text values have them. */
void doc_text_bytes(struct doc_text *t, const char *s, size_t n);
/* A value written before (by a text started at this depth), in the place of the next value. */
void doc_text_value(struct doc_text *t, const char *s, size_t n);
/* Raw text, as it is. */
void doc_text_raw(struct doc_text *t, const char *s, size_t n);

/* true when s (n bytes) is valid UTF-8 without NUL. */
bool doc_text_valid(const char *s, size_t n);
