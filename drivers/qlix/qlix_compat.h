/* One place for the kernel facilities qlix needs.  In a kernel build: the real headers, with the few
 * calls whose form changed since 2.6.31 behind a macro.  Elsewhere: the user-space shim, which keeps
 * the 2.6.31 forms. */
#ifndef QLIX_COMPAT_H
#define QLIX_COMPAT_H

#ifdef __KERNEL__

#include <linux/version.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/types.h>
#include <linux/string.h>
#include <linux/slab.h>
#include <linux/list.h>
#include <linux/timer.h>
#include <linux/jiffies.h>
#include <linux/workqueue.h>
#include <linux/umh.h>
#include <linux/netdevice.h>
#include <linux/etherdevice.h>
#include <linux/if_ether.h>
#include <linux/if_vlan.h>
#include <linux/skbuff.h>
#include <linux/rtnetlink.h>
#include <linux/kobject.h>
#include <linux/delay.h>
#include <linux/mm.h>
#include <linux/printk.h>
#include <linux/atomic.h>
#include <linux/bottom_half.h>
#include <net/datalink.h>
#include <net/psnap.h>
#include <asm/unaligned.h>

#if LINUX_VERSION_CODE >= KERNEL_VERSION(4, 15, 0)
#define QLIX_TIMER_FN(name, arg) void name(struct timer_list *arg)
#define QLIX_TIMER_INIT(t, fn, owner) timer_setup(t, fn, 0)
#define QLIX_TIMER_OWNER(var, arg, member) from_timer(var, arg, member)
#else
#define QLIX_TIMER_FN(name, arg) void name(unsigned long arg)
#define QLIX_TIMER_INIT(t, fn, owner) setup_timer(t, fn, (unsigned long)(owner))
#define QLIX_TIMER_OWNER(var, arg, member) ((__typeof__(var))(arg))
#endif

#if LINUX_VERSION_CODE >= KERNEL_VERSION(4, 0, 0)
#define QLIX_F_VLAN_RX NETIF_F_HW_VLAN_CTAG_RX
#define qlix_alloc_netdev(sz, name, setup) alloc_netdev(sz, name, NET_NAME_UNKNOWN, setup)
#define qlix_total_pages() totalram_pages()
#define qlix_dev_reopen(dev) ({ dev_close(dev); dev_open(dev, NULL); })
#define qlix_set_dev_addr(dev, addr) eth_hw_addr_set(dev, addr)
#else
#define QLIX_F_VLAN_RX NETIF_F_HW_VLAN_RX
#define qlix_alloc_netdev(sz, name, setup) alloc_netdev(sz, name, setup)
#define qlix_total_pages() totalram_pages
#define qlix_dev_reopen(dev) ({ dev_close(dev); dev_open(dev); })
#define qlix_set_dev_addr(dev, addr) memcpy((dev)->dev_addr, addr, ETH_ALEN)
#endif

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 35)
#define QLIX_BIN_READ_DECL(fn) \
	ssize_t fn(struct file *filp, struct kobject *kobj, struct bin_attribute *attr, char *buf, \
		   loff_t off, size_t count)
#else
#define QLIX_BIN_READ_DECL(fn) \
	ssize_t fn(struct kobject *kobj, struct bin_attribute *attr, char *buf, loff_t off, size_t count)
#endif

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 39)
#define qlix_parse_u32(s, v) kstrtou32(s, 10, v)
#else
static inline int qlix_parse_u32(const char *s, u32 *v)
{
	unsigned long l;
	int ret = strict_strtoul(s, 10, &l);

	if (!ret)
		*v = (u32)l;
	return ret;
}
#endif

/* Hands a received frame (after eth_type_trans) to the stack.  The device advertises hardware
 * VLAN receive, so an 802.1Q tag travels as metadata, as the accelerated path expects. */
static inline void qlix_netif_rx(struct sk_buff *skb)
{
	if (skb->protocol == htons(ETH_P_8021Q)) {
		skb = skb_vlan_untag(skb);
		if (!skb)
			return;
	}
	netif_rx(skb);
}

static inline void qlix_assert_bh_off(void)
{
}

#else /* !__KERNEL__ */

#include "sim/kshim.h"

#define QLIX_TIMER_FN(name, arg) void name(unsigned long arg)
#define QLIX_TIMER_INIT(t, fn, owner) setup_timer(t, fn, (unsigned long)(owner))
#define QLIX_TIMER_OWNER(var, arg, member) ((__typeof__(var))(arg))
#define QLIX_F_VLAN_RX NETIF_F_HW_VLAN_RX
#define qlix_alloc_netdev(sz, name, setup) alloc_netdev(sz, name, setup)
#define qlix_total_pages() shim_total_pages()
#define qlix_dev_reopen(dev) ({ dev_close(dev); dev_open(dev); })
#define qlix_set_dev_addr(dev, addr) memcpy((dev)->dev_addr, addr, ETH_ALEN)

#define QLIX_BIN_READ_DECL(fn) \
	ssize_t fn(struct kobject *kobj, struct bin_attribute *attr, char *buf, loff_t off, size_t count)

static inline int qlix_parse_u32(const char *s, u32 *v)
{
	unsigned long l;
	int ret = strict_strtoul(s, 10, &l);

	if (!ret && l > 0xffffffffUL)
		ret = -EINVAL;
	if (!ret)
		*v = (u32)l;
	return ret;
}

static inline void qlix_netif_rx(struct sk_buff *skb)
{
	if (skb->protocol == htons(ETH_P_8021Q)) {
		skb = skb_vlan_untag(skb);
		if (!skb)
			return;
	}
	netif_rx(skb);
}

/* Peer-list changes from process context must run with bottom halves off. */
static inline void qlix_assert_bh_off(void)
{
	BUG_ON(!in_softirq() && !shim_bh_disabled());
}

#endif

#endif
