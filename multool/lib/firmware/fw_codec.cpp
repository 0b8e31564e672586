/* Firmware image headers, version texts, MAC ranges and small texts: libc only, so the same code is
 * checked on the big-endian 32-bit target. */
#include "firmware/fw_codec.h"

#include "common/bytes.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int fw_magic_format(const uint8_t *image, size_t len)
{
	if (len < 4)
		return FW_FORMAT_NONE;
	switch (get_be32(image)) {
	case FW_LEGACY_MAGIC:
		return FW_FORMAT_LEGACY;
	case FW_SEALED_MAGIC:
		return FW_FORMAT_SEALED;
	default:
		return FW_FORMAT_NONE;
	}
}

void fw_legacy_decode(const uint8_t *p, struct fw_legacy_hdr *h)
{
	h->magic = get_be32(p);
	h->hcrc = get_be32(p + 4);
	h->time = get_be32(p + 8);
	h->size = get_be32(p + 12);
	h->load = get_be32(p + 16);
	h->ep = get_be32(p + 20);
	h->dcrc = get_be32(p + 24);
	h->os = p[28];
	h->arch = p[29];
	h->type = p[30];
	h->comp = p[31];
	memcpy(h->name, p + 32, FW_LEGACY_NAME_LEN);
}

void fw_legacy_encode(uint8_t *p, const struct fw_legacy_hdr *h)
{
	put_be32(p, h->magic);
	put_be32(p + 4, h->hcrc);
	put_be32(p + 8, h->time);
	put_be32(p + 12, h->size);
	put_be32(p + 16, h->load);
	put_be32(p + 20, h->ep);
	put_be32(p + 24, h->dcrc);
	p[28] = h->os;
	p[29] = h->arch;
	p[30] = h->type;
	p[31] = h->comp;
	memcpy(p + 32, h->name, FW_LEGACY_NAME_LEN);
}

bool fw_legacy_size_ok(size_t len, uint32_t data_size)
{
	/* Written as a subtraction: 64 + size wraps on a 32-bit size_t. */
	return len >= FW_LEGACY_HDR_SIZE && data_size <= len - FW_LEGACY_HDR_SIZE;
}

bool fw_sealed_size_ok(size_t len, uint32_t sealed_len)
{
	if (len < FW_SEALED_IV_OFF || sealed_len < FW_SEALED_IV_LEN)
		return false;
	if (sealed_len > len - FW_SEALED_IV_OFF)
		return false;
	return (sealed_len - FW_SEALED_IV_LEN) % 16 == 0;
}

void fw_legacy_name(const struct fw_legacy_hdr *h, char *out)
{
	size_t i;

	for (i = 0; i < FW_LEGACY_NAME_LEN && isprint(h->name[i]); i++)
		out[i] = (char)h->name[i];
	out[i] = '\0';
}

void fw_copy_text(char *dst, size_t size, const void *src, size_t max)
{
	const char *s = (const char *)src;
	size_t n = 0;

	if (!size)
		return;
	while (n < max && n + 1 < size && s[n])
		n++;
	memcpy(dst, s, n);
	dst[n] = '\0';
}

int parse_firmware_version(const char *text, struct fw_version *v)
{
	char f[6][FW_FIELD_LEN];
	int n;

	memset(v, 0, sizeof(*v));
	memset(f, 0, sizeof(f));
	n = sscanf(text, "%31[^'.'].%31[^'.'].%31[^'.'].%31[^'.'|'-'].%31[^'.'].%31[^'.']",
		   f[0], f[1], f[2], f[3], f[4], f[5]);
	if (n < 4)
		return -1;
	memcpy(v->product, f[0], FW_FIELD_LEN);
	memcpy(v->platform, f[1], FW_FIELD_LEN);
	memcpy(v->major, f[2], FW_FIELD_LEN);
	v->minor = (int)strtol(f[3], NULL, 10);
	if (n == 6)
		memcpy(v->brand, f[5], FW_FIELD_LEN);
	return 0;
}

