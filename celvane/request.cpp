/* Command arguments checked before they reach a program. */
#include "request.h"

#include "common/text.h"

#include <stdio.h>
#include <string.h>

int request_iface_ok(const char *name)
{
	size_t n = 0;

	if (!name)
		return 0;
	for (; name[n]; n++) {
		char c = name[n];
		int ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
			 c == '.' || c == '-';
		if (!ok || n >= 15)
			return 0;
	}
	return n >= 1;
}

int request_station_ok(const char *id)
{
	uint8_t mac[6];
	size_t n;

	if (!id)
		return 0;
	n = strlen(id);
	if (n == 17)
		return parse_mac(id, mac, MAC_STRICT) == 0;
	if (n < 1 || n > 6)
		return 0;
	for (size_t i = 0; i < n; i++)
		if (id[i] < '0' || id[i] > '9')
			return 0;
	return id[0] != '0';
}

int request_size_ok(long long size)
{
	return size >= LINKTEST_SIZE_MIN && size <= LINKTEST_SIZE_MAX;
}

int request_linktest_count(int size)
{
	return size <= 1000 ? 1500000 / size : 10000;
}

long request_delay(long long delay)
{
	if (delay < 1)
		return 1;
	if (delay > 365LL * 86400)
		return 365L * 86400;
	return (long)delay;
}

unsigned backoff_seconds(unsigned failures)
{
	if (failures == 0)
		return 0;
	if (failures > 5)
		return BACKOFF_MAX_S;
	unsigned s = 1u << (failures - 1);
	return s > BACKOFF_MAX_S ? BACKOFF_MAX_S : s;
}

void sha1_hex(char buf[41], const uint8_t digest[20])
{
	static const char digits[] = "0123456789abcdef";

	for (int i = 0; i < 20; i++) {
		buf[2 * i] = digits[digest[i] >> 4];
		buf[2 * i + 1] = digits[digest[i] & 15];
	}
	buf[40] = '\0';
}

int sha1_matches(const char *hex, const char *expected)
{
	if (!expected || strnlen(expected, 40) < 40)
		return 0;
	return strncmp(hex, expected, 40) == 0;
}
