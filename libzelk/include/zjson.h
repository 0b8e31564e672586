/* The JSON reader libzelk and zelkd use: a thin read-only interface over a parsed document.  Dotted
 * lookups split the path at every dot, so a key that itself holds a dot cannot be reached that way
 * (documents and configuration files rely on that reading).  Numbers are integers or reals alike.
 *
 * The agent's library implements it over jansson; the big-endian target tests link their own small
 * reader instead, which is why the device-information code sees nothing but these calls. */
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZELK_API __attribute__((visibility("default")))

typedef struct zjson zjson;

enum zj_type {
	ZJ_NONE,
	ZJ_OBJECT,
	ZJ_ARRAY,
	ZJ_STRING,
	ZJ_NUMBER,
	ZJ_BOOL,
	ZJ_NULL
};

/* The document in the file, or NULL when it cannot be read or is not JSON.  zj_free releases it
 * and every value taken from it. */
ZELK_API zjson *zj_parse_file(const char *path);
ZELK_API void zj_free(zjson *doc);

/* ZJ_NONE for NULL, so lookups chain without checks in between. */
ZELK_API int zj_type(const zjson *v);
/* Member of an object by its plain name; NULL when v is no object or lacks it. */
ZELK_API const zjson *zj_get(const zjson *obj, const char *key);
/* Member reached through "a.b.c", one object per dot. */
ZELK_API const zjson *zj_dotget(const zjson *obj, const char *path);
/* Elements of an array or members of an object; 0 for anything else. */
ZELK_API size_t zj_count(const zjson *v);
/* Element i of an array; NULL past the end or for a non-array. */
ZELK_API const zjson *zj_at(const zjson *arr, size_t i);
/* Calls fn for every member of an object in document order until it returns non-zero (returned). */
ZELK_API int zj_each(const zjson *obj, int (*fn)(const char *key, const zjson *v, void *ctx), void *ctx);
/* The value, or 0 / NULL when v is not of that type. */
ZELK_API double zj_number(const zjson *v);
ZELK_API const char *zj_string(const zjson *v);
ZELK_API int zj_bool(const zjson *v);

#ifdef __cplusplus
}
#endif
