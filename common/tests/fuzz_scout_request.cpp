/* libFuzzer target: a datagram through both responders' acceptance rules.  Whatever is served must
 * frame into an answer that fits one datagram and names the asker. */
#include "common/scout_codec.h"

#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const enum scout_dialect dialects[] = { SCOUT_CURRENT, SCOUT_OLDER };
	const uint64_t own = 0x0000020304050607ull;
	uint8_t p[16 + SCOUT_VERSION_LINE_MAX], out[SCOUT_ANSWER_MAX];
	const uint8_t mac[6] = { 2, 3, 4, 5, 6, 7 }, ip[4] = { 192, 0, 2, 5 };
	char line[SCOUT_VERSION_LINE_MAX];

	memset(line, 'v', sizeof(line));
	for (enum scout_dialect d : dialects) {
		struct scout_request req;
		char text[64];
		enum scout_verdict v = scout_parse_request(d, data, size, own, &req);
		scout_verdict_text(v, &req, size, text, sizeof(text));
		if (v != SCOUT_SERVE)
			continue;
		if (req.dproto && (size != scout_request_len(d, req.cmd) || !req.src || !req.dst || req.src == own))
			abort();
		if (!req.dproto && size != 4)
			abort();
		size_t n = scout_discovery_payload(p, sizeof(p), req.version, mac, ip, line, sizeof(line));
		size_t f = scout_frame_answer(out, sizeof(out), &req, own, p, n);
		if (!f || f > SCOUT_ANSWER_MAX || (req.dproto && memcmp(out + 12, data + 4, 8)))
			abort();
	}
	return 0;
}
