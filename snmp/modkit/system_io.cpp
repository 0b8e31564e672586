/* The modules' inputs on the running system. */
#include "snmp/modkit/modkit.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

static json_t *sys_load_json(const char *path)
{
	json_error_t err;
	return json_load_file(path, 0, &err);
}

static ssize_t sys_read_text(const char *path, char *buf, size_t size)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	size_t n = 0;

	if (fd < 0)
		return -1;
	while (n + 1 < size) {
		ssize_t r = read(fd, buf + n, size - 1 - n);
		if (r <= 0)
			break;
		n += (size_t)r;
	}
	close(fd);
	buf[n] = '\0';
	return (ssize_t)n;
}

static int sys_ipv4_text(const char *ifname, char *buf, size_t size)
{
	struct ifreq ifr;
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	int rc = -1;

	if (fd < 0)
		return -1;
	memset(&ifr, 0, sizeof(ifr));
	snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", ifname);
	ifr.ifr_addr.sa_family = AF_INET;
	if (ioctl(fd, SIOCGIFADDR, &ifr) == 0) {
		struct sockaddr_in sin;
		memcpy(&sin, &ifr.ifr_addr, sizeof(sin));
		rc = inet_ntop(AF_INET, &sin.sin_addr, buf, (socklen_t)size) ? 0 : -1;
	}
	close(fd);
	return rc;
}

static int sys_list_dir(const char *dir, void (*fn)(const char *name, void *ctx), void *ctx)
{
	DIR *d = opendir(dir);
	struct dirent *e;

	if (!d)
		return -1;
	while ((e = readdir(d)))
		fn(e->d_name, ctx);
	closedir(d);
	return 0;
}

static int sys_if_names(void (*fn)(const char *name, void *ctx), void *ctx)
{
	struct if_nameindex *all = if_nameindex();

	if (!all)
		return -1;
	for (struct if_nameindex *i = all; i->if_index; i++)
		fn(i->if_name, ctx);
	if_freenameindex(all);
	return 0;
}

static int sys_req_open(void)
{
	return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

static int sys_req(int fd, unsigned long request, void *arg)
{
	return ioctl(fd, request, arg);
}

static void sys_req_close(int fd)
{
	close(fd);
}

const struct mod_io mod_system_io = {
	sys_load_json, sys_read_text, sys_ipv4_text, sys_list_dir, sys_if_names, sys_req_open, sys_req, sys_req_close,
};
