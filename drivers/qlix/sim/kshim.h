/* User-space stand-ins for the kernel facilities qlix uses, with the 2.6.31 signatures.  Each object
 * that the kernel would call back through (timer, work, net device, SNAP client) records the
 * simulated node that created it, so the simulator can switch module instances on dispatch. */
#ifndef QLIX_KSHIM_H
#define QLIX_KSHIM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <stdarg.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int8_t s8;
typedef int16_t s16;
typedef int32_t s32;
typedef int64_t s64;
typedef uint16_t __be16;
typedef uint32_t __be32;
typedef unsigned int gfp_t;

/* The kernel these signatures are those of. */
#define KERNEL_VERSION(a, b, c) (((a) << 16) + ((b) << 8) + (c))
#ifndef LINUX_VERSION_CODE
#define LINUX_VERSION_CODE KERNEL_VERSION(2, 6, 31)
#endif
#if LINUX_VERSION_CODE != KERNEL_VERSION(2, 6, 31)
#error "the shim offers the facilities of 2.6.31 only"
#endif

#define __init
#define __exit
#define __user
#define likely(x) __builtin_expect(!!(x), 1)
#define unlikely(x) __builtin_expect(!!(x), 0)

#ifndef __cplusplus
#define container_of(ptr, type, member) ((type *)((char *)(ptr) - offsetof(type, member)))
#define min(a, b) ((a) < (b) ? (a) : (b))
#define max(a, b) ((a) > (b) ? (a) : (b))
#define min_t(t, a, b) ((t)(a) < (t)(b) ? (t)(a) : (t)(b))
#define max_t(t, a, b) ((t)(a) > (t)(b) ? (t)(a) : (t)(b))
#endif
#define clamp_val(v, lo, hi) ((v) < (lo) ? (lo) : (v) > (hi) ? (hi) : (v))
#define DIV_ROUND_UP(n, d) (((n) + (d) - 1) / (d))
#define ARRAY_SIZE(a) (sizeof(a) / sizeof((a)[0]))

#define ENOENT 2
#define EIO 5
#define ENOMEM 12
#define EACCES 13
#define EFAULT 14
#define EEXIST 17
#define ENODEV 19
#define EINVAL 22

/* ---- byte order ---- */
static inline u16 get_unaligned_be16(const void *p)
{
	const u8 *b = (const u8 *)p;
	return (u16)((b[0] << 8) | b[1]);
}

static inline u32 get_unaligned_be32(const void *p)
{
	const u8 *b = (const u8 *)p;
	return ((u32)b[0] << 24) | ((u32)b[1] << 16) | ((u32)b[2] << 8) | b[3];
}

static inline void put_unaligned_be16(u16 v, void *p)
{
	u8 *b = (u8 *)p;
	b[0] = (u8)(v >> 8);
	b[1] = (u8)v;
}

static inline void put_unaligned_be32(u32 v, void *p)
{
	u8 *b = (u8 *)p;
	b[0] = (u8)(v >> 24);
	b[1] = (u8)(v >> 16);
	b[2] = (u8)(v >> 8);
	b[3] = (u8)v;
}

static inline u16 shim_swab16(u16 v)
{
	u8 b[2];
	u16 r;

	put_unaligned_be16(v, b);
	memcpy(&r, b, 2);
	return r;
}
#define htons(x) shim_swab16(x)
#define ntohs(x) shim_swab16(x)

#define ETH_ALEN 6
#define ETH_HLEN 14
#define ETH_DATA_LEN 1500
#define ETH_P_IP 0x0800
#define ETH_P_ARP 0x0806
#define ETH_P_IPV6 0x86DD
#define ETH_P_8021Q 0x8100
#define ETH_P_802_3 0x0001
#define IFNAMSIZ 16

/* ---- diagnostics ---- */
#define KERN_EMERG "<0>"
#define KERN_ALERT "<1>"
#define KERN_CRIT "<2>"
#define KERN_ERR "<3>"
#define KERN_WARNING "<4>"
#define KERN_NOTICE "<5>"
#define KERN_INFO "<6>"
#define KERN_DEBUG "<7>"
#define DUMP_PREFIX_OFFSET 2

int printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void print_hex_dump(const char *level, const char *prefix, int type, int rowsize, int groupsize,
		    const void *buf, size_t len, int ascii);
