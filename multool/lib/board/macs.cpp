/* Factory MAC addresses: the raw copies in the art partition. */
#include "board/macs.h"

#include "board/calibration.h"
#include "common/fileio.h"
#include "common/text.h"
#include "platform/mtd.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int getmacs(void)
{
	uint8_t m[3][6];
	int fd = mtd_block_find(ART_PARTITION);

	if (fd < 0) {
		printf("ERROR: art partition not found\n");
		return -1;
	}
	if (pread_full(fd, m[0], 6, ART_ETH0_MAC) != 6 || pread_full(fd, m[1], 6, ART_ETH1_MAC) != 6 ||
	    pread_full(fd, m[2], 6, ART_WIFI0_MAC) != 6)
		memset(m, 0xff, sizeof(m));
	close(fd);
	char t[MAC_TEXT_SIZE];
	printf("eth0: %s\n", mac_text(t, m[0]));
	printf("eth1: %s\n", mac_text(t, m[1]));
	printf("wifi0: %s \n", mac_text(t, m[2])); /* the trailing blank is part of the output */
	return 0;
}

static int write_mac(int fd, const uint8_t mac[6], off_t off)
{
	if (pwrite(fd, mac, 6, off) != 6) {
		printf("Failed to write mac: %s\n", strerror(errno));
		return -1;
	}
	return 0;
}

int setmacs(int argc, char **argv)
{
	uint8_t wifi0[6], eth0[6], eth1[6];
	int fd, rc = 0;

	if (argc != 4 && argc != 5) {
		printf("Usage: wifi0mac eth0mac [eth1mac]\n");
		return -1;
	}
	if (parse_mac(argv[2], wifi0, MAC_LAX)) {
		printf("Bad mac of wifi0\n");
		return -1;
	}
	if (parse_mac(argv[3], eth0, MAC_LAX)) {
		printf("Bad mac of eth0\n");
		return -1;
	}
	if (argc == 5 && parse_mac(argv[4], eth1, MAC_LAX))
		return -1;
	fd = mtd_block_find(ART_PARTITION);
	if (fd < 0) {
		printf("ERROR: art partition not found\n");
		return -1;
	}
	if (write_mac(fd, eth0, ART_ETH0_MAC) || write_mac(fd, wifi0, ART_WIFI0_MAC) ||
	    (argc == 5 && write_mac(fd, eth1, ART_ETH1_MAC)))
		rc = -1;
	if (fdatasync(fd) < 0) {
		printf("Failed fdatasyc()\n");
		rc = -1;
	}
	close(fd);
	return rc;
}
