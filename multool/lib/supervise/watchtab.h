/* Watch table of the launcher: inotify watch descriptor -> watched folder, 256 buckets.  Also the
 * names it logs inotify event kinds under. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#define WATCHTAB_BUCKETS 256

struct watch_ent;

struct watchtab {
	struct watch_ent *bucket[WATCHTAB_BUCKETS];
};

void watchtab_init(struct watchtab *t);
/* Adds or replaces the folder of a descriptor (a copy of dir).  0, or -1 when out of memory. */
int watchtab_put(struct watchtab *t, int wd, const char *dir);
/* Folder of a descriptor, or NULL. */
const char *watchtab_get(const struct watchtab *t, int wd);
void watchtab_del(struct watchtab *t, int wd);
void watchtab_free(struct watchtab *t);

/* "Unhandled event" text of an inotify mask: the name of its kind, or "%X, cookie: %X" of the mask
 * and cookie when it is none of them.  Writes at most size bytes (NUL included) into buf. */
const char *inotify_kind(uint32_t mask, uint32_t cookie, char *buf, size_t size);
