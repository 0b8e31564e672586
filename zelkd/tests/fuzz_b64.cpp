// Base64 decoding of task inputs from the server: any bytes, and what decodes re-encodes to the
// same data.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	unsigned char *out;
	size_t len;

	if (b64_decode((const char *)data, size, &out, &len) == 0) {
		char *text;
		size_t tsize;
		if (b64_encode(out, len, &text, &tsize) == 0) {
			unsigned char *again;
			size_t again_len;
			if (b64_decode(text, tsize - 1, &again, &again_len) != 0 || again_len != len ||
			    memcmp(again, out, len))
				abort();
			free(again);
			free(text);
		}
		free(out);
	}
	return 0;
}
