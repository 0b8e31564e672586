/* libFuzzer target: a module's update entry over fuzzed documents.  The first byte picks the module;
 * the rest is split at "\n--\n" into the documents it reads (the main document, the per-station or
 * product document, the text files, the driver's protocol name).  Whatever the documents hold, the
 * update must not over-read, every identifier it made must be given back, and the private modules
 * may publish only under their own subtree. */
#include "snmp/ieee802dot11/ieee802dot11.h"
#include "snmp/mavodhcpstatus/mavodhcpstatus.h"
#include "snmp/mavogeneric/mavogeneric.h"
#include "snmp/mavowireless/mavowireless.h"
#include "snmp/odbagent/odb.h"

#include <net/if.h>
#include <linux/wireless.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>

#include <string>
#include <vector>

static std::vector<std::string> docs;

static const std::string &doc(size_t i)
{
	static const std::string none;
	return i < docs.size() ? docs[i] : none;
}

static json_t *f_load_json(const char *path)
{
	size_t i = strncmp(path, "/var/run/stats/remote-", 22) == 0 || strcmp(path, D11_PRODUCT) == 0 ? 1 : 0;
	if (strncmp(path, MG_DIR "/", sizeof(MG_DIR)) == 0)
		i = (size_t)atoi(path + sizeof(MG_DIR) + strlen(MG_MATCH));
	json_error_t err;
	return json_loadb(doc(i).data(), doc(i).size(), 0, &err);
}

static ssize_t f_read_text(const char *path, char *buf, size_t size)
{
	const std::string &d = doc(strcmp(path, MW_CRC) == 0 ? 3 : 2);
	if (d.empty() && strcmp(path, MW_CRC) == 0)
		return -1;
	size_t n = d.size() < size - 1 ? d.size() : size - 1;
	memcpy(buf, d.data(), n);
	buf[n] = '\0';
	return (ssize_t)n;
}

static int f_ipv4_text(const char *ifname, char *buf, size_t size)
{
	(void)ifname;
	snprintf(buf, size, "192.0.2.1");
	return 0;
}

static int f_list_dir(const char *dir, void (*fn)(const char *name, void *ctx), void *ctx)
{
	(void)dir;
	for (size_t i = 0; i < docs.size(); i++) {
		std::string name = MG_MATCH + std::to_string(i);
		fn(name.c_str(), ctx);
	}
	return 0;
}

static int f_if_names(void (*fn)(const char *name, void *ctx), void *ctx)
{
	fn("lo", ctx);
	fn("nosuch0", ctx);
	return 0;
}

static int f_req_open(void)
{
	return 3;
}

static int f_req(int fd, unsigned long request, void *arg)
{
	struct iwreq *w = (struct iwreq *)arg;
	const std::string &d = doc(3);
	(void)fd;
	switch (request) {
	case SIOCGIWNAME:
		memset(w->u.name, 0, IFNAMSIZ);
		memcpy(w->u.name, d.data(), d.size() < IFNAMSIZ ? d.size() : IFNAMSIZ);
		return 0;
	case SIOCGIWESSID: {
		size_t n = d.size() < w->u.essid.length ? d.size() : w->u.essid.length;
		memcpy(w->u.essid.pointer, d.data(), n);
		/* a driver may report any length: the module must bound it */
		w->u.essid.length = (uint16_t)d.size();
		return 0;
	}
	case SIOCGIWFREQ:
		if (d.size() >= 6) {
			memcpy(&w->u.freq.m, d.data(), 4);
			memcpy(&w->u.freq.e, d.data() + 4, 2);
		}
		return 0;
	}
	errno = EOPNOTSUPP;
	return -1;
}

static void f_req_close(int fd)
{
	(void)fd;
}

static const struct mod_io fuzz_io = {
	f_load_json, f_read_text, f_ipv4_text, f_list_dir, f_if_names, f_req_open, f_req, f_req_close,
};

static const struct module self = { "fuzz", "", NULL, NULL, {}, NULL, {} };

static void check_prefix(const struct odb_view *v, void *ctx)
{
	const std::vector<uint32_t> *prefix = (const std::vector<uint32_t> *)ctx;
	if (prefix->empty())
		return;
	if (v->len < prefix->size() || memcmp(v->arcs, prefix->data(), prefix->size() * 4) != 0)
		abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const std::vector<uint32_t> prefixes[] = {
		{ 1, 3, 6, 1, 4, 1, 99999, 3, 10 }, { 1, 3, 6, 1, 4, 1, 99999, 3, 11 }, {}, { 1, 2, 840, 10036 } };
	if (size < 1)
		return 0;
	agent_set_log_level(-1);
	std::string text((const char *)data + 1, size - 1);
	docs.clear();
	for (size_t at = 0;;) {
		size_t sep = text.find("\n--\n", at);
		docs.push_back(text.substr(at, sep == std::string::npos ? std::string::npos : sep - at));
		if (sep == std::string::npos)
			break;
		at = sep + 4;
	}
	long before = agent_oids_outstanding();
	odb_clear();
	ifcache_reset();
	unsigned which = data[0] % 4;
	switch (which) {
	case 0:
		mavowireless_run(&self, &fuzz_io);
		break;
	case 1:
		mavodhcpstatus_run(&self, &fuzz_io);
		break;
	case 2:
		mavogeneric_run(&self, &fuzz_io);
		break;
	default:
		ieee802dot11_run(&self, &fuzz_io);
		break;
	}
	if (agent_oids_outstanding() != before)
		abort();
	odb_each(check_prefix, (void *)&prefixes[which]);
	odb_destroy(&self);
	if (odb_count())
		abort();
	return 0;
}
