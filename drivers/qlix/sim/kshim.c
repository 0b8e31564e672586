/* Kernel facilities in user space, backed by the simulator's clock, nodes and medium. */
#include "sim.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdlib.h>

struct net init_net;
volatile unsigned long jiffies = INITIAL_JIFFIES;
long shim_kmalloc_live, shim_skb_live;
long shim_fail_alloc_after = -1;

struct qlix_ctx *sim_ctx(void)
{
	return &sim_cur->ctx;
}

/* ---------------------------------------------------------------- printk */

static size_t shim_directive(char *out, size_t cap, const char **pfmt, va_list *ap)
{
	const char *s = *pfmt, *f = s + 1;
	char directive[32], lmod[3] = "";
	size_t sl, ll = 0;
	char conv;

	while (*f && strchr("-+ #0", *f))
		f++;
	while (*f && (isdigit((unsigned char)*f) || *f == '.'))
		f++;
	while (*f && strchr("hlzjt", *f) && ll < 2)
		lmod[ll++] = *f++;
	lmod[ll] = 0;
	conv = *f ? *f++ : 0;
	sl = (size_t)(f - s);
	if (sl >= sizeof(directive))
		sl = sizeof(directive) - 1;
	memcpy(directive, s, sl);
	directive[sl] = 0;
	*pfmt = f;
	if (conv == 'p' && *f == 'M') {
		const u8 *m = va_arg(*ap, const u8 *);

		*pfmt = f + 1;
		return (size_t)snprintf(out, cap, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2],
					m[3], m[4], m[5]);
	}
	switch (conv) {
	case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': case 'c':
		if (!strcmp(lmod, "ll"))
			return (size_t)snprintf(out, cap, directive, va_arg(*ap, long long));
		if (!strcmp(lmod, "l") || !strcmp(lmod, "z"))
			return (size_t)snprintf(out, cap, directive, va_arg(*ap, long));
		return (size_t)snprintf(out, cap, directive, va_arg(*ap, int));
	case 's':
		return (size_t)snprintf(out, cap, directive, va_arg(*ap, const char *));
	case 'p':
		return (size_t)snprintf(out, cap, directive, va_arg(*ap, void *));
	case '%':
		return (size_t)snprintf(out, cap, "%%");
	default:
		return (size_t)snprintf(out, cap, "%s", directive);
	}
}

static void shim_vformat(char *out, size_t cap, const char *fmt, va_list ap)
{
	size_t n = 0;
	va_list aq;

	va_copy(aq, ap);
	while (*fmt && n + 1 < cap) {
		if (*fmt != '%') {
			out[n++] = *fmt++;
			continue;
		}
		n += shim_directive(out + n, cap - n, &fmt, &aq);
		if (n >= cap)
			n = cap - 1;
	}
	out[n] = 0;
	va_end(aq);
}

static void shim_log_append(struct sim_node *node, const char *text)
{
	size_t len = strlen(text);

	if (sim && sim->cfg.verbose)
		fprintf(stderr, "[%10.6f n%d] %s", sim->now_us / 1e6, node ? node->id : -1, text);
	if (!node)
		return;
	if (node->log_len + len + 1 > node->log_cap) {
		size_t cap = (node->log_cap + len + 1) * 2;
		char *p = (char *)realloc(node->log, cap);

		if (!p)
			return;
		node->log = p;
		node->log_cap = cap;
	}
	memcpy(node->log + node->log_len, text, len + 1);
	node->log_len += len;
}

int printk(const char *fmt, ...)
{
	char buf[1024];
	va_list ap;

	va_start(ap, fmt);
	shim_vformat(buf, sizeof(buf), fmt, ap);
	va_end(ap);
	shim_log_append(sim_cur, buf);
	return (int)strlen(buf);
}

