/* Statistics collector: the previous wireless documents read for their counters, in one pass over
 * the text and without building a tree; the collector's largest inputs, read on every run. */
#include "stats/doc_scan.h"

#include "common/text.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

const char *const doc_vap_counter_names[DOC_VAP_COUNTERS] = { "rxPackets", "txPackets", "rxErrors" };
const char *const doc_peer_counter_names[DOC_PEER_COUNTERS] = { "txBytes", "rxBytes", "txPackets", "rxPackets",
								 "txPacketsSuccess" };

/* The library's own limit of nested values. */
#define SCAN_MAX_DEPTH 2048

namespace {

/* What a value means where it stands. */
enum place {
	P_OTHER,      /* validated, nothing kept */
	P_ROOT,       /* the document */
	P_VAPS,       /* the "vaps" array */
	P_PEERS,      /* the "peers" array */
	P_VAP_ENTRY,  /* an element of "vaps" */
	P_PEER_ENTRY, /* an element of "peers" */
};

enum kind { K_BAD, K_OTHER, K_STRING, K_INTEGER };

struct scanner {
	const unsigned char *p, *end;
	int depth;
	std::string text; /* the last string, decoded */
	int64_t integer;  /* the last integer */
	std::vector<doc_entry> vaps, peers;
	int has_timestamp;
	int64_t timestamp;
};

void entry_free(doc_entry &e)
{
	free(e.name);
	free(e.mac);
	free(e.vap);
}

void entries_free(std::vector<doc_entry> &v)
{
	for (auto &e : v)
		entry_free(e);
	v.clear();
}

void skip_blank(scanner &s)
{
	while (s.p < s.end && (*s.p == ' ' || *s.p == '\t' || *s.p == '\n' || *s.p == '\r'))
		s.p++;
}

int hex4(const unsigned char *p, unsigned *out)
{
	unsigned v = 0;
	for (int i = 0; i < 4; i++) {
		unsigned c = p[i], d;
		if (c >= '0' && c <= '9')
			d = c - '0';
		else if (c >= 'a' && c <= 'f')
			d = c - 'a' + 10;
		else if (c >= 'A' && c <= 'F')
			d = c - 'A' + 10;
		else
			return -1;
		v = v << 4 | d;
	}
	*out = v;
	return 0;
}

void put_utf8(std::string &t, unsigned cp)
{
	if (cp < 0x80) {
		t += (char)cp;
	} else if (cp < 0x800) {
		t += (char)(0xC0 | cp >> 6);
		t += (char)(0x80 | (cp & 0x3F));
	} else if (cp < 0x10000) {
		t += (char)(0xE0 | cp >> 12);
		t += (char)(0x80 | (cp >> 6 & 0x3F));
		t += (char)(0x80 | (cp & 0x3F));
	} else {
		t += (char)(0xF0 | cp >> 18);
		t += (char)(0x80 | (cp >> 12 & 0x3F));
		t += (char)(0x80 | (cp >> 6 & 0x3F));
		t += (char)(0x80 | (cp & 0x3F));
	}
}

/* \uXXXX at s.p (after the backslash and the u), a surrogate pair taken whole. */
int scan_unicode(scanner &s)
{
	unsigned cp, lo;

	if (s.end - s.p < 4 || hex4(s.p, &cp) < 0)
		return -1;
	s.p += 4;
	if (cp >= 0xDC00 && cp <= 0xDFFF)
		return -1;
	if (cp >= 0xD800 && cp <= 0xDBFF) {
		if (s.end - s.p < 6 || s.p[0] != '\\' || s.p[1] != 'u' || hex4(s.p + 2, &lo) < 0 || lo < 0xDC00 ||
		    lo > 0xDFFF)
			return -1;
		s.p += 6;
		cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
	}
	if (cp == 0)
		return -1; /* the library refuses NUL in texts */
	put_utf8(s.text, cp);
	return 0;
}

/* A string at s.p (on its opening quote) into s.text. */
int scan_string(scanner &s)
{
	s.text.clear();
	s.p++;
	for (;;) {
		const unsigned char *run = s.p;
		while (s.p < s.end && *s.p != '"' && *s.p != '\\' && *s.p >= 0x20 && *s.p < 0x80)
			s.p++;
		s.text.append((const char *)run, (size_t)(s.p - run));
		if (s.p >= s.end)
			return -1;
		unsigned c = *s.p;
		if (c == '"') {
			s.p++;
			return 0;
		}
		if (c < 0x20)
			return -1;
		if (c >= 0x80) {
			size_t n = utf8_valid_len((const char *)s.p, (size_t)(s.end - s.p));
			if (!n)
				return -1;
			s.text.append((const char *)s.p, n);
			s.p += n;
			continue;
		}
		/* a backslash */
		if (s.end - s.p < 2)
			return -1;
		c = s.p[1];
		s.p += 2;
		static const char plain[] = "\"\\/bfnrt", meaning[] = "\"\\/\b\f\n\r\t";
		const char *k = c ? strchr(plain, (int)c) : NULL;
		if (k) {
			s.text += meaning[k - plain];
		} else if (c == 'u') {
			if (scan_unicode(s) < 0)
				return -1;
		} else {
			return -1;
		}
	}
}

bool digit(const scanner &s)
{
	return s.p < s.end && *s.p >= '0' && *s.p <= '9';
}

/* A number at s.p: an integer within 64 bits (K_INTEGER into s.integer), a real that does not
 * overflow (K_OTHER), or K_BAD, as the library reads them. */
kind scan_number(scanner &s)
{
	const unsigned char *start = s.p;
	bool neg = false;

	if (*s.p == '-') {
		neg = true;
		s.p++;
	}
	if (!digit(s))
		return K_BAD;
	if (*s.p == '0') {
		s.p++;
		if (digit(s))
			return K_BAD;
	} else {
		while (digit(s))
			s.p++;
	}
	bool real = false;
	if (s.p < s.end && *s.p == '.') {
		s.p++;
		if (!digit(s))
			return K_BAD;
		while (digit(s))
			s.p++;
		real = true;
	}
	if (s.p < s.end && (*s.p == 'e' || *s.p == 'E')) {
		s.p++;
		if (s.p < s.end && (*s.p == '+' || *s.p == '-'))
			s.p++;
		if (!digit(s))
			return K_BAD;
		while (digit(s))
			s.p++;
		real = true;
	}
	if (real) {
		std::string t((const char *)start, (size_t)(s.p - start));
		errno = 0;
		double d = strtod(t.c_str(), NULL);
		return (d == HUGE_VAL || d == -HUGE_VAL) && errno == ERANGE ? K_BAD : K_OTHER;
	}
	/* the library refuses an integer beyond 64 bits rather than rounding it */
	uint64_t v = 0, limit = neg ? (uint64_t)INT64_MAX + 1 : (uint64_t)INT64_MAX;
	for (const unsigned char *q = start + neg; q < s.p; q++) {
		unsigned d = *q - '0';
		if (v > (limit - d) / 10)
			return K_BAD;
		v = v * 10 + d;
	}
	s.integer = neg ? (int64_t)(0 - v) : (int64_t)v;
	return K_INTEGER;
}

kind scan_word(scanner &s)
{
	const unsigned char *start = s.p;
	while (s.p < s.end && ((*s.p >= 'a' && *s.p <= 'z') || (*s.p >= 'A' && *s.p <= 'Z')))
		s.p++;
	size_t n = (size_t)(s.p - start);
	if ((n == 4 && !memcmp(start, "true", 4)) || (n == 5 && !memcmp(start, "false", 5)) ||
	    (n == 4 && !memcmp(start, "null", 4)))
		return K_OTHER;
	return K_BAD;
}

kind scan_value(scanner &s, place where, doc_entry *entry);

/* Where a member's value stands, and which of the entry's fields it fills (-1: none; 100+: a text). */
enum { F_NONE = -1, F_NAME = 100, F_MAC, F_VAP };

bool is(const std::string &key, const char *name)
{
	size_t n = strlen(name);
	return key.size() == n && memcmp(key.data(), name, n) == 0;
}

int member_field(place where, const std::string &key, place *inner)
{
	*inner = P_OTHER;
	if (where == P_ROOT) {
		if (is(key, "vaps"))
			*inner = P_VAPS;
		else if (is(key, "peers"))
			*inner = P_PEERS;
		return F_NONE;
	}
	if (where == P_VAP_ENTRY) {
		if (is(key, "name"))
			return F_NAME;
		for (int i = 0; i < DOC_VAP_COUNTERS; i++)
			if (is(key, doc_vap_counter_names[i]))
				return i;
	} else if (where == P_PEER_ENTRY) {
		if (is(key, "mac"))
			return F_MAC;
		if (is(key, "vap"))
			return F_VAP;
		for (int i = 0; i < DOC_PEER_COUNTERS; i++)
			if (is(key, doc_peer_counter_names[i]))
				return i;
	}
	return F_NONE;
}

int set_text(char **field, kind k, const std::string &text)
{
	free(*field);
	*field = NULL;
	if (k != K_STRING)
		return 0;
	*field = strdup(text.c_str());
	return *field ? 0 : -1;
}

kind scan_object(scanner &s, place where, doc_entry *entry)
{
	s.p++;
	skip_blank(s);
	if (s.p < s.end && *s.p == '}') {
		s.p++;
		return K_OTHER;
	}
	for (;;) {
		skip_blank(s);
		if (s.p >= s.end || *s.p != '"' || scan_string(s) < 0)
			return K_BAD;
		place inner;
		bool is_timestamp = where == P_ROOT && is(s.text, "timestamp");
		int field = member_field(where, s.text, &inner);
		skip_blank(s);
		if (s.p >= s.end || *s.p != ':')
			return K_BAD;
		s.p++;
		if (inner == P_VAPS)
			entries_free(s.vaps);
		else if (inner == P_PEERS)
			entries_free(s.peers);
		kind k = scan_value(s, inner, NULL);
		if (k == K_BAD)
			return K_BAD;
		if (is_timestamp) {
			s.has_timestamp = k == K_INTEGER;
			s.timestamp = s.integer;
		} else if (entry && field >= 0 && field < DOC_COUNTERS_MAX) {
			if (k == K_INTEGER) {
				entry->has |= 1u << field;
				entry->value[field] = s.integer;
			} else {
				entry->has &= ~(1u << field);
			}
		} else if (entry && field >= F_NAME) {
			char **f = field == F_NAME ? &entry->name : field == F_MAC ? &entry->mac : &entry->vap;
			if (set_text(f, k, s.text) < 0)
				return K_BAD;
		}
		skip_blank(s);
		if (s.p >= s.end)
			return K_BAD;
		if (*s.p == '}') {
			s.p++;
			return K_OTHER;
		}
		if (*s.p != ',')
			return K_BAD;
		s.p++;
	}
}

kind scan_array(scanner &s, place where)
{
	std::vector<doc_entry> *list = where == P_VAPS ? &s.vaps : where == P_PEERS ? &s.peers : NULL;
	place inner = where == P_VAPS ? P_VAP_ENTRY : where == P_PEERS ? P_PEER_ENTRY : P_OTHER;

	s.p++;
	skip_blank(s);
	if (s.p < s.end && *s.p == ']') {
		s.p++;
		return K_OTHER;
	}
	for (;;) {
		skip_blank(s);
		if (list && s.p < s.end && *s.p == '{') {
			list->push_back(doc_entry());
			if (scan_value(s, inner, &list->back()) == K_BAD)
				return K_BAD;
		} else if (scan_value(s, P_OTHER, NULL) == K_BAD) {
			return K_BAD;
		}
		skip_blank(s);
		if (s.p >= s.end)
			return K_BAD;
		if (*s.p == ']') {
			s.p++;
			return K_OTHER;
		}
		if (*s.p != ',')
			return K_BAD;
		s.p++;
	}
}

kind scan_value(scanner &s, place where, doc_entry *entry)
{
	kind k;

	if (++s.depth > SCAN_MAX_DEPTH)
		return K_BAD;
	skip_blank(s);
	if (s.p >= s.end)
		return K_BAD;
	switch (*s.p) {
	case '{':
		k = scan_object(s, where, entry);
		break;
	case '[':
		k = scan_array(s, where);
		break;
	case '"':
		k = scan_string(s) < 0 ? K_BAD : K_STRING;
		break;
	default:
		if (*s.p == '-' || (*s.p >= '0' && *s.p <= '9'))
			k = scan_number(s);
		else
			k = scan_word(s);
		break;
	}
	s.depth--;
	return k;
}

doc_entry *take(std::vector<doc_entry> &v)
{
	if (v.empty())
		return NULL;
	doc_entry *out = (doc_entry *)malloc(v.size() * sizeof(doc_entry));
	if (!out)
		return NULL;
	memcpy(out, v.data(), v.size() * sizeof(doc_entry));
	v.clear();
	return out;
}

} // namespace

