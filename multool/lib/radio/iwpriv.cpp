#include "spine/logging.h"

LOG4C_CATEGORY(log4c_cat_lib_iwpriv, "lib.iwpriv");

#include "radio/iwpriv.h"

#include <errno.h>
#include <net/if.h>
/* after net/if.h, which it extends */
#include <linux/wireless.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

/* The driver's descriptor table; *count entries. */
static struct iw_priv_args *get_priv_table(int fd, const char *ifname, int *count)
{
	int room = 16;

	for (;;) {
		struct iw_priv_args *table = (struct iw_priv_args *)calloc((size_t)room, sizeof(*table));
		struct iwreq wrq;

		if (!table) {
			fprintf(stderr, "%s: Allocation failed\n", "iw_get_priv_info");
			return NULL;
		}
		memset(&wrq, 0, sizeof(wrq));
		strncpy(wrq.ifr_name, ifname, IFNAMSIZ);
		wrq.u.data.pointer = table;
		wrq.u.data.length = (uint16_t)room;
		if (ioctl(fd, SIOCGIWPRIV, &wrq) == 0) {
			*count = wrq.u.data.length < room ? wrq.u.data.length : room;
			return table;
		}
		free(table);
		if (errno != E2BIG)
			return NULL;
		room = wrq.u.data.length > room ? wrq.u.data.length : room * 2;
		if (room >= IWP_MAX_TABLE)
			return NULL;
	}
}

static const struct iw_priv_args *find_by_name(const struct iw_priv_args *t, int n, const char *name)
{
	for (int i = 0; i < n; i++)
		if (!strncmp(t[i].name, name, sizeof(t[i].name)) && strlen(name) <= sizeof(t[i].name))
			return &t[i];
	return NULL;
}

static const struct iw_priv_args *find_request(const struct iw_priv_args *t, int n, const struct iw_priv_args *sub)
{
	for (int i = 0; i < n; i++)
		if (t[i].name[0] == 0 && t[i].set_args == sub->set_args && t[i].get_args == sub->get_args)
			return &t[i];
	return NULL;
}

/* Issues the request; the answer lands in scratch (never in the caller's buffer, which the driver
 * would fill to the descriptor's full size) or inline in wrq. */
static int priv_request(int fd, const char *ifname, const char *name, void *buf, size_t len)
{
	const struct iw_priv_args *d, *req;
	struct iw_priv_args *table;
	int count, subcmd = 0, has_sub = 0, result = -1;
	uint8_t *scratch = NULL;
	struct iwreq wrq;
	char dname[IFNAMSIZ + 1];

	table = get_priv_table(fd, ifname, &count);
	if (!table)
		return -1;
	d = find_by_name(table, count, name);
	if (!d)
		goto out;
	snprintf(dname, sizeof(dname), "%.*s", IFNAMSIZ, d->name);
	LOG_D(log4c_cat_lib_iwpriv, "%s, cmd: %X, %hX, %hX", dname, d->cmd, d->set_args, d->get_args);

	req = d;
	if (d->cmd < SIOCDEVPRIVATE) {
		subcmd = (int)d->cmd;
		has_sub = 1;
		req = find_request(table, count, d);
		if (!req) {
			fprintf(stderr, "Invalid private ioctl definition for : %s\n", name);
			goto out;
		}
	}

	{
		uint16_t set = d->set_args, get = d->get_args;
		size_t cap = iwp_size(get), setcap = iwp_size(set);
		int inl = iwp_is_inline(set, get);

		if (cap < setcap)
			cap = setcap;
		if (cap < 16)
			cap = 16;
		scratch = (uint8_t *)calloc(1, cap);
		if (!scratch) {
			fprintf(stderr, "%s: Allocation failed\n", "iwpriv_get");
			goto out;
		}
		memcpy(scratch, buf, len < cap ? len : cap);

		memset(&wrq, 0, sizeof(wrq));
		strncpy(wrq.ifr_name, ifname, IFNAMSIZ);
		if (has_sub && inl) {
			memcpy(wrq.u.name, &subcmd, sizeof(subcmd));
		} else {
			wrq.u.data.pointer = scratch;
			wrq.u.data.length = (uint16_t)(len > 0xFFFF ? 0xFFFF : len);
			if (has_sub)
				wrq.u.data.flags = (uint16_t)subcmd;
		}
		LOG_D(log4c_cat_lib_iwpriv, "cmd: %X, %hX, %hX, subcmd: %X", req->cmd, set, get, subcmd);

		if (ioctl(fd, req->cmd, &wrq) < 0) {
			LOG_E(log4c_cat_lib_iwpriv, "ioctl(2): %s", strerror(errno));
			goto out;
		}

		if (inl) {
			size_t size = iwp_size(get), n = size;
			if (len < size) {
				LOG_E(log4c_cat_lib_iwpriv, "copy truncated data to buffer.");
				n = len;
			}
			memcpy(buf, wrq.u.name, n);
			result = (int)n;
			goto out;
		}
		size_t size;
		if (get & IWP_FIXED) {
			size = iwp_size(get);
		} else {
			/* The count comes from the driver: never beyond what the descriptor allows. */
			size_t elems = wrq.u.data.length;
			if (elems > (size_t)(get & IWP_COUNT_MASK))
				elems = get & IWP_COUNT_MASK;
			size = elems * iwp_type_size(get);
		}
		if (size > len) {
			/* the driver answered more than the caller can hold: that value is lost, not the process */
			LOG_E(log4c_cat_lib_iwpriv, "memory overrun detected.");
			errno = EOVERFLOW;
			goto out;
		}
		memcpy(buf, scratch, size);
		result = (int)size;
	}
out:
	free(scratch);
	free(table);
	return result;
}

int iwpriv_get(const char *ifname, const char *name, void *buf, size_t len)
{
	int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return -1;
	int rc = priv_request(fd, ifname, name, buf, len);
	close(fd);
	return rc;
}

int iwpriv_get_int(const char *ifname, const char *name, int *value)
{
	int v = 0;
	if (iwpriv_get(ifname, name, &v, sizeof(v)) != (int)sizeof(v))
		return -1;
	*value = v;
	return 0;
}
