/* Test driver for the board store and the factory MAC helpers, run inside the virtual device:
 *
 *   kbee_tool CMD...   with CMD one of
 *     init                 print "init <rc> offset <hex>"
 *     set TYPE TEXT        eeprom_update with the text bytes (no NUL); prints "set <rc>"
 *     sethex TYPE HEX      eeprom_update with the decoded bytes
 *     del TYPE             eeprom_delete
 *     get TYPE             print "get <ok> <count> <payload as text>"
 *     write                print "write <rc>"
 *     free                 eeprom_free
 *     getmacs | setmacs W E [E1]   the factory daemon's MAC helpers
 *
 * Commands run left to right in one process, so a sequence shows what the store keeps between them. */
#include "board/eeprom.h"
#include "board/macs.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static size_t unhex(const char *hex, uint8_t *out, size_t max)
{
	size_t n = 0;
	for (; hex[0] && hex[1] && n < max; hex += 2)
		sscanf(hex, "%2hhx", &out[n++]);
	return n;
}

int main(int argc, char **argv)
{
	static uint8_t buf[70000];

	for (int i = 1; i < argc; i++) {
		const char *cmd = argv[i];
		if (!strcmp(cmd, "init")) {
			int rc = eeprom_init();
			printf("init %d offset %X\n", rc, (unsigned)eeprom_offset());
		} else if (!strcmp(cmd, "set") && i + 2 < argc) {
			unsigned type = (unsigned)strtoul(argv[i + 1], NULL, 0);
			printf("set %d\n", eeprom_update(type, argv[i + 2], strlen(argv[i + 2])));
			i += 2;
		} else if (!strcmp(cmd, "sethex") && i + 2 < argc) {
			unsigned type = (unsigned)strtoul(argv[i + 1], NULL, 0);
			size_t n = unhex(argv[i + 2], buf, sizeof(buf));
			printf("set %d\n", eeprom_update(type, buf, n));
			i += 2;
		} else if (!strcmp(cmd, "setsize") && i + 2 < argc) {
			unsigned type = (unsigned)strtoul(argv[i + 1], NULL, 0);
			size_t n = strtoul(argv[i + 2], NULL, 0);
			memset(buf, 'x', n < sizeof(buf) ? n : sizeof(buf));
			printf("set %d\n", eeprom_update(type, buf, n));
			i += 2;
		} else if (!strcmp(cmd, "del") && i + 1 < argc) {
			eeprom_delete((unsigned)strtoul(argv[++i], NULL, 0));
		} else if (!strcmp(cmd, "get") && i + 1 < argc) {
			const uint8_t *p;
			unsigned count;
			bool ok = eeprom_get((unsigned)strtoul(argv[++i], NULL, 0), &p, &count);
			printf("get %d %u %s\n", ok, count, p ? (const char *)p : "(null)");
		} else if (!strcmp(cmd, "write")) {
			printf("write %d\n", eeprom_write());
		} else if (!strcmp(cmd, "free")) {
			eeprom_free();
		} else if (!strcmp(cmd, "getmacs")) {
			printf("getmacs %d\n", getmacs());
		} else if (!strcmp(cmd, "setmacs")) {
			/* The factory daemon passes its own words: program, option, then the addresses. */
			int n = argc - i + 1;
			char *words[6] = { (char *)"factoryd", (char *)"-S" };
			for (int k = 2; k < n && k < 6; k++)
				words[k] = argv[i + k - 1];
			printf("setmacs %d\n", setmacs(n, words));
			break;
		} else {
			fprintf(stderr, "kbee_tool: bad command '%s'\n", cmd);
			return 2;
		}
		fflush(stdout);
	}
	return 0;
}
