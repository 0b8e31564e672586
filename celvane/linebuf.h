/* Lines out of a child's output pipe, read without blocking: bytes go in as they come, complete
 * lines come out.  A line longer than the cap is dropped whole (up to its line end) and counted, so
 * no caller ever sees a cut piece of it as if it were a line. */
#pragma once

#include <stddef.h>

struct linebuf {
	char *buf;     /* cap + 1 bytes, owned */
	size_t cap;    /* longest line kept, without its line end */
	size_t len;    /* bytes of the current line */
	int skipping;  /* inside an over-long line: drop up to the next line end */
	unsigned long dropped;
};

/* 0, or -1 when the buffer cannot be held. */
int linebuf_init(struct linebuf *lb, size_t cap);
void linebuf_free(struct linebuf *lb);
/* Feeds n bytes; for each complete line calls line(ctx, text, len) with text NUL-terminated and
 * without its "\n" (and a "\r" before it).  A callback returning non-zero stops the feed: the rest
 * of the bytes are not taken and the count consumed is returned. */
size_t linebuf_feed(struct linebuf *lb, const char *data, size_t n, int (*line)(void *ctx, char *text, size_t len),
		    void *ctx);
/* At end of output: hands over a last line without a line end, if any. */
void linebuf_finish(struct linebuf *lb, int (*line)(void *ctx, char *text, size_t len), void *ctx);
