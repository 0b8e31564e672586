/* Service files of the launcher. */
#include "supervise/svcfile.h"

#include "spine/jsonutil.h"

#include <ctype.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

int svc_period_ms(const char *text)
{
	const char *p = text;
	bool neg = false;
	long long v = 0;

	while (isspace((unsigned char)*p))
		p++;
	if (*p == '+' || *p == '-')
		neg = *p++ == '-';
	for (; isdigit((unsigned char)*p); p++) {
		v = v * 10 + (*p - '0');
		if (v > (long long)INT_MAX + 1)
			v = (long long)INT_MAX + 1;
	}
	if (neg)
		v = -v;
	if (v > INT_MAX)
		v = INT_MAX;
	return (int)v;
}

static char *dup_or_null(const char *text)
{
	return text ? strdup(text) : NULL;
}

int svcfile_parse(const json_t *root, struct svc_def *def)
{
	const char *name = json_dotget_string(root, "service.name");
	const char *cmd = json_dotget_string(root, "service.exec");
	const char *period = json_dotget_string(root, "service.period");

	memset(def, 0, sizeof(*def));
	if (!name || !cmd || !period)
		return -1;
	def->name = strdup(name);
	def->cmd = strdup(cmd);
	def->out = dup_or_null(json_dotget_string(root, "service.stdout"));
	def->period_ms = svc_period_ms(period);
	def->delay_first = json_is_true(json_dotget(root, "service.delayFirstRun"));
	if (!def->name || !def->cmd || (json_dotget_string(root, "service.stdout") && !def->out)) {
		svc_def_free(def);
		return -1;
	}
	return 0;
}

int svcfile_load(const char *path, struct svc_def *def)
{
	json_t *root = json_load_path(path);
	int rc;

	memset(def, 0, sizeof(*def));
	if (!root)
		return -1;
	rc = svcfile_parse(root, def);
	json_decref(root);
	return rc;
}

void svc_def_free(struct svc_def *def)
{
	free(def->name);
	free(def->cmd);
	free(def->out);
	memset(def, 0, sizeof(*def));
}
