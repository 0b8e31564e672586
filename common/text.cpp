/* Text helpers: in-place trimming and splitting, strict number parsing.  libc only. */
#include "common/text.h"

#include <ctype.h>
#include <errno.h>
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

int parse_uint32(uint32_t *result, const char *text)
{
	const char *p = text;
	while (isspace((unsigned char)*p))
		p++;
	/* strtoull would take a sign and wrap "-1" to the largest value. */
	if (!isdigit((unsigned char)*p))
		return -1;
	char *end;
	errno = 0;
	unsigned long long v = strtoull(p, &end, 0);
	if (errno || *end != '\0' || v > 0xFFFFFFFFull)
		return -1;
	*result = (uint32_t)v;
	return 0;
}
