/* The texts the IEEE 802.11 module reads: /proc/net/wireless, protocol names, frequencies. */
#include "snmp/ieee802dot11/d11_text.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

static const char *d11_skip_blanks(const char *p)
{
	while (*p == ' ' || *p == '\t')
		p++;
	return p;
}

/* One decimal field, optionally ending in '.', as /proc/net/wireless writes its levels. */
static int d11_field(const char **pp, long long *out)
{
	const char *p = d11_skip_blanks(*pp);
	char *end;

	if (!*p || *p == '\n')
		return -1;
	errno = 0;
	long long v = strtoll(p, &end, 10);
	if (end == p || errno)
		return -1;
	if (*end == '.')
		end++;
	if (*end && *end != ' ' && *end != '\t' && *end != '\n')
		return -1;
	*out = v;
	*pp = end;
	return 0;
}

static int d11_parse_line(const char *line, const char *end, struct d11_wstats *w)
{
	char buf[256];
	size_t n = (size_t)(end - line);

	if (n >= sizeof(buf))
		return -1;
	memcpy(buf, line, n);
	buf[n] = '\0';
	const char *p = d11_skip_blanks(buf);
	const char *colon = strchr(p, ':');
	if (!colon || colon == p || (size_t)(colon - p) >= sizeof(w->name))
		return -1;
	memset(w, 0, sizeof(*w));
	memcpy(w->name, p, (size_t)(colon - p));
	p = colon + 1;
	/* status (hex), link, level, noise, then the five discard counters and the missed beacons */
	p = d11_skip_blanks(p);
	char *hend;
	strtoul(p, &hend, 16);
	if (hend == p)
		return -1;
	p = hend;
	long long f[9];
	for (int i = 0; i < 9; i++)
		if (d11_field(&p, &f[i]) < 0)
			return -1;
	uint32_t *dst[] = { &w->nwid, &w->crypt, &w->frag, &w->retry, &w->misc, &w->beacon };
	for (int i = 0; i < 6; i++)
		*dst[i] = (uint32_t)f[3 + i];
	return 0;
}

int d11_parse_proc_wireless(const char *text, void (*fn)(const struct d11_wstats *w, void *ctx), void *ctx)
{
	int line = 0, count = 0;

	for (const char *p = text; *p; line++) {
		const char *end = strchr(p, '\n');
		if (!end)
			end = p + strlen(p);
		struct d11_wstats w;
		if (line >= 2 && d11_parse_line(p, end, &w) == 0) {
			fn(&w, ctx);
			count++;
		}
		p = *end ? end + 1 : end;
	}
	return count;
}

int32_t d11_phy_type(const char *name)
{
	static const char *const texts[] = { "IEEE 802.11-FS", "IEEE 802.11b",  "IEEE 802.11-IR", "IEEE 802.11a",
					     "IEEE 802.11g",   "IEEE 802.11T", "IEEE 802.11Ta",  "IEEE 802.11Tg" };
	for (size_t i = 0; i < sizeof(texts) / sizeof(texts[0]); i++)
		if (strcmp(name, texts[i]) == 0)
			return (int32_t)i + 1;
	const char *p = strstr(name, "802.11");
	p = p ? p + 6 : strncmp(name, "11", 2) == 0 ? name + 2 : NULL;
	if (!p)
		return 0;
	/* Later amendments run on one of the base PHYs: OFDM at 5 GHz, ERP at 2.4 GHz, DSSS. */
	if (strchr(p, 'a'))
		return 4;
	if (strchr(p, 'g'))
		return 5;
	if (strchr(p, 'b'))
		return 2;
	return 0;
}

int32_t d11_channel(int32_t m, int16_t e)
{
	if (e == 0 && m >= 0 && m < 1000)
		return m;
	if (e < 0 || e > 9)
		return 0;
	long long hz = m;
	for (int i = 0; i < e; i++)
		hz *= 10;
	long long mhz = hz / 1000000;
	if (mhz == 2484)
		return 14;
	if (mhz >= 2412 && mhz <= 2472)
		return (int32_t)((mhz - 2407) / 5);
	if (mhz >= 5000 && mhz <= 5925)
		return (int32_t)((mhz - 5000) / 5);
	return 0;
}
