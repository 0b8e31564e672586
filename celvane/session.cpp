/* The three phases of the cloud session on the MQTT library's asynchronous client: the certificate
 * over the plain port, the authentication that yields the MQTT password, the operational session.
 *
 * Every wait for the library is bounded and done on the main thread only; the callbacks (on the
 * library's threads) change state under the lock and return.  A lost connection clears every
 * subscription flag, so nothing later waits for an unsubscription that cannot happen. */
#include "agent.h"

#include "pipes.h"
#include "request.h"

#include "common/daemon.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define COMPLETION_WAIT_MS 5000
#define UNSUBSCRIBE_WAIT_MS 10000
#define DISCONNECT_WAIT_MS 10000
#define CALLBACK_WAIT_MS 30000

enum conn_state {
	CONN_IDLE = 0,
	CONN_PENDING = 1,
	CONN_UP = 2,
	CONN_FAILED = -1,
	CONN_LOST = -2,
};

/* Unsubscriptions asked for and not yet answered, per list. */
static int unsub_pending[3];
/* Failed connection attempts in a row: the back-off before the next one, which is only waited when
 * the phase before ended in a failure (a phase that succeeded hands over at once). */
static unsigned failures;
static int retry_pending;
static thread_local int on_library_thread;
/* init/crt/response is subscribed (certificate phase) */
static std::atomic<int> cert_subbed;

void callback_enter(void)
{
	in_callback++;
	on_library_thread++;
}

void callback_leave(void)
{
	on_library_thread--;
	in_callback--;
}

/* A callback that changed what the main loop waits for wakes it when it returns. */
struct wake_on_return {
	~wake_on_return()
	{
		agent_wake();
	}
};

struct callback_scope {
	callback_scope()
	{
		callback_enter();
	}
	~callback_scope()
	{
		callback_leave();
	}
};

static int phase_now(void)
{
	return agent_phase.load();
}

static void phase_set(int phase)
{
	agent_phase.store(phase);
}

static int conn_state(void)
{
	agent_lock();
	int s = agent.conn_state;
	agent_unlock();
	return s;
}

static void remove_cert(void)
{
	unlink(CV_CERTFILE);
}

/* ---- publishing ---- */

int publish(const char *topic, const void *payload, size_t len, int qos, int wait)
{
	MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
	MQTTAsync_message msg = MQTTAsync_message_initializer;
	int rc;

	if (!topic || !payload) {
		cv_log(0, "Publishing failed on topic %s %s\n", topic ? topic : "(null)", payload ? "" : "(no payload)");
		return -1;
	}
	cv_log(1, "Publishing on topic %s, qos %d, size=%d\n", topic, qos, (int)len);
	cv_log(3, "payload = %.*s\n", (int)(len > 4096 ? 4096 : len), (const char *)payload);
	if (len > 0x7fffffff || !agent.client) {
		cv_log(0, "FAILED to send mqtt message. rc = %d\n", MQTTASYNC_FAILURE);
		return -1;
	}
	msg.payload = (void *)payload;
	msg.payloadlen = (int)len;
	msg.qos = qos;
	msg.retained = 0;
	rc = MQTTAsync_sendMessage(agent.client, topic, &msg, &opts);
	if (rc != MQTTASYNC_SUCCESS) {
		cv_log(0, "FAILED to send mqtt message. rc = %d\n", rc);
		return -1;
	}
	/* A callback thread waiting for its own library would wait for itself. */
	if (wait && !on_library_thread) {
		rc = MQTTAsync_waitForCompletion(agent.client, opts.token, COMPLETION_WAIT_MS);
		if (rc != MQTTASYNC_SUCCESS) {
			cv_log(0, "Failed to delivery message (topic: %s)\n", topic);
			return -1;
		}
	}
	return 0;
}

int publish_text(const char *topic, const char *text, int qos, int wait)
{
	return publish(topic, text, text ? strlen(text) : 0, qos, wait);
}

