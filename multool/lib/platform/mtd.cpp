/* Flash partitions: table look-up and block device access. */
#include "platform/mtd.h"

#include "platform/procfs.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#define MTD_TABLE_MAX 2047

int mtd_find(const char *name, struct mtd_part *out)
{
	char path[256], text[MTD_TABLE_MAX + 1];
	ssize_t n, len = 0;
	int fd = open(proc_path("mtd", path, sizeof(path)), O_RDONLY | O_CLOEXEC);

	if (fd < 0)
		return -1;
	while (len < MTD_TABLE_MAX) {
		n = read(fd, text + len, (size_t)(MTD_TABLE_MAX - len));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		len += n;
	}
	close(fd);
	text[len] = '\0';
	return mtd_parse_table(text, (size_t)len, name, out);
}

int mtd_open(const struct mtd_part *part, int flags)
{
	char dev[32];

	snprintf(dev, sizeof(dev), "/dev/mtdblock%d", part->minor);
	return open(dev, flags | O_CLOEXEC);
}

int mtd_block_find(const char *name, struct mtd_part *part)
{
	struct mtd_part p;

	if (mtd_find(name, &p))
		return -1;
	if (part)
		*part = p;
	return mtd_open(&p, O_RDWR);
}
