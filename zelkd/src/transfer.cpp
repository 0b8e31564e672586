/* HTTP(S) transfers on the agent's multi handle: the heartbeat post with its reply file, and the loop
 * that drives any transfer (the firmware download uses it too). */
#include "zelkd.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <unistd.h>

#include "common/daemon.h"
#include "common/fileio.h"
#include "paths.h"

#define SELECT_MS 500

static void close_reply(struct zelk_state *s)
{
	if (s->reply_fd >= 0) {
		close(s->reply_fd);
		s->reply_fd = -1;
	}
}

static size_t reply_writer(char *data, size_t size, size_t n, void *ctx)
{
	struct zelk_state *s = (struct zelk_state *)ctx;
	size_t len = size * n;

	if (s->reply_fd < 0) {
		snprintf(s->reply_name, sizeof(s->reply_name), "%s", ZELK_REPLY_TMP);
		s->reply_fd = mkstemp(s->reply_name);
		if (s->reply_fd < 0) {
			log_message(KTRV_LOG_DEBUG, "Cannot open file %s: %s.\n", s->reply_name, strerror(errno));
			s->reply_name[0] = '\0';
			return 0;
		}
		log_message(KTRV_LOG_DEBUG, "Filename: %s.\n", s->reply_name);
	}
	if (write_all(s->reply_fd, data, len) < 0) {
		log_message(KTRV_LOG_ERROR, "Cannot write to file %s: %s.\n", s->reply_name, strerror(errno));
		s->reply_failed = 1;
		return 0;
	}
	return len;
}

static int percent(curl_off_t done, curl_off_t total)
{
	return total > 0 ? (int)(done * 100 / total) : 0;
}

static int progress(void *ctx, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow)
{
	struct zelk_state *s = (struct zelk_state *)ctx;

	s->up_progress = percent(ulnow, ultotal);
	s->down_progress = percent(dlnow, dltotal);
	log_message(KTRV_LOG_DEBUG, "Progress: upload: %d%%, download: %d%%.\n", s->up_progress, s->down_progress);
	return zelk_stop ? 1 : 0;
}

static int debug_dump(CURL *, curl_infotype type, char *data, size_t size, void *ctx)
{
	struct zelk_state *s = (struct zelk_state *)ctx;

	if (type == CURLINFO_TEXT) {
		log_message(KTRV_LOG_DEBUG, "curl: %.*s", (int)size, data);
		return 0;
	}
	if (s->dump_fd >= 0 && type >= CURLINFO_HEADER_IN && type <= CURLINFO_DATA_OUT &&
	    write_all(s->dump_fd, data, size) < 0)
		log_message(KTRV_LOG_ERROR, "%s:%d: truncated write?\n", __FILE__, __LINE__);
	return 0;
}

int zelk_post_init(struct zelk_state *s, const char *body, size_t len)
{
	CURL *e = s->easy;
	int fresh = !s->persistent;
	CURLcode rc = CURLE_OK;

	curl_easy_reset(e);
#define SET(opt, val)                                       \
	do {                                                \
		if (rc == CURLE_OK)                         \
			rc = curl_easy_setopt(e, opt, val); \
	} while (0)
	SET(CURLOPT_URL, s->url);
	SET(CURLOPT_PROTOCOLS_STR, "http,https");
	SET(CURLOPT_FAILONERROR, 1L);
	SET(CURLOPT_VERBOSE, (long)s->verbose);
	SET(CURLOPT_NOPROGRESS, 0L);
	SET(CURLOPT_XFERINFOFUNCTION, progress);
	SET(CURLOPT_XFERINFODATA, s);
	SET(CURLOPT_HEADER, 0L);
	SET(CURLOPT_TIMEOUT, (long)s->timeout);
	SET(CURLOPT_SSLVERSION, (long)CURL_SSLVERSION_TLSv1);
	SET(CURLOPT_SSL_SESSIONID_CACHE, 0L);
	SET(CURLOPT_SSL_VERIFYPEER, (long)s->verify_peer);
	SET(CURLOPT_SSL_VERIFYHOST, (long)s->verify_host);
	SET(CURLOPT_CONNECTTIMEOUT, (long)s->connect_timeout);
	SET(CURLOPT_HEADERDATA, s);
	SET(CURLOPT_WRITEDATA, s);
	SET(CURLOPT_WRITEFUNCTION, reply_writer);
	SET(CURLOPT_NOSIGNAL, 0L);
	SET(CURLOPT_USERAGENT, "zelk-agent/1.0");
	if (s->verbose || s->dump_request) {
		SET(CURLOPT_DEBUGFUNCTION, debug_dump);
		SET(CURLOPT_DEBUGDATA, s);
		/* the debug function is only called in verbose mode */
		SET(CURLOPT_VERBOSE, 1L);
	}
	SET(CURLOPT_FRESH_CONNECT, (long)fresh);
	SET(CURLOPT_FORBID_REUSE, (long)fresh);
	/* The document is not terminated: its size goes with it. */
	SET(CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)len);
	SET(CURLOPT_POSTFIELDS, body);
