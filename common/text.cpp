/* Text helpers: trimming and splitting, strict numbers, MAC addresses, UTF-8 repair.  libc only. */
#include "common/text.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

char *trim(char *text)
{
	while (isspace((unsigned char)*text))
		text++;
	char *end = text + strlen(text);
	while (end > text && isspace((unsigned char)end[-1]))
		end--;
	*end = '\0';
	return text;
}

int split(char **key, char **value, char *line)
{
	char *eq = strchr(line, '=');
	if (!eq) {
		*key = line + strlen(line);
		*value = *key;
		return -1;
	}
	*eq = '\0';
	*key = trim(line);
	*value = trim(eq + 1);
	return 0;
}

int parse_uint64(uint64_t *result, const char *text, int base)
{
	const char *p = text;
	while (isspace((unsigned char)*p))
		p++;
	/* strtoull would take a sign and wrap "-1" to the largest value. */
	if (!isdigit((unsigned char)*p))
		return -1;
	char *end;
	errno = 0;
	unsigned long long v = strtoull(p, &end, base);
	if (errno || *end != '\0')
		return -1;
	*result = (uint64_t)v;
	return 0;
}

int parse_uint32(uint32_t *result, const char *text)
{
	uint64_t v;
	if (parse_uint64(&v, text, 0) < 0 || v > 0xFFFFFFFFull)
		return -1;
	*result = (uint32_t)v;
	return 0;
}

int parse_long(long *result, const char *text)
{
	char *end;
	errno = 0;
	long v = strtol(text, &end, 10);
	if (errno || end == text || *end != '\0')
		return -1;
	*result = v;
	return 0;
}

int parse_mac(const char *text, uint8_t mac[6], enum mac_syntax syntax)
{
	int end = -1;

	if (!text)
		return -1;
	if (syntax == MAC_LAX)
		return sscanf(text, "%hhx:%hhx:%hhx:%hhx:%hhx:%hhx", &mac[0], &mac[1], &mac[2], &mac[3], &mac[4],
			      &mac[5]) == 6 ? 0 : -1;
	if (sscanf(text, "%2hhx:%2hhx:%2hhx:%2hhx:%2hhx:%2hhx%n", &mac[0], &mac[1], &mac[2], &mac[3], &mac[4],
		   &mac[5], &end) != 6)
		return -1;
	/* sscanf lets "1:2:..." and " a" through; the text must be exactly 17 characters. */
	if (end != 17 || text[17] != '\0')
		return -1;
	for (int i = 0; i < 17; i++) {
		if (i % 3 == 2 ? text[i] != ':' : !isxdigit((unsigned char)text[i]))
			return -1;
	}
	return 0;
}

/* The collector writes a few of these per station on every run: no format parsing. */
static const char *mac_format(char buf[MAC_TEXT_SIZE], const uint8_t mac[6], const char *digits)
{
	for (int i = 0; i < 6; i++) {
		buf[3 * i] = digits[mac[i] >> 4];
		buf[3 * i + 1] = digits[mac[i] & 15];
		buf[3 * i + 2] = ':';
	}
	buf[17] = '\0';
	return buf;
}

const char *mac_text(char buf[MAC_TEXT_SIZE], const uint8_t mac[6])
{
	return mac_format(buf, mac, "0123456789ABCDEF");
}

const char *mac_text_lower(char buf[MAC_TEXT_SIZE], const uint8_t mac[6])
{
	return mac_format(buf, mac, "0123456789abcdef");
}

size_t utf8_valid_len(const char *text, size_t n)
{
	const unsigned char *p = (const unsigned char *)text;
	unsigned c = p[0];
	size_t len;
	uint32_t cp;

	if (c >= 0x01 && c < 0x80)
		return 1;
	if (c >= 0xC2 && c <= 0xDF) {
		len = 2;
		cp = c & 0x1F;
	} else if (c >= 0xE0 && c <= 0xEF) {
		len = 3;
		cp = c & 0x0F;
	} else if (c >= 0xF0 && c <= 0xF4) {
		len = 4;
		cp = c & 0x07;
	} else {
		return 0;
	}
	if (n < len)
		return 0;
	for (size_t i = 1; i < len; i++) {
		if ((p[i] & 0xC0) != 0x80)
			return 0;
		cp = (cp << 6) | (p[i] & 0x3F);
	}
	if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
	    (cp >= 0xD800 && cp <= 0xDFFF))
		return 0;
	return len;
}

char *utf8_escape(char *buf, size_t size, const char *text, size_t len)
{
	const unsigned char *p = (const unsigned char *)text;
	size_t o = 0;

	if (!size)
		return buf;
	for (size_t i = 0; i < len;) {
		size_t n = utf8_valid_len(text + i, len - i);
		if (n) {
			if (o + n >= size)
				break;
			memcpy(buf + o, p + i, n);
			o += n;
			i += n;
		} else {
			if (o + 4 >= size)
				break;
			snprintf(buf + o, size - o, "\\x%02X", p[i]);
			o += 4;
			i++;
		}
	}
	buf[o] = '\0';
	return buf;
}
