/* Tasks of the server: queued from the reply, one performed per round, each ending in a result line
 * that the next heartbeat carries.  A result says "ok" only once the action has succeeded. */
#include "zelkd.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base64.h"
#include "common/daemon.h"
#include "common/fileio.h"
#include "common/run.h"
#include "common/text.h"
#include "paths.h"

static const struct {
	const char *type;
	int code;
	int (*run)(struct zelk_state *s, struct zelk_task *t);
} task_types[] = {
	{ "config-upload", ZELK_TASK_CONFIG_UPLOAD, zelk_config_fetch_xml },
	{ "config-download", ZELK_TASK_CONFIG_DOWNLOAD, zelk_config_apply_xml },
	{ "config-download-merge", ZELK_TASK_CONFIG_MERGE, zelk_config_apply_xml },
	{ "firmware-upgrade", ZELK_TASK_FIRMWARE_UPGRADE, zelk_upgrade_firmware },
	{ "firmware-download", ZELK_TASK_FIRMWARE_DOWNLOAD, zelk_firmware_download },
	{ "reboot", ZELK_TASK_REBOOT, zelk_reboot_device },
	{ "troubleshoot-upload", ZELK_TASK_TROUBLESHOOT, zelk_troubleshoot_fetch_xml },
};

#define N_TYPES (sizeof(task_types) / sizeof(task_types[0]))

struct zelk_task *zelk_job_create(void)
{
	struct zelk_task *t = (struct zelk_task *)calloc(1, sizeof(*t));
	if (t)
		list_init(&t->link);
	return t;
}

void zelk_job_destroy(struct zelk_task *t)
{
	if (!t)
		return;
	free(t->id);
	free(t->type);
	free(t->input);
	free(t->result);
	free(t);
}

int zelk_validate_request(struct zelk_task *t)
{
	if (!t->type || !t->id || !t->id[0])
		return -1;
	for (size_t i = 0; i < N_TYPES; i++)
		if (strcmp(t->type, task_types[i].type) == 0) {
			t->code = task_types[i].code;
			return 0;
		}
	log_message(KTRV_LOG_DEBUG, "#### Unknown content type %s. ####\n", t->type);
	return -1;
}

void zelk_tasks_destroy(struct zelk_state *s)
{
	list_for_each_safe (pos, n, &s->tasks) {
		list_del(pos);
		zelk_job_destroy(list_entry(pos, struct zelk_task, link));
	}
}

int zelk_tasks_now(struct zelk_state *s)
{
	if (list_empty(&s->tasks))
		return -1;
	struct zelk_task *t = list_entry(s->tasks.next, struct zelk_task, link);
	list_del(&t->link);
	log_message(KTRV_LOG_DEBUG, "Got task: task_id: %s, data_in %.*s.\n", t->id,
		    t->input_len > 256 ? 256 : (int)t->input_len, t->input ? t->input : "");
	for (size_t i = 0; i < N_TYPES; i++)
		if (task_types[i].code == t->code) {
			log_message(KTRV_LOG_DEBUG, "Perform task: id=%s, type=%s.\n", t->id, t->type);
			task_types[i].run(s, t);
			break;
		}
	zelk_job_destroy(t);
	return 0;
}

/* ---- result lines ---- */

int flush_task_xml(const char *id, int status, const char *type, const char *text, const char *path)
{
	if (!id || !type || !path)
		return -1;
	FILE *f = fopen(path, "ae");
	if (!f) {
		log_message(KTRV_LOG_ERROR, "Cannot open file %s.\n", path);
		return -1;
	}
	if (file_size(path) > ZELK_FILE_LIMIT) {
		log_message(KTRV_LOG_ERROR, "File %s size exceeds the limit %d, skipping appending.\n", path,
			    ZELK_FILE_LIMIT);
		fclose(f);
		return -1;
	}
	int bad = fputs("\t<task-result id=\"", f) < 0 || zelk_put_escaped(f, id) < 0 ||
		  fprintf(f, "\" status=\"%s\" type=\"", status == 1 ? "ok" : "failed") < 0 ||
		  zelk_put_escaped(f, type) < 0 || fputs("\">", f) < 0 || zelk_put_escaped(f, text ? text : "") < 0 ||
		  fputs("</task-result>\n", f) < 0;
	if (fclose(f) != 0)
		bad = 1;
	return bad ? -1 : 0;
}

static int result(struct zelk_task *t, int ok, const char *text, const char *path)
{
	return flush_task_xml(t->id, ok, t->type, text, path);
}