void print_hex_dump(const char *level, const char *prefix, int type, int rowsize, int groupsize,
		    const void *buf, size_t len, int ascii)
{
	const u8 *b = (const u8 *)buf;
	char line[256];
	size_t i, j;

	(void)type;
	(void)groupsize;
	(void)ascii;
	for (i = 0; i < len; i += (size_t)rowsize) {
		int n = snprintf(line, sizeof(line), "%s%s%08zx:", level, prefix, i);

		for (j = i; j < len && j < i + (size_t)rowsize; j++)
			n += snprintf(line + n, sizeof(line) - (size_t)n, " %02x", b[j]);
		snprintf(line + n, sizeof(line) - (size_t)n, "\n");
		shim_log_append(sim_cur, line);
	}
}

void shim_bug(const char *file, int line, const char *func)
{
	const char *base = strrchr(file, '/');

	snprintf(sim->last_bug, sizeof(sim->last_bug), "BUG: failure at %s:%d/%s()!",
		 base ? base + 1 : file, line, func);
	printk("%s\n", sim->last_bug);
	sim->bugs++;
	if (sim->bug_jmp)
		longjmp(*sim->bug_jmp, 1);
	fprintf(stderr, "%s\n", sim->last_bug);
	abort();
}

void shim_warn(const char *file, int line)
{
	printk("WARNING: at %s:%d\n", file, line);
}

/* ---------------------------------------------------------------- memory */

static int shim_alloc_fails(void)
{
	if (shim_fail_alloc_after < 0)
		return 0;
	if (shim_fail_alloc_after-- == 0)
		return 1;
	return 0;
}

void *kmalloc(size_t size, gfp_t gfp)
{
	void *p;

	(void)gfp;
	if (shim_alloc_fails())
		return NULL;
	p = malloc(size ? size : 1);
	if (p)
		shim_kmalloc_live++;
	return p;
}

void *kzalloc(size_t size, gfp_t gfp)
{
	void *p = kmalloc(size, gfp);

	if (p)
		memset(p, 0, size);
	return p;
}

void *kcalloc(size_t n, size_t size, gfp_t gfp)
{
	return kzalloc(n * size, gfp);
}

void kfree(const void *p)
{
	if (!p)
		return;
	shim_kmalloc_live--;
	free((void *)p);
}

/* ---------------------------------------------------------------- context */

void local_bh_disable(void)
{
	sim->bh_depth++;
}

void local_bh_enable(void)
{
	BUG_ON(sim->bh_depth <= 0);
	sim->bh_depth--;
}

int in_softirq(void)
{
	return sim->softirq;
}

int shim_bh_disabled(void)
{
	return sim->bh_depth > 0;
}

void rtnl_lock(void)
{
	BUG_ON(sim->rtnl);
	sim->rtnl = 1;
}

void rtnl_unlock(void)
{
	sim->rtnl = 0;
}

/* ---------------------------------------------------------------- time */

unsigned long msecs_to_jiffies(unsigned int ms)
{
	return (unsigned long)(((u64)ms * HZ + 999) / 1000);
}

unsigned int jiffies_to_msecs(unsigned long j)
{
	return (unsigned int)((u64)j * 1000 / HZ);
}

unsigned int jiffies_to_usecs(unsigned long j)
{
	return (unsigned int)((u64)j * 1000000 / HZ);
}

void msleep(unsigned int ms)
{
	sim_run_for((u64)ms * 1000);
}

void ssleep(unsigned int s)
{
	sim_run_for((u64)s * 1000000);
}

/* ---------------------------------------------------------------- sk_buff */

struct sk_buff *alloc_skb(unsigned int size, gfp_t gfp)
{
	struct sk_buff *skb;

	(void)gfp;
	if (shim_alloc_fails())
		return NULL;
	size = (size + 7) & ~7u;	/* the shared info behind the data is 8-byte aligned */
	skb = (struct sk_buff *)calloc(1, sizeof(*skb));
	if (!skb)
		return NULL;
	skb->head = (unsigned char *)malloc(size + sizeof(struct skb_shared_info));
	if (!skb->head) {
		free(skb);
		return NULL;
	}
	skb->data = skb->head;
	skb->tail = skb->head;
	skb->end = skb->head + size;
	memset(skb_shinfo(skb), 0, sizeof(struct skb_shared_info));
	atomic_set(&skb_shinfo(skb)->dataref, 1);
	shim_skb_live++;
	return skb;
}

