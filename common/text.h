/* Text helpers shared by every program.  libc only; nothing here allocates or keeps state. */
#pragma once

#include <stddef.h>
#include <stdint.h>

/* Removes white space (isspace) at both ends in place; returns the first remaining character. */
char *trim(char *text);
/* Splits the line in place at the first "=", both sides trimmed: 0.  Without "=": both results
 * empty and -1. */
int split(char **key, char **value, char *line);
/* 0 and the value when the whole text is an unsigned number (decimal, 0x hex, 0 octal; leading
 * blanks allowed) that fits 32 bits; -1 otherwise. */
int parse_uint32(uint32_t *result, const char *text);
/* The same rules for 64 bits, in the given base (0: as above, 10: decimal only). */
int parse_uint64(uint64_t *result, const char *text, int base);
/* 0 and the value when the whole text is a decimal number (leading blanks and a sign allowed) that
 * fits a long; -1 otherwise. */
int parse_long(long *result, const char *text);

/* MAC address text.  Parsers say how strict they are where they are called. */
#define MAC_TEXT_SIZE 18
enum mac_syntax {
	MAC_STRICT, /* exactly "xx:xx:xx:xx:xx:xx", hex digits, nothing before or after */
	MAC_LAX,    /* six "%hhx" fields separated by ":", anything may follow */
};
/* 0 and the address, or -1 (mac may be partly written). */
int parse_mac(const char *text, uint8_t mac[6], enum mac_syntax syntax);
/* "00:11:22:AA:BB:CC"; returns buf. */
const char *mac_text(char buf[MAC_TEXT_SIZE], const uint8_t mac[6]);
/* "00:11:22:aa:bb:cc"; returns buf. */
const char *mac_text_lower(char buf[MAC_TEXT_SIZE], const uint8_t mac[6]);

/* Length of the valid UTF-8 sequence at text (of at most n > 0 bytes): 1 to 4, or 0 when the bytes
 * there are no valid sequence (NUL, a stray continuation byte, an overlong form, a surrogate, beyond
 * U+10FFFF, cut short). */
size_t utf8_valid_len(const char *text, size_t n);
/* Copies text into buf as valid UTF-8: bytes that do not form a valid sequence become the four
 * characters "\xNN" (upper-case hex), so that distinct names stay distinct.  An escape that does not
 * fit whole is left out.  Returns buf. */
char *utf8_escape(char *buf, size_t size, const char *text, size_t len);