/* ---- helpers run for tasks ---- */

/* Runs the program; the raw status, or -1 when it could not be started. */
static int run(const char *const argv[], const char *stdout_path)
{
	struct run_opts o = {};
	int status;

	o.stdin_path = "/dev/null";
	o.stdout_path = stdout_path;
	if (!stdout_path) {
		char *const *v = (char *const *)argv;
		return run_helper(v, &status) < 0 ? -1 : status;
	}
	status = run_argv(argv, &o);
	return status;
}

/* ---- config-upload ---- */

int zelk_config_fetch_xml(struct zelk_state *s, struct zelk_task *t)
{
	const char *argv[] = { s->path_sysconf, "-r", NULL };
	char *data = NULL, *b64 = NULL;
	size_t b64_size;
	int len, ok = 0;

	int fd = open(ZELK_CONFIG_FETCH_TMP, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
	if (fd < 0) {
		log_message(KTRV_LOG_ERROR, "Cannot create temporary file %s.\n", ZELK_CONFIG_FETCH_TMP);
		goto done;
	}
	close(fd);
	{
		int st = run(argv, ZELK_CONFIG_FETCH_TMP);
		if (st == -1) {
			log_message(KTRV_LOG_ERROR, "Cannot fork.\n");
			goto done;
		}
		log_message(KTRV_LOG_DEBUG, "'%s', exit status: %d.\n", s->path_sysconf,
			    WIFEXITED(st) ? WEXITSTATUS(st) : -1);
		if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
			log_message(KTRV_LOG_ERROR, "Cannot execute sysconf -r.\n");
			goto done;
		}
	}
	data = load_file(ZELK_CONFIG_FETCH_TMP, &len);
	if (!data) {
		log_message(KTRV_LOG_ERROR, "Cannot load config file %s.\n", ZELK_CONFIG_FETCH_TMP);
		goto done;
	}
	if (b64_encode(data, (size_t)len, &b64, &b64_size) < 0) {
		log_message(KTRV_LOG_ERROR, "Failed memory allocation\n");
		log_message(KTRV_LOG_ERROR, "Cannot convert configuration to base64 format.\n");
		goto done;
	}
	ok = result(t, 1, b64, ZELK_TASKS_XML) == 0;
done:
	free(data);
	free(b64);
	unlink(ZELK_CONFIG_FETCH_TMP);
	if (!ok && result(t, 0, "Failed to read configuration from flash", ZELK_TASKS_XML) < 0)
		log_message(KTRV_LOG_ERROR, "Cannot read configuration from flash.\n");
	return ok ? 0 : -1;
}

/* ---- config-download, config-download-merge ---- */

static int store_config(struct zelk_task *t)
{
	unsigned char *data = NULL;
	size_t len;

	if (!t->input || b64_decode(t->input, t->input_len, &data, &len) < 0) {
		log_message(KTRV_LOG_ERROR,
			    errno == ENOMEM ? "Failed memory allocation\n" : "Failed decoding from base64\n");
		return -1;
	}
	int r = flush_file(ZELK_CONFIG_APPLY_TMP, data, (int)len);
	free(data);
	if (r < 0) {
		log_message(KTRV_LOG_ERROR, "Cannot write to file %s.\n", ZELK_CONFIG_APPLY_TMP);
		unlink(ZELK_CONFIG_APPLY_TMP);
		return -1;
	}
	const char *argv[] = { ZELK_STORE_CONFIG, ZELK_CONFIG_APPLY_TMP, NULL };
	int st = run(argv, NULL);
	unlink(ZELK_CONFIG_APPLY_TMP);
	if (st == -1) {
		log_message(KTRV_LOG_WARNING, "Cannot execute helper program for saving configuration.\n");
		return -1;
	}
	return zelk_helper_ok("saving configuration", st) ? 0 : -1;
}

int zelk_config_apply_xml(struct zelk_state *, struct zelk_task *t)
{
	/* An error text left by an earlier run must not be taken for this one's. */
	unlink(ZELK_STORE_CONFIG_ERROR);
	if (store_config(t) == 0) {
		unlink(ZELK_STORE_CONFIG_ERROR);
		return result(t, 1, "", ZELK_TASKS_XML);
	}
	log_message(KTRV_LOG_ERROR, "Cannot store configuration.\n");
	char *text = read_file(ZELK_STORE_CONFIG_ERROR, NULL);
	if (text)
		trimr_string(text);
	const char *why = text && text[0] ? text : "Failed to write configuration to flash";
	if (result(t, 0, why, ZELK_TASKS_XML) < 0)
		log_message(KTRV_LOG_ERROR, "%s\n", why);
	free(text);
	unlink(ZELK_STORE_CONFIG_ERROR);
	return -1;
}

