/* Fuzz target over the image recogniser, the verifiers and every accessor of the handler table.
 * The accessors are called whatever the verifier said: each must stay inside the buffer on its own. */
#include "firmware/fw_image.h"

#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	/* An exact-size copy, so the sanitizer sees one byte past the end. */
	uint8_t *image = (uint8_t *)malloc(size ? size : 1);
	char version[FW_VERSION_TEXT_MAX];
	struct fw_payload p;
	const struct fw_format_ops *ops;

	memcpy(image, data, size);
	ops = fw_format_ops(fw_recognise(image, size));
	if (ops) {
		if (ops->verify)
			ops->verify(image, size);
		int type = ops->type(image, size);
		if (ops->data) {
			const int types[] = { type, FW_TYPE_KERNEL, FW_TYPE_FILESYSTEM, FW_TYPE_OEM, FW_TYPE_PRODUCT };
			for (int t : types)
				if (ops->data(image, size, t, &p) == 0 && p.size)
					(void)((volatile const uint8_t *)p.data)[p.size - 1];
		}
		if (ops->version && ops->version(image, size, version, sizeof(version)) == 0) {
			struct fw_version v;
			parse_firmware_version(version, &v);
		}
		if (ops->timestamp)
			ops->timestamp(image, size);
	}
	free(image);
	return 0;
}