static inline int net_ratelimit(void) { return 1; }
void shim_bug(const char *file, int line, const char *func) __attribute__((noreturn));
void shim_warn(const char *file, int line);
#define BUG() shim_bug(__FILE__, __LINE__, __func__)
#define BUG_ON(c) do { if (unlikely(c)) BUG(); } while (0)
#define WARN_ON_ONCE(c) ({ static int __w; int __c = !!(c); if (__c && !__w) { __w = 1; shim_warn(__FILE__, __LINE__); } __c; })
#define WARN_ONCE(c, ...) ({ static int __w; int __c = !!(c); if (__c && !__w) { __w = 1; printk(__VA_ARGS__); } __c; })

static inline int scnprintf(char *buf, size_t size, const char *fmt, ...)
	__attribute__((format(printf, 3, 4)));
static inline int scnprintf(char *buf, size_t size, const char *fmt, ...)
{
	va_list ap;
	int n;

	if (!size)
		return 0;
	va_start(ap, fmt);
	n = vsnprintf(buf, size, fmt, ap);
	va_end(ap);
	return n < 0 ? 0 : (size_t)n >= size ? (int)size - 1 : n;
}

/* ---- memory ---- */
#define GFP_KERNEL 0x10u
#define GFP_ATOMIC 0x20u
void *kmalloc(size_t size, gfp_t gfp);
void *kzalloc(size_t size, gfp_t gfp);
void *kcalloc(size_t n, size_t size, gfp_t gfp);
void kfree(const void *p);

/* ---- lists ---- */
#define LIST_POISON1 ((struct list_head *)0x00100100)
#define LIST_POISON2 ((struct list_head *)0x00200200)

struct list_head {
	struct list_head *next, *prev;
};

#define LIST_HEAD_INIT(name) { &(name), &(name) }
#define LIST_HEAD(name) struct list_head name = LIST_HEAD_INIT(name)

static inline void INIT_LIST_HEAD(struct list_head *l)
{
	l->next = l;
	l->prev = l;
}

static inline void __list_add(struct list_head *n, struct list_head *prev, struct list_head *next)
{
	next->prev = n;
	n->next = next;
	n->prev = prev;
	prev->next = n;
}

static inline void list_add(struct list_head *n, struct list_head *head) { __list_add(n, head, head->next); }
static inline void list_add_tail(struct list_head *n, struct list_head *head) { __list_add(n, head->prev, head); }

static inline void __list_del(struct list_head *prev, struct list_head *next)
{
	next->prev = prev;
	prev->next = next;
}

static inline void list_del(struct list_head *e)
{
	__list_del(e->prev, e->next);
	e->next = LIST_POISON1;
	e->prev = LIST_POISON2;
}

static inline void list_del_init(struct list_head *e)
{
	__list_del(e->prev, e->next);
	INIT_LIST_HEAD(e);
}

static inline void list_move(struct list_head *e, struct list_head *head)
{
	__list_del(e->prev, e->next);
	list_add(e, head);
}

static inline void list_move_tail(struct list_head *e, struct list_head *head)
{
	__list_del(e->prev, e->next);
	list_add_tail(e, head);
}

static inline int list_empty(const struct list_head *head) { return head->next == head; }
static inline int list_is_last(const struct list_head *e, const struct list_head *head) { return e->next == head; }
static inline int list_is_singular(const struct list_head *head) { return !list_empty(head) && head->next == head->prev; }

#define list_entry(ptr, type, member) container_of(ptr, type, member)
#define list_first_entry(ptr, type, member) list_entry((ptr)->next, type, member)
#define list_last_entry(ptr, type, member) list_entry((ptr)->prev, type, member)
#define list_for_each_entry(pos, head, member)                                       \
	for (pos = list_entry((head)->next, __typeof__(*pos), member); &pos->member != (head); \
	     pos = list_entry(pos->member.next, __typeof__(*pos), member))
#define list_for_each_entry_reverse(pos, head, member)                               \
	for (pos = list_entry((head)->prev, __typeof__(*pos), member); &pos->member != (head); \
	     pos = list_entry(pos->member.prev, __typeof__(*pos), member))
#define list_for_each_entry_safe(pos, n, head, member)                               \
	for (pos = list_entry((head)->next, __typeof__(*pos), member),                 \
	    n = list_entry(pos->member.next, __typeof__(*pos), member);                \
	     &pos->member != (head); pos = n, n = list_entry(n->member.next, __typeof__(*n), member))

