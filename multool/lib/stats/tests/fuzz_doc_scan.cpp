/* libFuzzer target: the previous documents' reader against the JSON library itself; they must take
 * and refuse the same documents and see the same counters in them. */
#include "doc_scan_check.h"

#include <stdio.h>
#include <stdlib.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string diff = doc_scan_compare((const char *)data, size);
	if (!diff.empty()) {
		fprintf(stderr, "doc_scan: %s\n", diff.c_str());
		abort();
	}
	return 0;
}
