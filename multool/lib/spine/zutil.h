/* zlib-format compression for flash blocks and replies.  Buffers are malloc'd; the caller frees. */
#pragma once

#include <stddef.h>
#include <stdint.h>

/* Largest output z_uncompress produces unless told otherwise: a stored block of a 64 KiB flash part
 * that inflates past this is taken as hostile rather than data. */
#define Z_UNCOMPRESS_MAX (4u << 20)

/* Compresses at level 9 (zlib format, RFC 1950).  0 with *out and *out_len set, or -1. */
int z_compress(const void *in, size_t in_len, uint8_t **out, size_t *out_len);

/* Inflates a complete zlib stream into a buffer that starts at twice the input size and grows as
 * needed, up to max bytes (0 means Z_UNCOMPRESS_MAX).  The buffer holds one zero byte past *out_len.
 * 0 on success; -1 for corrupt or truncated data, output past max, or no memory. */
int z_uncompress(const void *in, size_t in_len, uint8_t **out, size_t *out_len, size_t max);

/* Standard CRC-32 (as zlib's crc32 starting from 0 when crc is 0). */
uint32_t z_crc32(uint32_t crc, const void *data, size_t len);
