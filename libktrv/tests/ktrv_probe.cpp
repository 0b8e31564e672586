// Command-line front end of libktrv for the end-to-end tests.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "ktrv.h"

static int cmd_dump(int argc, char **argv)
{
	ifi_get_all_ip();
	ifi_dump_all(argc > 2 ? argv[2] : NULL);
	return 0;
}

static int cmd_eth(char *name)
{
	struct eth_info info;
	char d[8], l[8], mac[18];
	uint8_t perm[6] = { 0 };
	int rc = eth_info(&info, name);
	printf("capable=%d info=%d speed=%u duplex=%s link=%s supported=%u\n", eth_capable(name), rc, info.speed,
	       eth_duplex2str(&info, d, sizeof(d)) ?: "-", eth_link2str(&info, l, sizeof(l)) ?: "-", info.supported);
	rc = eth_perm_addr(perm, name);
	printf("perm=%d %s\n", rc, ifi_mac_ntop(mac, sizeof(mac), perm));
	return 0;
}

static int cmd_send(int argc, char **argv)
{
	int count = argc > 4 ? atoi(argv[4]) : 1;
	for (int i = 0; i < count; i++)
		printf("%d\n", socket_write(argv[3], (int)strlen(argv[3]), argv[2]));
	return 0;
}

// sendloop PATH: sends every line of standard input as one frame and prints the result.
static int cmd_sendloop(char **argv)
{
	char line[256];
	while (fgets(line, sizeof(line), stdin)) {
		line[strcspn(line, "\n")] = 0;
		printf("%d\n", socket_write(line, (int)strlen(line), argv[2]));
		fflush(stdout);
	}
	return 0;
}

// recv PATH N: prints N frames as the receiver sees them.
static int cmd_recv(char **argv)
{
	int fd = socket_input_init(argv[2]);
	if (fd < 0)
		return 2;
	printf("ready\n");
	fflush(stdout);
	for (int n = atoi(argv[3]); n > 0; n--) {
		struct pollfd p = { fd, POLLIN, 0 };
		if (poll(&p, 1, 10000) <= 0)
			return 3;
		unsigned char buf[1024];
		int len = socket_input_read_single(fd, buf, sizeof(buf));
		int plen;
		const unsigned char *payload = (const unsigned char *)socket_input_extract(buf, len, &plen);
		if (!payload) {
			printf("rejected %d\n", len);
		} else {
			printf("frame %d ", plen);
			for (int i = 0; i < plen; i++)
				printf("%02x", payload[i]);
			printf("\n");
		}
		fflush(stdout);
	}
	socket_input_shutdown(fd, argv[2]);
	return 0;
}

// log: one message per level 0-5 through whatever driver the environment picks; with a second
// name, one more message after set_identity() renamed the process.
static int cmd_log(int argc, char **argv)
{
	if (argc > 2)
		set_identity(argv[2]);
	for (int l = 0; l <= 5; l++)
		log_message(l, "message %d\n", l);
	errno = ENOENT;
	log_message_errno(KTRV_LOG_ERROR, "open failed\n");
	if (argc > 3) {
		// a new name while the connection is open: the old one is freed, its memory reused
		set_identity(argv[3]);
		char *reuse = strdup("scribbled");
		log_message(KTRV_LOG_ERROR, "renamed\n");
		free(reuse);
	}
	return 0;
}

int main(int argc, char **argv)
{
	if (argc < 2)
		return 2;
	if (!strcmp(argv[1], "dump"))
		return cmd_dump(argc, argv);
	if (!strcmp(argv[1], "eth") && argc > 2)
		return cmd_eth(argv[2]);
	if (!strcmp(argv[1], "send") && argc > 3)
		return cmd_send(argc, argv);
	if (!strcmp(argv[1], "sendloop") && argc > 2)
		return cmd_sendloop(argv);
	if (!strcmp(argv[1], "recv") && argc > 3)
		return cmd_recv(argv);
	if (!strcmp(argv[1], "log"))
		return cmd_log(argc, argv);
	if (!strcmp(argv[1], "serial") && argc > 2) {
		char buf[80];
		const char *s = read_serial_no(buf, (unsigned)atoi(argv[2]));
		printf("%s\n", s ? s : "(null)");
		return 0;
	}
	return 2;
}
