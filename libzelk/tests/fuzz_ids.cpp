// Statistic identifiers from the server: placeholder expansion into a bounded buffer, then the
// identifier table, over a snapshot with a VAP, a peer and an interface.
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "zelk.h"

extern "C" void log_message(int, const char *, ...)
{
}

extern "C" void log_message_errno(int, const char *, ...)
{
}

static struct zelk_dev_info *snapshot()
{
	static struct zelk_dev_info info;
	static struct zelk_vap vap;
	static struct zelk_peer peer;
	static struct zelk_ifstat ifs;
	init_dev_info(&info);
	strcpy(vap.name, "ath0");
	vap.if_index = 3;
	strcpy(vap.channel_width, "40+");
	list_add_tail(&vap.link, &info.vaps);
	peer.vap_if_index = 3;
	list_add_tail(&peer.link, &info.peers);
	ifs.if_index = 2;
	list_add_tail(&ifs.link, &info.ifstats);
	info.peer_count = 1;
	return &info;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static struct zelk_dev_info *info = snapshot();
	std::string id((const char *)data, size);
	char out[64], value[32];

	memset(out, 0, sizeof(out));
	if (resolve_placeholders(id.c_str(), out, 48) == 0) {
		if (strlen(out) >= 48)
			abort();
		get_pseudo_optional(info, out, value, sizeof(value));
	} else if (out[0]) {
		abort();
	}
	return 0;
}
