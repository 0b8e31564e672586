/* Handlers of the session messages: acknowledgement and its configuration, nack, flytrap, guest
 * access coordination, scripts on request.  They run on the MQTT library's thread. */
#include "agent.h"

#include "common/fileio.h"
#include "common/run.h"

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#define FLYTRAP_CONF "/var/run/flytrap.json"
#define GA_DIR "/var/run/guest_access"
#define SCRIPT_SURVEY "/usr/share/lua/mqtt/surveytool.lua"
#define SCRIPT_MACCACHE "/usr/share/lua/mqtt/maccache.lua"
#define SCRIPT_KICKMAC "/usr/share/lua/celvane/common/kickmac.lua"
#define SCRIPT_INFO "/usr/share/lua/mqtt/info.lua"

void agent_ids(struct ids_copy *c)
{
	agent_lock();
	memcpy(c->net, agent.net, sizeof(c->net));
	agent_unlock();
	c->ids.org = agent.org;
	c->ids.net = c->net;
	c->ids.client = agent.client_id;
	c->ids.group = agent.group[0] ? agent.group : NULL;
}

int run_program(const char *const argv[])
{
	int status = run_argv(argv, NULL);

	if (status == -1)
		cv_log(0, "Cannot run %s: %s\n", argv[0], strerror(errno));
	return status;
}

/* What "kill -s SIG $(pidof NAME)" did, without a shell: every process whose name is NAME. */
int signal_named(const char *name, int sig)
{
	DIR *proc = opendir("/proc");
	struct dirent *e;
	int sent = 0;

	if (!proc)
		return 0;
	while ((e = readdir(proc)) != NULL) {
		char path[300], comm[64];
		char *end;
		long pid = strtol(e->d_name, &end, 10);
		if (*end || pid <= 0)
			continue;
		snprintf(path, sizeof(path), "/proc/%ld/comm", pid);
		ssize_t n = read_prefix(path, comm, sizeof(comm) - 1);
		if (n <= 0)
			continue;
		comm[n] = '\0';
		comm[strcspn(comm, "\n")] = '\0';
		if (strcmp(comm, name) == 0 && kill((pid_t)pid, sig) == 0)
			sent++;
	}
	closedir(proc);
	return sent;
}

int save_json_file(const char *path, json_t *doc)
{
	char *text = json_dumps(doc, JSON_INDENT(2) | JSON_ESCAPE_SLASH);
	int rc;

	if (!text)
		return -1;
	rc = write_replace(path, ".tmp", text, strlen(text), 0644, 0);
	free(text);
	return rc;
}

/* ---- configuration ---- */

/* The received configuration waits in /tmp/config.json (or the test file) for the configure timer.
 * The current document's services.onvif belongs to the device and goes along. */
static int config_save(json_t *config, int readonly)
{
	json_error_t err;
	json_t *current = json_load_file(CV_CONFIG, 0, &err);
	const char *path = agent.test_config ? CV_CONFIG_TEST : CV_CONFIG;

	if (current) {
		json_t *onvif = json_object_get(json_object_get(current, "services"), "onvif");
		if (onvif) {
			json_t *services = json_object_get(config, "services");
			if (!json_is_object(services)) {
				services = json_object();
				json_object_set_new(config, "services", services);
			}
			json_object_set(services, "onvif", onvif);
			if (save_json_file("/tmp/config_onvif", onvif) < 0)
				cv_log(0, "Cannot write '%s'\n", "/tmp/config_onvif");
		}
		json_decref(current);
	} else {
		printf("unable to load current config\n");
	}
	char *text = json_dumps(config, JSON_COMPACT | JSON_ESCAPE_SLASH);
	printf("[%s]\n", text ? text : "");
	fflush(stdout);
	free(text);
	if (agent.test_config)
		cv_log(1, "Test mode - writing config into : %s \n", path);
	else if (readonly)
		cv_log(1, "Writing read-only config into : %s \n", path);
	else
		cv_log(1, "Writing received config into : %s \n", path);
	if (save_json_file(path, config) < 0) {
		cv_log(0, "Cannot write '%s': %s\n", path, strerror(errno));
		return -1;
	}
	return 0;
}

static long long int_member(json_t *obj, const char *key, long long fallback)
{
	json_t *v = json_object_get(obj, key);
	return json_is_integer(v) ? json_integer_value(v) : fallback;
}

static void start_configure(long long delay)
{
	if (agent.test_config)
		return;
	timer_start(ACT_CONFIGURE, delay);
}

static void rx_readonly(json_t *config, long long delay)
{
	json_error_t err;
	json_t *current = json_load_file(CV_CONFIG, 0, &err);

	if (!current) {
		cv_log(0, "unable to load current config for read-only mode\n");
		return;
	}
	json_t *own = json_object_get(config, "celvane");
	if (own)
		json_object_set(current, "celvane", own);
	else
		json_object_del(current, "celvane");
	cv_log(1, "_rx_readonly: Calling rx_save_to_file to save merged celvane config\n");
	if (config_save(current, 1) == 0)
		start_configure(delay);
	json_decref(current);
}