struct sk_buff *dev_alloc_skb(unsigned int size)
{
	struct sk_buff *skb = alloc_skb(size + 32, GFP_ATOMIC);

	if (skb)
		skb_reserve(skb, 32);
	return skb;
}

void kfree_skb(struct sk_buff *skb)
{
	if (!skb)
		return;
	if (atomic_dec_and_test(&skb_shinfo(skb)->dataref)) {
		memset(skb->head, 0x6b, (size_t)(skb->end - skb->head));
		free(skb->head);
	}
	memset(skb, 0x6b, sizeof(*skb));
	free(skb);
	shim_skb_live--;
}

struct sk_buff *skb_clone(struct sk_buff *skb, gfp_t gfp)
{
	struct sk_buff *n;

	(void)gfp;
	if (shim_alloc_fails())
		return NULL;
	n = (struct sk_buff *)malloc(sizeof(*n));
	if (!n)
		return NULL;
	*n = *skb;
	n->next = n->prev = NULL;
	n->cloned = 1;
	skb->cloned = 1;
	atomic_inc(&skb_shinfo(skb)->dataref);
	shim_skb_live++;
	return n;
}

struct sk_buff *skb_copy(const struct sk_buff *skb, gfp_t gfp)
{
	unsigned int size = (unsigned int)(skb->end - skb->head);
	struct sk_buff *n = alloc_skb(size, gfp);

	if (!n)
		return NULL;
	memcpy(n->head, skb->head, size);
	n->data = n->head + (skb->data - skb->head);
	n->tail = n->head + (skb->tail - skb->head);
	n->len = skb->len;
	n->dev = skb->dev;
	n->protocol = skb->protocol;
	n->mac_header = skb->mac_header;
	memcpy(n->cb, skb->cb, sizeof(n->cb));
	return n;
}

unsigned char *skb_put(struct sk_buff *skb, unsigned int len)
{
	unsigned char *t = skb->tail;

	BUG_ON(skb->tail + len > skb->end);
	skb->tail += len;
	skb->len += len;
	return t;
}

unsigned char *skb_push(struct sk_buff *skb, unsigned int len)
{
	BUG_ON(skb->data - len < skb->head);
	skb->data -= len;
	skb->len += len;
	return skb->data;
}

unsigned char *skb_pull(struct sk_buff *skb, unsigned int len)
{
	if (len > skb->len)
		return NULL;
	skb->data += len;
	skb->len -= len;
	return skb->data;
}

void skb_trim(struct sk_buff *skb, unsigned int len)
{
	if (skb->len > len) {
		skb->len = len;
		skb->tail = skb->data + len;
	}
}

int skb_copy_bits(const struct sk_buff *skb, int offset, void *to, int len)
{
	if (offset < 0 || len < 0 || (unsigned int)(offset + len) > skb->len)
		return -EFAULT;
	memcpy(to, skb->data + offset, (size_t)len);
	return 0;
}

__be16 eth_type_trans(struct sk_buff *skb, struct net_device *dev)
{
	__be16 proto;

	skb->dev = dev;
	skb_reset_mac_header(skb);
	skb_pull(skb, ETH_HLEN);
	memcpy(&proto, &eth_hdr(skb)->h_proto, 2);
	return proto;
}

/* The 8021q module of the era: the operator has a VLAN device for every VLAN on every peer device.
 * A device that advertises hardware VLAN receive is handed the group when it registers; one that
 * cannot take it gets no VLANs, as register_vlan_dev refused them ("buggy VLAN hw accel"). */
struct vlan_group {
	struct net_device vlan_dev;
};
static struct vlan_group shim_vlan_group;