int publish_json(const char *topic, json_t *doc, int qos, int wait)
{
	char *text = doc ? json_dumps(doc, JSON_COMPACT) : NULL;
	int rc = publish_text(topic, text, qos, wait);
	free(text);
	return rc;
}

int publish_node(const char *sub, const void *payload, size_t len, int qos, int wait)
{
	struct ids_copy c;
	char topic[TOPIC_MAX];

	agent_ids(&c);
	if (topic_node(topic, sizeof(topic), &c.ids, sub) < 0)
		return -1;
	return publish(topic, payload, len, qos, wait);
}

int publish_status_down(int wait)
{
	struct ids_copy c;
	char topic[TOPIC_MAX];
	json_t *doc = json_pack("{ss}", "status", "down");
	char *text = doc ? json_dumps(doc, 0) : NULL; /* {"status": "down"} */
	int rc = -1;

	agent_ids(&c);
	if (text && topic_control(topic, sizeof(topic), &c.ids, "status") == 0)
		rc = publish_text(topic, text, 2, wait);
	free(text);
	json_decref(doc);
	return rc;
}

/* ---- subscriptions ---- */

static struct topic_list *list_of(int which)
{
	return which == SUB_CONTROL ? &agent.control : which == SUB_NODE ? &agent.node : &agent.master;
}

static int *flag_of(int which)
{
	return which == SUB_CONTROL ? &agent.control_subbed : which == SUB_NODE ? &agent.node_subbed : &agent.master_subbed;
}

/* A subscription the broker answered with 0x80 for any topic failed.  The answer is one QoS for a
 * single topic and a list for more (a union: the count tells which). */
static int granted(MQTTAsync_successData *r, size_t count)
{
	if (!r)
		return 1;
	if (count > 1) {
		for (size_t i = 0; r->alt.qosList && i < count; i++)
			if (r->alt.qosList[i] == 0x80)
				return 0;
		return 1;
	}
	return r->alt.qos != 0x80;
}

static void on_subscribed(void *ctx, MQTTAsync_successData *r)
{
	callback_scope scope;
	wake_on_return wake;
	int which = (int)(intptr_t)ctx;

	agent_lock();
	size_t count = list_of(which)->count;
	agent_unlock();
	if (!granted(r, count)) {
		cv_log(0, "Subscribe failed, rc %d\n", 0x80);
		if (which == SUB_CONTROL && phase_now() == PHASE_OPER)
			phase_set(PHASE_AUTH);
		return;
	}
	cv_log(1, which == SUB_CONTROL ? "Control subscribe succeeded\n"
		  : which == SUB_NODE  ? "Node subscribe succeeded\n"
				       : "Master subscribe succeeded\n");
	agent_lock();
	*flag_of(which) = 1;
	agent_unlock();
	state_file_write();
}

static void on_subscribe_failed(void *ctx, MQTTAsync_failureData *r)
{
	callback_scope scope;
	wake_on_return wake;
	int which = (int)(intptr_t)ctx;

	cv_log(0, "Subscribe failed, rc %d\n", r ? r->code : 0);
	if (which == SUB_CONTROL && phase_now() == PHASE_OPER)
		phase_set(PHASE_AUTH);
	if (which == SUB_MASTER) {
		cv_log(0, "Master failed to subscribe to 'master only' topics!\n");
		agent_lock();
		agent.net_master = 0;
		agent_unlock();
	}
}

