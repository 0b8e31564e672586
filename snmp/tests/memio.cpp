#include "snmp/tests/memio.h"

#include <errno.h>
#include <net/if.h>
#include <string.h>

static memio *cur;

static json_t *m_load_json(const char *path)
{
	auto it = cur->files.find(path);
	if (it == cur->files.end())
		return NULL;
	json_error_t err;
	return json_loadb(it->second.data(), it->second.size(), 0, &err);
}

static ssize_t m_read_text(const char *path, char *buf, size_t size)
{
	auto it = cur->files.find(path);
	if (it == cur->files.end() || !size)
		return -1;
	size_t n = it->second.size() < size - 1 ? it->second.size() : size - 1;
	memcpy(buf, it->second.data(), n);
	buf[n] = '\0';
	return (ssize_t)n;
}

static int m_ipv4_text(const char *ifname, char *buf, size_t size)
{
	auto it = cur->ipv4.find(ifname);
	if (it == cur->ipv4.end() || it->second.size() >= size)
		return -1;
	strcpy(buf, it->second.c_str());
	return 0;
}

static int m_list_dir(const char *dir, void (*fn)(const char *name, void *ctx), void *ctx)
{
	std::string prefix = std::string(dir) + "/";
	bool any = false;
	std::vector<std::string> names;
	for (const auto &f : cur->files)
		if (f.first.compare(0, prefix.size(), prefix) == 0) {
			any = true;
			names.push_back(f.first.substr(prefix.size()));
		}
	if (!any)
		return -1;
	for (const auto &n : names)
		fn(n.c_str(), ctx);
	return 0;
}

static int m_if_names(void (*fn)(const char *name, void *ctx), void *ctx)
{
	for (const auto &n : cur->ifnames)
		fn(n.c_str(), ctx);
	return 0;
}

static int m_req_open(void)
{
	if (cur->no_socket) {
		errno = EMFILE;
		return -1;
	}
	return 1000;
}

static int m_req(int fd, unsigned long request, void *arg)
{
	(void)fd;
	if (!cur->req) {
		errno = EOPNOTSUPP;
		return -1;
	}
	char name[IFNAMSIZ + 1] = {};
	memcpy(name, arg, IFNAMSIZ);
	return cur->req(request, name, arg);
}

static void m_req_close(int fd)
{
	(void)fd;
}

static const struct mod_io memio_table = {
	m_load_json, m_read_text, m_ipv4_text, m_list_dir, m_if_names, m_req_open, m_req, m_req_close,
};

const struct mod_io *memio_use(memio *m)
{
	cur = m;
	return &memio_table;
}
