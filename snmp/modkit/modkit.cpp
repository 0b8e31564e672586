/* Shared pieces of the MIB modules. */
#include "snmp/modkit/modkit.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

json_t *mj_get(const json_t *o, const char *key)
{
	return json_is_object(o) ? json_object_get(o, key) : NULL;
}

json_t *mj_dot(const json_t *o, const char *path)
{
	char key[256];
	const json_t *cur = o;

	while (cur) {
		const char *dot = strchr(path, '.');
		size_t n = dot ? (size_t)(dot - path) : strlen(path);
		if (n >= sizeof(key))
			return NULL;
		memcpy(key, path, n);
		key[n] = '\0';
		cur = mj_get(cur, key);
		if (!dot)
			return (json_t *)cur;
		path = dot + 1;
	}
	return NULL;
}

const char *mj_str(const json_t *o, const char *key)
{
	return json_string_value(mj_get(o, key));
}

int mj_i64(const json_t *v, int64_t *out)
{
	if (json_is_integer(v)) {
		*out = json_integer_value(v);
		return 0;
	}
	if (!json_is_real(v))
		return -1;
	double d = json_real_value(v);
	/* Only what an int64 holds converts without undefined behaviour. */
	if (!(d > -9223372036854775808.0 && d < 9223372036854775808.0))
		return -1;
	*out = (int64_t)d;
	return 0;
}

int mj_i32(const json_t *v, int32_t *out)
{
	int64_t i;

	if (mj_i64(v, &i) < 0 || i < INT32_MIN || i > INT32_MAX)
		return -1;
	*out = (int32_t)i;
	return 0;
}

int mj_u32_trunc(const json_t *v, uint32_t *out)
{
	int64_t i;

	if (json_is_real(v) && json_real_value(v) >= 9223372036854775808.0 && json_real_value(v) < 18446744073709551616.0) {
		*out = (uint32_t)(uint64_t)json_real_value(v);
		return 0;
	}
	if (mj_i64(v, &i) < 0)
		return -1;
	*out = (uint32_t)(uint64_t)i;
	return 0;
}

void mj_avg_add(struct mj_avg *a, const json_t *array)
{
	size_t i;
	json_t *e;

	if (!json_is_array(array))
		return;
	json_array_foreach(array, i, e) {
		int32_t x;
		if (mj_i32(e, &x) < 0 || x == 0)
			continue;
		a->sum += x;
		a->count++;
	}
}

int32_t mj_avg_value(const struct mj_avg *a)
{
	/* C division truncates toward zero: -181 / 3 is -60.  The sum of 32-bit entries over any array
	 * that fits in memory stays far inside int64, and the average inside int32. */
	return a->count ? (int32_t)(a->sum / a->count) : 0;
}

static int hex_digit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

int mod_parse_mac(const char *text, uint8_t mac[6])
{
	if (!text || strlen(text) != 17)
		return -1;
	for (int i = 0; i < 6; i++) {
		const char *p = text + 3 * i;
		int hi = hex_digit(p[0]), lo = hex_digit(p[1]);
		if (hi < 0 || lo < 0 || (i < 5 && p[2] != ':'))
			return -1;
		mac[i] = (uint8_t)(hi << 4 | lo);
	}
	return 0;
}

struct agent_value mod_text(const char *text)
{
	return mod_octets(text, strlen(text));
}

static int type_accepted(const struct mod_pub *p, uint8_t type)
{
	for (size_t i = 0; i < p->ntypes; i++)
		if (p->types[i] == type)
			return 1;
	return 0;
}

int mod_add(struct mod_pub *p, const char *text, const struct agent_value *v)
{
	struct agent_oid *oid = makeoid_stub(text);
	int rc = -1;

	if (!oid) {
		abz_set_error("cannot parse object identifier '%.64s'", text);
		goto out;
	}
	if (!type_accepted(p, v->type)) {
		abz_set_error("invalid type (0x%02x) specified", v->type);
		goto out;
	}
	rc = odb_add(p->owner, oid, v) ? -1 : 0;
out:
	mem_free_stub(oid);
	if (rc)
		p->rc = -1;
	return rc;
}

int mod_addf(struct mod_pub *p, const struct agent_value *v, const char *fmt, ...)
{
	char text[MOD_OID_TEXT_MAX];
	va_list ap;

	va_start(ap, fmt);
	int n = vsnprintf(text, sizeof(text), fmt, ap);
	va_end(ap);
	if (n < 0 || (size_t)n >= sizeof(text)) {
		abz_set_error("object identifier text longer than %d bytes", MOD_OID_TEXT_MAX - 1);
		p->rc = -1;
		return -1;
	}
	return mod_add(p, text, v);
}