int subscribe_list(const struct topic_list *list, int which)
{
	MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
	char *names[TOPIC_LIST_MAX];
	int qos[TOPIC_LIST_MAX];
	int rc;

	agent_lock();
	*list_of(which) = *list;
	agent_unlock();
	cv_log(2, "Subscribing to %d topics:\n", (int)list->count);
	for (size_t i = 0; i < list->count; i++) {
		cv_log(2, "\t%s\n", list->name[i]);
		names[i] = (char *)list->name[i];
		qos[i] = 2;
	}
	opts.onSuccess = on_subscribed;
	opts.onFailure = on_subscribe_failed;
	opts.context = (void *)(intptr_t)which;
	rc = agent.client ? MQTTAsync_subscribeMany(agent.client, (int)list->count, names, qos, &opts)
			  : MQTTASYNC_FAILURE;
	if (rc != MQTTASYNC_SUCCESS) {
		cv_log(0, which == SUB_CONTROL ? "Failed to subscribe to contol subtopics. rc = %d\n"
					       : "Failed to subscribe to node subtopics. rc = %d\n",
		       rc);
		return -1;
	}
	return 0;
}

static void on_unsubscribed(void *ctx, MQTTAsync_successData *r)
{
	callback_scope scope;
	wake_on_return wake;
	int which = (int)(intptr_t)ctx;

	(void)r;
	cv_log(1, which == SUB_CONTROL ? "control unsubscribe succeeded\n"
		  : which == SUB_NODE  ? "Node unsubscribe succeeded\n"
				       : "Master unsubscribe succeeded\n");
	agent_lock();
	*flag_of(which) = 0;
	unsub_pending[which] = 0;
	agent_unlock();
	state_file_write();
}

static void on_unsubscribe_failed(void *ctx, MQTTAsync_failureData *r)
{
	callback_scope scope;
	int which = (int)(intptr_t)ctx;

	cv_log(0, which == SUB_CONTROL ? "Control unsubscribe failed, rc %d\n" : "Unsubscribe failed, rc %d\n",
	       r ? r->code : 0);
	agent_lock();
	unsub_pending[which] = 0;
	agent_unlock();
}

/* Asks for the unsubscription; a disconnected client or a refused request only clears the flag
 * (the broker forgets a clean session's subscriptions with the connection anyway). */
int unsubscribe_list(const struct topic_list *list, int which)
{
	MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
	char *names[TOPIC_LIST_MAX];
	int rc = MQTTASYNC_DISCONNECTED;

	agent_lock();
	int subbed = *flag_of(which);
	agent_unlock();
	if (!subbed)
		return 0;
	for (size_t i = 0; i < list->count; i++)
		names[i] = (char *)list->name[i];
	opts.onSuccess = on_unsubscribed;
	opts.onFailure = on_unsubscribe_failed;
	opts.context = (void *)(intptr_t)which;
	agent_lock();
	unsub_pending[which] = 1;
	agent_unlock();
	if (agent.client && MQTTAsync_isConnected(agent.client))
		rc = MQTTAsync_unsubscribeMany(agent.client, (int)list->count, names, &opts);
	if (rc == MQTTASYNC_SUCCESS)
		return 0;
	if (rc != MQTTASYNC_DISCONNECTED)
		cv_log(0, which == SUB_CONTROL ? "Failed to unsubscribe from control subtopics. rc = %d\n"
			  : which == SUB_NODE  ? "Failed to unsubscribe from node subtopics. rc = %d\n"
					       : "Failed to unsubscribe GA master subtopics. rc = %d\n",
		       rc);
	agent_lock();
	*flag_of(which) = 0;
	unsub_pending[which] = 0;
	agent_unlock();
	state_file_write();
	return rc == MQTTASYNC_DISCONNECTED ? 0 : -1;
}

/* The main loop's wait for an unsubscription it asked for, bounded. */
static void unsubscribe_wait(int which)
{
	struct topic_list *list = (struct topic_list *)malloc(sizeof(*list));

	if (!list)
		return;
	agent_lock();
	*list = *list_of(which);
	agent_unlock();
	unsubscribe_list(list, which);
	free(list);
	for (int waited = 0; waited < UNSUBSCRIBE_WAIT_MS; waited += 50) {
		agent_lock();
		int pending = unsub_pending[which];
		agent_unlock();
		if (!pending)
			return;
		struct timespec ts = { 0, 50 * 1000000L };
		nanosleep(&ts, NULL); /* not cut short by a stop: this is the stop */
	}
	cv_log(0, "Gave up waiting for the unsubscription\n");
	agent_lock();
	*flag_of(which) = 0;
	unsub_pending[which] = 0;
	agent_unlock();
}