#undef SET
	return rc == CURLE_OK ? 0 : -1;
}

int zelk_curl_transfer_done_ok(CURLM *multi, CURL *easy)
{
	CURLMsg *m;
	int left;

	while ((m = curl_multi_info_read(multi, &left))) {
		if (m->msg != CURLMSG_DONE || m->easy_handle != easy)
			continue;
		if (m->data.result != CURLE_OK) {
			log_message(KTRV_LOG_ERROR, "HTTP/1.x request failed, error: '%s'.\n",
				    curl_easy_strerror(m->data.result));
			return -1;
		}
		long code = 0;
		curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
		if (code < 200 || code > 399) {
			log_message(KTRV_LOG_ERROR, "Got HTTP response: %ld, something else than 2xx/3xx.\n", code);
			return -1;
		}
		return 0;
	}
	log_message(KTRV_LOG_ERROR, "Request did not finish.\n");
	return -1;
}

/* Waits for libcurl's descriptors at most SELECT_MS.  A signal only repeats the wait (the discovery
 * daemon signals the agent on every request it answers); a stop request ends it.  -1 on a failure
 * that ends the transfer. */
static int wait_curl(CURLM *multi)
{
	uint64_t deadline = mono_ms() + SELECT_MS;
	long curl_ms = -1;

	curl_multi_timeout(multi, &curl_ms);
	if (curl_ms >= 0 && curl_ms < SELECT_MS)
		deadline = mono_ms() + (uint64_t)curl_ms;
	for (;;) {
		fd_set r, w, x;
		int maxfd = -1;
		FD_ZERO(&r);
		FD_ZERO(&w);
		FD_ZERO(&x);
		if (curl_multi_fdset(multi, &r, &w, &x, &maxfd) != CURLM_OK || maxfd >= FD_SETSIZE)
			return -1;
		uint64_t now = mono_ms();
		uint64_t left = deadline > now ? deadline - now : 0;
		struct timeval tv = { (time_t)(left / 1000), (suseconds_t)(left % 1000) * 1000 };
		int n = select(maxfd + 1, maxfd >= 0 ? &r : NULL, maxfd >= 0 ? &w : NULL, maxfd >= 0 ? &x : NULL, &tv);
		if (n >= 0)
			return 0;
		if (errno != EINTR)
			return -1;
		if (zelk_stop)
			return 0;
	}
}

int zelk_transfer(CURLM *multi, CURL *easy, unsigned limit_s)
{
	uint64_t start = mono_ms();
	int running = 1;

	if (curl_multi_add_handle(multi, easy) != CURLM_OK)
		return -1;
	curl_multi_perform(multi, &running);
	while (running && !zelk_stop) {
		if (wait_curl(multi) < 0) {
			log_message_errno(KTRV_LOG_ERROR, "select(2) failed !\n");
			break;
		}
		if (curl_multi_perform(multi, &running) != CURLM_OK)
			break;
		if ((mono_ms() - start) / 1000 > limit_s)
			break;
	}
	int ret = zelk_curl_transfer_done_ok(multi, easy);
	curl_multi_remove_handle(multi, easy);
	return ret;
}

int zelk_post(struct zelk_state *s)
{
	s->reply_fd = -1;
	s->reply_failed = 0;
	s->reply_name[0] = '\0';
	s->dump_fd = -1;
	if (s->dump_request)
		s->dump_fd = open(ZELK_REQUEST_DUMP, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
	int ret = zelk_transfer(s->multi, s->easy, s->timeout);
	if (s->dump_fd >= 0) {
		close(s->dump_fd);
		s->dump_fd = -1;
	}
	close_reply(s);
	if (ret == 0 && s->reply_failed)
		ret = -1;
	if (ret == 0) {
		/* A reply without a body leaves no file: the last reply must not be read again. */
		if (!s->reply_name[0])
			unlink(ZELK_REPLY);
		else if (rename(s->reply_name, ZELK_REPLY) < 0)
			ret = -1;
	}
	if (ret < 0) {
		if (s->reply_name[0])
			unlink(s->reply_name);
		unlink(ZELK_REPLY);
	}
	s->reply_name[0] = '\0';
	return ret;
}
