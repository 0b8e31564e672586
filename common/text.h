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
