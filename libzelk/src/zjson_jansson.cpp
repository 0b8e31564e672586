/* The JSON reader over jansson.  A value is a json_t; the document owns every value taken from it. */
#include "zjson.h"

#include <jansson.h>
#include <string.h>

struct zjson;

static json_t *J(const zjson *v)
{
	return (json_t *)v;
}

static const zjson *Z(const json_t *v)
{
	return (const zjson *)v;
}

zjson *zj_parse_file(const char *path)
{
	json_error_t err;
	return (zjson *)json_load_file(path, JSON_DECODE_ANY, &err);
}

void zj_free(zjson *doc)
{
	json_decref(J(doc));
}

int zj_type(const zjson *v)
{
	switch (v ? json_typeof(J(v)) : (json_type)-1) {
	case JSON_OBJECT:
		return ZJ_OBJECT;
	case JSON_ARRAY:
		return ZJ_ARRAY;
	case JSON_STRING:
		return ZJ_STRING;
	case JSON_INTEGER:
	case JSON_REAL:
		return ZJ_NUMBER;
	case JSON_TRUE:
	case JSON_FALSE:
		return ZJ_BOOL;
	case JSON_NULL:
		return ZJ_NULL;
	default:
		return ZJ_NONE;
	}
}

const zjson *zj_get(const zjson *obj, const char *key)
{
	return obj && key && json_is_object(J(obj)) ? Z(json_object_get(J(obj), key)) : NULL;
}

const zjson *zj_dotget(const zjson *obj, const char *path)
{
	char part[256];

	if (!path)
		return NULL;
	for (;;) {
		const char *dot = strchr(path, '.');
		if (!dot)
			return zj_get(obj, path);
		size_t n = (size_t)(dot - path);
		if (n >= sizeof(part))
			return NULL;
		memcpy(part, path, n);
		part[n] = '\0';
		obj = zj_get(obj, part);
		if (zj_type(obj) != ZJ_OBJECT)
			return NULL;
		path = dot + 1;
	}
}

size_t zj_count(const zjson *v)
{
	if (json_is_array(J(v)))
		return json_array_size(J(v));
	if (json_is_object(J(v)))
		return json_object_size(J(v));
	return 0;
}

const zjson *zj_at(const zjson *arr, size_t i)
{
	return json_is_array(J(arr)) ? Z(json_array_get(J(arr), i)) : NULL;
}

int zj_each(const zjson *obj, int (*fn)(const char *key, const zjson *v, void *ctx), void *ctx)
{
	const char *key;
	json_t *v;

	if (!json_is_object(J(obj)))
		return 0;
	json_object_foreach(J(obj), key, v)
	{
		int r = fn(key, Z(v), ctx);
		if (r)
			return r;
	}
	return 0;
}

double zj_number(const zjson *v)
{
	return json_is_number(J(v)) ? json_number_value(J(v)) : 0;
}

const char *zj_string(const zjson *v)
{
	return json_is_string(J(v)) ? json_string_value(J(v)) : NULL;
}

int zj_bool(const zjson *v)
{
	return json_is_true(J(v));
}
