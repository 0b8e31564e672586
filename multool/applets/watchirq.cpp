#include "common/text.h"
#include "spine/applet.h"
#include "spine/logging.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "inventory.h"
#include "platform/ifi.h"
#include "spine/utils.h"

#define WI_DEFAULT_PERIOD 10
#define WI_IRQS 129 /* the total, then lines 0-127 */
#define WI_STAT_FILE "/proc/stat"

struct wi_counter {
	uint32_t cur, prev;
};

enum { WI_TXP, WI_RXP, WI_TXB, WI_RXB, WI_TXD, WI_RXD, WI_IF_COUNT };

struct wi_state {
	const char *ifname;
	struct wi_counter ifc[WI_IF_COUNT];
	struct wi_counter irq[WI_IRQS];
	struct wi_counter ctxt;
};

static void advance(struct wi_counter *c, uint32_t v)
{
	c->prev = c->cur;
	c->cur = v;
}

static void sample_iface(struct wi_state *st)
{
	static const int idx[WI_IF_COUNT] = { IFI_TX_PACKETS, IFI_RX_PACKETS, IFI_TX_BYTES, IFI_RX_BYTES,
		IFI_TX_DROPPED, IFI_RX_DROPPED };

	ifi_free_all();
	inventory();
	struct ifi *ifi = ifi_find_by_name(st->ifname);
	if (!ifi || !ifi->stats)
		return;
	for (int i = 0; i < WI_IF_COUNT; i++)
		advance(&st->ifc[i], ifi->stats[idx[i]]);
}

static uint32_t to_number(const char *tok)
{
	uint64_t v;
	if (parse_uint64(&v, tok, 10) < 0)
		die("Cannot convert '%s' to number.\n", tok);
	return (uint32_t)v; /* the kernel's counters are differenced modulo 2^32 */
}

static void sample_irqs(struct wi_state *st)
{
	char line[4096];
	FILE *f = fopen(WI_STAT_FILE, "re");

	if (!f)
		die("Cannot open '%s' file.\n", WI_STAT_FILE);
	while (fgets(line, sizeof(line), f)) {
		if (!strncmp(line, "ctxt ", 5)) {
			advance(&st->ctxt, to_number(trim(line + 5)));
		} else if (!strncmp(line, "intr ", 5)) {
			char *save, *tok = strtok_r(line + 5, " \n", &save);
			for (int i = 0; tok && i < WI_IRQS; i++, tok = strtok_r(NULL, " \n", &save))
				advance(&st->irq[i], to_number(tok));
		}
	}
	fclose(f);
}

static void sleep_period(unsigned period)
{
	struct timespec req = { (time_t)period, 0 }, rem;
	while (nanosleep(&req, &rem) < 0 && errno == EINTR)
		req = rem;
}

static uint32_t per_sec(const struct wi_counter *c, uint32_t secs)
{
	return (c->cur - c->prev) / secs;
}

static void report(const struct wi_state *st, int irqs, uint64_t elapsed, unsigned period)
{
	int64_t late = (int64_t)elapsed - (int64_t)period * 1000;
	if (elapsed && late * 100 / (int64_t)elapsed > 5)
		printf("delayed %dms\n", (int)late);

	/* below one whole second the counts themselves are shown */
	uint32_t secs = elapsed >= 1000 ? (uint32_t)(elapsed / 1000) : 1;
	if (st->ifname) {
		printf(" TX(p): %u", per_sec(&st->ifc[WI_TXP], secs));
		printf(" RX(p): %u", per_sec(&st->ifc[WI_RXP], secs));
		printf(" TX: %.2fMbps, RX: %.2fMbps",
		       (double)(uint32_t)(st->ifc[WI_TXB].cur - st->ifc[WI_TXB].prev) * 8 / (secs * 1048576.0),
		       (double)(uint32_t)(st->ifc[WI_RXB].cur - st->ifc[WI_RXB].prev) * 8 / (secs * 1048576.0));
		if (st->ifc[WI_TXD].cur != st->ifc[WI_TXD].prev)
			printf(" TX(d): %u", per_sec(&st->ifc[WI_TXD], secs));
		if (st->ifc[WI_RXD].cur != st->ifc[WI_RXD].prev)
			printf(" RX(d): %u", per_sec(&st->ifc[WI_RXD], secs));
		printf("\n");
	}
	if (irqs) {
		for (unsigned i = 1; i < WI_IRQS; i++) {
			uint32_t rate = per_sec(&st->irq[i], secs);
			if (rate && st->irq[i].prev)
				printf(" IRQ%u:%u", i - 1, rate);
		}
		printf(" total: %u, ctxs: %u\n", per_sec(&st->irq[0], secs), per_sec(&st->ctxt, secs));
	}
	fflush(stdout);
}

static int watchirq_main(int argc, char **argv)
{
	struct wi_state st;
	unsigned period = WI_DEFAULT_PERIOD;
	int irqs = 1, opt;

	memset(&st, 0, sizeof(st));
	while ((opt = getopt(argc, argv, "i:n")) != -1) {
		switch (opt) {
		case 'i':
			st.ifname = optarg;
			break;
		case 'n':
			irqs = 0;
			break;
		default:
			return 1;
		}
	}
	if (argc - optind > 1) {
		for (int i = optind + 1; i < argc; i++)
			fprintf(stderr, "invalid extra option '%s'\n", argv[i]);
		die("too many arguments given.\n");
	}
	if (optind < argc) {
		uint32_t v;
		if (parse_uint32(&v, argv[optind]) < 0)
			die("Cannot parse '%s' as number.\n", argv[optind]);
		/* a period of 0 would sample without sleeping, for ever */
		if (v == 0)
			die("Period '%s' must be 1 second or more.\n", argv[optind]);
		period = v;
	}

	if (st.ifname)
		sample_iface(&st);
	sample_irqs(&st);
	for (;;) {
		struct timespec t0, t1;
		clock_gettime(CLOCK_MONOTONIC, &t0);
		sleep_period(period);
		if (st.ifname)
			sample_iface(&st);
		if (irqs)
			sample_irqs(&st);
		clock_gettime(CLOCK_MONOTONIC, &t1);
		int64_t ns = (int64_t)(t1.tv_sec - t0.tv_sec) * 1000000000 + (t1.tv_nsec - t0.tv_nsec);
		uint64_t elapsed = ns > 0 ? (uint64_t)ns / 1000000 : 0;
		report(&st, irqs, elapsed, period);
	}
}

APPLET("watchirq", watchirq_main);
