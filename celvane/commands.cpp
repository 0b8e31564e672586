/* Device commands: firmware announcement and image, reboot and reset, troubleshooting archive,
 * spectrum scan and link test requests.  On the MQTT library's thread: the scan and link-test
 * children are only asked for here and run by the main loop (pipes.cpp). */
#include "agent.h"

#include "common/fileio.h"
#include "request.h"

#include <errno.h>
#include <openssl/evp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#define TROUBLE_FILE "/tmp/trouble_celvane.zip"

void publish_event_refused(void)
{
	json_t *doc = json_pack("{sss{}}", "event", "e0102", "params");
	char *text = doc ? json_dumps(doc, 0) : NULL;

	if (text)
		publish_node("log", text, strlen(text), 2, 0);
	free(text);
	json_decref(doc);
}

void handle_upgrade(struct message *m)
{
	json_t *id = json_object_get(m->doc, "firmware_bin");
	const char *sha1 = json_string_value(json_object_get(m->doc, "sha1"));
	json_t *delay = json_object_get(m->doc, "delay");
	char idtext[32];

	if (action_due(ACT_UPGRADE)) {
		cv_log(0, "firmware upgrade is already scheduled\n");
		return;
	}
	if (json_is_integer(id)) {
		snprintf(idtext, sizeof(idtext), "%lld", (long long)json_integer_value(id));
	} else if (!json_is_string(id)) {
		cv_log(0, "firmware id not found\n");
		return;
	}
	char *copy = sha1 ? strdup(sha1) : NULL;
	agent_lock();
	agent.upgrade_delay = json_is_integer(delay) ? (int)request_delay(json_integer_value(delay)) : 0;
	free(agent.upgrade_sha1);
	agent.upgrade_sha1 = copy;
	agent_unlock();
	json_t *req = json_pack("{ss}", "firmware_id", json_is_string(id) ? json_string_value(id) : idtext);
	char *text = req ? json_dumps(req, 0) : NULL;
	if (text)
		publish_node("getfirmware", text, strlen(text), 2, 0);
	free(text);
	json_decref(req);
}

static int sha1_of(const void *data, size_t len, char hex[41])
{
	uint8_t digest[EVP_MAX_MD_SIZE];
	unsigned int n = 0;

	if (!EVP_Digest(data, len, digest, &n, EVP_sha1(), NULL) || n != 20)
		return -1;
	sha1_hex(hex, digest);
	return 0;
}

/* The image is held twice at the peak (the message and the file in RAM): the message goes as soon
 * as the file is written. */
void handle_firmwarebin(struct message *m)
{
	char hex[41];
	int ok;

	agent_lock();
	ok = sha1_of(m->payload, m->len, hex) == 0 && sha1_matches(hex, agent.upgrade_sha1);
	int delay = agent.upgrade_delay;
	agent_unlock();
	if (!ok) {
		cv_log(0, "bad firmware sha1\n");
		publish_event_refused();
		return;
	}
	if (write_replace(CV_FWFILE, ".tmp", m->payload, m->len, 0644, 0) < 0) {
		cv_log(0, "Cannot create '%s' file.\n", CV_FWFILE);
		publish_event_refused();
		return;
	}
	MQTTAsync_freeMessage(&m->raw);
	m->raw = NULL;
	m->payload = NULL;
	m->len = 0;

	const char *argv[] = { "fwupdate", "-c", NULL };
	int status = run_program(argv);
	if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
		cv_log(1, "Firmware is valid\n");
		if (timer_start(ACT_UPGRADE, delay) < 0)
			cv_log(0, "Failed to init upgrade timer\n");
		return;
	}
	int rc = -1;
	if (status != -1 && WIFSIGNALED(status)) {
		rc = WTERMSIG(status);
		cv_log(0, "fwupdate check was killed by %d\n", rc);
	} else if (status != -1) {
		rc = WEXITSTATUS(status);
		cv_log(0, "'%s' exit code:%d\n", "fwupdate check", rc);
	}
	cv_log(0, "Firmware is invalid. rc %d %s\n", rc, status == -1 ? strerror(errno) : "");
	publish_event_refused();
	unlink(CV_FWFILE);
}

void handle_reboot(struct message *m, enum action which)
{
	const char *name = which == ACT_REBOOT ? "reboot" : "reset";

	if (action_due(which)) {
		cv_log(0, "%s is already scheduled\n", name);
		return;
	}
	json_t *dv = json_object_get(m->doc, "delay");
	long long delay = json_is_integer(dv) ? json_integer_value(dv) : 0;
	cv_log(1, "Delay: %d\n", (int)request_delay(delay));
	if (timer_start(which, delay) < 0)
		cv_log(0, "Failed to init %s timer\n", name);
}

