/* Base64 codec. */
#include "base64.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>

static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int b64_encode(const void *data, size_t len, char **text, size_t *size)
{
	const unsigned char *in = (const unsigned char *)data;
	size_t out_len = (len + 2) / 3 * 4;
	char *out = (char *)malloc(out_len + 1);
	size_t o = 0;

	if (!out)
		return -1;
	for (size_t i = 0; i < len; i += 3) {
		uint32_t v = (uint32_t)in[i] << 16;
		if (i + 1 < len)
			v |= (uint32_t)in[i + 1] << 8;
		if (i + 2 < len)
			v |= in[i + 2];
		out[o++] = alphabet[(v >> 18) & 63];
		out[o++] = alphabet[(v >> 12) & 63];
		out[o++] = i + 1 < len ? alphabet[(v >> 6) & 63] : '=';
		out[o++] = i + 2 < len ? alphabet[v & 63] : '=';
	}
	out[o] = '\0';
	*text = out;
	*size = o + 1;
	return 0;
}

static int sextet(unsigned char c)
{
	if (c >= 'A' && c <= 'Z')
		return c - 'A';
	if (c >= 'a' && c <= 'z')
		return c - 'a' + 26;
	if (c >= '0' && c <= '9')
		return c - '0' + 52;
	if (c == '+')
		return 62;
	if (c == '/')
		return 63;
	if (c == '=')
		return -2;
	return -1;
}

int b64_decode(const char *text, size_t len, unsigned char **data, size_t *data_len)
{
	/* Never more than 3 bytes per 4 characters: the buffer holds that and the terminator. */
	size_t cap = len / 4 * 3 + 3;
	unsigned char *out = (unsigned char *)malloc(cap + 1);
	size_t o = 0, n = 0;
	int group[4], padded = 0;

	if (!out) {
		errno = ENOMEM;
		return -1;
	}
	for (size_t i = 0; i < len; i++) {
		int v = sextet((unsigned char)text[i]);
		if (v == -1)
			continue;
		if (padded)
			goto malformed; /* a group ended with padding: nothing may follow */
		if (v == -2 && n < 2)
			goto malformed;
		if (v != -2 && n >= 2 && group[n - 1] == -2)
			goto malformed; /* "xx=x" */
		group[n++] = v;
		if (n < 4)
			continue;
		uint32_t w = (uint32_t)group[0] << 18 | (uint32_t)group[1] << 12;
		if (group[2] >= 0)
			w |= (uint32_t)group[2] << 6;
		if (group[3] >= 0)
			w |= (uint32_t)group[3];
		out[o++] = (unsigned char)(w >> 16);
		if (group[2] >= 0)
			out[o++] = (unsigned char)(w >> 8);
		if (group[3] >= 0)
			out[o++] = (unsigned char)w;
		padded = group[3] == -2;
		n = 0;
	}
	if (n != 0)
		goto malformed;
	out[o] = '\0';
	*data = out;
	*data_len = o;
	return 0;
malformed:
	free(out);
	errno = EINVAL;
	return -1;
}
