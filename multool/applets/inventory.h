/* The interface inventory as the applets take it: a failed collection ends the applet with the
 * message of the failure, as the query library's contract has it. */
#pragma once

#include "platform/ifi.h"
#include "spine/utils.h"

static inline struct list_head *inventory(void)
{
	struct list_head *l = ifi_get_all();
	if (!l)
		die("%s", ifi_strerror());
	return l;
}