/* ---- atomics, locks, context ---- */
typedef struct {
	int counter;
} atomic_t;
static inline void atomic_set(atomic_t *a, int v) { a->counter = v; }
static inline int atomic_read(const atomic_t *a) { return a->counter; }
static inline void atomic_inc(atomic_t *a) { a->counter++; }
static inline void atomic_dec(atomic_t *a) { a->counter--; }
static inline int atomic_dec_and_test(atomic_t *a) { return --a->counter == 0; }
static inline int atomic_inc_return(atomic_t *a) { return ++a->counter; }

void local_bh_disable(void);
void local_bh_enable(void);
int in_softirq(void);
int shim_bh_disabled(void);
void rtnl_lock(void);
void rtnl_unlock(void);

/* ---- time ---- */
#ifndef HZ
#define HZ 250
#endif
#define INITIAL_JIFFIES ((unsigned long)(unsigned int)(-300 * HZ))
extern volatile unsigned long jiffies;
#define time_after(a, b) ((long)((b) - (a)) < 0)
#define time_before(a, b) time_after(b, a)
#define time_after_eq(a, b) ((long)((a) - (b)) >= 0)
unsigned long msecs_to_jiffies(unsigned int ms);
unsigned int jiffies_to_msecs(unsigned long j);
unsigned int jiffies_to_usecs(unsigned long j);
void msleep(unsigned int ms);
void ssleep(unsigned int s);

struct sim_node;

struct timer_list {
	unsigned long expires;
	void (*function)(unsigned long);
	unsigned long data;
	int pending;
	int slot;		/* index into the simulator's armed-timer table, 0 when idle */
	struct sim_node *node;
};
void init_timer(struct timer_list *t);
void setup_timer(struct timer_list *t, void (*fn)(unsigned long), unsigned long data);
int mod_timer(struct timer_list *t, unsigned long expires);
void add_timer(struct timer_list *t);
int del_timer(struct timer_list *t);
int del_timer_sync(struct timer_list *t);
static inline int timer_pending(const struct timer_list *t) { return t->pending; }

/* ---- work ---- */
struct work_struct;
typedef void (*work_func_t)(struct work_struct *);
struct work_struct {
	work_func_t func;
	struct sim_node *node;
	int queued;
};
#define INIT_WORK(w, f) shim_init_work(w, f)
void shim_init_work(struct work_struct *w, work_func_t f);
int schedule_work(struct work_struct *w);
void flush_scheduled_work(void);

/* ---- user-mode helper ---- */
enum umh_wait { UMH_NO_WAIT = -1, UMH_WAIT_EXEC = 0, UMH_WAIT_PROC = 1 };
int call_usermodehelper(const char *path, char **argv, char **envp, int wait);

/* ---- socket buffers ---- */
struct net_device;

struct skb_shared_info {
	atomic_t dataref;
	struct sk_buff *frag_list;
};

struct sk_buff {
	struct sk_buff *next, *prev;
	struct net_device *dev;
	char cb[48] __attribute__((aligned(8)));
	unsigned int len, data_len;
	__be16 protocol;
	u16 vlan_tci;
	u8 vlan_present;
	u8 cloned;
	int mac_header;
	unsigned char *head, *data, *tail, *end;
};

