/* CPU time counters of the kernel's "cpu" line and the shares derived from two samples.  No
 * dependencies beyond libc, so the arithmetic is also checked on the 32-bit target build. */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

enum cpu_counter {
	CPU_USER,
	CPU_NICE,
	CPU_SYSTEM,
	CPU_IDLE,
	CPU_IOWAIT,
	CPU_IRQ,
	CPU_SOFTIRQ,
	CPU_COUNTERS,
};

struct cpu_sample {
	uint32_t v[CPU_COUNTERS];
};

/* Reads the first line's seven counters; -1 when they cannot be read. */
int cpu_sample_read(FILE *f, struct cpu_sample *s);
/* Formats the report over prev..cur into buf ("%.4f\n" load, or the share line); returns the length
 * as snprintf does. */
int cpu_report(char *buf, size_t size, const struct cpu_sample *prev, const struct cpu_sample *cur,
	       bool load_only);