/* ---- connection callbacks ---- */

static void clear_session_flags(void)
{
	agent.registered = 0;
	agent.control_subbed = 0;
	agent.node_subbed = 0;
	agent.master_subbed = 0;
	agent.net_master = 0;
}

static void on_connection_lost(void *ctx, char *cause)
{
	callback_scope scope;
	wake_on_return wake;

	(void)ctx;
	(void)cause;
	cv_log(0, "Connection lost to server\n");
	agent_lock();
	agent.conn_state = CONN_LOST;
	clear_session_flags();
	agent_unlock();
	if (phase_now() == PHASE_OPER)
		phase_set(PHASE_AUTH);
	state_file_write();
}

static void on_delivered(void *ctx, MQTTAsync_token token)
{
	(void)ctx;
	cv_log(2, "Message with token value %d delivery confirmed\n", token);
}

static void on_cert_subscribed(void *ctx, MQTTAsync_successData *r)
{
	callback_scope scope;
	wake_on_return wake;

	(void)ctx;
	if (!granted(r, 1)) {
		cv_log(0, "Cert subscribe failed, rc %d\n", 0x80);
		return;
	}
	cv_log(1, "Cert subscribe succeeded\n");
	cert_subbed.store(1);
}

static void on_cert_subscribe_failed(void *ctx, MQTTAsync_failureData *r)
{
	callback_scope scope;

	(void)ctx;
	cv_log(0, "Cert subscribe failed, rc %d\n", r ? r->code : 0);
}

static void subscribe_cert(void)
{
	MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
	int rc;

	cv_log(1, "Subscribing to %s topic\n", "init/crt/response");
	opts.onSuccess = on_cert_subscribed;
	opts.onFailure = on_cert_subscribe_failed;
	rc = MQTTAsync_subscribe(agent.client, "init/crt/response", 2, &opts);
	if (rc != MQTTASYNC_SUCCESS)
		cv_log(0, "Cert subscribe failed, rc %d\n", rc);
}

static void subscribe_control(void)
{
	struct ids_copy c;
	struct topic_list *list = (struct topic_list *)malloc(sizeof(*list));

	if (!list)
		return;
	agent_ids(&c);
	if (topic_control_list(list, &c.ids) == 0) {
		if (subscribe_list(list, SUB_CONTROL) < 0 && phase_now() == PHASE_OPER)
			phase_set(PHASE_AUTH);
	} else {
		cv_log(0, "Failed to subscribe to contol subtopics. rc = %d\n", -1);
	}
	free(list);
}

static void on_connected(void *ctx, MQTTAsync_successData *r)
{
	callback_scope scope;
	wake_on_return wake;
	int phase = (int)(intptr_t)ctx;
	char uri[sizeof(agent.uri)];

	(void)r;
	agent_lock();
	agent.conn_state = CONN_UP;
	memcpy(uri, agent.uri, sizeof(uri));
	agent_unlock();
	if (phase == PHASE_CERT) {
		cv_log(1, "connected to server %s for certificate\n", uri);
		subscribe_cert();
		return;
	}
	if (phase == PHASE_AUTH) {
		cv_log(1, "connected to server %s for authentification\n", uri);
		if (agent.test_server) {
			agent_exit.store(0);
			agent_stop.store(1);
			return;
		}
	} else {
		cv_log(1, "connected to server %s\n", uri);
	}
	subscribe_control();
}