#define skb_shinfo(skb) ((struct skb_shared_info *)((skb)->end))
struct sk_buff *alloc_skb(unsigned int size, gfp_t gfp);
struct sk_buff *dev_alloc_skb(unsigned int size);
void kfree_skb(struct sk_buff *skb);
#define dev_kfree_skb_any(s) kfree_skb(s)
#define dev_kfree_skb(s) kfree_skb(s)
struct sk_buff *skb_clone(struct sk_buff *skb, gfp_t gfp);
struct sk_buff *skb_copy(const struct sk_buff *skb, gfp_t gfp);
static inline int skb_cloned(const struct sk_buff *skb)
{
	return skb->cloned && atomic_read(&skb_shinfo(skb)->dataref) != 1;
}
static inline unsigned int skb_headroom(const struct sk_buff *skb) { return (unsigned int)(skb->data - skb->head); }
static inline int skb_tailroom(const struct sk_buff *skb) { return (int)(skb->end - skb->tail); }
static inline void skb_reserve(struct sk_buff *skb, int len) { skb->data += len; skb->tail += len; }
unsigned char *skb_put(struct sk_buff *skb, unsigned int len);
unsigned char *skb_push(struct sk_buff *skb, unsigned int len);
unsigned char *skb_pull(struct sk_buff *skb, unsigned int len);
void skb_trim(struct sk_buff *skb, unsigned int len);
static inline int skb_linearize(struct sk_buff *skb) { (void)skb; return 0; }
static inline int pskb_may_pull(struct sk_buff *skb, unsigned int len) { return skb->len >= len; }
int skb_copy_bits(const struct sk_buff *skb, int offset, void *to, int len);
static inline void skb_reset_mac_header(struct sk_buff *skb) { skb->mac_header = (int)(skb->data - skb->head); }
static inline unsigned char *skb_tail_pointer(const struct sk_buff *skb) { return skb->tail; }
static inline unsigned char *skb_mac_header(const struct sk_buff *skb) { return skb->head + skb->mac_header; }

struct ethhdr {
	unsigned char h_dest[ETH_ALEN];
	unsigned char h_source[ETH_ALEN];
	__be16 h_proto;
} __attribute__((packed));
static inline struct ethhdr *eth_hdr(const struct sk_buff *skb) { return (struct ethhdr *)skb_mac_header(skb); }
__be16 eth_type_trans(struct sk_buff *skb, struct net_device *dev);
int netif_rx(struct sk_buff *skb);
static inline void skb_set_mac_header(struct sk_buff *skb, int offset)
{
	skb->mac_header = (int)(skb->data - skb->head) + offset;
}
#define netif_receive_skb(s) netif_rx(s)

/* ---- net devices ---- */
typedef int netdev_tx_t;
#define NETDEV_TX_OK 0
#define NETDEV_TX_BUSY 1
#define IFF_UP 0x1
#define NETIF_F_HW_VLAN_RX 0x100

struct net_device_stats {
	unsigned long rx_packets, tx_packets, rx_bytes, tx_bytes, rx_errors, tx_errors, rx_dropped,
		tx_dropped;
};

struct vlan_group;

struct net_device_ops {
	int (*ndo_open)(struct net_device *dev);
	int (*ndo_stop)(struct net_device *dev);
	netdev_tx_t (*ndo_start_xmit)(struct sk_buff *skb, struct net_device *dev);
	struct net_device_stats *(*ndo_get_stats)(struct net_device *dev);
	void (*ndo_vlan_rx_register)(struct net_device *dev, struct vlan_group *grp);
};

/* ---- 802.1Q, as the 8021q module of that era offers it to accelerated devices ---- */
#define VLAN_HLEN 4
#define VLAN_VID_MASK 0x0fff
struct net_device *vlan_group_get_device(struct vlan_group *grp, u16 vid);
int vlan_hwaccel_rx(struct sk_buff *skb, struct vlan_group *grp, u16 vlan_tci);

