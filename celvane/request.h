/* Checks on the values a command message carries before they become arguments of a program, and the
 * small rules around them.  Pure: the target build and the fuzz target share it. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#define LINKTEST_SIZES_MAX 16
#define LINKTEST_SIZE_MIN 1
#define LINKTEST_SIZE_MAX 2296

/* An interface name: 1 to 15 of [A-Za-z0-9_.-]. */
int request_iface_ok(const char *name);
/* A link-test peer: a MAC address "xx:xx:xx:xx:xx:xx" (17 characters, hex digits) or a decimal peer
 * number 1..999999. */
int request_station_ok(const char *id);
/* Whether a packet size can be sent (the link-test client's own range). */
int request_size_ok(long long size);
/* Packets per run for a size: 1500000 / size up to 1000 bytes, else 10000.  size must be valid. */
int request_linktest_count(int size);
/* A delay in seconds for a device-action timer: 0 or less becomes 1, the rest is capped at a day
 * times 365 so that it fits every time_t. */
long request_delay(long long delay);

/* Seconds to wait before the next connection attempt after `failures` failed ones in a row: none
 * for the first attempt, then 1, 2, 4, ... up to BACKOFF_MAX_S. */
#define BACKOFF_MAX_S 30
unsigned backoff_seconds(unsigned failures);

/* SHA-1 digest as 40 lower-case hex digits (buf holds 41). */
void sha1_hex(char buf[41], const uint8_t digest[20]);
/* Whether the expected text starts with the 40 digits of hex; a missing or shorter expectation is a
 * mismatch. */
int sha1_matches(const char *hex, const char *expected);