struct net_device *vlan_group_get_device(struct vlan_group *grp, u16 vid)
{
	return grp && vid ? &grp->vlan_dev : NULL;
}

int vlan_hwaccel_rx(struct sk_buff *skb, struct vlan_group *grp, u16 vlan_tci)
{
	BUG_ON(grp != &shim_vlan_group);
	skb->vlan_tci = vlan_tci;
	skb->vlan_present = 1;
	return netif_rx(skb);
}

static void shim_vlan_attach(struct net_device *dev, struct vlan_group *grp)
{
	if (!(dev->features & NETIF_F_HW_VLAN_RX))
		return;
	if (!dev->netdev_ops || !dev->netdev_ops->ndo_vlan_rx_register) {
		dev->vlans_refused = 1;
		return;
	}
	dev->netdev_ops->ndo_vlan_rx_register(dev, grp);
}

/* ---------------------------------------------------------------- net devices */

void ether_setup(struct net_device *dev)
{
	dev->mtu = 1500;
	dev->hard_header_len = ETH_HLEN;
	dev->tx_queue_len = 1000;
}

struct net_device *alloc_netdev(int sizeof_priv, const char *name, void (*setup)(struct net_device *))
{
	struct net_device *dev;

	if (shim_alloc_fails())
		return NULL;
	dev = (struct net_device *)calloc(1, sizeof(*dev));
	if (!dev)
		return NULL;
	dev->priv = calloc(1, (size_t)sizeof_priv);
	snprintf(dev->name, sizeof(dev->name), "%s", name);
	dev->node = sim_cur;
	dev->setup = setup;
	if (setup)
		setup(dev);
	shim_kmalloc_live++;
	return dev;
}

static int shim_name_taken(struct sim_node *n, const char *name)
{
	int i;

	for (i = 0; i < n->ndevs; i++)
		if (!strcmp(n->devs[i]->name, name))
			return 1;
	return 0;
}

int register_netdev(struct net_device *dev)
{
	struct sim_node *n = dev->node;
	char name[IFNAMSIZ];
	int i;

	if (n->ndevs >= SIM_MAX_DEVS)
		return -ENOMEM;
	snprintf(dev->dev.kobj.name, sizeof(dev->dev.kobj.name), "class/net/%s", dev->name);
	if (strstr(dev->name, "%d")) {
		for (i = 0;; i++) {
			snprintf(name, sizeof(name), dev->name, i);
			if (!shim_name_taken(n, name))
				break;
		}
		memcpy(dev->name, name, sizeof(name));
	} else if (shim_name_taken(n, dev->name)) {
		return -EINVAL;
	}
	n->devs[n->ndevs++] = dev;
	dev->registered = 1;
	shim_vlan_attach(dev, &shim_vlan_group);
	snprintf(dev->dev.kobj.name, sizeof(dev->dev.kobj.name), "class/net/%s", dev->name);
	return 0;
}

void unregister_netdev(struct net_device *dev)
{
	struct sim_node *n = dev->node;
	int i;

	dev_close(dev);
	shim_vlan_attach(dev, NULL);
	sim_dev_gone(dev);
	for (i = 0; i < n->ndevs; i++) {
		if (n->devs[i] == dev) {
			n->devs[i] = n->devs[--n->ndevs];
			break;
		}
	}
	dev->registered = 0;
}

void free_netdev(struct net_device *dev)
{
	free(dev->priv);
	free(dev);
	shim_kmalloc_live--;
}

struct net_device *dev_get_by_name(struct net *net, const char *name)
{
	int i;

	(void)net;
	for (i = 0; i < sim_cur->ndevs; i++) {
		if (!strcmp(sim_cur->devs[i]->name, name)) {
			dev_hold(sim_cur->devs[i]);
			return sim_cur->devs[i];
		}
	}
	return NULL;
}

int dev_open(struct net_device *dev)
{
	int ret = 0;

	if (dev->flags & IFF_UP)
		return 0;
	if (dev->netdev_ops && dev->netdev_ops->ndo_open)
		ret = dev->netdev_ops->ndo_open(dev);
	if (!ret)
		dev->flags |= IFF_UP;
	dev->reopened++;
	return ret;
}

