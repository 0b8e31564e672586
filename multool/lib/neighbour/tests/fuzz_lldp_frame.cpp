/* libFuzzer target: a received frame through the listener's reading into a small table, as it would
 * be written to the neighbour file.  Texts must point inside the frame, the document must load back
 * equal (valid UTF-8, no NUL), and the table must stay within its bound. */
#include "neighbour/lldp_codec.h"
#include "neighbour/lldp_table.h"
#include "spine/jsonutil.h"

#include <stdlib.h>
#include <string.h>

#include <linux/if_packet.h>

static int inside(const uint8_t *p, size_t n, const uint8_t *data, size_t size)
{
	return !p || (p >= data && n <= size && p + n <= data + size && n <= LLDP_VALUE_MAX);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static json_t *table;
	static long now;
	struct lldp_neighbour n;

	if (!table)
		table = json_object();
	/* an exact copy, so that a read past the frame is a read past the allocation */
	uint8_t *frame = (uint8_t *)malloc(size ? size : 1);
	memcpy(frame, data, size);
	if (lldp_parse(frame, size, PACKET_MULTICAST, &n) == LLDP_ACCEPT) {
		if (!inside(n.name, n.name_len, frame, size) || !inside(n.descr, n.descr_len, frame, size))
			abort();
		json_t *e = lldp_table_entry(&n, 2, "eth0", now++);
		if (!e || lldp_table_store(table, n.src, e, 4) < 0 || json_object_size(table) > 4)
			abort();
		char *text = json_dumps(table, JSON_DOC_FLAGS);
		json_t *back = text ? json_loads(text, 0, NULL) : NULL;
		if (!back || !json_equal(back, table))
			abort();
		json_decref(back);
		free(text);
		lldp_table_expire(table, now);
	}
	free(frame);
	return 0;
}
