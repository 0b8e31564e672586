/* libktrv: platform support for the agents.  Plain C ABI; process-wide state; not thread-safe.
 *
 * The records (struct list_head, ifi, ipi, nl_handle, eth_info) and the calls that behave the same
 * in every program (nl_close, nl_parse_rtattr, the nla_ accessors, eth_duplex2str, eth_link2str) are
 * the shared platform layer's, declared in the common/ headers below; the library exports them as
 * part of its interface (ktrv.map lists every exported name). */
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "common/ethtool.h"
#include "common/iflist.h"
#include "common/list.h"
#include "common/netlink.h"

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
#define KTRV_IFI_STATS IFI_STATS_COUNT

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
KTRV_API void nl_open(struct nl_handle *h, int protocol, unsigned groups);
KTRV_API int nl_dump(struct nl_handle *h, int type);
KTRV_API int nl_send(struct nl_handle *h, const void *data, int len);
KTRV_API int nl_recv(struct nl_handle *h, int (*handler)(struct nlmsghdr *msg));
KTRV_API int nl_collect_interface(struct nlmsghdr *msg);
KTRV_API int nl_collect_address(struct nlmsghdr *msg);

/* ---- ethtool ---- */
KTRV_API int eth_capable(const char *name);
KTRV_API int eth_info(struct eth_info *info, const char *name);
KTRV_API int eth_perm_addr(uint8_t *mac, const char *name);

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
