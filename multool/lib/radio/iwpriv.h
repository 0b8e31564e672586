/* Private driver values by name. */
#pragma once

#include <stddef.h>
#include <stdint.h>

/* Argument descriptor: count in bits 0-10, fixed flag, type in bits 12-14. */
#define IWP_COUNT_MASK 0x07FF
#define IWP_FIXED 0x0800
#define IWP_TYPE_SHIFT 12
#define IWP_TYPE_MASK 0x7000
#define IWP_MAX_TABLE 2048

/* Bytes of one element of the descriptor's type (0 for the types without data). */
unsigned iwp_type_size(uint16_t desc);
/* count x type size */
size_t iwp_size(uint16_t desc);
/* Answer comes back inside the request (no set arguments, fixed, at most 16 bytes). */
int iwp_is_inline(uint16_t set, uint16_t get);

/* Reads the driver's private value `name` of ifname into buf: number of bytes placed, or -1.
 * Never writes more than len bytes: an answer longer than len is refused (-1, errno EOVERFLOW). */
int iwpriv_get(const char *ifname, const char *name, void *buf, size_t len);
/* Convenience: a single int value. 0 or -1. */
int iwpriv_get_int(const char *ifname, const char *name, int *value);
