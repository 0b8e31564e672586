/* The heartbeat document and one heartbeat round: snapshot, document, post, reply. */
#include "zelkd.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/fileio.h"
#include "common/run.h"
#include "paths.h"

#define MD5_TEXT 32

static int text_element(FILE *f, const char *name, const char *text)
{
	if (fprintf(f, "  <%s>", name) < 0 || zelk_put_escaped(f, text ? text : "") < 0)
		return -1;
	return fprintf(f, "</%s>\n", name) < 0 ? -1 : 0;
}

static int number_element(FILE *f, const char *name, long long value)
{
	return fprintf(f, "  <%s>%lld</%s>\n", name, value, name) < 0 ? -1 : 0;
}

/* The checksum line of the configuration tool, or "" when it cannot be had. */
static void config_md5(const struct zelk_state *s, char out[MD5_TEXT + 1])
{
	char text[MD5_TEXT + 2];
	const char *argv[] = { s->path_sysconf, "-C", NULL };
	struct run_opts o = {};

	out[0] = '\0';
	o.stdin_path = "/dev/null";
	o.output = text;
	o.output_size = sizeof(text);
	int st = run_argv(argv, &o);
	if (st == -1 || !WIFEXITED(st) || WEXITSTATUS(st) != 0)
		return;
	text[strcspn(text, "\r\n")] = '\0';
	zelk_copy_text(out, MD5_TEXT + 1, text);
}

static unsigned long uptime_seconds(void)
{
	char text[64];
	ssize_t n = read_prefix("/proc/uptime", text, sizeof(text) - 1);

	if (n <= 0)
		return 0;
	text[n] = '\0';
	return strtoul(text, NULL, 10);
}

static int header(struct zelk_state *s, FILE *f)
{
	char serial[64], md5[MD5_TEXT + 1], attrs[96];

	if (fprintf(f, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<heartbeat version=\"2\">\n") < 0 ||
	    fprintf(f, "  <counter>%lu</counter>\n", s->counter) < 0 ||
	    text_element(f, "mac-address", s->info.eth_mac) < 0 || text_element(f, "ip-address", s->info.device_ip) < 0)
		return -1;
	if (!read_serial_no(serial, sizeof(serial)))
		log_message(KTRV_LOG_ERROR, "Cannot get device serial number.\n");
	else if (text_element(f, "serial-number", serial) < 0)
		return -1;
	if (text_element(f, "device-name", s->device_name) < 0 ||
	    text_element(f, "firmware-revision", s->info.firmware) < 0)
		return -1;
	config_md5(s, md5);
	if (!md5[0])
		log_message(KTRV_LOG_FATAL, "Cannot read configuration checksum.\n");
	else if (text_element(f, "config-MD5", md5) < 0)
		return -1;
	if (s->longitude != 0 && s->latitude != 0) {
		snprintf(attrs, sizeof(attrs), "longitude=\"%f\" latitude=\"%f\"", (double)s->longitude,
			 (double)s->latitude);
		if (fprintf(f, "  <coordinates %s></coordinates>\n", attrs) < 0)
			return -1;
	}
	if (s->location && text_element(f, "location", s->location) < 0)
		return -1;
	return 0;
}

/* "40+" gives 40 and level above, "20" gives 20, "0" or text gives nothing. */
static int channel_width(FILE *f, const char *width)
{
	char text[16];

	if (atoi(width) == 0)
		return 0;
	zelk_copy_text(text, sizeof(text), width);
	size_t n = strlen(text);
	while (n > 0 && !isdigit((unsigned char)text[n - 1]))
		text[--n] = '\0';
	const char *level = strchr(width, '+') ? " level=\"above\"" : strchr(width, '-') ? " level=\"below\"" : "";
	if (fprintf(f, "  <channel-width%s>", level) < 0 || zelk_put_escaped(f, text) < 0)
		return -1;
	return fprintf(f, "</channel-width>\n") < 0 ? -1 : 0;
}

static int signal_element(FILE *f, int chain, int value)
{
	return fprintf(f, "  <signal antenna=\"%d\">%d</signal>\n", chain, value) < 0 ? -1 : 0;
}

static int remote_state(FILE *f, const struct zelk_peer *p)
{
	if (fprintf(f, "<remote-state mac=\"") < 0 || zelk_put_escaped(f, p->mac) < 0 || fprintf(f, "\">\n") < 0)
		return -1;
	for (int c = 0; c < ZELK_CHAINS; c++)
		if (p->remote_signal[c] != 0 && signal_element(f, c, p->remote_signal[c]) < 0)
			return -1;
	if (number_element(f, "transmit-power", p->remote_tx_power) < 0 ||
	    text_element(f, "ip-address", p->remote_ip) < 0)
		return -1;
	return fprintf(f, "</remote-state>\n") < 0 ? -1 : 0;
}

