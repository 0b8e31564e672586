/* Big-endian field access on byte pointers: the board's order for everything on flash, on the wire
 * and in sysfs.  Works on any alignment and any host order. */
#pragma once

#include <stdint.h>

static inline uint16_t get_be16(const void *p)
{
	const uint8_t *b = (const uint8_t *)p;
	return (uint16_t)((b[0] << 8) | b[1]);
}

static inline uint32_t get_be32(const void *p)
{
	const uint8_t *b = (const uint8_t *)p;
	return ((uint32_t)b[0] << 24) | ((uint32_t)b[1] << 16) | ((uint32_t)b[2] << 8) | b[3];
}

static inline uint64_t get_be64(const void *p)
{
	const uint8_t *b = (const uint8_t *)p;
	return ((uint64_t)get_be32(b) << 32) | get_be32(b + 4);
}

static inline void put_be16(void *p, uint16_t v)
{
	uint8_t *b = (uint8_t *)p;
	b[0] = (uint8_t)(v >> 8);
	b[1] = (uint8_t)v;
}

static inline void put_be32(void *p, uint32_t v)
{
	uint8_t *b = (uint8_t *)p;
	b[0] = (uint8_t)(v >> 24);
	b[1] = (uint8_t)(v >> 16);
	b[2] = (uint8_t)(v >> 8);
	b[3] = (uint8_t)v;
}

static inline void put_be64(void *p, uint64_t v)
{
	put_be32(p, (uint32_t)(v >> 32));
	put_be32((uint8_t *)p + 4, (uint32_t)v);
}