static void on_connect_failed(void *ctx, MQTTAsync_failureData *r)
{
	callback_scope scope;
	wake_on_return wake;
	int phase = (int)(intptr_t)ctx;
	char uri[sizeof(agent.uri)];

	agent_lock();
	agent.conn_state = CONN_FAILED;
	memcpy(uri, agent.uri, sizeof(uri));
	agent_unlock();
	cv_log(2, "connect result %d %s\n", r ? r->code : 0, r && r->message ? r->message : "");
	if (phase == PHASE_CERT) {
		cv_log(0, "Connect failed to %s for certificate\n", uri);
	} else if (phase == PHASE_AUTH) {
		cv_log(0, "Connect failed to %s for authentification\n", uri);
		remove_cert();
		if (phase_now() == PHASE_AUTH)
			phase_set(PHASE_CERT);
	} else {
		cv_log(0, "Connect failed to %s\n", uri);
		if (phase_now() == PHASE_OPER)
			phase_set(PHASE_AUTH);
	}
}

/* ---- client life ---- */

static char *session_password;

static int client_create(int phase, const char *scheme, int port)
{
	MQTTAsync client;
	char uri[sizeof(agent.uri)];
	int rc;

	snprintf(uri, sizeof(uri), "%s://%s:%d", scheme, agent.host, port);
	agent_lock();
	memcpy(agent.uri, uri, sizeof(uri));
	agent.conn_state = CONN_IDLE;
	agent_unlock();
	rc = MQTTAsync_create(&client, uri, agent.client_id, MQTTCLIENT_PERSISTENCE_NONE, NULL);
	if (rc != MQTTASYNC_SUCCESS) {
		cv_log(0, "Failed to configure MQTT client, check if URI is correct, rc = %d\n", rc);
		return -1;
	}
	rc = MQTTAsync_setCallbacks(client, (void *)(intptr_t)phase, on_connection_lost, on_message, on_delivered);
	if (rc != MQTTASYNC_SUCCESS) {
		cv_log(0, "Failed to configure MQTT client, check if URI is correct, rc = %d\n", rc);
		MQTTAsync_destroy(&client);
		return -1;
	}
	agent.client = client;
	return 0;
}

static int client_connect(int phase)
{
	MQTTAsync_connectOptions opts = MQTTAsync_connectOptions_initializer;
	MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
	MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
	char will_topic[TOPIC_MAX];
	struct ids_copy c;

	opts.keepAliveInterval = phase == PHASE_OPER ? 20 : 60;
	opts.cleansession = 1;
	opts.connectTimeout = 10;
	opts.MQTTVersion = MQTTVERSION_3_1_1;
	opts.onSuccess = on_connected;
	opts.onFailure = on_connect_failed;
	opts.context = (void *)(intptr_t)phase;
	if (phase != PHASE_CERT) {
		ssl.trustStore = CV_CERTFILE;
		ssl.enableServerCertAuth = 1;
		/* Host name checking on the authentication connection unless -H; the operational one
		 * trusts the certificate fetched for it. */
		ssl.verify = phase == PHASE_AUTH && !agent.no_host_check;
		if (ssl.verify)
			ssl.sslVersion = MQTT_SSL_VERSION_TLS_1_0;
		opts.ssl = &ssl;
	}
	if (phase == PHASE_OPER) {
		agent_ids(&c);
		topic_control(will_topic, sizeof(will_topic), &c.ids, "status");
		will.topicName = will_topic;
		will.message = "{\"status\":\"down\"}";
		will.qos = 2;
		will.retained = 0;
		opts.will = &will;
		opts.username = agent.user;
		agent_lock();
		free(session_password);
		session_password = agent.password ? strdup(agent.password) : NULL;
		agent_unlock();
		opts.password = session_password;
	}
	agent_lock();
	agent.conn_state = CONN_PENDING;
	agent.disconnected = 0;
	agent_unlock();
	int rc = MQTTAsync_connect(agent.client, &opts);
	if (rc != MQTTASYNC_SUCCESS) {
		agent_lock();
		agent.conn_state = CONN_FAILED;
		agent_unlock();
		if (phase == PHASE_AUTH)
			cv_log(0, "Failed to connect auth servert %s, return code %d\n", agent.uri, rc);
		else
			cv_log(0, "Connect failed to %s\n", agent.uri);
		return -1;
	}
	return 0;
}