static int non_empty_object(json_t *v)
{
	return json_is_object(v) && json_object_size(v) > 0;
}

/* ---- flytrap ---- */

void flytrap_stop(void)
{
	agent_lock();
	int running = agent.flytrap_running;
	agent.flytrap_running = 0;
	agent_unlock();
	if (!running)
		return;
	cv_log(1, "Stoping flytrap\n");
	const char *argv[] = { "killall", "flytrapd", NULL };
	run_program(argv);
	unlink(FLYTRAP_CONF);
}

static void flytrap_start(void)
{
	agent_lock();
	int enabled = agent.flytrap;
	json_t *conf = json_pack("{ssssss}", "host", agent.host, "organization", agent.org, "network", agent.net);
	if (conf && agent.group[0])
		json_object_set_new(conf, "groupid", json_string(agent.group));
	agent_unlock();
	if (!enabled || !conf) {
		json_decref(conf);
		return;
	}
	int rc = save_json_file(FLYTRAP_CONF, conf);
	json_decref(conf);
	if (rc == 0) {
		const char *argv[] = { "/usr/sbin/flytrapd", NULL };
		rc = run_program(argv);
		if (rc != -1 && !(WIFEXITED(rc) && WEXITSTATUS(rc) == 0))
			rc = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
	}
	if (rc != 0) {
		cv_log(0, "Failed to start flytrap. rc %d %s\n", rc, rc == -1 ? strerror(errno) : "");
		agent_lock();
		agent.flytrap = 0;
		agent_unlock();
		return;
	}
	agent_lock();
	agent.flytrap_running = 1;
	agent_unlock();
	cv_log(1, "Flytrap started\n");
}

/* Stop first, so a changed broker or network reaches a new flytrapd. */
static void flytrap_set(int enable)
{
	flytrap_stop();
	agent_lock();
	agent.flytrap = enable;
	agent_unlock();
	cv_log(1, "flytrap is %s\n", enable ? "enabled" : "disabled");
	flytrap_start();
}

void handle_flytrap(struct message *m)
{
	json_t *v = json_object_get(m->doc, "flytrap");

	if (!json_is_boolean(v)) {
		cv_log(0, "no flytrap attribute found\n");
		return;
	}
	flytrap_set(json_is_true(v));
}

/* ---- acknowledgement ---- */

static void subscribe_node_topics(void)
{
	struct ids_copy c;
	struct topic_list *list = (struct topic_list *)malloc(sizeof(*list));

	if (!list)
		return;
	agent_ids(&c);
	agent_lock();
	int ga = agent.guest_access;
	agent_unlock();
	if (topic_node_list(list, &c.ids, ga) == 0)
		subscribe_list(list, SUB_NODE);
	free(list);
	if (ga)
		publish_node("aplist/request", "", 0, 2, 0);
}

static void ack_settings(json_t *settings, int phase)
{
	if (!non_empty_object(settings))
		return;
	json_t *iv = json_object_get(settings, "stats_interval");
	if (json_is_integer(iv)) {
		long long interval = json_integer_value(iv);
		cv_log(1, "ack stats interval: %d\n", (int)interval);
		if (interval > 10 && interval <= 86400) {
			agent_lock();
			agent.interval = (int)interval;
			agent_unlock();
		}
	}
	if (phase == PHASE_AUTH) {
		const char *secret = json_string_value(json_object_get(settings, "mqtt_secret"));
		if (!secret) {
			cv_log(0, "ack does not contain mqtt_secret\n");
			return;
		}
		char *copy = strdup(secret);
		agent_lock();
		free(agent.password);
		agent.password = copy;
		agent_unlock();
		return;
	}
	json_t *ft = json_object_get(settings, "flytrap");
	if (!json_is_boolean(ft))
		cv_log(1, "no flytrap attribute in settings object\n");
	flytrap_set(json_is_true(ft));
}

void handle_ack(struct message *m)
{
	json_t *network = json_object_get(m->doc, "network");
	json_t *config = json_object_get(m->doc, "config");
	json_t *readonly = json_object_get(m->doc, "readonly");
	long long delay = int_member(m->doc, "delay", 0);
	int phase = agent_phase.load();
	int ro = json_is_true(readonly);

	cv_log(3, "%.*s\n", (int)m->len, m->payload);
	agent_lock();
	if (topic_name_ok(json_string_value(network), sizeof(agent.net)))
		snprintf(agent.net, sizeof(agent.net), "%s", json_string_value(network));
	agent.registered = 1;
	agent.monitoring = ro;
	agent_unlock();
	cv_log(1, ro ? "ACK is readonly, monitoring set\n" : "ACK, Managed mode set\n");
	if (non_empty_object(config) && json_is_boolean(readonly)) {
		if (!ro) {
			cv_log(1, "Regular config received\n");
			if (config_save(config, 0) == 0)
				start_configure(delay);
		} else {
			cv_log(1, "Read-only config received\n");
			rx_readonly(config, delay);
		}
		return;
	}
	cv_log(1, "no config found in ack\n");
	ack_settings(json_object_get(m->doc, "settings"), phase);
	if (phase == PHASE_AUTH)
		return;
	subscribe_node_topics();
}

