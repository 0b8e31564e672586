/* libFuzzer target: one datagram through every reader of network and kernel input of the link
 * test.  The first byte picks the reader; what a reader accepts must round-trip. */
#include "linktest/llc_frame.h"
#include "linktest/lt_proto.h"

#include <stdlib.h>
#include <string.h>

static const uint8_t own[6] = { 0x02, 0, 0, 0, 0, 0x0b };

static void frame(const uint8_t *data, size_t size)
{
	struct llc_frame f;
	uint8_t back[1600];
	if (llc_frame_parse(data, size, own, 0xAC, &f) < 0)
		return;
	if (f.payload + f.len > data + size)
		abort();
	size_t n = llc_frame_put(back, sizeof(back), own, f.src, 0xAC, f.payload, f.len);
	if (n != 17 + f.len || memcmp(back + 17, f.payload, f.len) != 0)
		abort();
}

static void text(uint8_t kind, const uint8_t *data, size_t size)
{
	char buf[LT_MSG_SIZE];
	size_t n = size < sizeof(buf) - 1 ? size : sizeof(buf) - 1;
	struct lt_counters c;
	struct lt_request req;
	uint64_t a, b;
	char *argv[LT_RUN_MAX_ARGS];

	memcpy(buf, data, n);
	buf[n] = '\0';
	switch (kind % 6) {
	case 0:
		lt_parse_request(buf, &req);
		if (req.cmd == LT_CMD_RUN && lt_split_args(req.args, argv, LT_RUN_MAX_ARGS) > LT_RUN_MAX_ARGS)
			abort();
		break;
	case 1:
		(void)lt_llc_is_reply(data, size);
		if (lt_parse_udp_counters((const char *)data, size, &c) == 0) {
			uint8_t mac[6] = { 0 };
			if (lt_udp_counters(buf, sizeof(buf), c.packets, c.bytes, mac) < 0)
				abort();
		}
		break;
	case 2:
		lt_parse_snmp((const char *)data, size, &a, &b);
		break;
	case 3:
		lt_parse_pgrx((const char *)data, size);
		break;
	case 4:
		lt_parse_result((const char *)data, size, &a);
		break;
	default:
		if (lt_get_llc_counters(data, size, &c) == 0 && size >= LT_COUNTERS_LEN) {
			uint8_t back[LT_COUNTERS_LEN];
			lt_put_counters(back, c.packets, c.bytes, c.duration_us);
			if (memcmp(back, data, LT_COUNTERS_LEN) != 0)
				abort();
		}
	}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	if (data[0] & 0x80)
		frame(data + 1, size - 1);
	else
		text(data[0], data + 1, size - 1);
	return 0;
}
