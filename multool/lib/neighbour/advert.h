/* What the LLDP and CDP senders share: the documents they wait for, the values they advertise, the
 * interface they send on, and the send itself.  Errors are returned; the applets print them. */
#pragma once

#include <jansson.h>

#include <stddef.h>
#include <stdint.h>

struct ifi;

#define ADVERT_TEXT_MAX 128 /* bytes of each advertised text */
#define ADVERT_PORT_DESCR "Ethernet Interface"
#define ADVERT_NO_VERSION "S/W version not available."
#define ADVERT_VERSION_FILE "/usr/lib/version"

struct advert_info {
	char sys_name[ADVERT_TEXT_MAX + 1];  /* host name */
	char version[ADVERT_TEXT_MAX + 1];   /* first line of the version file, newline kept */
	char sys_descr[ADVERT_TEXT_MAX + 1]; /* version, kernel version, newline, machine */
	char platform[ADVERT_TEXT_MAX + 1];  /* device.name */
	char location[ADVERT_TEXT_MAX + 1];  /* device.location, when asked for */
	int has_ipv4, has_ipv6;
	uint8_t ipv4[4];
	uint8_t ipv6[16];
};

enum advert_status {
	ADVERT_OK,
	ADVERT_NO_SYSINFO,
	ADVERT_NO_NETWORK_MODE,
	ADVERT_NO_DEVICE_NAME,
	ADVERT_NO_WAN,
	ADVERT_NO_LOCATION,
};

enum advert_flags {
	ADVERT_WANT_LOCATION = 1,
};

/* Whether both input documents exist, checked `checks` times interval_ms apart and once more after
 * the last interval.  0 when they do, -1 otherwise. */
int advert_wait_inputs(unsigned checks, unsigned interval_ms);

/* The advertised values from the configuration snapshot and the statistics document, with the host
 * name, the version file and the kernel identification of this system. */
enum advert_status advert_collect(struct advert_info *info, const json_t *preconf, const json_t *stats,
				  unsigned flags);

/* The parts of advert_collect that read no system state, for the tests. */
enum advert_status advert_from_docs(struct advert_info *info, const json_t *preconf, const json_t *stats,
				    unsigned flags);
/* version + kernel version + "\n" + machine, cut at ADVERT_TEXT_MAX bytes. */
void advert_sys_descr(char out[ADVERT_TEXT_MAX + 1], const char *version, const char *kversion,
		      const char *machine);
/* The first line of the version file with its newline, at most ADVERT_TEXT_MAX bytes, or
 * ADVERT_NO_VERSION when it cannot be read. */
void advert_read_version(char out[ADVERT_TEXT_MAX + 1], const char *path);

/* The interface to send on: the one named when the inventory knows it, else eth0; NULL when neither
 * is known. */
struct ifi *advert_pick_link(const char *name);

enum advert_send_step {
	ADVERT_STEP_SOCKET,
	ADVERT_STEP_SEND,
};
/* Sends one frame on the interface through a raw link-layer socket.  0, or -1 with errno and the
 * step that failed. */
int advert_send(int ifindex, const uint8_t *frame, size_t len, enum advert_send_step *failed);