void handle_nack(struct message *m)
{
	struct topic_list *list = (struct topic_list *)malloc(sizeof(*list));

	(void)m;
	agent_lock();
	free(agent.password);
	agent.password = NULL;
	snprintf(agent.net, sizeof(agent.net), "%s", "default");
	agent.registered = 0;
	if (list)
		*list = agent.node;
	agent_unlock();
	if (list)
		unsubscribe_list(list, SUB_NODE);
	free(list);
	agent_phase.store(PHASE_AUTH);
}

void handle_node_config(struct message *m)
{
	json_t *config = json_object_get(m->doc, "config");

	if (!non_empty_object(config)) {
		cv_log(0, "no config found in node config message\n");
		return;
	}
	agent_lock();
	int ro = agent.monitoring;
	agent_unlock();
	if (ro) {
		cv_log(1, "Node config message in read-only mode, NOT calling config_rx");
		return;
	}
	cv_log(1, "Node config message, calling config_rx");
	if (config_save(config, 0) == 0)
		start_configure(int_member(m->doc, "delay", 0));
}

/* ---- guest access ---- */

static void master_take(void)
{
	struct ids_copy c;
	struct topic_list *list = (struct topic_list *)malloc(sizeof(*list));

	if (!list)
		return;
	cv_log(1, "%s: Switching to net master role.\n", "ga_init_master");
	agent_ids(&c);
	agent_lock();
	agent.net_master = 1;
	agent_unlock();
	if (topic_master_list(list, &c.ids) < 0 || subscribe_list(list, SUB_MASTER) < 0 ||
	    publish_node("maccache/request", "", 0, 2, 0) < 0) {
		cv_log(0, "Master failed to subscribe to 'master only' topics!\n");
		agent_lock();
		agent.net_master = 0;
		agent_unlock();
	}
	free(list);
}

static void master_drop(void)
{
	struct topic_list *list = (struct topic_list *)malloc(sizeof(*list));

	cv_log(1, "%s: Dropping net_master role!\n", "ga_deinit_master");
	agent_lock();
	agent.net_master = 0;
	if (list)
		*list = agent.master;
	agent_unlock();
	if (list)
		unsubscribe_list(list, SUB_MASTER);
	free(list);
}

void handle_aplist(struct message *m)
{
	if (save_json_file(GA_DIR "/ap-list.json", m->doc) < 0)
		cv_log(0, "Cannot write '%s'\n", GA_DIR "/ap-list.json");
	agent_lock();
	int ga = agent.guest_access, master = agent.net_master;
	json_t *mine = agent.ga_mac[0] ? json_object_get(m->doc, agent.ga_mac) : NULL;
	agent_unlock();
	if (json_is_true(mine)) {
		if (ga && !master)
			master_take();
	} else if (master) {
		master_drop();
	}
}

void handle_maccache(struct message *m, const char *cmd)
{
	json_t *input = json_pack("{sssO}", "cmd", cmd, "data", m->doc);
	char *text = input ? json_dumps(input, JSON_COMPACT) : NULL;

	json_decref(input);
	if (!text)
		return;
	cv_log(3, "Executing '%s' script.\n Input = '%s'\n", SCRIPT_MACCACHE, text);
	const char *args[] = { text };
	free(script_run(SCRIPT_MACCACHE, args, 1));
	free(text);
}

/* ---- scripts on request ---- */

void handle_sitesurvey(struct message *m)
{
	json_t *trigger = json_object_get(m->doc, "trigger");
	json_t *result = script_json(SCRIPT_SURVEY, NULL, 0);
	struct ids_copy c;
	char topic[TOPIC_MAX];

	if (!result)
		return;
	if (trigger)
		json_object_set(result, "trigger", trigger);
	agent_ids(&c);
	if (topic_control(topic, sizeof(topic), &c.ids, "sitesurvey_result") == 0)
		publish_json(topic, result, 2, 0);
	json_decref(result);
}

void handle_alerts_request(struct message *m)
{
	(void)m;
	signal_named("alertd", SIGUSR1);
	cv_log(1, "Probably sent signal SIGUSR1 to alertd pid.\n");
}

void handle_ping(struct message *m)
{
	json_t *info = script_json(SCRIPT_INFO, NULL, 0);

	(void)m;
	if (!info)
		return;
	char *text = json_dumps(info, JSON_COMPACT);
	if (text)
		publish_node("info", text, strlen(text), 2, 0);
	free(text);
	json_decref(info);
}

void handle_kickmac(struct message *m)
{
	json_t *macs = json_object_get(m->doc, "mac");
	size_t i;
	json_t *v;

	json_array_foreach(macs, i, v)
	{
		const char *mac = json_string_value(v);
		if (!mac)
			continue;
		const char *args[] = { mac };
		free(script_run(SCRIPT_KICKMAC, args, 1));
	}
}

/* Replaced whole: the main loop looks for the file and must not take half of it. */
void handle_cert(struct message *m)
{
	if (write_replace(CV_CERTFILE, ".tmp", m->payload ? m->payload : "", m->len, 0644, 0) < 0)
		cv_log(0, "Can not write cert file (%s)\n", strerror(errno));
}