int doc_scan(const char *text, size_t len, struct doc_counters *out)
{
	scanner s;

	memset(out, 0, sizeof(*out));
	s.p = (const unsigned char *)text;
	s.end = s.p + len;
	s.depth = 0;
	s.integer = 0;
	s.has_timestamp = 0;
	s.timestamp = 0;
	skip_blank(s);
	/* a document is an object or an array, and nothing but blanks follows it */
	if (s.p >= s.end || (*s.p != '{' && *s.p != '['))
		return -1;
	bool object = *s.p == '{';
	if (scan_value(s, object ? P_ROOT : P_OTHER, NULL) == K_BAD)
		goto refused;
	skip_blank(s);
	if (s.p != s.end)
		goto refused;
	out->object = object;
	out->nvaps = s.vaps.size();
	out->npeers = s.peers.size();
	out->vaps = take(s.vaps);
	out->peers = take(s.peers);
	if ((out->nvaps && !out->vaps) || (out->npeers && !out->peers)) {
		doc_counters_free(out);
		goto refused;
	}
	out->has_timestamp = s.has_timestamp;
	out->timestamp = s.timestamp;
	return 0;
refused:
	entries_free(s.vaps);
	entries_free(s.peers);
	memset(out, 0, sizeof(*out));
	return -1;
}

void doc_counters_free(struct doc_counters *d)
{
	for (size_t i = 0; i < d->nvaps; i++)
		free(d->vaps[i].name), free(d->vaps[i].mac), free(d->vaps[i].vap);
	for (size_t i = 0; i < d->npeers; i++)
		free(d->peers[i].name), free(d->peers[i].mac), free(d->peers[i].vap);
	free(d->vaps);
	free(d->peers);
	memset(d, 0, sizeof(*d));
}
