/* Parsing of the kernel's flash partition table.  No I/O: shared with the target-order unit tests. */
#include "platform/mtd.h"

#include <string.h>

static int parse_hex(const char **pp, const char *end, uint32_t *out)
{
	const char *p = *pp;
	uint64_t v = 0;
	int digits = 0;

	while (p < end && (*p == ' ' || *p == '\t'))
		p++;
	if (p + 1 < end && p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
		p += 2;
	for (; p < end; p++, digits++) {
		int d;
		if (*p >= '0' && *p <= '9')
			d = *p - '0';
		else if (*p >= 'a' && *p <= 'f')
			d = *p - 'a' + 10;
		else if (*p >= 'A' && *p <= 'F')
			d = *p - 'A' + 10;
		else
			break;
		v = (v << 4) | (uint64_t)d;
		if (v > 0xffffffffu)
			return -1;
	}
	if (!digits)
		return -1;
	*out = (uint32_t)v;
	*pp = p;
	return 0;
}

/* One line "mtdN: size erasesize "name"".  1 on a match, 0 on another partition, -1 ends the walk. */
static int parse_line(const char *p, const char *end, const char *name, struct mtd_part *out)
{
	struct mtd_part part;
	int minor = 0, digits = 0;

	if (end - p < 3 || memcmp(p, "mtd", 3) != 0)
		return -1;
	for (p += 3; p < end && *p >= '0' && *p <= '9'; p++, digits++) {
		minor = minor * 10 + (*p - '0');
		if (minor > 1000000)
			return -1;
	}
	if (!digits)
		return -1;
	while (p < end && *p != ' ' && *p != '\t')
		p++;
	part.minor = minor;
	if (parse_hex(&p, end, &part.size) || parse_hex(&p, end, &part.erasesize))
		return -1;
	while (p < end && (*p == ' ' || *p == '\t'))
		p++;
	if (p == end || *p != '"')
		return -1;
	const char *q = (const char *)memchr(p + 1, '"', (size_t)(end - p - 1));
	if (!q)
		return -1;
	size_t nlen = (size_t)(q - p - 1);
	if (nlen != strlen(name) || memcmp(p + 1, name, nlen) != 0)
		return 0;
	*out = part;
	return 1;
}

int mtd_parse_table(const char *text, size_t len, const char *name, struct mtd_part *out)
{
	const char *end = text + len;
	const char *p = (const char *)memchr(text, '\n', len);

	/* The first line is the column header. */
	while (p && ++p < end) {
		const char *eol = (const char *)memchr(p, '\n', (size_t)(end - p));
		if (!eol)
			eol = end;
		int r = parse_line(p, eol, name, out);
		if (r < 0)
			return -1;
		if (r > 0)
			return 0;
		p = eol;
	}
	return -1;
}
