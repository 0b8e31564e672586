/* libktrv: platform support for the agents.  Plain C ABI; process-wide state; not thread-safe. */
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KTRV_API __attribute__((visibility("default")))

/* ---- logging ---- */
enum { KTRV_LOG_FATAL = 0, KTRV_LOG_ERROR = 1, KTRV_LOG_WARNING = 2, KTRV_LOG_INFO = 3, KTRV_LOG_DEBUG = 4 };
enum { KTRV_DEST_SYSLOG = 0, KTRV_DEST_STDERR = 1 };

KTRV_API void log_message(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
KTRV_API void log_message_errno(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
KTRV_API void log_buffer_dump(int level, const unsigned char *data, unsigned len, const char *prefix);
KTRV_API void set_level(int level);
KTRV_API int is_level_enabled(int level);
KTRV_API void set_facility(int destination);
KTRV_API void level(int level, int destination);
KTRV_API void set_identity(const char *name);
KTRV_API void dump_backtrace(void);

/* ---- utilities ---- */
KTRV_API void die(const char *fmt, ...) __attribute__((format(printf, 1, 2), noreturn));
KTRV_API int set_coe(int fd);
KTRV_API int ioctl_socket(void);
KTRV_API void ioctl_close(void);
/* dst NULL: allocates the result (caller frees), NULL when out of memory. */
KTRV_API char *escape_xml(const char *src, char *dst);
KTRV_API char *trimr_string(char *s);
KTRV_API char *read_serial_no(char *buf, unsigned len);

/* ---- interface inventory ---- */
struct list_head {
	struct list_head *next, *prev;
};

struct ipi {
	struct list_head list;
	uint16_t family;
	uint8_t prefixlen;
	void *addr;      /* IFA_ADDRESS, else IFA_LOCAL; at least 16 bytes */
	void *broadcast; /* IFA_BROADCAST or NULL */
};

struct ifi {
	struct list_head list;
	struct list_head addrs;
	int32_t index;
	uint32_t link;
	char *name;
	uint8_t hwaddr[6];
	uint8_t broadcast[6];
	uint16_t type;
	uint32_t txqlen;
	uint32_t flags;
	uint32_t *stats; /* 23 counters, rtnl_link_stats order, or NULL */
};

#define KTRV_IFI_STATS 23

KTRV_API extern struct list_head interfaces;

KTRV_API struct list_head *ifi_get_all(void);
KTRV_API struct list_head *ifi_get_all_ip(void);
KTRV_API struct ifi *ifi_alloc(void);
KTRV_API struct ipi *ipi_alloc(void);
KTRV_API void ifi_register(struct ifi *ifi);
KTRV_API void ifi_add_addr(struct ifi *ifi, struct ipi *ipi);
KTRV_API void ifi_free(struct ifi *ifi);
KTRV_API void ifi_free_all(void);
KTRV_API struct ifi *ifi_find_by_name(const char *name);
KTRV_API struct ifi *ifi_find_by_index(int index);
KTRV_API char *ifi_mac_ntop(char *buf, size_t size, const uint8_t *mac);
KTRV_API const char *ifi_ip_ntop(char *buf, size_t size, const struct ipi *ipi);
KTRV_API void ifi_dump_all(const char *name);
KTRV_API void ifi_dump_detail(const struct ifi *ifi);
KTRV_API void ifi_xml_str_item(const char *name, const char *text);
KTRV_API void ifi_xml_int_item(const char *name, unsigned value);

/* ---- netlink ---- */
struct nl_handle {
	int fd;
	struct sockaddr_nl local;
	uint32_t seq;
};

KTRV_API void nl_open(struct nl_handle *h, int protocol, unsigned groups);
KTRV_API int nl_dump(struct nl_handle *h, int type);
KTRV_API int nl_send(struct nl_handle *h, const void *data, int len);
KTRV_API int nl_recv(struct nl_handle *h, int (*handler)(struct nlmsghdr *msg));
KTRV_API int nl_parse_rtattr(struct rtattr **table, int max, struct rtattr *rta, int len);
KTRV_API void nl_close(struct nl_handle *h);
KTRV_API int nl_collect_interface(struct nlmsghdr *msg);
KTRV_API int nl_collect_address(struct nlmsghdr *msg);
KTRV_API void *nla_data(const struct rtattr *a);
KTRV_API int nla_length(const struct rtattr *a);
KTRV_API void nla_memcpy(void *dst, const struct rtattr *a, int n);
KTRV_API void *nla_memdup(const struct rtattr *a);
KTRV_API char *nla_strdup(const struct rtattr *a);
KTRV_API uint32_t nla_get_u32(const struct rtattr *a);

/* ---- ethtool ---- */
struct eth_info {
	uint16_t speed;
	uint8_t duplex;
	uint8_t link;
	uint32_t supported;
	uint8_t perm_addr[6];
};

KTRV_API int eth_capable(const char *name);
KTRV_API int eth_info(struct eth_info *info, const char *name);
KTRV_API int eth_perm_addr(uint8_t *mac, const char *name);
KTRV_API char *eth_duplex2str(const struct eth_info *info, char *buf, int len);
KTRV_API char *eth_link2str(const struct eth_info *info, char *buf, int len);

/* ---- framed datagram channel ---- */
KTRV_API int socket_input_init(const char *path);
KTRV_API int socket_input_read_single(int fd, void *buf, int size);
/* Payload of a received frame of len bytes, or NULL when the frame is empty or its length field
 * claims more than was received. */
KTRV_API const void *socket_input_extract(const void *buf, int len, int *payload_len);
KTRV_API void socket_input_shutdown(int fd, const char *path);
KTRV_API int socket_write(const void *data, int len, const char *path);

#ifdef __cplusplus
}
#endif
