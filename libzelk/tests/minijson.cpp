// A small JSON reader behind zjson.h for the tests that also run on the big-endian target, where
// jansson is not built.  Documents are read from below a root folder (minijson_root), so the fixed
// statistics paths land in a test folder; every parse is counted.
#include "minijson.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "zjson.h"

std::string minijson_root;
int minijson_parses;

struct zjson {
	int type = ZJ_NONE;
	double num = 0;
	bool flag = false;
	std::string text;
	std::vector<std::pair<std::string, zjson *>> members; // objects: key and value; arrays: "" and value
	~zjson()
	{
		for (auto &m : members)
			delete m.second;
	}
};

namespace
{

struct Parser {
	const char *p, *end;

	void ws()
	{
		while (p < end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t'))
			p++;
	}
	bool lit(const char *w)
	{
		size_t n = strlen(w);
		if ((size_t)(end - p) < n || memcmp(p, w, n) != 0)
			return false;
		p += n;
		return true;
	}
	bool str(std::string &out)
	{
		if (p >= end || *p != '"')
			return false;
		for (p++; p < end && *p != '"'; p++) {
			if (*p != '\\') {
				out.push_back(*p);
				continue;
			}
			if (++p >= end)
				return false;
			switch (*p) {
			case 'n':
				out.push_back('\n');
				break;
			case 't':
				out.push_back('\t');
				break;
			case 'u': // the fixtures only escape ASCII
				if (end - p < 5)
					return false;
				out.push_back((char)strtol(std::string(p + 1, 4).c_str(), nullptr, 16));
				p += 4;
				break;
			default:
				out.push_back(*p);
			}
		}
		if (p >= end)
			return false;
		p++;
		return true;
	}
	zjson *value()
	{
		ws();
		zjson *v = new zjson;
		if (p >= end)
			goto bad;
		if (*p == '{' || *p == '[') {
			char close = *p == '{' ? '}' : ']';
			v->type = *p == '{' ? ZJ_OBJECT : ZJ_ARRAY;
			p++;
			ws();
			if (p < end && *p == close) {
				p++;
				return v;
			}
			for (;;) {
				std::string key;
				ws();
				if (v->type == ZJ_OBJECT) {
					if (!str(key))
						goto bad;
					ws();
					if (p >= end || *p++ != ':')
						goto bad;
				}
				zjson *m = value();
				if (!m)
					goto bad;
				v->members.emplace_back(key, m);
				ws();
				if (p < end && *p == ',') {
					p++;
					continue;
				}
				if (p < end && *p == close) {
					p++;
					return v;
				}
				goto bad;
			}
		}
		if (*p == '"') {
			v->type = ZJ_STRING;
			if (!str(v->text))
				goto bad;
			return v;
		}
		if (lit("true") || lit("false")) {
			v->type = ZJ_BOOL;
			v->flag = p[-1] == 'e' && p[-2] == 'u';
			return v;
		}
		if (lit("null")) {
			v->type = ZJ_NULL;
			return v;
		}
		{
			char *stop;
			std::string num(p, (size_t)(end - p) < 64 ? (size_t)(end - p) : 64);
			v->num = strtod(num.c_str(), &stop);
			if (stop == num.c_str())
				goto bad;
			p += stop - num.c_str();
			v->type = ZJ_NUMBER;
			return v;
		}
	bad:
		delete v;
		return nullptr;
	}
};

} // namespace

zjson *minijson_parse(const std::string &text)
{
	Parser ps{ text.data(), text.data() + text.size() };
	zjson *v = ps.value();
	ps.ws();
	if (v && ps.p != ps.end) {
		delete v;
		return nullptr;
	}
	return v;
}

zjson *zj_parse_file(const char *path)
{
	std::string full = minijson_root + path, text;
	FILE *f = fopen(full.c_str(), "r");
	if (!f)
		return nullptr;
	char buf[4096];
	size_t n;
	while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
		text.append(buf, n);
	fclose(f);
	minijson_parses++;
	return minijson_parse(text);
}

void zj_free(zjson *doc)
{
	delete doc;
}

int zj_type(const zjson *v)
{
	return v ? v->type : ZJ_NONE;
}

const zjson *zj_get(const zjson *obj, const char *key)
{
	if (!obj || obj->type != ZJ_OBJECT || !key)
		return nullptr;
	for (auto &m : obj->members)
		if (m.first == key)
			return m.second;
	return nullptr;
}

const zjson *zj_dotget(const zjson *obj, const char *path)
{
	std::string rest = path ? path : "";
	for (;;) {
		size_t dot = rest.find('.');
		if (dot == std::string::npos)
			return zj_get(obj, rest.c_str());
		obj = zj_get(obj, rest.substr(0, dot).c_str());
		if (zj_type(obj) != ZJ_OBJECT)
			return nullptr;
		rest = rest.substr(dot + 1);
	}
}

size_t zj_count(const zjson *v)
{
	return v && (v->type == ZJ_OBJECT || v->type == ZJ_ARRAY) ? v->members.size() : 0;
}

const zjson *zj_at(const zjson *arr, size_t i)
{
	return arr && arr->type == ZJ_ARRAY && i < arr->members.size() ? arr->members[i].second : nullptr;
}

int zj_each(const zjson *obj, int (*fn)(const char *key, const zjson *v, void *ctx), void *ctx)
{
	if (!obj || obj->type != ZJ_OBJECT)
		return 0;
	for (auto &m : obj->members) {
		int r = fn(m.first.c_str(), m.second, ctx);
		if (r)
			return r;
	}
	return 0;
}

double zj_number(const zjson *v)
{
	return v && v->type == ZJ_NUMBER ? v->num : 0;
}

const char *zj_string(const zjson *v)
{
	return v && v->type == ZJ_STRING ? v->text.c_str() : nullptr;
}

int zj_bool(const zjson *v)
{
	return v && v->type == ZJ_BOOL && v->flag;
}

// The process's logging, as libktrv would provide it: kept for the tests to look at.
std::vector<std::string> minijson_log;

extern "C" void log_message(int, const char *fmt, ...)
{
	char buf[512];
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(buf, sizeof(buf), fmt, ap);
	va_end(ap);
	minijson_log.push_back(buf);
}

extern "C" void log_message_errno(int level, const char *fmt, ...)
{
	char buf[512];
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(buf, sizeof(buf), fmt, ap);
	va_end(ap);
	log_message(level, "%s", buf);
}
