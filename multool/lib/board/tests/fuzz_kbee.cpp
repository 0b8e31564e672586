/* libFuzzer target: a store image through the board store parser; what it accepts must serialise
 * to an image that parses to the same records. */
#include "board/kbee.h"

#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	struct kbee_table t, back;
	uint32_t total;

	if (kbee_table_init(&t, 62) || kbee_table_init(&back, 0))
		abort();
	if (size >= KBEE_HEADER_SIZE && kbee_header_ok(data, &total) && total <= size &&
	    kbee_parse(data, total, &t) == 0) {
		uint32_t len = kbee_store_size(&t);
		uint8_t *img = (uint8_t *)malloc(len);
		kbee_serialise(&t, img);
		if (len >= KBEE_MAX_STORE || kbee_parse(img, len, &back))
			abort();
		for (uint32_t i = 0; i < t.nslots; i++) {
			const uint8_t *a = kbee_table_record(&t, i), *b = kbee_table_record(&back, i);
			if (!a != !b || (a && memcmp(a, b, ((a[0] << 8) | a[1]))))
				abort();
		}
		free(img);
	}
	kbee_table_free(&t);
	kbee_table_free(&back);
	return 0;
}
