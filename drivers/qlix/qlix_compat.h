/* One place for the kernel facilities qlix needs, from the device's 2.6.31 kernel to the current
 * ones.  In a kernel build: the real headers.  Elsewhere: the user-space shim, which has 2.6.31's
 * facilities only and says so in LINUX_VERSION_CODE, so the simulator, the target build and the
 * tests compile the branches the device runs. */
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
#if LINUX_VERSION_CODE >= KERNEL_VERSION(4, 11, 0)
#include <linux/umh.h>		/* split out of kmod.h in 4.11 */
#else
#include <linux/kmod.h>
#endif
#include <linux/netdevice.h>
#include <linux/etherdevice.h>
#include <linux/if_ether.h>
#include <linux/if_vlan.h>
#include <linux/skbuff.h>
#include <linux/rtnetlink.h>
#include <linux/kobject.h>
#include <linux/delay.h>
#include <linux/mm.h>
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 37)
#include <linux/printk.h>	/* 2.6.37 */
#endif
#if LINUX_VERSION_CODE >= KERNEL_VERSION(3, 1, 0)
#include <linux/atomic.h>	/* 3.1; asm/atomic.h before */
#else
#include <asm/atomic.h>
#endif
#include <linux/bottom_half.h>
#include <net/datalink.h>
#include <net/psnap.h>
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 12, 0)
#include <linux/unaligned.h>	/* moved out of asm/ in 6.12 */
#else
#include <asm/unaligned.h>
#endif

static inline void qlix_assert_bh_off(void)
{
}

#else /* !__KERNEL__ */

/* The user-space shim keeps the facilities and signatures of the device's 2.6.31 kernel, and says
 * so through LINUX_VERSION_CODE: the simulator runs the very branches the device compiles. */
#include "sim/kshim.h"

/* Peer-list changes from process context must run with bottom halves off. */
static inline void qlix_assert_bh_off(void)
{
	BUG_ON(!in_softirq() && !shim_bh_disabled());
}

#endif

/* Each facility below is used from the release that introduced it, named beside it. */

#if LINUX_VERSION_CODE >= KERNEL_VERSION(4, 15, 0)	/* timer_setup, from_timer */
#define QLIX_TIMER_FN(name, arg) void name(struct timer_list *arg)
#define QLIX_TIMER_INIT(t, fn, owner) timer_setup(t, fn, 0)
#define QLIX_TIMER_OWNER(var, arg, member) from_timer(var, arg, member)
#else
#define QLIX_TIMER_FN(name, arg) void name(unsigned long arg)
#define QLIX_TIMER_INIT(t, fn, owner) setup_timer(t, fn, (unsigned long)(owner))
#define QLIX_TIMER_OWNER(var, arg, member) ((__typeof__(var))(arg))
#endif

#if LINUX_VERSION_CODE >= KERNEL_VERSION(3, 10, 0)	/* the CTAG/STAG split of the VLAN flags */
#define QLIX_F_VLAN_RX NETIF_F_HW_VLAN_CTAG_RX
#else
#define QLIX_F_VLAN_RX NETIF_F_HW_VLAN_RX
#endif

#if LINUX_VERSION_CODE >= KERNEL_VERSION(3, 17, 0)	/* alloc_netdev takes the name's origin */
#define qlix_alloc_netdev(sz, name, setup) alloc_netdev(sz, name, NET_NAME_UNKNOWN, setup)
#else
#define qlix_alloc_netdev(sz, name, setup) alloc_netdev(sz, name, setup)
#endif

#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 0, 0)	/* totalram_pages() and dev_open's extack */
#define qlix_total_pages() totalram_pages()
#define qlix_dev_reopen(dev) ({ dev_close(dev); dev_open(dev, NULL); })
#else
#define qlix_total_pages() totalram_pages
#define qlix_dev_reopen(dev) ({ dev_close(dev); dev_open(dev); })
#endif

#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 15, 0)	/* dev_addr became const */
#define qlix_set_dev_addr(dev, addr) eth_hw_addr_set(dev, addr)
#else
#define qlix_set_dev_addr(dev, addr) memcpy((dev)->dev_addr, addr, ETH_ALEN)
#endif

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 35)	/* bin_attribute read gets the file */
#define QLIX_BIN_READ_DECL(fn) \
	ssize_t fn(struct file *filp, struct kobject *kobj, struct bin_attribute *attr, char *buf, \
		   loff_t off, size_t count)
#else
#define QLIX_BIN_READ_DECL(fn) \
	ssize_t fn(struct kobject *kobj, struct bin_attribute *attr, char *buf, loff_t off, size_t count)
#endif

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 39)	/* kstrtou32 */
#define qlix_parse_u32(s, v) kstrtou32(s, 10, v)
#else
/* 64 bits wide, so that a value past 32 bits is refused on the 32-bit target too, not wrapped */
static inline int qlix_parse_u32(const char *s, u32 *v)
{
	unsigned long long l;
	int ret = strict_strtoull(s, 10, &l);

	if (!ret && l > 0xffffffffULL)
		ret = -EINVAL;
	if (!ret)
		*v = (u32)l;
	return ret;
}
#endif

/* Until 3.1 a device advertising hardware VLAN receive must take the VLAN group from the 8021q
 * module (ndo_vlan_rx_register), or the kernel refuses VLANs on it, and must hand tagged frames
 * over through vlan_hwaccel_rx itself.  From 3.1 on the core strips the tag; skb_vlan_untag (3.18)
 * does it here already so that the frame reaches the stack as the accelerated path leaves it. */
#if LINUX_VERSION_CODE < KERNEL_VERSION(3, 1, 0)
#define QLIX_VLAN_GROUP 1

static inline void qlix_netif_rx(struct vlan_group *grp, struct sk_buff *skb)
{
	u16 tci;

	if (skb->protocol != htons(ETH_P_8021Q) || !grp || skb->len < VLAN_HLEN) {
		netif_rx(skb);
		return;
	}
	tci = get_unaligned_be16(skb->data);
	if (!vlan_group_get_device(grp, tci & VLAN_VID_MASK)) {
		netif_rx(skb);
		return;
	}
	/* the packet shares its data with the rest of the aggregate */
	if (skb_cloned(skb)) {
		struct sk_buff *n = skb_copy(skb, GFP_ATOMIC);

		kfree_skb(skb);
		if (!n)
			return;
		skb = n;
	}
	memcpy(&skb->protocol, skb->data + 2, 2);
	memmove(skb_mac_header(skb) + VLAN_HLEN, skb_mac_header(skb), 2 * ETH_ALEN);
	skb_pull(skb, VLAN_HLEN);
	skb_set_mac_header(skb, -ETH_HLEN);
	vlan_hwaccel_rx(skb, grp, tci);
}
#else
struct vlan_group;

static inline void qlix_netif_rx(struct vlan_group *grp, struct sk_buff *skb)
{
	(void)grp;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(3, 18, 0)
	if (skb->protocol == htons(ETH_P_8021Q)) {
		skb = skb_vlan_untag(skb);
		if (!skb)
			return;
	}
#endif
	netif_rx(skb);
}
#endif

/* A radio shows itself by its wireless extensions (the device's drivers) or its cfg80211 state. */
static inline int qlix_dev_is_radio(const struct net_device *dev)
{
#if defined(__KERNEL__) && defined(CONFIG_WIRELESS_EXT)
	if (dev->wireless_handlers)
		return 1;
#endif
	return dev->ieee80211_ptr != NULL;
}

#endif
