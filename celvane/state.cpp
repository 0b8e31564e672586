/* The state file other programs read, the state the scripts get, and the SIGUSR1 dump. */
#include "agent.h"

#include "common/fileio.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* Under the lock, so the two threads never interleave their writes; replaced whole. */
int state_file_write(void)
{
	json_t *doc;
	char *text;
	int rc = -1;

	if (agent.test_server)
		return 0;
	agent_lock();
	doc = json_pack("{sbsbsb}", "connected", agent.control_subbed, "registered", agent.node_subbed, "monitoring",
			agent.monitoring);
	text = doc ? json_dumps(doc, JSON_INDENT(2)) : NULL;
	if (text)
		rc = write_replace(CV_STATEFILE, ".tmp", text, strlen(text), 0644, 0);
	agent_unlock();
	free(text);
	json_decref(doc);
	if (rc < 0)
		cv_log(0, "Cannot write '%s'\n", CV_STATEFILE);
	return rc;
}

void state_file_remove(void)
{
	if (!agent.test_server)
		unlink(CV_STATEFILE);
}

char *state_json(void)
{
	json_t *doc;
	char *text;

	agent_lock();
	doc = json_pack("{ssssssssssso*sbsbsbsbsbsbsb}", "address", agent.uri, "client_id", agent.client_id, "ga_mac",
			agent.ga_mac, "organization", agent.org, "network", agent.net, "router_id",
			agent.router_set ? json_string(agent.router) : NULL, "flytrap", agent.flytrap,
			"proximity_periodic", agent.proximity_periodic, "proximity_priority", agent.proximity_priority,
			"secure_logging", agent.secure_logging, "alerts", agent.alerts, "guest_access",
			agent.guest_access, "net_master", agent.net_master);
	agent_unlock();
	if (!doc)
		return NULL;
	text = json_dumps(doc, JSON_COMPACT);
	json_decref(doc);
	return text;
}

static const char *tf(int v)
{
	return v ? "true" : "false";
}

static void dump_topics(const char *title, const struct topic_list *list)
{
	cv_log(0, "%s", title);
	for (size_t i = 0; i < list->count; i++)
		cv_log(0, "\t%s\n", list->name[i]);
}

void state_dump(void)
{
	/* copies of the three lists, taken under the lock and logged after it */
	struct topic_list *control = (struct topic_list *)malloc(sizeof(*control) * 3);
	struct timespec cfg, upg;

	if (!control)
		return;
	timer_remaining(ACT_CONFIGURE, &cfg);
	timer_remaining(ACT_UPGRADE, &upg);
	agent_lock();
	cv_log(0, "address:       \t%s\n", agent.uri);
	cv_log(0, "client_id:     \t%s\n", agent.client_id);
	cv_log(0, "ga_mac:        \t%s\n", agent.ga_mac);
	cv_log(0, "organization:  \t%s\n", agent.org);
	cv_log(0, "network:       \t%s\n", agent.net);
	cv_log(0, "stats interval:\t%d\n", agent.interval);
	cv_log(0, "registered:    \t%s\n", tf(agent.registered));
	cv_log(0, "need reconf:   \t%s\n", tf(due[ACT_CONFIGURE].load()));
	cv_log(0, "need upgrade:  \t%s\n", tf(due[ACT_UPGRADE].load()));
	cv_log(0, "flytrap:\t   \t%s\n", tf(agent.flytrap));
	cv_log(0, "proximity_periodic:\t%s\n", tf(agent.proximity_periodic));
	cv_log(0, "proximity_priority:\t%s\n", tf(agent.proximity_priority));
	cv_log(0, "secure_logging:    \t%s\n", tf(agent.secure_logging));
	cv_log(0, "celvane:     \t%s\n", tf(agent.alerts));
	cv_log(0, "guest_access:      \t%s\n", tf(agent.guest_access));
	cv_log(0, "net_master:        \t%s\n", tf(agent.net_master));
	control[0] = agent.control;
	control[1] = agent.node;
	control[2] = agent.master;
	if (!agent.control_subbed)
		control[0].count = 0;
	if (!agent.node_subbed)
		control[1].count = 0;
	if (!agent.master_subbed)
		control[2].count = 0;
	agent_unlock();
	dump_topics("Subscribed to control topics:\n", &control[0]);
	dump_topics("Subscribed to node topics:\n", &control[1]);
	dump_topics("Subscribed to Guest Access 'Master only' topics:\n", &control[2]);
	cv_log(0, "config timer expires after %u s %lu ns\n", (unsigned)cfg.tv_sec, (unsigned long)cfg.tv_nsec);
	cv_log(0, "upgrade timer expires after %u s %lu ns\n", (unsigned)upg.tv_sec, (unsigned long)upg.tv_nsec);
	free(control);
}