void handle_troubleshoot(struct message *m, int full)
{
	const char *argv_full[] = { "/usr/sbin/troubleshoot", "-o", TROUBLE_FILE, NULL };
	const char *argv_short[] = { "/usr/sbin/troubleshoot", "-s", "-o", TROUBLE_FILE, NULL };
	size_t size = 0;

	(void)m;
	int status = run_program(full ? argv_full : argv_short);
	if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
		cv_log(0, "Troubleshoot failed\n");
		cv_log(0, "troubleshoot file size %d\n", 0);
		unlink(TROUBLE_FILE);
		return;
	}
	cv_log(1, "Troubleshoot executing went OK\n");
	char *data = read_file(TROUBLE_FILE, &size);
	if (!data) {
		cv_log(0, "Can not read  troubleshoot file (%s)\n", strerror(errno));
		cv_log(0, "troubleshoot file size %d\n", 0);
		return;
	}
	unlink(TROUBLE_FILE);
	publish_node("troubleshoot", data, size, 2, 0);
	free(data);
}

void handle_scan(struct message *m)
{
	const char *type = json_string_value(json_object_get(m->doc, "type"));
	const char *action = json_string_value(json_object_get(m->doc, "action"));
	const char *radio = json_string_value(json_object_get(m->doc, "radio"));

	cv_log(1, "type: %s action: %s radio: %s\n", type ? type : "", action ? action : "", radio ? radio : "");
	if (!type || strncmp(type, "spectrum", 8) != 0 || !action)
		return;
	if (strcmp(action, "stop") == 0) {
		cv_log(1, "stoping spectral scan\n");
		agent_lock();
		agent.scan_req = PIPE_STOP;
		agent_unlock();
		return;
	}
	if (strcmp(action, "start") != 0 || !radio)
		return;
	if (!request_iface_ok(radio)) {
		cv_log(0, "Refusing radio name of %zu characters: not an interface name\n", strlen(radio));
		return;
	}
	agent_lock();
	int busy = agent.scan_running || agent.scan_req == PIPE_START;
	if (!busy) {
		snprintf(agent.scan_radio, sizeof(agent.scan_radio), "%s", radio);
		agent.scan_req = PIPE_START;
	}
	agent_unlock();
	if (busy)
		cv_log(0, "%s spectrumscan is already running\n", "spectrum_start");
}

/* 0 and the plan, or -1 after logging what was wrong with the request. */
static int linktest_plan(json_t *doc, const char *station, struct linktest_plan *plan)
{
	json_t *sizes = json_object_get(doc, "packetsize");
	json_t *iter = json_object_get(doc, "iterations");
	const char *dir = json_string_value(json_object_get(doc, "trafficdirection"));
	size_t i;
	json_t *v;

	memset(plan, 0, sizeof(*plan));
	if (!request_station_ok(station)) {
		cv_log(0, "Refusing link test: station id is neither a MAC address nor a peer number\n");
		return -1;
	}
	if (!json_is_integer(iter) || json_integer_value(iter) < 1 || json_integer_value(iter) > 100000) {
		cv_log(0, "Refusing link test: bad iterations\n");
		return -1;
	}
	json_array_foreach(sizes, i, v)
	{
		if (plan->count >= LINKTEST_SIZES_MAX)
			break;
		if (!json_is_integer(v) || !request_size_ok(json_integer_value(v))) {
			cv_log(0, "Refusing link test: packet size out of %d..%d\n", LINKTEST_SIZE_MIN, LINKTEST_SIZE_MAX);
			return -1;
		}
		plan->sizes[plan->count++] = (int)json_integer_value(v);
	}
	if (!plan->count) {
		cv_log(0, "Refusing link test: no packet size\n");
		return -1;
	}
	snprintf(plan->station, sizeof(plan->station), "%s", station);
	plan->iterations = (int)json_integer_value(iter);
	plan->reverse = !(dir && strcmp(dir, "localtoremote") == 0);
	return 0;
}

void handle_linktest(struct message *m)
{
	const char *action = json_string_value(json_object_get(m->doc, "action"));
	const char *station = json_string_value(json_object_get(m->doc, "stationid"));
	struct linktest_plan plan;

	if (!action)
		return;
	if (strcmp(action, "stop") == 0) {
		cv_log(1, "Stopping linktest\n");
		agent_lock();
		agent.linktest_req = PIPE_STOP;
		agent_unlock();
		return;
	}
	if (strcmp(action, "start") != 0 || !station)
		return;
	agent_lock();
	int busy = agent.linktest_running || agent.linktest_req == PIPE_START;
	agent_unlock();
	if (busy) {
		cv_log(0, "%s linktest is already running\n", "node_linktest_start");
		return;
	}
	if (linktest_plan(m->doc, station, &plan) < 0)
		return;
	agent_lock();
	agent.linktest = plan;
	agent.linktest_req = PIPE_START;
	agent_unlock();
}