/* ---- kobjects and sysfs ---- */
struct kobject;
struct attribute {
	const char *name;
	unsigned short mode;
};
struct kobj_attribute {
	struct attribute attr;
	ssize_t (*show)(struct kobject *kobj, struct kobj_attribute *attr, char *buf);
	ssize_t (*store)(struct kobject *kobj, struct kobj_attribute *attr, const char *buf, size_t n);
};
#define __ATTR(_name, _mode, _show, _store) \
	{ .attr = { .name = #_name, .mode = _mode }, .show = _show, .store = _store }
struct bin_attribute {
	struct attribute attr;
	size_t size;
	ssize_t (*read)(struct kobject *kobj, struct bin_attribute *attr, char *buf, loff_t off,
			size_t count);
};
struct attribute_group {
	const char *name;
	struct attribute **attrs;
};
struct sysfs_ops {
	ssize_t (*show)(struct kobject *kobj, struct attribute *attr, char *buf);
	ssize_t (*store)(struct kobject *kobj, struct attribute *attr, const char *buf, size_t n);
};
struct kobj_type {
	void (*release)(struct kobject *kobj);
	const struct sysfs_ops *sysfs_ops;
};
struct kobject {
	char name[32];
	struct kobject *parent;
	const struct kobj_type *ktype;
	int dynamic;
};
struct kobject *kobject_create_and_add(const char *name, struct kobject *parent);
int kobject_init_and_add(struct kobject *kobj, struct kobj_type *ktype, struct kobject *parent,
			 const char *fmt, ...) __attribute__((format(printf, 4, 5)));
void kobject_put(struct kobject *kobj);
void kobject_del(struct kobject *kobj);
int sysfs_create_file(struct kobject *kobj, const struct attribute *attr);
void sysfs_remove_file(struct kobject *kobj, const struct attribute *attr);
int sysfs_create_group(struct kobject *kobj, const struct attribute_group *grp);
void sysfs_remove_group(struct kobject *kobj, const struct attribute_group *grp);
int sysfs_create_bin_file(struct kobject *kobj, struct bin_attribute *attr);
void sysfs_remove_bin_file(struct kobject *kobj, struct bin_attribute *attr);
int sysfs_create_link(struct kobject *kobj, struct kobject *target, const char *name);
void sysfs_remove_link(struct kobject *kobj, const char *name);
int strict_strtoul(const char *s, unsigned int base, unsigned long *res);
int strict_strtoull(const char *s, unsigned int base, unsigned long long *res);

struct device {
	struct kobject kobj;
};

struct net_device {
	char name[IFNAMSIZ];
	unsigned char dev_addr[ETH_ALEN];
	unsigned int mtu;
	unsigned short hard_header_len;
	unsigned long tx_queue_len;
	unsigned long features;
	unsigned int flags;
	struct net_device_stats stats;
	const struct net_device_ops *netdev_ops;
	struct device dev;
	struct wireless_dev *ieee80211_ptr;
	/* shim only */
	struct sim_node *node;
	int registered, queue_stopped, carrier, refcnt, reopened, busy_unstopped;
	int vlans_refused;	/* advertised hardware VLAN receive but took no VLAN group */
	void (*setup)(struct net_device *);
	void *priv;
};

struct wireless_dev { int unused; };
struct net { int unused; };
extern struct net init_net;

void ether_setup(struct net_device *dev);
struct net_device *alloc_netdev(int sizeof_priv, const char *name, void (*setup)(struct net_device *));
int register_netdev(struct net_device *dev);
void unregister_netdev(struct net_device *dev);
void free_netdev(struct net_device *dev);
static inline void *netdev_priv(const struct net_device *dev) { return dev->priv; }
struct net_device *dev_get_by_name(struct net *net, const char *name);
static inline void dev_hold(struct net_device *dev) { dev->refcnt++; }
static inline void dev_put(struct net_device *dev) { dev->refcnt--; }
static inline void netif_start_queue(struct net_device *dev) { dev->queue_stopped = 0; }
static inline void netif_stop_queue(struct net_device *dev) { dev->queue_stopped = 1; }
void netif_wake_queue(struct net_device *dev);
static inline int netif_queue_stopped(const struct net_device *dev) { return dev->queue_stopped; }
static inline void netif_carrier_on(struct net_device *dev) { dev->carrier = 1; }
static inline void netif_carrier_off(struct net_device *dev) { dev->carrier = 0; }
int dev_open(struct net_device *dev);
int dev_close(struct net_device *dev);

/* ---- SNAP ---- */
struct packet_type { int unused; };
struct datalink_proto {
	unsigned char type[8];
	int (*rcvfunc)(struct sk_buff *, struct net_device *, struct packet_type *, struct net_device *);
	int (*request)(struct datalink_proto *, struct sk_buff *, const unsigned char *);
	struct sim_node *node;
};
struct datalink_proto *register_snap_client(const unsigned char *desc,
					    int (*rcv)(struct sk_buff *, struct net_device *,
						       struct packet_type *, struct net_device *));
void unregister_snap_client(struct datalink_proto *proto);


/* ---- module glue ---- */
#define module_param_named(n, v, t, p)
#define module_param_string(n, v, l, p)
#define MODULE_PARM_DESC(n, d)
#define MODULE_LICENSE(l)
#define MODULE_DESCRIPTION(d)
#define EXPORT_SYMBOL(s)
#define module_init(f)
#define module_exit(f)

unsigned long shim_total_pages(void);
#define totalram_pages shim_total_pages()	/* a variable in that era */

#ifdef __cplusplus
}
#endif
#endif
