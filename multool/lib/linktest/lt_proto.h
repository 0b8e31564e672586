/* The link test's control protocol and the kernel texts both ends read, with no I/O: the 5-byte
 * control header, requests and status replies, the counter replies (29 bytes big-endian over LLC,
 * text over UDP), the receive counters of the snmp and pgrx tables, the generator's result line,
 * the session figures and the text line that shows them, and the argument check of a reverse test.
 * Shared by ltsd, linktest, their tests and a fuzz target; libc only, so it also runs big-endian. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#define LT_UDP_PORT 37256
#define LT_SAP 0xAC
#define LT_HDR_LEN 5
#define LT_MSG_SIZE 512          /* request and reply buffers; requests are read up to one less */
#define LT_COUNTERS_LEN 29       /* header + packets, bytes, duration as big-endian u64 */
#define LT_COUNTERS_SHORT 21     /* header + packets, bytes: an answer without a duration */
#define LT_RUN_MAX_ARGS 32
#define LT_PKT_SIZE_MIN 1
#define LT_PKT_SIZE_MAX 2296

extern const uint8_t lt_header[LT_HDR_LEN];

/* True when the datagram begins with the control header. */
bool lt_has_header(const uint8_t *buf, size_t len);

enum lt_cmd {
	LT_CMD_COUNTERS, /* anything else, the empty request included */
	LT_CMD_RST,
	LT_CMD_RUN,
	LT_CMD_ABOR,
};

struct lt_request {
	enum lt_cmd cmd;
	char *args; /* after the first space, "" when none; points into the parsed text */
};

/* Parses a request text in place: it ends at its first NUL; one trailing "\n" or "\r\n" goes, the
 * command (before the first space) is compared without regard to case. */
void lt_parse_request(char *text, struct lt_request *req);

/* True when an LLC datagram (header included) is one of this protocol's replies rather than a
 * request: a counter answer (21 or 29 bytes, its packet count starting with a zero byte) or a status
 * reply ("100 ", "200" or "400" then a blank or CR).  The requester's socket and the daemon's share the
 * SAP on a radio, so a daemon sees the answers to its own device's link tests; taking them for
 * counter requests, two daemons would answer each other for ever. */
bool lt_llc_is_reply(const uint8_t *buf, size_t len);

/* A status reply: "%d\r\n", or "%d %s\r\n" with the text as it is, after the control header when
 * llc is set.  Its length, or -1 when it does not fit into size bytes (it is then not sent). */
int lt_status_reply(uint8_t *buf, size_t size, bool llc, int code, const char *text);

struct lt_counters {
	uint64_t packets;
	uint64_t bytes;
	uint64_t duration_us;
	bool has_duration; /* a 29-byte answer with a duration above 0 */
};

/* The 29-byte LLC counter reply; returns LT_COUNTERS_LEN. */
size_t lt_put_counters(uint8_t buf[LT_COUNTERS_LEN], uint64_t packets, uint64_t bytes, uint64_t duration_us);
/* An LLC counter answer: the header and at least packets and bytes.  0, or -1 when it is none. */
int lt_get_llc_counters(const uint8_t *buf, size_t len, struct lt_counters *c);
/* The UDP counter reply "%llu %llu %02X:..:%02X" with its NUL; its length with the NUL, or -1. */
int lt_udp_counters(char *buf, size_t size, uint64_t packets, uint64_t bytes, const uint8_t mac[6]);
/* A UDP counter answer: two decimal numbers separated by blanks (a MAC may follow).  0 or -1. */
int lt_parse_udp_counters(const char *buf, size_t len, struct lt_counters *c);

/* Receive packets and bytes: the 20th and 21st numbers of the second line of the snmp table (the
 * values line of "Ip:").  0, or -1 when the line is missing or holds fewer numbers. */
int lt_parse_snmp(const char *text, size_t len, uint64_t *packets, uint64_t *bytes);
/* Receive duration in µs: the third number of the first line of the pgrx table that begins with
 * "G"; 0 when there is none or it does not read as "G n n n". */
uint64_t lt_parse_pgrx(const char *text, size_t len);
/* Send duration in µs from the generator's interface table: the third ":"-separated piece of the
 * line holding "Result: OK:", read as a decimal number (0 when it holds none).  0 when the line
 * was found, -1 otherwise. */
int lt_parse_result(const char *text, size_t len, uint64_t *usec);

/* What one session measured and what is shown of it. */
struct lt_session_in {
	struct lt_counters before, after;
	uint32_t packets;    /* sent per session */
	uint32_t size;       /* packet size */
	uint64_t tx_us;      /* local send duration; the session is not computed when it is 0 */
	bool auto_mode;
	double real_rate;    /* Mbps, auto mode; 0 when unknown */
};

struct lt_rate {
	int pps;
	float mbps;
};

struct lt_figures {
	uint32_t rx_packets;    /* low 32 bits, after - before */
	uint32_t rx_bytes;
	uint32_t shown_packets; /* the packet count shown beside rx_packets */
	uint32_t overflow;      /* rx_packets - packets when more arrived than were sent, else 0 */
	float loss;             /* % */
	struct lt_rate tx;      /* from the send duration */
	struct lt_rate rx;      /* auto mode with a remote duration: from that duration */
	bool used_rx;
	struct lt_rate shown;
};

/* 0 and the figures; -1 when the send duration is 0 (nothing to divide by). */
int lt_compute(const struct lt_session_in *in, struct lt_figures *f);
/* Decimal digits of n (1 for 0). */
int lt_digits(uint64_t n);
/* "[07/60] Received: 998/1000, Lost:  0.20%, PPS:  1234, Throughput: 12.34 Mbps\n".  The length
 * written (cut to size like snprintf). */
int lt_session_line(char *buf, size_t size, int session, int sessions, const struct lt_figures *f, int packets);
/* Delay in ns for one packet of size bytes at rate Mbps (rounded), 0 for no rate. */
int lt_auto_delay(uint32_t size, double rate_mbps);

/* Splits a reverse test's argument text in place on blanks into at most max words.  The count, or
 * -1 when a character lies outside letters, digits, blanks and "-._:" or there are more words. */
int lt_split_args(char *args, char **argv, int max);