static void on_disconnected(void *ctx, MQTTAsync_successData *r)
{
	callback_scope scope;

	(void)ctx;
	(void)r;
	cv_log(1, "Successful disconnection\n");
	agent_lock();
	agent.disconnected = 1;
	agent_unlock();
}

static void on_disconnect_failed(void *ctx, MQTTAsync_failureData *r)
{
	callback_scope scope;

	(void)ctx;
	cv_log(0, "Disconnect failed, rc %d\n", r ? r->code : 0);
	agent_lock();
	agent.disconnected = -1;
	agent_unlock();
}

static void wait_disconnected(void)
{
	for (int waited = 0; waited < DISCONNECT_WAIT_MS; waited += 50) {
		agent_lock();
		int done = agent.disconnected;
		agent_unlock();
		if (done)
			return;
		struct timespec ts = { 0, 50 * 1000000L };
		nanosleep(&ts, NULL);
	}
}

static void client_destroy(void)
{
	for (int waited = 0; in_callback.load() && waited < CALLBACK_WAIT_MS; waited += 50) {
		struct timespec ts = { 0, 50 * 1000000L };
		nanosleep(&ts, NULL);
	}
	if (in_callback.load())
		cv_log(0, "A message handler is still running: the client is left to it\n");
	else
		MQTTAsync_destroy(&agent.client);
	agent.client = NULL;
}

/* The end of every phase and the exit: status down, unsubscriptions, flytrap, disconnect. */
static void session_disconnect(void)
{
	MQTTAsync_disconnectOptions opts = MQTTAsync_disconnectOptions_initializer;

	if (!agent.client)
		return;
	int connected = MQTTAsync_isConnected(agent.client);
	if (connected && phase_now() != PHASE_CERT)
		publish_status_down(1);
	unsubscribe_wait(SUB_CONTROL);
	unsubscribe_wait(SUB_NODE);
	unsubscribe_wait(SUB_MASTER);
	flytrap_stop();
	agent_lock();
	clear_session_flags();
	agent_unlock();
	cv_log(1, "disconnecting from %s\n", agent.uri);
	if (MQTTAsync_isConnected(agent.client)) {
		opts.timeout = DISCONNECT_WAIT_MS;
		opts.onSuccess = on_disconnected;
		opts.onFailure = on_disconnect_failed;
		if (MQTTAsync_disconnect(agent.client, &opts) == MQTTASYNC_SUCCESS)
			wait_disconnected();
	}
	client_destroy();
	agent_lock();
	agent.conn_state = CONN_IDLE;
	clear_session_flags();
	free(session_password);
	session_password = NULL;
	agent_unlock();
	state_file_write();
}

/* ---- the main loop's housekeeping, once per round ---- */

static void service_signals(void)
{
	if (dump_wanted.exchange(0))
		state_dump();
	if (level_wanted.exchange(0)) {
		int old = agent_verbosity.load();
		cv_log(0, "Current log level %d changing to %d\n", old, (old + 1) % 4);
		agent_verbosity.store((old + 1) % 4);
	}
}

static void attempt_failed(void)
{
	failures++;
	retry_pending = 1;
}

static void backoff_wait(void)
{
	unsigned s = retry_pending ? backoff_seconds(failures) : 0;

	retry_pending = 0;
	if (s) {
		cv_log(2, "next connection attempt in %u s\n", s);
		cv_sleep_ms(s * 1000);
	}
}

static void send_hello(void)
{
	struct ids_copy c;
	char topic[TOPIC_MAX];
	json_t *doc = script_json("/usr/share/lua/mqtt/hello.lua", NULL, 0);

	if (!doc)
		return;
	agent_ids(&c);
	json_object_set_new(doc, "requested_network", json_string(c.net));
	if (topic_hello(topic, sizeof(topic), &c.ids) == 0)
		publish_json(topic, doc, 2, 0);
	json_decref(doc);
}