int dev_close(struct net_device *dev)
{
	if (!(dev->flags & IFF_UP))
		return 0;
	if (dev->netdev_ops && dev->netdev_ops->ndo_stop)
		dev->netdev_ops->ndo_stop(dev);
	dev->flags &= ~IFF_UP;
	return 0;
}

/* ---------------------------------------------------------------- user-mode helper */

int call_usermodehelper(const char *path, char **argv, char **envp, int wait)
{
	struct sim_umh_call *c;
	int i;

	(void)path;
	if (sim->numh >= SIM_MAX_UMH)
		return sim_cur->umh_ret;
	c = &sim->umh[sim->numh++];
	memset(c, 0, sizeof(*c));
	c->node = sim_cur->id;
	c->wait = wait;
	for (i = 0; argv[i] && i < 6; i++)
		snprintf(c->argv[i], sizeof(c->argv[i]), "%s", argv[i]);
	c->argc = i;
	for (i = 0; envp[i] && i < 2; i++)
		snprintf(c->envp[i], sizeof(c->envp[i]), "%s", envp[i]);
	return sim_cur->umh_ret;
}

/* ---------------------------------------------------------------- kobjects and sysfs */

struct shim_sysfs_entry {
	struct sim_node *node;
	struct kobject *kobj;
	const char *group;
	const struct attribute *attr;
	struct bin_attribute *bin;
	struct kobject *target;		/* links */
	char link[32];
};

#define SHIM_SYSFS_MAX 4096
static struct shim_sysfs_entry sysfs_tab[SHIM_SYSFS_MAX];
static int sysfs_n;

/* A sysfs object of this name fails to be created with -ENOMEM (directory objects, files, groups,
 * binary files and links alike); NULL: none. */
const char *shim_fail_sysfs_name;

static int sysfs_fails(const char *name)
{
	return shim_fail_sysfs_name && name && !strcmp(name, shim_fail_sysfs_name);
}

static int sysfs_add(struct shim_sysfs_entry e)
{
	if (shim_alloc_fails())
		return -ENOMEM;
	if (sysfs_n == SHIM_SYSFS_MAX)
		return -ENOMEM;
	e.node = sim_cur;
	sysfs_tab[sysfs_n++] = e;
	return 0;
}

static void sysfs_drop(int i)
{
	sysfs_tab[i] = sysfs_tab[--sysfs_n];
}

static void sysfs_drop_where(struct kobject *kobj, const struct attribute *attr, const char *group,
			     const char *link)
{
	int i;

	for (i = sysfs_n - 1; i >= 0; i--) {
		struct shim_sysfs_entry *e = &sysfs_tab[i];

		if (e->kobj != kobj)
			continue;
		if (attr && e->attr != attr)
			continue;
		if (group && (!e->group || strcmp(e->group, group)))
			continue;
		if (link && strcmp(e->link, link))
			continue;
		sysfs_drop(i);
	}
}

struct kobject *kobject_create_and_add(const char *name, struct kobject *parent)
{
	struct kobject *k = (struct kobject *)kzalloc(sizeof(*k), GFP_KERNEL);

	if (!k)
		return NULL;
	snprintf(k->name, sizeof(k->name), "%s", name);
	k->parent = parent;
	k->dynamic = 1;
	return k;
}

int kobject_init_and_add(struct kobject *kobj, struct kobj_type *ktype, struct kobject *parent,
			 const char *fmt, ...)
{
	va_list ap;

	/* as in the kernel, the object is initialised even when adding it fails: the caller puts it */
	kobj->ktype = ktype;
	va_start(ap, fmt);
	vsnprintf(kobj->name, sizeof(kobj->name), fmt, ap);
	va_end(ap);
	if (shim_alloc_fails() || sysfs_fails(kobj->name))
		return -ENOMEM;
	kobj->parent = parent;
	return 0;
}