/* ---- firmware-download ---- */

struct download {
	FILE *f;
	int failed;
};

static size_t download_writer(char *data, size_t size, size_t n, void *ctx)
{
	struct download *d = (struct download *)ctx;
	size_t len = size * n;

	if (!d->f && !(d->f = fopen(ZELK_FIRMWARE_FILE, "wbe"))) {
		d->failed = 1;
		return 0;
	}
	if (fwrite(data, 1, len, d->f) != len) {
		d->failed = 1;
		return 0;
	}
	return len;
}

static int download(struct zelk_state *s, const char *url)
{
	struct download d = { NULL, 0 };
	CURL *e = curl_easy_init();
	CURLcode rc = CURLE_OK;
	int ret = -1;

	if (!e)
		return -1;
#define SET(opt, val)                                       \
	do {                                                \
		if (rc == CURLE_OK)                         \
			rc = curl_easy_setopt(e, opt, val); \
	} while (0)
	SET(CURLOPT_URL, url);
	/* The URL is the server's: only the transfer protocols, never files or other schemes. */
	SET(CURLOPT_PROTOCOLS_STR, "http,https");
	SET(CURLOPT_FAILONERROR, 1L);
	SET(CURLOPT_VERBOSE, (long)s->verbose);
	SET(CURLOPT_SSLVERSION, (long)CURL_SSLVERSION_TLSv1);
	SET(CURLOPT_SSL_SESSIONID_CACHE, 0L);
	SET(CURLOPT_SSL_VERIFYPEER, 0L);
	SET(CURLOPT_SSL_VERIFYHOST, 2L);
	SET(CURLOPT_TIMEOUT, (long)ZELK_DOWNLOAD_LIMIT);
	SET(CURLOPT_CONNECTTIMEOUT, (long)s->connect_timeout);
	SET(CURLOPT_WRITEFUNCTION, download_writer);
	SET(CURLOPT_WRITEDATA, &d);
	SET(CURLOPT_NOSIGNAL, 0L);
	SET(CURLOPT_USERAGENT, "zelk-agent/1.0");
#undef SET
	if (rc == CURLE_OK)
		ret = zelk_transfer(s->multi, e, ZELK_DOWNLOAD_LIMIT);
	curl_easy_cleanup(e);
	if (d.f && fclose(d.f) != 0)
		ret = -1;
	if (d.failed || !d.f)
		ret = -1;
	return ret;
}

int zelk_firmware_download(struct zelk_state *s, struct zelk_task *t)
{
	/* the element's text may be indented like the rest of the reply */
	const char *url = t->input ? trim(t->input) : "";

	unlink(ZELK_FIRMWARE_FILE);
	if (!url[0] || download(s, url) < 0) {
		/* a cut transfer leaves part of an image in RAM-backed /tmp */
		unlink(ZELK_FIRMWARE_FILE);
		log_message(KTRV_LOG_ERROR, "Cannot download file via HTTP.\n");
		log_message(KTRV_LOG_ERROR, "Cannot download firmware from %s URL.\n", url);
		return result(t, 0, "Failed to download firmware", ZELK_TASKS_XML);
	}
	const char *argv[] = { s->path_fwupdate, "-c", NULL };
	int st = run(argv, NULL);
	if (st == -1)
		log_message(KTRV_LOG_ERROR, "Cannot execute helper program for computing firmware checksum.\n");
	if (st != -1 && zelk_helper_ok("computing firmware checksum", st))
		return result(t, 1, "Uploaded", ZELK_TASKS_XML);
	log_message(KTRV_LOG_ERROR, "Downloaded firmware file is corrupted or invalid.\n");
	unlink(ZELK_FIRMWARE_FILE);
	return result(t, 0, "Downloaded firmware file is corrupted or invalid", ZELK_TASKS_XML);
}

/* ---- firmware-upgrade, reboot ---- */

/* The "ok" that must be in /data before the device goes down is taken back when the program
 * returned a failure: the file is cut back to where the line began. */
static void take_back(struct zelk_task *t, off_t before, const char *why)
{
	if (truncate(ZELK_TASKS_XML_KEPT, before) < 0 && before == 0)
		unlink(ZELK_TASKS_XML_KEPT);
	result(t, 0, why, ZELK_TASKS_XML_KEPT);
}

