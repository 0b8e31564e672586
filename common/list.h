/* Intrusive circular doubly linked list in the kernel's style.  An unlinked element is poisoned, so
 * a use after unlinking faults at once instead of walking freed memory. */
#pragma once

#include <stddef.h>

struct list_head {
	struct list_head *next, *prev;
};

#define LIST_POISON1 ((struct list_head *)0x00100100)
#define LIST_POISON2 ((struct list_head *)0x00200200)

#define list_entry(ptr, type, member) ((type *)((char *)(ptr) - offsetof(type, member)))
#define list_for_each(pos, head) for (struct list_head *pos = (head)->next; pos != (head); pos = pos->next)
/* Safe against unlinking pos inside the loop. */
#define list_for_each_safe(pos, n, head) \
	for (struct list_head *pos = (head)->next, *n = pos->next; pos != (head); pos = n, n = pos->next)

static inline void list_init(struct list_head *l)
{
	l->next = l->prev = l;
}

static inline int list_empty(const struct list_head *l)
{
	return l->next == l;
}

static inline void list_add_tail(struct list_head *item, struct list_head *head)
{
	item->prev = head->prev;
	item->next = head;
	head->prev->next = item;
	head->prev = item;
}

static inline void list_del(struct list_head *item)
{
	item->prev->next = item->next;
	item->next->prev = item->prev;
	item->next = LIST_POISON1;
	item->prev = LIST_POISON2;
}
