/* Small helpers over jansson shared by the applets that read and publish JSON documents. */
#pragma once

#include <jansson.h>

#include <stddef.h>

/* Documents for other processes: two-space indent, escaped slashes. */
#define JSON_DOC_FLAGS (JSON_INDENT(2) | JSON_ESCAPE_SLASH)

/* Member at a dotted path ("wireless.countrycode"), or NULL.  Borrowed reference. */
json_t *json_dotget(const json_t *root, const char *path);
/* String at a dotted path, or NULL when missing or not a string. */
const char *json_dotget_string(const json_t *root, const char *path);
/* Integer at a dotted path, or def when missing or not an integer. */
json_int_t json_dotget_int(const json_t *root, const char *path, json_int_t def);

/* Parses a file; NULL when it is missing or not JSON.  New reference. */
json_t *json_load_path(const char *path);
/* Replaces the document at path (through path + suffix, see write_replace) with root dumped with
 * the given flags.  0 or -1 (errno set). */
int json_write_doc(const json_t *root, const char *path, const char *suffix, size_t flags);
/* json_write_doc without the whole text in memory: the dump goes to the file as it is made, for
 * documents too large to hold twice. */
int json_stream_doc(const json_t *root, const char *path, const char *suffix, size_t flags);
/* json_write_doc with ".xxx" and JSON_DOC_FLAGS. */
int json_dump_atomic(const json_t *root, const char *path);

/* String value that never fails on bytes that are not UTF-8: such bytes become "\xNN" text.
 * NULL only when text is NULL or memory runs out. */
json_t *json_text(const char *text);
json_t *json_textn(const char *text, size_t len);
/* Sets key to the text (see json_text); -1 when nothing could be set. */
int json_set_text(json_t *obj, const char *key, const char *text);

/* Object member key of obj, created as an empty object when missing or not an object. */
json_t *json_ensure_object(json_t *obj, const char *key);