int fw_version_match(const struct fw_version *dev, const char *image_text, struct fw_version *img)
{
	if (parse_firmware_version(image_text, img) < 0) {
		fputs("Can't parse image firmware version\n", stderr);
		return -1;
	}
	if (strcmp(dev->platform, img->platform) != 0) {
		fputs("Firmware platform mismatch\n", stderr);
		return -1;
	}
	if (strcmp(dev->product, img->product) != 0) {
		fputs("Firmware product mismatch\n", stderr);
		return -1;
	}
	if (strcmp(dev->major, img->major) != 0) {
		fputs("Firmware major version mismatch\n", stderr);
		return -1;
	}
	return 0;
}

int fw_brand_check(const struct fw_version *dev, const char *image_text)
{
	if (strstr(dev->brand, "Qarven") && !strstr(image_text, "Qarven")) {
		fputs("Qarvendis version mismatch \n", stderr);
		return -1;
	}
	return 0;
}

char *fw_printable(char *out, size_t size, const char *text)
{
	size_t n = 0;

	if (!size)
		return out;
	for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
		bool ctl = *p < 0x20 || *p == 0x7f;
		if (n + (ctl ? 4 : 1) >= size)
			break;
		if (ctl)
			n += (size_t)snprintf(out + n, size - n, "\\x%02X", *p);
		else
			out[n++] = (char)*p;
	}
	out[n] = '\0';
	return out;
}

int fw_parse_mac_line(const char *line, struct fw_mac_range *r)
{
	uint8_t *a = r->lo, *b = r->hi;

	if (line[0] == '#')
		return 0;
	if (sscanf(line, "%2hhx:%2hhx:%2hhx:%2hhx:%2hhx:%2hhx-%2hhx:%2hhx:%2hhx:%2hhx:%2hhx:%2hhx",
		   &a[0], &a[1], &a[2], &a[3], &a[4], &a[5], &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) == 12)
		return 1;
	if (sscanf(line, "%2hhx:%2hhx:%2hhx:%2hhx:%2hhx:%2hhx", &a[0], &a[1], &a[2], &a[3], &a[4], &a[5]) == 6) {
		memcpy(b, a, 6);
		return 1;
	}
	return -1;
}

bool fw_mac_in_range(const uint8_t mac[6], const struct fw_mac_range *r)
{
	return memcmp(mac, r->lo, 6) >= 0 && memcmp(mac, r->hi, 6) <= 0;
}

/* Offset of the last occurrence of needle, or -1. */
static long last_occurrence(const char *hay, const char *needle)
{
	long at = -1;

	for (const char *p = strstr(hay, needle); p; p = strstr(p + 1, needle))
		at = p - hay;
	return at;
}

int fw_cmdline_bank(const char *cmdline, const char *marker1, const char *marker2)
{
	long a = last_occurrence(cmdline, marker1);
	long b = last_occurrence(cmdline, marker2);

	if (a < 0 && b < 0)
		return 0;
	return b > a ? 2 : 1;
}

int fw_shell_word(char *out, size_t size, const char *word)
{
	static const char safe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._-+,:@%=";
	size_t n = 0;

	if (word[0] && strspn(word, safe) == strlen(word)) {
		if (strlen(word) + 1 > size)
			return -1;
		memcpy(out, word, strlen(word) + 1);
		return 0;
	}
	/* Single quotes; an embedded quote closes, escapes and reopens them. */
	if (n + 1 >= size)
		return -1;
	out[n++] = '\'';
	for (const char *p = word; *p; p++) {
		const char *piece = *p == '\'' ? "'\\''" : NULL;
		size_t plen = piece ? 4 : 1;
		if (n + plen + 2 > size)
			return -1;
		if (piece)
			memcpy(out + n, piece, plen);
		else
			out[n] = *p;
		n += plen;
	}
	out[n++] = '\'';
	out[n] = '\0';
	return 0;
}

int fw_progress_text(char *out, size_t size, const char *name, unsigned idx, unsigned n)
{
	static const char cycle[4] = { '|', '/', '-', '\\' };
	unsigned pct = n ? (unsigned)((100ull * idx) / n) : 0;

	return snprintf(out, size, "\r%s: %c %2d%%", name, cycle[(idx + 1) % 4], (int)pct);
}
