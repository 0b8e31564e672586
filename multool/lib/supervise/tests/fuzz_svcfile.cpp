/* libFuzzer target: the documents the supervisors read from files, a service file and the product
 * file, through jansson and our readers of them; every text taken must be a terminated copy. */
#include "supervise/resetcfg.h"
#include "supervise/svcfile.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	json_t *root = json_loadb((const char *)data, size, 0, NULL);
	struct svc_def def;
	struct resetcfg cfg;

	if (svcfile_parse(root, &def) == 0) {
		if (strlen(def.name) + strlen(def.cmd) + (def.out ? strlen(def.out) : 0) > size)
			abort();
		svc_def_free(&def);
	}
	if (resetcfg_from_product(root, &cfg) == RESETCFG_OK && (!cfg.led[0] || strchr(cfg.led, '/')))
		abort();
	json_decref(root);
	/* the period text on its own, as arbitrary bytes */
	char text[64];
	size_t n = size < sizeof(text) - 1 ? size : sizeof(text) - 1;
	memcpy(text, data, n);
	text[n] = '\0';
	svc_period_ms(text);
	return 0;
}
