/* libFuzzer target: one part image through the container reader (walk, CRC, inflate, slots), then
 * the blocks it kept back through the writer's layout, which must read back the same. */
#include "cfgstore/flash.h"
#include "spine/zutil.h"

#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static uint8_t image[CFG_SIZE];
	struct cfg_part part, again;
	struct cfg_stored stored[CFG_SLOTS];
	uint8_t *z[CFG_SLOTS];
	int n = 0;

	memset(&part, 0, sizeof(part));
	cfg_part_decode(data, size, &part);
	for (int i = 0; i < CFG_SLOTS; i++) {
		struct data_block *b = part.slot[i];
		size_t zlen;
		if (!data_block_sane(b) || !cfg_name_ok(b->name))
			continue;
		if (z_compress(b->data, b->len, &z[n], &zlen))
			abort();
		stored[n] = { b->name, z[n], (uint32_t)zlen, z_crc32(0, z[n], zlen) };
		n++;
	}
	struct cfg_header top;
	cfg_top_reset(&top, 1);
	long len = cfg_part_build(&top, stored, n, image);
	if (len > 0) {
		memset(&again, 0, sizeof(again));
		if (cfg_part_decode(image, (size_t)len, &again))
			abort();
		for (int i = 0; i < n; i++) {
			struct data_block *a = data_block_find(&part, stored[i].name);
			if (data_block_cmp(a, data_block_find(&again, stored[i].name)))
				abort();
		}
		data_blocks_destroy(&again);
	}
	for (int i = 0; i < n; i++)
		free(z[i]);
	data_blocks_destroy(&part);
	return 0;
}
