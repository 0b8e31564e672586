/* Where the kernel tables are read from (see procfs.h). */
#include "platform/procfs.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static bool kernel_table(const char *rel)
{
	return strcmp(rel, "mtd") == 0 || strncmp(rel, "net/", 4) == 0;
}

const char *proc_path(const char *rel, char *buf, size_t size)
{
	const char *dir = getenv("MT_PROC_DIR");

	if (dir && *dir && kernel_table(rel)) {
		snprintf(buf, size, "%s/%s", dir, rel);
		if (access(buf, F_OK) == 0)
			return buf;
	}
	snprintf(buf, size, "/proc/%s", rel);
	return buf;
}
