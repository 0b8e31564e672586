/* CPU time shares from two samples of the kernel's counters. */
#include "platform/cpusample.h"

int cpu_sample_read(FILE *f, struct cpu_sample *s)
{
	/* The kernel prints longs; scan them as such and keep the low 32 bits, as the board does. */
	unsigned long v[CPU_COUNTERS];

	if (fscanf(f, "%*s %lu %lu %lu %lu %lu %lu %lu", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6]) !=
	    CPU_COUNTERS)
		return -1;
	for (int i = 0; i < CPU_COUNTERS; i++)
		s->v[i] = (uint32_t)v[i];
	return 0;
}

static float share(uint32_t part, float total)
{
	return total > 0 ? 100.0f * (float)part / total : 0.0f;
}

int cpu_report(char *buf, size_t size, const struct cpu_sample *prev, const struct cpu_sample *cur,
	       bool load_only)
{
	uint32_t d[CPU_COUNTERS];
	uint32_t sum = 0;

	for (int i = 0; i < CPU_COUNTERS; i++) {
		/* Differences modulo 2^32: a wrapped counter still gives the right interval. */
		d[i] = cur->v[i] - prev->v[i];
		sum += d[i];
	}
	/* No tick in the interval (delay 0, or a sleep cut short) reports zeros rather than 0/0. */
	float total = (float)sum;

	if (load_only)
		return snprintf(buf, size, "%.4f\n", (double)(total > 0 ? 1.0f - (float)d[CPU_IDLE] / total : 0.0f));
	return snprintf(buf, size, "user: %.2f niced: %.2f sys: %.2f idle: %.2f iowait: %.2f irq: %.2f\n",
			(double)share(d[CPU_USER], total), (double)share(d[CPU_NICE], total),
			(double)share(d[CPU_SYSTEM], total), (double)share(d[CPU_IDLE], total),
			(double)share(d[CPU_IOWAIT], total), (double)share(d[CPU_IRQ] + d[CPU_SOFTIRQ], total));
}
