/* The message callback: every received message goes to its handler by topic.  Runs on the MQTT
 * library's thread; the handlers never wait for the library. */
#include "agent.h"

#include <stdlib.h>
#include <string.h>

static void parse_error(const struct topic_ids *ids, const char *topic, const json_error_t *err)
{
	const char *sub = topic_subtopic(ids, topic);

	if (sub)
		cv_log(0, "Payload parse error for %s subtopic: %s\n", sub, err->text);
	else
		cv_log(0, "Payload parse error for %s: %s\n", topic, err->text);
}

static void route(enum topic_route r, struct message *m)
{
	switch (r) {
	case ROUTE_UNKNOWN_CONTROL:
		cv_log(0, "Received unknown control topic %s\n", m->topic);
		break;
	case ROUTE_UNKNOWN_NODE:
		cv_log(0, "Received unknown node topic %s\n", m->topic);
		break;
	case ROUTE_UNKNOWN:
		cv_log(0, "Received unknown topic %s\n", m->topic);
		break;
	case ROUTE_ACK:
		handle_ack(m);
		break;
	case ROUTE_NACK:
		handle_nack(m);
		break;
	case ROUTE_SITESURVEY:
		handle_sitesurvey(m);
		break;
	case ROUTE_ALERTS_REQUEST:
		handle_alerts_request(m);
		break;
	case ROUTE_CONFIG:
		handle_node_config(m);
		break;
	case ROUTE_FIRMWARE:
		cv_log(0, "fwupdate from url still not implemented\n");
		break;
	case ROUTE_FIRMWAREBIN:
		handle_firmwarebin(m);
		break;
	case ROUTE_UPGRADE:
		handle_upgrade(m);
		break;
	case ROUTE_FLYTRAP:
		handle_flytrap(m);
		break;
	case ROUTE_REBOOT:
		handle_reboot(m, ACT_REBOOT);
		break;
	case ROUTE_RESET:
		handle_reboot(m, ACT_RESET);
		break;
	case ROUTE_TROUBLESHOOT_FULL:
		handle_troubleshoot(m, 1);
		break;
	case ROUTE_TROUBLESHOOT_SHORT:
		handle_troubleshoot(m, 0);
		break;
	case ROUTE_SCAN:
		handle_scan(m);
		break;
	case ROUTE_PING:
		handle_ping(m);
		break;
	case ROUTE_APLIST:
		handle_aplist(m);
		break;
	case ROUTE_KICKMAC:
		handle_kickmac(m);
		break;
	case ROUTE_LINKTEST:
		handle_linktest(m);
		break;
	case ROUTE_CERT:
		handle_cert(m);
		break;
	case ROUTE_MACCACHE_LIST:
		handle_maccache(m, "update");
		break;
	case ROUTE_MACCACHE_ADD:
		handle_maccache(m, "addmac");
		break;
	case ROUTE_MACCACHE_DEL:
		handle_maccache(m, "delmac");
		break;
	}
}

int on_message(void *ctx, char *topic_name, int topic_len, MQTTAsync_message *msg)
{
	struct message m;
	struct ids_copy c;
	json_error_t err;
	char *topic;

	(void)ctx;
	callback_enter();
	/* a topic holding a NUL byte is given with its length */
	topic = topic_len > 0 ? strndup(topic_name, (size_t)topic_len) : strdup(topic_name);
	if (!topic)
		goto out;
	cv_log(1, "Received message on topic %s\n", topic);
	if (agent_stop.load()) {
		cv_log(1, "system is stopping. new messages are ignored (%s)\n", topic);
		goto out;
	}
	memset(&m, 0, sizeof(m));
	m.topic = topic;
	m.payload = (const char *)msg->payload;
	m.len = msg->payloadlen > 0 ? (size_t)msg->payloadlen : 0;
	m.raw = msg;
	agent_ids(&c);
	{
		enum topic_route r = topic_route(&c.ids, topic);
		if (topic_route_json(r)) {
			m.doc = json_loadb(m.payload ? m.payload : "", m.len, 0, &err);
			if (!m.doc) {
				parse_error(&c.ids, topic, &err);
				goto out;
			}
		}
		route(r, &m);
		msg = m.raw; /* a handler may have let the message go early */
		json_decref(m.doc);
	}
out:
	free(topic);
	if (msg)
		MQTTAsync_freeMessage(&msg);
	MQTTAsync_free(topic_name);
	agent_wake(); /* a handler may have asked the main loop for something */
	callback_leave();
	return 1;
}
