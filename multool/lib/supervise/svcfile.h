/* Service files of the launcher: one JSON object per file,
 *
 *   { "service": { "name": "...", "exec": "shell command", "period": "milliseconds as text",
 *                  "stdout": "output file" (optional), "delayFirstRun": true|false (optional) } }
 *
 * The period must be a JSON string; a file giving it as a number is refused. */
#pragma once

#include <jansson.h>

struct svc_def {
	char *name;
	char *cmd;
	char *out; /* NULL: the command's standard output is inherited */
	int period_ms;
	bool delay_first;
};

/* Fills def from a parsed document (copies of its texts); -1 when a required member is missing or
 * not a string.  svc_def_free releases it. */
int svcfile_parse(const json_t *root, struct svc_def *def);
/* Reads and parses the file; -1 when it cannot be read, is not JSON or misses a member. */
int svcfile_load(const char *path, struct svc_def *def);
void svc_def_free(struct svc_def *def);

/* The period text read as the C library's atoi reads it (blanks, sign, digits up to the first other
 * character; nothing readable is 0), saturated to the range of int instead of overflowing. */
int svc_period_ms(const char *text);