void kobject_del(struct kobject *kobj)
{
	if (!kobj)
		return;
	sysfs_drop_where(kobj, NULL, NULL, NULL);
	kobj->parent = NULL;
}

/* The directory goes with its object, as in the kernel; links to it are the owner's business.  An
 * embedded object's memory belongs to its release: the kernel may run it long after the last put
 * (delayed release debugging), so a release that frees nothing means the owner frees the object
 * behind the kobject's back. */
void kobject_put(struct kobject *kobj)
{
	long before = shim_kmalloc_live;
	char name[sizeof(kobj->name)];

	if (!kobj)
		return;
	memcpy(name, kobj->name, sizeof(name));
	sysfs_drop_where(kobj, NULL, NULL, NULL);
	if (kobj->dynamic) {
		kfree(kobj);
		return;
	}
	if (kobj->ktype && kobj->ktype->release)
		kobj->ktype->release(kobj);
	if (shim_kmalloc_live >= before) {
		snprintf(sim->last_bug, sizeof(sim->last_bug),
			 "kobject '%s': its release freed nothing", name);
		printk("%s\n", sim->last_bug);
		sim->bugs++;
	}
}

int sysfs_create_file(struct kobject *kobj, const struct attribute *attr)
{
	struct shim_sysfs_entry e = { 0 };

	if (sysfs_fails(attr->name))
		return -ENOMEM;
	e.kobj = kobj;
	e.attr = attr;
	return sysfs_add(e);
}

void sysfs_remove_file(struct kobject *kobj, const struct attribute *attr)
{
	sysfs_drop_where(kobj, attr, NULL, NULL);
}

int sysfs_create_group(struct kobject *kobj, const struct attribute_group *grp)
{
	struct shim_sysfs_entry e = { 0 };
	int i, ret;

	if (sysfs_fails(grp->name))
		return -ENOMEM;
	for (i = 0; grp->attrs[i]; i++) {
		e.kobj = kobj;
		e.group = grp->name;
		e.attr = grp->attrs[i];
		ret = sysfs_add(e);
		if (ret) {
			sysfs_remove_group(kobj, grp);
			return ret;
		}
	}
	return 0;
}

void sysfs_remove_group(struct kobject *kobj, const struct attribute_group *grp)
{
	sysfs_drop_where(kobj, NULL, grp->name, NULL);
}

int sysfs_create_bin_file(struct kobject *kobj, struct bin_attribute *attr)
{
	struct shim_sysfs_entry e = { 0 };

	if (sysfs_fails(attr->attr.name))
		return -ENOMEM;
	e.kobj = kobj;
	e.attr = &attr->attr;
	e.bin = attr;
	return sysfs_add(e);
}

void sysfs_remove_bin_file(struct kobject *kobj, struct bin_attribute *attr)
{
	sysfs_drop_where(kobj, &attr->attr, NULL, NULL);
}

int sysfs_create_link(struct kobject *kobj, struct kobject *target, const char *name)
{
	struct shim_sysfs_entry e = { 0 };
	int i;

	if (sysfs_fails(name))
		return -ENOMEM;
	for (i = 0; i < sysfs_n; i++)
		if (sysfs_tab[i].kobj == kobj && !strcmp(sysfs_tab[i].link, name))
			return -EEXIST;
	e.kobj = kobj;
	e.target = target;
	snprintf(e.link, sizeof(e.link), "%s", name);
	return sysfs_add(e);
}

void sysfs_remove_link(struct kobject *kobj, const char *name)
{
	sysfs_drop_where(kobj, NULL, NULL, name);
}

/* Digits only, as the kernel takes them (no sign, no white space, not empty, one newline at the
 * end); too large is refused, not saturated. */
int strict_strtoull(const char *s, unsigned int base, unsigned long long *res)
{
	char *end;

	if (!isxdigit((unsigned char)*s))
		return -EINVAL;
	errno = 0;
	*res = strtoull(s, &end, (int)base);
	if (errno == ERANGE || end == s)
		return -EINVAL;
	if (*end == '\n')
		end++;
	return *end ? -EINVAL : 0;
}