static int elapsed(uint64_t *last, uint64_t period_ms)
{
	uint64_t now = mono_ms();

	if (*last && now - *last <= period_ms)
		return 0;
	*last = now;
	return 1;
}

/* ---- phase 0: the broker's certificate over the plain port ---- */

static void phase_cert(void)
{
	uint64_t last_request = 0;
	int waited = 0, ever = 0;

	if (access(CV_CERTFILE, R_OK) == 0) {
		phase_set(PHASE_AUTH);
		return;
	}
	backoff_wait();
	if (agent_stop.load())
		return;
	if (client_create(PHASE_CERT, "tcp", CV_PORT_PLAIN) < 0) {
		agent_exit.store(1);
		agent_stop.store(1);
		return;
	}
	cert_subbed.store(0);
	if (client_connect(PHASE_CERT) == 0) {
		while (!agent_stop.load() && phase_now() == PHASE_CERT) {
			service_signals();
			int st = conn_state();
			if (st == CONN_FAILED || st == CONN_LOST)
				break;
			if (st == CONN_UP) {
				ever = 1;
				waited = 0;
				if (cert_subbed.load() && elapsed(&last_request, 10000))
					publish("init/crt/request", "", 0, 2, 0);
			} else if (++waited >= (ever ? 10 : 30)) {
				break;
			}
			if (access(CV_CERTFILE, R_OK) == 0) {
				phase_set(PHASE_AUTH);
				break;
			}
			wake_wait(1000, NULL, 0);
		}
	}
	session_disconnect();
	if (phase_now() == PHASE_CERT && !agent_stop.load()) {
		attempt_failed();
		if (agent.test_server) {
			agent_exit.store(1);
			agent_stop.store(1);
		}
	}
}

/* ---- phase 1: the anonymous TLS session that yields the password ---- */

static int auth_failures;

static void auth_failed(void)
{
	attempt_failed();
	if (agent.test_server && ++auth_failures >= 3) {
		agent_exit.store(1);
		agent_stop.store(1);
	}
}

static void phase_auth(void)
{
	uint64_t last_hello = 0;
	int unconnected = 0;

	backoff_wait();
	if (agent_stop.load())
		return;
	if (client_create(PHASE_AUTH, "ssl", CV_PORT_TLS) < 0) {
		remove_cert();
		phase_set(PHASE_CERT);
		auth_failed();
		return;
	}
	if (client_connect(PHASE_AUTH) < 0) {
		session_disconnect();
		remove_cert();
		phase_set(PHASE_CERT);
		auth_failed();
		return;
	}
	while (!agent_stop.load() && phase_now() == PHASE_AUTH) {
		service_signals();
		int st = conn_state();
		if (st == CONN_FAILED || st == CONN_LOST)
			break;
		agent_lock();
		int ready = st == CONN_UP && agent.control_subbed;
		int have_password = agent.password != NULL;
		agent_unlock();
		if (ready) {
			unconnected = 0;
			if (actions_run())
				break;
			if (!have_password) {
				if (elapsed(&last_hello, 20000))
					send_hello();
			} else if (!configure_pending()) {
				phase_set(PHASE_OPER);
				break;
			}
		} else if (st != CONN_UP && ++unconnected >= 30) {
			cv_log(0, "No connection to %s for %d s\n", agent.uri, unconnected);
			remove_cert();
			phase_set(PHASE_CERT);
			break;
		}
		wake_wait(1000, NULL, 0);
	}
	session_disconnect();
	if (!agent_stop.load() && phase_now() != PHASE_OPER)
		auth_failed();
}

/* ---- phase 2: the operational session ---- */

