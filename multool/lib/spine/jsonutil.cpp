/* Dotted lookups, atomic dumps and UTF-8-safe strings over jansson. */
#include "spine/jsonutil.h"

#include "common/fileio.h"
#include "common/text.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

json_t *json_dotget(const json_t *root, const char *path)
{
	const json_t *cur = root;
	const char *p = path;

	while (cur && p) {
		const char *dot = strchr(p, '.');
		size_t len = dot ? (size_t)(dot - p) : strlen(p);
		if (!json_is_object(cur))
			return NULL;
		cur = json_object_getn(cur, p, len);
		p = dot ? dot + 1 : NULL;
	}
	return (json_t *)cur;
}

const char *json_dotget_string(const json_t *root, const char *path)
{
	return json_string_value(json_dotget(root, path));
}

json_int_t json_dotget_int(const json_t *root, const char *path, json_int_t def)
{
	const json_t *v = json_dotget(root, path);
	return json_is_integer(v) ? json_integer_value(v) : def;
}

json_t *json_load_path(const char *path)
{
	return json_load_file(path, 0, NULL);
}

int json_write_doc(const json_t *root, const char *path, const char *suffix, size_t flags)
{
	char *text = json_dumps(root, flags);
	int rc;

	if (!text) {
		errno = EINVAL;
		return -1;
	}
	rc = write_replace(path, suffix, text, strlen(text), 0644, 0);
	free(text);
	return rc;
}

struct json_stream {
	const json_t *root;
	size_t flags;
	int fd;
};

static int stream_chunk(const char *buf, size_t size, void *data)
{
	return write_all(*(int *)data, buf, size);
}

static int stream_fill(int fd, void *arg)
{
	struct json_stream *s = (struct json_stream *)arg;
	s->fd = fd;
	errno = 0;
	if (json_dump_callback(s->root, stream_chunk, &s->fd, s->flags) < 0) {
		if (!errno)
			errno = EIO;
		return -1;
	}
	return 0;
}

int json_stream_doc(const json_t *root, const char *path, const char *suffix, size_t flags)
{
	struct json_stream s = { root, flags, -1 };
	return write_replace_with(path, suffix, 0644, 0, stream_fill, &s);
}

int json_dump_atomic(const json_t *root, const char *path)
{
	return json_write_doc(root, path, ".xxx", JSON_DOC_FLAGS);
}

json_t *json_textn(const char *text, size_t len)
{
	if (!text)
		return NULL;
	json_t *s = json_stringn(text, len);
	if (s)
		return s;
	/* Worst case every byte becomes four characters. */
	size_t size = len * 4 + 1;
	char *buf = (char *)malloc(size);
	if (!buf)
		return NULL;
	s = json_string(utf8_escape(buf, size, text, len));
	free(buf);
	return s;
}

json_t *json_text(const char *text)
{
	return text ? json_textn(text, strlen(text)) : NULL;
}

int json_set_text(json_t *obj, const char *key, const char *text)
{
	json_t *s = json_text(text);
	return s ? json_object_set_new(obj, key, s) : -1;
}

json_t *json_ensure_object(json_t *obj, const char *key)
{
	json_t *v = json_object_get(obj, key);
	if (json_is_object(v))
		return v;
	v = json_object();
	json_object_set_new(obj, key, v);
	return v;
}