int strict_strtoul(const char *s, unsigned int base, unsigned long *res)
{
	unsigned long long v;
	int rc = strict_strtoull(s, base, &v);

	if (rc)
		return rc;
	if (v > ULONG_MAX)
		return -EINVAL;
	*res = (unsigned long)v;
	return 0;
}

#define SHIM_PATH 512

/* out = a + "/" + b, cut at cap */
static void path_join(char *out, size_t cap, const char *a, const char *b)
{
	size_t la = strlen(a), lb = strlen(b);

	if (la > cap - 1)
		la = cap - 1;
	memmove(out, a, la);
	if (la + 1 < cap)
		out[la++] = '/';
	if (lb > cap - 1 - la)
		lb = cap - 1 - la;
	memcpy(out + la, b, lb);
	out[la + lb] = 0;
}

static void kobj_path(const struct kobject *k, char *out, size_t cap)
{
	char tmp[SHIM_PATH];

	if (!k) {
		snprintf(out, cap, "/sys");
		return;
	}
	kobj_path(k->parent, tmp, sizeof(tmp));
	path_join(out, cap, tmp, k->name);
}

/* Resolves a path to an attribute, following links in the directory part. */
static struct shim_sysfs_entry *sysfs_lookup(const char *path, struct kobject **kobj_out)
{
	char dir[SHIM_PATH], file[64], p[SHIM_PATH], q[SHIM_PATH];
	const char *slash = strrchr(path, '/');
	int i, j;

	if (!slash)
		return NULL;
	snprintf(dir, sizeof(dir), "%.*s", (int)(slash - path), path);
	snprintf(file, sizeof(file), "%s", slash + 1);
	for (i = 0; i < sysfs_n; i++) {
		struct shim_sysfs_entry *e = &sysfs_tab[i];

		if (e->node != sim_cur || !e->attr)
			continue;
		kobj_path(e->kobj, p, sizeof(p));
		if (e->group)
			path_join(p, sizeof(p), p, e->group);
		if (!strcmp(p, dir) && !strcmp(e->attr->name, file)) {
			*kobj_out = e->kobj;
			return e;
		}
		/* through a link: /sys/qlix/<link>/<file> */
		for (j = 0; j < sysfs_n; j++) {
			struct shim_sysfs_entry *l = &sysfs_tab[j];

			if (l->node != sim_cur || !l->target || l->target != e->kobj || e->group)
				continue;
			kobj_path(l->kobj, q, sizeof(q));
			path_join(p, sizeof(p), q, l->link);
			if (!strcmp(p, dir) && !strcmp(e->attr->name, file)) {
				*kobj_out = e->kobj;
				return e;
			}
		}
	}
	return NULL;
}

int sim_sysfs_exists(struct sim_node *n, const char *path)
{
	struct sim_node *save = sim_cur;
	struct kobject *k;
	char p[SHIM_PATH];
	int i, found;

	sim_cur = n;
	found = sysfs_lookup(path, &k) != NULL;
	for (i = 0; !found && i < sysfs_n; i++) {
		if (sysfs_tab[i].node != n || !sysfs_tab[i].target)
			continue;
		kobj_path(sysfs_tab[i].kobj, p, sizeof(p));
		path_join(p, sizeof(p), p, sysfs_tab[i].link);
		found = !strcmp(p, path);
	}
	sim_cur = save;
	return found;
}

