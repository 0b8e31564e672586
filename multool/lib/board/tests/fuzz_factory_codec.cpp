/* libFuzzer target: a connection's byte stream through the factory request framing, the way the
 * daemon walks it: parse, drop what the request used, go on; at the end the rest is parsed as final.
 * Every request must lie inside what was received and move the stream forward. */
#include "board/factory_codec.h"

#include <stdlib.h>
#include <string.h>

static void check(const uint8_t *buf, size_t n, const struct factory_req *r)
{
	if (r->kind == FR_NEED_MORE || r->kind == FR_MALFORMED)
		return;
	if (!r->used || r->used > n)
		abort();
	if (r->data && (r->data < buf || r->data + r->data_len > buf + n || r->data + r->data_len > buf + r->used))
		abort();
	if ((r->kind == FR_KPUT || r->kind == FR_KGET) && !memchr(r->path, '\0', sizeof(r->path)))
		abort();
	if (r->kind == FR_KBEE && r->data_len + 4 != r->len)
		abort();
	if (r->kind == FR_KCMD && factory_word(r->data, r->data_len) == FW_NONE && r->data_len)
		abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	struct factory_req r;
	size_t pos = 0;

	while (pos < size) {
		size_t n = size - pos;
		if (n > FACTORY_BUF_SIZE)
			n = FACTORY_BUF_SIZE;
		/* as the daemon: the stream ended, or the buffer is full */
		int final = n == size - pos || n == FACTORY_BUF_SIZE;
		enum factory_kind k = factory_parse(data + pos, n, final, &r);
		check(data + pos, n, &r);
		if (k == FR_MALFORMED || k == FR_NEED_MORE) {
			/* waiting when nothing more can come would hang the connection */
			if (k == FR_NEED_MORE && final)
				abort();
			break;
		}
		pos += r.used;
	}
	return 0;
}
