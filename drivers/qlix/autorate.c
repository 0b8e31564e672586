/* Rate choice per frame and airtime.  Only the fixed-MCS path and the success/failure records are
 * here; the periodic adaptation builds on the same records. */
#include "qlix.h"

void qlix_ar_defaults(struct qlix_ar_settings *ar)
{
	ar->state = 0;
	ar->up_threshold = 3;
	ar->down_threshold = 30;
	ar->min_mcs = 0;
	ar->max_mcs = 15;
	ar->sgi = 1;
	ar->bw = 1;
	ar->token_mcs = 0;
	ar->failback = 1;
}

/* The measurement window opens now, not at tick 0: jiffies start near the wrap. */
void ar_peer_init(struct qlix_peer *p)
{
	int i;

	memset(&p->ar, 0, sizeof(p->ar));
	for (i = 0; i < QLIX_NUM_MCS; i++)
		p->ar.rec[i].et = 5000;
	p->ar.cur_mcs = QCTX->ar.max_mcs;
	p->ar.snap_time = jiffies;
}

void ar_update_txqe_rate(struct txqe *e, struct qlix_peer *p)
{
	struct qlix_ar_settings *ar = &QCTX->ar;

	if (e->tx_count == 0) {
		e->mcs = ar->state ? p->ar.cur_mcs : ar->max_mcs;
		return;
	}
	BUG_ON(e->mcs >= QLIX_NUM_MCS);
	p->ar.rec[e->mcs].fail++;
	if (ar->failback && e->mcs > 0)
		e->mcs--;
}

void ar_count_success(struct qlix_peer *p, u8 mcs)
{
	if (mcs < QLIX_NUM_MCS)
		p->ar.rec[mcs].ok++;
}

u32 ar_get_data_packet_send_time(const struct txqe *e)
{
	struct qlix_ar_settings *ar = &QCTX->ar;

	return qlix_airtime_data(get_unaligned_be16(e->skb->data + 2), e->mcs, ar->bw, ar->sgi);
}

u32 ar_get_token_send_time(void)
{
	struct qlix_ar_settings *ar = &QCTX->ar;

	return qlix_airtime_token(ar->token_mcs, ar->bw, ar->sgi);
}

/* The radio flags a rate change when this frame's MCS differs from the last data frame's. */
void ar_skb_set_rate(struct sk_buff *skb, u8 mcs)
{
	struct qlix_ctx *c = QCTX;
	u32 ctrl = c->last_data_mcs == mcs ? QLIX_CTRL_DATA : QLIX_CTRL_DATA_NEWMCS;

	c->last_data_mcs = mcs;
	memcpy(skb->cb + QLIX_CB_CTRL_OFF, &ctrl, sizeof(ctrl));
	skb->cb[QLIX_CB_MCS_OFF] = (char)mcs;
}

int ar_mcs_expired(const struct ar_rec *r)
{
	return jiffies_to_msecs(jiffies - r->updated) > r->et;
}
