/* Bounded text buffer over the caller's storage: output that does not fit is cut, never overflows. */
#pragma once

#include <stdarg.h>
#include <stddef.h>

struct strbuf {
	char *data;  /* caller's storage */
	char *pos;   /* next write position */
	size_t left; /* bytes free, terminating NUL included */
	size_t len;  /* characters written */
};

void strbuf_init(struct strbuf *sb, char *storage, size_t size);
int strbuf_vappend(struct strbuf *sb, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));
int strbuf_append(struct strbuf *sb, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int strbuf_lastchar(const struct strbuf *sb);