static int dev_state(struct zelk_state *s, FILE *f)
{
	struct zelk_vap *vap = get_wireless_info_by_name(&s->info, "ath0");
	int peers = s->info.peer_count > 0;

	if (!vap)
		return 0;
	if (fprintf(f, "<dev-state>\n") < 0)
		return -1;
	unsigned long up = uptime_seconds();
	if (up && fprintf(f, "  <uptime>%lu</uptime>\n", up) < 0)
		return -1;
	if (vap->frequency != -1 && number_element(f, "frequency", vap->frequency) < 0)
		return -1;
	if (number_element(f, "wireless-status", peers) < 0)
		return -1;
	if (strcasestr(s->info.eth_link, "yes")) {
		if (number_element(f, "ethernet-status", 1) < 0)
			return -1;
	} else if (strcasestr(s->info.eth_link, "no")) {
		if (number_element(f, "ethernet-status", 0) < 0)
			return -1;
	}
	if (vap->bitrate != -1 && number_element(f, "data-rate", vap->bitrate) < 0)
		return -1;
	if (number_element(f, "encryption", strcasestr(vap->security, "OPEN") ? 0 : 1) < 0)
		return -1;
	if (channel_width(f, vap->channel_width) < 0 || fprintf(f, "<local-stats>\n") < 0)
		return -1;
	for (int c = 0; peers && c < ZELK_CHAINS; c++)
		if (vap->chain_signal[c] != ZELK_SIGNAL_NONE && signal_element(f, c, vap->chain_signal[c]) < 0)
			return -1;
	if (vap->tx_power != -1 && number_element(f, "transmit-power", vap->tx_power) < 0)
		return -1;
	if (fprintf(f, "</local-stats>\n") < 0)
		return -1;
	if (peers && !list_empty(&s->info.peers)) {
		struct zelk_peer *first = list_entry(s->info.peers.next, struct zelk_peer, link);
		if (first->remote_ip[0] && remote_state(f, first) < 0)
			return -1;
	}
	return fprintf(f, "</dev-state>\n") < 0 ? -1 : 0;
}

static int statistics_block(struct zelk_state *s, FILE *f)
{
	zelk_statistics_read(s);
	int r = zelk_copy_file(f, ZELK_OPTIONAL);
	unlink(ZELK_OPTIONAL);
	return r;
}

int zelk_write_document(struct zelk_state *s, FILE *f)
{
	if (header(s, f) < 0 || dev_state(s, f) < 0)
		return -1;
	if (fprintf(f, "\t<alarms>\n") < 0 || zelk_copy_file(f, ZELK_ALARMS) < 0 || fprintf(f, "\t</alarms>\n") < 0)
		return -1;
	if (zelk_copy_file(f, ZELK_TASKS_XML_KEPT) < 0 || zelk_copy_file(f, ZELK_TASKS_XML) < 0)
		return -1;
	if (s->immediate == 0 && statistics_block(s, f) < 0)
		return -1;
	return fprintf(f, "</heartbeat>\n") < 0 ? -1 : 0;
}

/* Writes the document into the temporary file and puts it in place; a document that could not be
 * written whole (tmpfs full) never replaces the last good one. */
static int generate(struct zelk_state *s)
{
	char tmp[] = ZELK_HEARTBEAT_TMP;
	int fd = mkstemp(tmp);

	if (fd < 0) {
		log_message_errno(KTRV_LOG_ERROR, "Cannot create temporary heartbeat file %s.\n", tmp);
		return -1;
	}
	fchmod(fd, 0644);
	if (collect_dev_info(&s->info, ZELK_INFO_INTERVAL) < 0) {
		log_message(KTRV_LOG_ERROR, "Cannot collect data for heartbeat generation.\n");
		close(fd);
		unlink(tmp);
		return -1;
	}
	s->counter++;
	FILE *f = fdopen(fd, "w");
	if (!f) {
		close(fd);
		unlink(tmp);
		return -1;
	}
	int bad = zelk_write_document(s, f) < 0;
	if (fflush(f) != 0 || ferror(f))
		bad = 1;
	if (fclose(f) != 0)
		bad = 1;
	if (bad) {
		log_message_errno(KTRV_LOG_ERROR, "Cannot write heartbeat file %s.\n", tmp);
		unlink(tmp);
		return -1;
	}
	if (rename(tmp, ZELK_HEARTBEAT) < 0) {
		log_message_errno(KTRV_LOG_ERROR, "Cannot rename %s to %s.\n", tmp, ZELK_HEARTBEAT);
		unlink(tmp);
		return -1;
	}
	return 0;
}

/* Posts the document in place, mapped: libcurl sends it from the mapping, which stays until the
 * transfer is over. */
static int post_document(struct zelk_state *s)
{
	struct stat st;
	int ret = -1;

	int fd = open(ZELK_HEARTBEAT, O_RDONLY | O_CLOEXEC);
	if (fd < 0) {
		log_message_errno(KTRV_LOG_ERROR, "Cannot open file %s.\n", ZELK_HEARTBEAT);
		return -1;
	}
	if (fstat(fd, &st) < 0 || st.st_size <= 0) {
		log_message_errno(KTRV_LOG_ERROR, "Cannot get %s file status.\n", ZELK_HEARTBEAT);
		close(fd);
		return -1;
	}
	void *map = mmap(NULL, (size_t)st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
	close(fd);
	if (map == MAP_FAILED) {
		log_message_errno(KTRV_LOG_ERROR, "Cannot map file %s into memory.\n", ZELK_HEARTBEAT);
		return -1;
	}
	if (zelk_post_init(s, (const char *)map, (size_t)st.st_size) < 0)
		log_message(KTRV_LOG_ERROR, "Cannot setup HTTP data posting operations.\n");
	else
		ret = zelk_post(s);
	munmap(map, (size_t)st.st_size);
	return ret;
}

int zelk_heartbeat(struct zelk_state *s)
{
	if (!s || !s->easy) {
		log_message(KTRV_LOG_ERROR, "Invalid arguments for heartbeat generation.\n");
		return -1;
	}
	zelk_load_ctx_extern(s, ZELK_DEVICE_CONFIG);
	if (generate(s) < 0)
		return -1;
	if (post_document(s) < 0) {
		s->failed_posts++;
		return -1;
	}
	if (s->failed_posts) {
		log_message(KTRV_LOG_ERROR, "Could not send last %lu heartbeat(s).\n", s->failed_posts);
		s->failed_posts = 0;
	}
	xml_extract(s, ZELK_REPLY);
	unlink(ZELK_ALARMS);
	unlink(ZELK_TASKS_XML);
	unlink(ZELK_TASKS_XML_KEPT);
	return 0;
}
