// Alarm records from the alarm daemon's socket: any datagram payload.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "alarm_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	struct alarm_rec r;

	if (alarm_rec_decode(data, size, &r) == 0) {
		if (strlen(r.name) > ALARM_NAME_LEN || strlen(r.ifname) > ALARM_IFNAME_LEN ||
		    strlen(r.peer_mac) > ALARM_MAC_LEN)
			abort();
	}
	return 0;
}