static void restarting(struct zelk_state *s)
{
	s->restarting = 1;
	s->restarting_since_ms = mono_ms();
}

int zelk_upgrade_firmware(struct zelk_state *s, struct zelk_task *t)
{
	const char *check[] = { s->path_fwupdate, "-c", NULL };
	const char *install[] = { s->path_fwupdate, NULL };
	char why[96];

	int st = run(check, NULL);
	if (st == -1 || !zelk_helper_ok("computing firmware checksum", st)) {
		log_message(KTRV_LOG_WARNING, "Firmware file check failed, will NOT upgrade.\n");
		return result(t, 0, "Invalid firmware file", ZELK_TASKS_XML_KEPT);
	}
	off_t before = (off_t)file_size(ZELK_TASKS_XML_KEPT);
	result(t, 1, "", ZELK_TASKS_XML_KEPT);
	st = run(install, NULL);
	if (st == -1) {
		log_message(KTRV_LOG_WARNING, "Cannot execute helper program for upgrading firmware.\n");
		take_back(t, before, "Cannot execute firmware installer");
		return -1;
	}
	if (!zelk_helper_ok("upgrading firmware", st)) {
		snprintf(why, sizeof(why), "Firmware installer failed, %s %d",
			 WIFSIGNALED(st) ? "signal" : "exit status", WIFSIGNALED(st) ? WTERMSIG(st) : WEXITSTATUS(st));
		take_back(t, before, why);
		return -1;
	}
	restarting(s);
	return 0;
}

int zelk_reboot_device(struct zelk_state *s, struct zelk_task *t)
{
	const char *argv[] = { s->path_reboot, NULL };
	char why[96];

	off_t before = (off_t)file_size(ZELK_TASKS_XML_KEPT);
	result(t, 1, "", ZELK_TASKS_XML_KEPT);
	log_message(KTRV_LOG_DEBUG, "ZELK server requested a reboot.\n");
	int st = run(argv, NULL);
	if (st == -1 || !zelk_helper_ok("rebooting", st)) {
		log_message(KTRV_LOG_ERROR, "Reboot has failed.\n");
		if (st == -1)
			snprintf(why, sizeof(why), "Reboot has failed");
		else
			snprintf(why, sizeof(why), "Reboot has failed, %s %d",
				 WIFSIGNALED(st) ? "signal" : "exit status",
				 WIFSIGNALED(st) ? WTERMSIG(st) : WEXITSTATUS(st));
		take_back(t, before, why);
		return -1;
	}
	restarting(s);
	return 0;
}

/* ---- troubleshoot-upload ---- */

int zelk_troubleshoot_fetch_xml(struct zelk_state *, struct zelk_task *t)
{
	const char *argv[] = { ZELK_TROUBLESHOOT, "-o", ZELK_TROUBLESHOOT_TAR, NULL };
	char *data = NULL, *b64 = NULL;
	size_t b64_size;
	int len, ok = 0;

	int st = run(argv, NULL);
	if (st == -1)
		log_message(KTRV_LOG_WARNING,
			    "Cannot execute helper program for gathering troubleshooting information.\n");
	if (st == -1 || !zelk_helper_ok("gathering troubleshooting information", st)) {
		log_message(KTRV_LOG_WARNING, "Cannot collect troubleshooting information.\n");
		goto done;
	}
	data = load_file(ZELK_TROUBLESHOOT_TAR, &len);
	if (!data) {
		log_message(KTRV_LOG_ERROR, "Cannot read troubleshoot file %s.\n", ZELK_TROUBLESHOOT_TAR);
		goto done;
	}
	if (b64_encode(data, (size_t)len, &b64, &b64_size) < 0) {
		log_message(KTRV_LOG_ERROR, "Failed memory allocation\n");
		log_message(KTRV_LOG_ERROR, "Cannot convert troubleshoot file to base64 format.\n");
		goto done;
	}
	/* The archive's copies are the largest memory the agent ever holds: freed before the append. */
	free(data);
	data = NULL;
	ok = result(t, 1, b64, ZELK_TASKS_XML) == 0;
done:
	free(data);
	free(b64);
	unlink(ZELK_TROUBLESHOOT_TAR);
	if (!ok)
		result(t, 0, "Failed to get troubleshoot file from device", ZELK_TASKS_XML);
	return ok ? 0 : -1;
}
