/* Statistics collector: JSON text in the library's own layout, without a tree in between. */
#include "stats/doc_text.h"

#include "common/text.h"

#include <stdlib.h>
#include <string.h>

void doc_text_init(struct doc_text *t, int depth)
{
	memset(t, 0, sizeof(*t));
	t->depth = depth;
	/* a value started inside a document continues the line the caller writes before it */
	t->after_key = depth > 0;
}

void doc_text_free(struct doc_text *t)
{
	free(t->buf);
	memset(t, 0, sizeof(*t));
}

static bool room(struct doc_text *t, size_t n)
{
	if (t->len + n <= t->cap)
		return true;
	size_t cap = t->cap ? t->cap : 4096;
	while (cap < t->len + n)
		cap *= 2;
	char *b = (char *)realloc(t->buf, cap);
	if (!b) {
		t->nomem = true;
		return false;
	}
	t->buf = b;
	t->cap = cap;
	return true;
}

void doc_text_raw(struct doc_text *t, const char *s, size_t n)
{
	if (!room(t, n))
		return;
	memcpy(t->buf + t->len, s, n);
	t->len += n;
}

static void newline(struct doc_text *t, int depth)
{
	size_t n = 1 + 2 * (size_t)depth;
	if (!room(t, n))
		return;
	t->buf[t->len] = '\n';
	memset(t->buf + t->len + 1, ' ', n - 1);
	t->len += n;
}

/* What comes before a value or a key: the comma and line of an item, nothing after a key. */
static void item(struct doc_text *t)
{
	if (t->after_key) {
		t->after_key = false;
		return;
	}
	if (t->depth <= 0 || t->depth >= DOC_TEXT_MAX_DEPTH)
		return;
	if (t->items[t->depth])
		doc_text_raw(t, ",", 1);
	t->items[t->depth] = true;
	newline(t, t->depth);
}

static void open_container(struct doc_text *t, char c)
{
	item(t);
	doc_text_raw(t, &c, 1);
	if (t->depth + 1 < DOC_TEXT_MAX_DEPTH) {
		t->depth++;
		t->items[t->depth] = false;
	} else {
		t->nomem = true;
	}
}

void doc_text_object(struct doc_text *t)
{
	open_container(t, '{');
}

void doc_text_array(struct doc_text *t)
{
	open_container(t, '[');
}

void doc_text_end(struct doc_text *t, char close)
{
	if (t->items[t->depth])
		newline(t, t->depth - 1);
	doc_text_raw(t, &close, 1);
	t->depth--;
}

static void quoted(struct doc_text *t, const char *s, size_t n, bool fix)
{
	static const char hex[] = "0123456789ABCDEF";

	doc_text_raw(t, "\"", 1);
	for (size_t i = 0; i < n;) {
		size_t run = i;
		/* plain bytes go in one copy */
		while (i < n && (unsigned char)s[i] >= 0x20 && (unsigned char)s[i] < 0x80 && s[i] != '"' &&
		       s[i] != '\\' && s[i] != '/')
			i++;
		doc_text_raw(t, s + run, i - run);
		if (i >= n)
			break;
		unsigned char c = (unsigned char)s[i];
		if (c >= 0x80 || (fix && c == 0)) {
			size_t len = c ? utf8_valid_len(s + i, n - i) : 0;
			if (len) {
				doc_text_raw(t, s + i, len);
				i += len;
			} else {
				/* the collector's texts carry such a byte as "\xNN", and the backslash is escaped */
				char e[6] = { '\\', '\\', 'x', hex[c >> 4], hex[c & 15] };
				doc_text_raw(t, e, 5);
				i++;
			}
			continue;
		}
		const char *esc = NULL;
		switch (c) {
		case '"': esc = "\\\""; break;
		case '\\': esc = "\\\\"; break;
		case '/': esc = "\\/"; break;
		case '\b': esc = "\\b"; break;
		case '\f': esc = "\\f"; break;
		case '\n': esc = "\\n"; break;
		case '\r': esc = "\\r"; break;
		case '\t': esc = "\\t"; break;
		}
		if (esc) {
			doc_text_raw(t, esc, 2);
		} else {
			char u[7] = { '\\', 'u', '0', '0', hex[c >> 4], hex[c & 15] };
			doc_text_raw(t, u, 6);
		}
		i++;
	}
	doc_text_raw(t, "\"", 1);
}

void doc_text_value(struct doc_text *t, const char *s, size_t n)
{
	item(t);
	doc_text_raw(t, s, n);
}

void doc_text_key(struct doc_text *t, const char *key)
{
	item(t);
	quoted(t, key, strlen(key), false);
	doc_text_raw(t, ": ", 2);
	t->after_key = true;
}

void doc_text_int(struct doc_text *t, int64_t v)
{
	char num[24], *p = num + sizeof(num);
	uint64_t u = v < 0 ? 0 - (uint64_t)v : (uint64_t)v;

	do
		*--p = (char)('0' + u % 10);
	while (u /= 10);
	if (v < 0)
		*--p = '-';
	item(t);
	doc_text_raw(t, p, (size_t)(num + sizeof(num) - p));
}

void doc_text_bool(struct doc_text *t, bool v)
{
	item(t);
	if (v)
		doc_text_raw(t, "true", 4);
	else
		doc_text_raw(t, "false", 5);
}

void doc_text_string(struct doc_text *t, const char *s, size_t n)
{
	item(t);
	quoted(t, s, n, false);
}

void doc_text_bytes(struct doc_text *t, const char *s, size_t n)
{
	item(t);
	quoted(t, s, n, true);
}

bool doc_text_valid(const char *s, size_t n)
{
	for (size_t i = 0; i < n;) {
		if ((unsigned char)s[i] < 0x80 && s[i]) {
			i++;
			continue;
		}
		size_t len = utf8_valid_len(s + i, n - i);
		if (!len)
			return false;
		i += len;
	}
	return true;
}
