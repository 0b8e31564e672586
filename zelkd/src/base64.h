/* Base64 with the standard alphabet and "=" padding, no line breaks.  Dependency-free. */
#pragma once

#include <stddef.h>

/* 0 and a new terminated text (*size counts the terminator), or -1 when memory runs out. */
int b64_encode(const void *data, size_t len, char **text, size_t *size);
/* Bytes outside the alphabet are skipped; "=" may only end a group (at most two); the significant
 * characters must make whole groups and nothing may follow padding.  0 and new data (with a NUL
 * after its *data_len bytes), or -1 (errno EINVAL for undecodable input, ENOMEM). */
int b64_decode(const char *text, size_t len, unsigned char **data, size_t *data_len);
