/* Watch table and inotify event names.  libc only. */
#include "supervise/watchtab.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>

struct watch_ent {
	struct watch_ent *next;
	int wd;
	char dir[];
};

/* Descriptors are small integers handed out in order, so the low bits spread them evenly. */
static unsigned bucket_of(int wd)
{
	return (unsigned)wd % WATCHTAB_BUCKETS;
}

void watchtab_init(struct watchtab *t)
{
	memset(t, 0, sizeof(*t));
}

int watchtab_put(struct watchtab *t, int wd, const char *dir)
{
	size_t len = strlen(dir);
	struct watch_ent *e = (struct watch_ent *)malloc(sizeof(*e) + len + 1);

	if (!e)
		return -1;
	watchtab_del(t, wd);
	e->wd = wd;
	memcpy(e->dir, dir, len + 1);
	e->next = t->bucket[bucket_of(wd)];
	t->bucket[bucket_of(wd)] = e;
	return 0;
}

const char *watchtab_get(const struct watchtab *t, int wd)
{
	for (const struct watch_ent *e = t->bucket[bucket_of(wd)]; e; e = e->next)
		if (e->wd == wd)
			return e->dir;
	return NULL;
}

void watchtab_del(struct watchtab *t, int wd)
{
	for (struct watch_ent **pp = &t->bucket[bucket_of(wd)]; *pp; pp = &(*pp)->next) {
		if ((*pp)->wd == wd) {
			struct watch_ent *e = *pp;
			*pp = e->next;
			free(e);
			return;
		}
	}
}

void watchtab_free(struct watchtab *t)
{
	for (size_t i = 0; i < WATCHTAB_BUCKETS; i++) {
		while (t->bucket[i]) {
			struct watch_ent *e = t->bucket[i];
			t->bucket[i] = e->next;
			free(e);
		}
	}
}

/* The first kind whose bits the mask has, in this order; the padded names keep the log aligned. */
static const struct {
	uint32_t bits;
	const char *name;
} kinds[] = {
	{ IN_ACCESS, "access" }, { IN_CREATE, "create" }, { IN_MODIFY, "modify" }, { IN_ATTRIB, "attrib" },
	{ IN_OPEN, "open  " },   { IN_MOVE, "move  " },   { IN_DELETE, "delete" }, { IN_CLOSE, "close" },
};

const char *inotify_kind(uint32_t mask, uint32_t cookie, char *buf, size_t size)
{
	for (size_t i = 0; i < sizeof(kinds) / sizeof(kinds[0]); i++)
		if (mask & kinds[i].bits)
			return kinds[i].name;
	snprintf(buf, size, "%X, cookie: %X", (unsigned)mask, (unsigned)cookie);
	return buf;
}
