/* What a message puts before the agent's pure code: a topic to route, names and ids to check, child
 * output to split into lines.  The input's first byte picks the cap of the line buffer. */
#include "linebuf.h"
#include "request.h"
#include "topic.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

/* A line may hold NUL bytes (the child's output is anything): its length is what counts. */
static int line(void *ctx, char *text, size_t len)
{
	size_t *total = (size_t *)ctx;
	if (text[len] != '\0' || len > 1 + 255 * 16)
		abort();
	*total += len;
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const struct topic_ids ids = { "org1", "net1", "0a0b0c0d0e0f", "grp" };
	char text[TOPIC_MAX * 2];
	size_t n = size < sizeof(text) - 1 ? size : sizeof(text) - 1;

	memcpy(text, data, n);
	text[n] = '\0';
	enum topic_route r = topic_route(&ids, text);
	const char *sub = topic_subtopic(&ids, text);
	if (sub && (sub < text || sub > text + n))
		abort();
	(void)topic_route_json(r);
	(void)topic_name_ok(text, 64);
	(void)request_iface_ok(text);
	(void)request_station_ok(text);

	struct linebuf lb;
	size_t total = 0;
	if (size && linebuf_init(&lb, 1 + data[0] * 16) == 0) {
		size_t half = size / 2;
		linebuf_feed(&lb, (const char *)data + 1, half ? half - 1 : 0, line, &total);
		linebuf_feed(&lb, (const char *)data + half, size - half, line, &total);
		linebuf_finish(&lb, line, &total);
		linebuf_free(&lb);
	}
	return 0;
}
