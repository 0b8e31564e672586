/* Interface ordinals and counter rates: arithmetic over texts and numbers only. */
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/ifi.h"

void ifi_parse_procnetdev(struct ifi_name_table *t, const char *text)
{
	const char *line = text;
	uint32_t cap = 0;

	t->names = NULL;
	t->count = 0;
	/* two header lines */
	for (int skip = 0; line && skip < 2; skip++) {
		line = strchr(line, '\n');
		if (line)
			line++;
	}
	while (line && *line) {
		const char *eol = strchr(line, '\n');
		if (!eol)
			eol = line + strlen(line);
		const char *colon = (const char *)memchr(line, ':', (size_t)(eol - line));
		if (colon) {
			const char *b = line;
			while (*b == ' ' || *b == '\t')
				b++;
			if (t->count == cap) {
				cap = cap ? cap * 2 : 32;
				char(*n)[16] = (char(*)[16])realloc(t->names, cap * sizeof(*n));
				if (!n)
					break;
				t->names = n;
			}
			snprintf(t->names[t->count], 16, "%.*s", (int)(colon - b), b);
			t->count++;
		}
		line = *eol ? eol + 1 : eol;
	}
}

uint32_t ifi_lookup_ordinal(const struct ifi_name_table *t, const char *name)
{
	for (uint32_t i = 0; i < t->count; i++)
		if (!strcmp(t->names[i], name))
			return i + 1;
	unsigned n;
	char tail;
	if (sscanf(name, "eth%u%c", &n, &tail) == 1 && isdigit((unsigned char)name[3]))
		return t->count + n;
	return 0;
}

uint32_t ifi_ordinal(const char *text, const char *name)
{
	struct ifi_name_table t;
	ifi_parse_procnetdev(&t, text);
	uint32_t ord = ifi_lookup_ordinal(&t, name);
	free(t.names);
	return ord;
}

int ifi_rate_mbps(uint32_t prev, uint32_t cur, uint64_t elapsed_ms, float *rate)
{
	uint64_t secs = elapsed_ms / 1000;
	if (!secs)
		return -1;
	uint32_t delta = cur - prev;
	*rate = (float)((double)delta * 8 / ((double)secs * 1048576));
	return 0;
}