static void publish_round(void)
{
	json_t *info = script_json("/usr/share/lua/mqtt/info.lua", NULL, 0);
	if (info) {
		char *text = json_dumps(info, JSON_COMPACT);
		if (text)
			publish_node("info", text, strlen(text), 2, 0);
		free(text);
		json_decref(info);
	}
	json_t *stats = script_json("/usr/share/lua/mqtt/stats.lua", NULL, 0);
	if (stats) {
		char *text = json_dumps(stats, JSON_COMPACT);
		if (text)
			publish_node("stats", text, strlen(text), 2, 0);
		free(text);
		json_decref(stats);
	}
	secure_logging_round(1);
}

/* The wait that ends a round: the watched directories, the child pipes and wake-ups, at most
 * timeout_ms. */
static int round_wait(int timeout_ms)
{
	struct pollfd fds[3];
	int n = 0;
	int fd = watch_fd();

	if (fd >= 0) {
		fds[0].fd = fd;
		fds[0].events = POLLIN;
		n = 1;
	}
	n += pipes_pollfds(fds + n, 2);
	int r = wake_wait(timeout_ms, fds, n);
	if (r < 0) {
		cv_log(0, "poll error ! errno: %d\n", errno);
		agent_stop.store(1);
		return -1;
	}
	if (r > 0 && fd >= 0 && (fds[0].revents & POLLIN))
		watch_events();
	return 0;
}

static void phase_oper(void)
{
	uint64_t last_stats = 0, last_hello = 0;
	int forwarded = 0, pending = 0;

	backoff_wait();
	if (agent_stop.load())
		return;
	if (client_create(PHASE_OPER, "ssl", CV_PORT_TLS) < 0) {
		phase_set(PHASE_AUTH);
		attempt_failed();
		return;
	}
	if (client_connect(PHASE_OPER) < 0) {
		session_disconnect();
		phase_set(PHASE_AUTH);
		attempt_failed();
		return;
	}
	watch_start();
	while (!agent_stop.load() && phase_now() == PHASE_OPER) {
		service_signals();
		int st = conn_state();
		if (st == CONN_FAILED || st == CONN_LOST)
			break;
		agent_lock();
		int ready = st == CONN_UP && agent.control_subbed;
		int registered = agent.registered, node = agent.node_subbed;
		uint64_t period = (uint64_t)agent.interval * 1000;
		agent_unlock();
		if (!ready) {
			/* the connect time-out is 10 s: a request never answered is given up after 20 */
			if (++pending > 20) {
				cv_log(0, "Connect failed to %s\n", agent.uri);
				phase_set(PHASE_AUTH);
				break;
			}
			wake_wait(1000, NULL, 0);
			continue;
		}
		pending = 0;
		failures = 0;
		if (actions_run())
			break;
		forwarded = pipes_service();
		secure_logging_round(0);
		if (registered && node) {
			if (elapsed(&last_stats, period))
				publish_round();
		} else if (!registered) {
			if (elapsed(&last_hello, period))
				send_hello();
		}
		if (round_wait(forwarded ? 0 : pipes_linktest_running() ? 300 : 1000) < 0)
			break;
	}
	int failed = conn_state() != CONN_UP;
	pipes_close();
	watch_stop();
	session_disconnect();
	agent_lock();
	free(agent.password);
	agent.password = NULL;
	agent_unlock();
	if (!agent_stop.load()) {
		if (failed)
			attempt_failed();
		phase_set(PHASE_AUTH);
	}
}

int session_run(void)
{
	if (wake_init() < 0)
		cv_log(0, "Cannot create the wake-up descriptor: rounds take their full second\n");
	phase_set(PHASE_CERT);
	while (!agent_stop.load()) {
		switch (phase_now()) {
		case PHASE_CERT:
			phase_cert();
			break;
		case PHASE_AUTH:
			phase_auth();
			break;
		default:
			phase_oper();
			break;
		}
	}
	session_disconnect();
	return agent_exit.load();
}