/* Reads like cat: text files in one page, binary files in page-sized read() calls until EOF. */
ssize_t sim_sysfs_read(struct sim_node *n, const char *path, char *buf, size_t size)
{
	struct sim_node *save = sim_cur;
	struct shim_sysfs_entry *e;
	struct kobject *k;
	char page[4096];
	ssize_t ret;

	sim_cur = n;
	e = sysfs_lookup(path, &k);
	if (!e || !(e->attr->mode & 0444)) {
		ret = -ENOENT;
	} else if (e->bin) {
		size_t done = 0;

		/* a buffer too small for the file takes its first bytes */
		for (;;) {
			ssize_t r = done < size ? e->bin->read(k, e->bin, page, (loff_t)done, sizeof(page)) : 0;

			if (r <= 0) {
				ret = r < 0 ? r : (ssize_t)done;
				break;
			}
			if ((size_t)r > size - done)
				r = (ssize_t)(size - done);
			memcpy(buf + done, page, (size_t)r);
			done += (size_t)r;
		}
	} else {
		memset(page, 0, sizeof(page));
		if (k->ktype && k->ktype->sysfs_ops)
			ret = k->ktype->sysfs_ops->show(k, (struct attribute *)e->attr, page);
		else if (((const struct kobj_attribute *)e->attr)->show)
			ret = ((struct kobj_attribute *)e->attr)->show(k, (struct kobj_attribute *)e->attr, page);
		else
			ret = -EIO;
		if (ret > 0) {
			if ((size_t)ret >= size)
				ret = (ssize_t)size - 1;
			memcpy(buf, page, (size_t)ret);
			buf[ret] = 0;
		}
	}
	sim_cur = save;
	return ret;
}

/* The mode of a file, 0777 for a link, -ENOENT when there is neither. */
int sim_sysfs_mode(struct sim_node *n, const char *path)
{
	struct sim_node *save = sim_cur;
	struct shim_sysfs_entry *e;
	struct kobject *k;
	int mode;

	sim_cur = n;
	e = sysfs_lookup(path, &k);
	mode = e ? e->attr->mode : -ENOENT;
	sim_cur = save;
	if (mode < 0 && sim_sysfs_exists(n, path))
		mode = 0777;
	return mode;
}

/* What the object's show (text NULL, into page) or store answers, whatever the file's mode: the
 * operation a file offers in a direction its mode does not allow. */
ssize_t sim_sysfs_op(struct sim_node *n, const char *path, const char *text, char *page)
{
	struct sim_node *save = sim_cur;
	struct shim_sysfs_entry *e;
	struct kobject *k;
	ssize_t ret;

	sim_cur = n;
	e = sysfs_lookup(path, &k);
	if (!e || e->bin) {
		ret = -ENOENT;
	} else if (k->ktype && k->ktype->sysfs_ops) {
		if (text)
			ret = k->ktype->sysfs_ops->store(k, (struct attribute *)e->attr, text, strlen(text));
		else
			ret = k->ktype->sysfs_ops->show(k, (struct attribute *)e->attr, page);
	} else {
		/* a plain directory object: the kernel's own dispatch, -EIO where the file has no op */
		struct kobj_attribute *a = (struct kobj_attribute *)e->attr;

		ret = -EIO;
		if (text && a->store)
			ret = a->store(k, a, text, strlen(text));
		else if (!text && a->show)
			ret = a->show(k, a, page);
	}
	sim_cur = save;
	return ret;
}

ssize_t sim_sysfs_write(struct sim_node *n, const char *path, const char *text)
{
	struct sim_node *save = sim_cur;
	struct shim_sysfs_entry *e;
	struct kobject *k;
	ssize_t ret;

	sim_cur = n;
	e = sysfs_lookup(path, &k);
	if (!e || !(e->attr->mode & 0222) || e->bin)
		ret = -EACCES;
	else if (k->ktype && k->ktype->sysfs_ops)
		ret = k->ktype->sysfs_ops->store(k, (struct attribute *)e->attr, text, strlen(text));
	else if (((const struct kobj_attribute *)e->attr)->store)
		ret = ((struct kobj_attribute *)e->attr)->store(k, (struct kobj_attribute *)e->attr, text,
								 strlen(text));
	else
		ret = -EIO;
	sim_cur = save;
	return ret;
}

unsigned long shim_total_pages(void)
{
	return sim_cur->total_pages;
}
