/* Weighted round robin over the active peers: the gcd/max walk, with weights re-read after every
 * full cycle.  A peer of weight w gets w/gcd turns per cycle; weight 0 gets none. */
#include "qlix.h"

u32 qlix_gcd(u32 a, u32 b)
{
	while (b) {
		u32 t = a % b;

		a = b;
		b = t;
	}
	return a;
}

static void wrr_recompute(struct qlix_ctx *c)
{
	struct qlix_wrr *w = &c->wrr;
	struct qlix_peer *p;
	int first = 1;

	w->gcd = 0;
	w->max_weight = 0;
	list_for_each_entry(p, &c->peers_active, active_link) {
		p->weight_snap = p->weight;
		w->gcd = first ? (s32)p->weight : (s32)qlix_gcd((u32)w->gcd, p->weight);
		if ((s32)p->weight > w->max_weight)
			w->max_weight = (s32)p->weight;
		first = 0;
	}
	w->cur_weight = w->max_weight;
	w->recompute = 0;
}

struct qlix_peer *get_next_peer_wrr(void)
{
	struct qlix_ctx *c = QCTX;
	struct qlix_wrr *w = &c->wrr;
	struct list_head *pos;
	struct qlix_peer *p;

	if (!c->active_peer) {
		w->recompute = 1;
		pos = &c->peers_active;
	} else {
		pos = &c->active_peer->active_link;
	}
	if (w->recompute)
		wrr_recompute(c);
	for (;;) {
		pos = pos->next;
		if (pos == &c->peers_active) {
			w->cur_weight -= w->gcd;
			pos = pos->next;
			if (w->cur_weight <= 0) {
				/* A full cycle is over: re-read the weights now, so a peer that
				 * left with the largest weight cannot keep the walk spinning. */
				wrr_recompute(c);
				if (w->max_weight == 0) {
					w->recompute = 1;
					return NULL;
				}
			}
		}
		p = list_entry(pos, struct qlix_peer, active_link);
		if (p->weight_snap > 0 && (s32)p->weight_snap >= w->cur_weight) {
			c->active_peer = p;
			return p;
		}
	}
}
