/* zlib wrappers.  Inflate is streamed into a geometrically growing buffer: one pass over the input
 * whatever the ratio, where retrying a one-shot inflate with a slightly larger buffer is quadratic. */
#include "spine/zutil.h"

#include <stdlib.h>
#include <string.h>
#include <zlib.h>

int z_compress(const void *in, size_t in_len, uint8_t **out, size_t *out_len)
{
	uLongf len = compressBound((uLong)in_len);
	uint8_t *buf = (uint8_t *)malloc(len ? len : 1);

	if (!buf)
		return -1;
	if (compress2(buf, &len, (const Bytef *)in, (uLong)in_len, 9) != Z_OK) {
		free(buf);
		return -1;
	}
	*out = buf;
	*out_len = len;
	return 0;
}

int z_uncompress(const void *in, size_t in_len, uint8_t **out, size_t *out_len, size_t max)
{
	z_stream zs;
	uint8_t *buf = NULL;
	size_t cap, used = 0;
	int rc = Z_OK;

	if (!max)
		max = Z_UNCOMPRESS_MAX;
	cap = in_len * 2 < 64 ? 64 : in_len * 2;
	if (cap > max)
		cap = max;
	memset(&zs, 0, sizeof(zs));
	if (inflateInit(&zs) != Z_OK)
		return -1;
	zs.next_in = (Bytef *)in;
	zs.avail_in = (uInt)in_len;
	for (;;) {
		if (!buf || used == cap) {
			if (buf && cap >= max)
				break;
			size_t ncap = buf ? (cap > max / 2 ? max : cap * 2) : cap;
			uint8_t *nbuf = (uint8_t *)realloc(buf, ncap + 1);
			if (!nbuf)
				break;
			buf = nbuf;
			cap = ncap;
		}
		zs.next_out = buf + used;
		zs.avail_out = (uInt)(cap - used);
		rc = inflate(&zs, Z_NO_FLUSH);
		used = cap - zs.avail_out;
		if (rc == Z_STREAM_END)
			break;
		if (rc != Z_OK && !(rc == Z_BUF_ERROR && used == cap))
			break;
		/* Z_OK with output room left and no input left: the stream is truncated. */
		if (zs.avail_in == 0 && used < cap)
			break;
	}
	inflateEnd(&zs);
	if (rc != Z_STREAM_END) {
		free(buf);
		return -1;
	}
	buf[used] = 0;
	*out = buf;
	*out_len = used;
	return 0;
}

uint32_t z_crc32(uint32_t crc, const void *data, size_t len)
{
	return (uint32_t)crc32(crc, (const Bytef *)data, (uInt)len);
}
