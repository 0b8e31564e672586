/* fakepktgen: a stand-in for the kernel packet generator's control files and the receive counters
 * the link test reads, as a FUSE file system mounted where the programs find "/proc/net" through
 * MT_PROC_DIR.  It really sends the generator's UDP frames on the interface and really counts the
 * ones that arrive, so both ends of a link test measure real packets.
 *
 *   fakepktgen MOUNTPOINT [--log FILE] [--rx-base PACKETS:BYTES]
 *
 *   snmp                 "Ip:" names and values: 19 values of this host, then received packets, bytes
 *   pktgen/pgctrl        "start" (returns when every device has sent), "stop", "reset"
 *   pktgen/kpktgend_0    "add_device IF" (creates pktgen/IF), "rem_device_all"
 *   pktgen/IF            clone_skb, min_pkt_size, max_pkt_size, dst_min, dst_max, src_min, src_max,
 *                        dst_mac, ttl, count, delay; reading shows Params and "Result: OK: ..."
 *   pktgen/pgrx          "rx all" | "rx IF", "rx_reset", "statistics basic", "display script";
 *                        reading shows "G <packets> <bytes> <usec>" since the last reset
 *
 * Each write is one command, as in the kernel; an unknown one fails with EINVAL.  Every command is
 * appended to the --log file as "<file>: <command>".  --rx-base starts the received counters there
 * (they are never reset, like the kernel's, so a run can cross 2^32). */
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <arpa/inet.h>
#include <errno.h>
#include <linux/filter.h>
#include <linux/sockios.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>

#define PG_MAGIC 0xbe9be955u
#define PG_UDP_PORT 9
#define PG_HDR 16
#define PG_MIN_FRAME (14 + 20 + 8)

struct pg_dev {
	unsigned long long count = 1000, delay_ns = 0;
	unsigned min_size = 60, max_size = 60;
	int clone_skb = 0, ttl = 32;
	std::string dst_min = "0.0.0.0", dst_max = "0.0.0.0", src_min = "0.0.0.0", src_max = "0.0.0.0";
	uint8_t dst_mac[6] = { 0 };
	std::string result = "Result: Idle\n";
};

static pthread_mutex_t pg_lock = PTHREAD_MUTEX_INITIALIZER;
static std::map<std::string, pg_dev> pg_devs;
static FILE *pg_log;
static int pg_rx_ifindex = -1; /* -1 off, 0 all */
static unsigned long long pg_rx_packets, pg_rx_bytes;      /* never reset */
static unsigned long long pg_win_packets, pg_win_bytes;    /* since rx_reset */
static unsigned long long pg_win_first_ns, pg_win_last_ns;

static unsigned long long now_ns(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (unsigned long long)ts.tv_sec * 1000000000ull + (unsigned long long)ts.tv_nsec;
}

static void log_cmd(const char *file, const std::string &cmd)
{
	if (!pg_log)
		return;
	fprintf(pg_log, "%s: %s\n", file, cmd.c_str());
	fflush(pg_log);
}

/* ---- transmitting ---- */

static uint16_t ip_checksum(const uint8_t *p, size_t len)
{
	uint32_t sum = 0;
	for (size_t i = 0; i + 1 < len; i += 2)
		sum += (uint32_t)(p[i] << 8 | p[i + 1]);
	while (sum >> 16)
		sum = (sum & 0xffff) + (sum >> 16);
	return (uint16_t)~sum;
}

static void put16(uint8_t *p, uint16_t v)
{
	p[0] = (uint8_t)(v >> 8);
	p[1] = (uint8_t)v;
}

static void put32(uint8_t *p, uint32_t v)
{
	put16(p, (uint16_t)(v >> 16));
	put16(p + 2, (uint16_t)v);
}

/* A frame as the generator builds it: Ethernet, IPv4, UDP to port 9, its 16-byte header. */
static size_t build_frame(uint8_t *f, const pg_dev &d, const uint8_t src_mac[6])
{
	size_t len = d.min_size < PG_MIN_FRAME ? PG_MIN_FRAME : d.min_size;
	if (len < PG_MIN_FRAME + PG_HDR)
		len = PG_MIN_FRAME + PG_HDR;
	memset(f, 0, len);
	memcpy(f, d.dst_mac, 6);
	memcpy(f + 6, src_mac, 6);
	put16(f + 12, ETHERTYPE_IP);
	uint8_t *ip = f + 14;
	ip[0] = 0x45;
	put16(ip + 2, (uint16_t)(len - 14));
	ip[8] = (uint8_t)d.ttl;
	ip[9] = IPPROTO_UDP;
	inet_pton(AF_INET, d.src_min.c_str(), ip + 12);
	inet_pton(AF_INET, d.dst_min.c_str(), ip + 16);
	put16(ip + 10, ip_checksum(ip, 20));
	uint8_t *udp = ip + 20;
	put16(udp, PG_UDP_PORT);
	put16(udp + 2, PG_UDP_PORT);
	put16(udp + 4, (uint16_t)(len - 14 - 20));
	put32(udp + 8, PG_MAGIC);
	return len;
}

static int send_socket(const std::string &ifname, int *ifindex, uint8_t mac[6])
{
	int fd = socket(AF_PACKET, SOCK_RAW, 0);
	struct ifreq ifr;

	if (fd < 0)
		return -1;
	memset(&ifr, 0, sizeof(ifr));
	snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", ifname.c_str());
	*ifindex = (int)if_nametoindex(ifname.c_str());
	if (!*ifindex || ioctl(fd, SIOCGIFHWADDR, &ifr) < 0) {
		close(fd);
		return -1;
	}
	memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
	return fd;
}

/* Sends the device's count of frames; a frame the stack refuses (a dropping queue) counts as sent
 * with an error, as the generator counts it. */
static void run_device(const std::string &ifname, pg_dev d)
{
	uint8_t frame[2400], mac[6];
	int ifindex;
	unsigned long long sent = 0, errors = 0;
	int fd = send_socket(ifname, &ifindex, mac);
	char text[1024];

	if (fd < 0) {
		pthread_mutex_lock(&pg_lock);
		pg_devs[ifname].result = "Result: ERROR: cannot open " + ifname + "\n";
		pthread_mutex_unlock(&pg_lock);
		return;
	}
	struct sockaddr_ll to;
	memset(&to, 0, sizeof(to));
	to.sll_family = AF_PACKET;
	to.sll_ifindex = ifindex;
	to.sll_halen = 6;
	memcpy(to.sll_addr, d.dst_mac, 6);
	size_t len = build_frame(frame, d, mac);
	unsigned long long start = now_ns(), next = start;
	for (; sent < d.count; sent++) {
		if ((sent & 63) == 0 && fuse_interrupted())
			break;
		if (d.delay_ns) {
			while (now_ns() < next)
				;
			next += d.delay_ns;
		}
		struct timespec ts;
		clock_gettime(CLOCK_REALTIME, &ts);
		put32(frame + 14 + 20 + 8 + 4, (uint32_t)sent);
		put32(frame + 14 + 20 + 8 + 8, (uint32_t)ts.tv_sec);
		put32(frame + 14 + 20 + 8 + 12, (uint32_t)(ts.tv_nsec / 1000));
		ssize_t n;
		do
			n = sendto(fd, frame, len, 0, (struct sockaddr *)&to, sizeof(to));
		while (n < 0 && errno == EINTR);
		if (n < 0)
			errors++;
	}
	unsigned long long usec = (now_ns() - start) / 1000;
	close(fd);
	if (!usec)
		usec = 1;
	unsigned long long pps = sent * 1000000ull / usec;
	unsigned long long bps = pps * len * 8;
	char dmac[18];
	snprintf(dmac, sizeof(dmac), "%02x:%02x:%02x:%02x:%02x:%02x", d.dst_mac[0], d.dst_mac[1], d.dst_mac[2],
		 d.dst_mac[3], d.dst_mac[4], d.dst_mac[5]);
	snprintf(text, sizeof(text),
		 "Params: count %llu  min_pkt_size: %u  max_pkt_size: %u\n"
		 "     frags: 0  delay: %llu  clone_skb: %d  ifname: %s\n"
		 "     dst_min: %s  dst_max: %s\n     src_min: %s  src_max: %s\n"
		 "     dst_mac: %s  udp_src_min: 9  udp_dst_min: 9  ttl: %d\n"
		 "Current:\n     pkts-sofar: %llu  errors: %llu\n"
		 "Result: OK: %llu(c%llu+d0) usec, %llu (%zubyte,0frags)\n  %llupps %lluMb/sec (%llubps) errors: %llu\n",
		 d.count, d.min_size, d.max_size, d.delay_ns, d.clone_skb, ifname.c_str(), d.dst_min.c_str(),
		 d.dst_max.c_str(), d.src_min.c_str(), d.src_max.c_str(), dmac, d.ttl, sent, errors, usec, usec, sent,
		 len, pps, bps / 1000000, bps, errors);
	pthread_mutex_lock(&pg_lock);
	pg_devs[ifname].result = text;
	pthread_mutex_unlock(&pg_lock);
}

static int start_all(void)
{
	pthread_mutex_lock(&pg_lock);
	std::map<std::string, pg_dev> devs = pg_devs;
	pthread_mutex_unlock(&pg_lock);
	for (auto &kv : devs)
		run_device(kv.first, kv.second);
	return 0;
}

/* ---- receiving ---- */

static int pg_rx_fd = -1;

static int rx_open(void)
{
	/* Only the generator's frames; a short read still reports a frame's whole length (MSG_TRUNC). */
	struct sock_filter code[] = {
		BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 23),                 /* IP protocol */
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 0, 5),
		BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 36),                 /* UDP destination (no IP options) */
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PG_UDP_PORT, 0, 3),
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 42),                 /* generator magic */
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PG_MAGIC, 0, 1),
		BPF_STMT(BPF_RET | BPF_K, 0xFFFF),
		BPF_STMT(BPF_RET | BPF_K, 0),
	};
	struct sock_fprog prog = { (unsigned short)(sizeof(code) / sizeof(code[0])), code };
	int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_IP));
	int size = 64 << 20, one = 1;

	if (fd < 0)
		return -1;
	setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
	setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof(prog));
	setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof(one));
	return fd;
}

/* Takes and counts one waiting frame; false when none waits.  Called with pg_lock held, so that a
 * frame out of the socket is always counted before a reader of the tables looks. */
static bool rx_take_locked(void)
{
	uint8_t buf[64];
	char control[256];
	struct sockaddr_ll from;
	struct iovec iov = { buf, sizeof(buf) };
	struct msghdr mh;

	memset(&mh, 0, sizeof(mh));
	mh.msg_name = &from;
	mh.msg_namelen = sizeof(from);
	mh.msg_iov = &iov;
	mh.msg_iovlen = 1;
	mh.msg_control = control;
	mh.msg_controllen = sizeof(control);
	ssize_t n = recvmsg(pg_rx_fd, &mh, MSG_DONTWAIT | MSG_TRUNC);
	if (n < 0)
		return errno == EINTR;
	if (from.sll_pkttype != PACKET_HOST || !(pg_rx_ifindex == 0 || pg_rx_ifindex == from.sll_ifindex))
		return true;
	/* The kernel's arrival time: a burst may be taken late. */
	unsigned long long t = now_ns();
	for (struct cmsghdr *c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c)) {
		if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
			struct timespec ts;
			memcpy(&ts, CMSG_DATA(c), sizeof(ts));
			t = (unsigned long long)ts.tv_sec * 1000000000ull + (unsigned long long)ts.tv_nsec;
		}
	}
	/* The whole frame, Ethernet header included. */
	unsigned long long frame = (unsigned long long)n;
	pg_rx_packets++;
	pg_rx_bytes += frame;
	if (!pg_win_packets || t < pg_win_first_ns)
		pg_win_first_ns = t;
	if (t > pg_win_last_ns)
		pg_win_last_ns = t;
	pg_win_packets++;
	pg_win_bytes += frame;
	return true;
}

/* A reader of the tables sees every frame the kernel has taken in by then, as with the kernel's
 * own counters, not only those this process got round to.  Called with pg_lock held. */
static void rx_drain_locked(void)
{
	while (pg_rx_fd >= 0 && rx_take_locked())
		;
}

static void *rx_thread(void *arg)
{
	(void)arg;
	for (;;) {
		struct pollfd p = { pg_rx_fd, POLLIN, 0 };
		if (poll(&p, 1, -1) <= 0)
			continue;
		pthread_mutex_lock(&pg_lock);
		rx_drain_locked();
		pthread_mutex_unlock(&pg_lock);
	}
	return NULL;
}

/* ---- tables ---- */

static std::string snmp_text(void)
{
	static const char names[] = "Ip: Forwarding DefaultTTL InReceives InHdrErrors InAddrErrors ForwDatagrams "
				    "InUnknownProtos InDiscards InDelivers OutRequests OutDiscards OutNoRoutes "
				    "ReasmTimeout ReasmReqds ReasmOKs ReasmFails FragOKs FragFails FragCreates "
				    "RxPktgenPackets RxPktgenBytes\n";
	unsigned long long v[19] = { 2, 64 };
	char line[512];
	FILE *f = fopen("/proc/net/snmp", "r");

	if (f) {
		if (fgets(line, sizeof(line), f) && fgets(line, sizeof(line), f)) {
			char *p = line + 3;
			for (int i = 0; i < 19; i++)
				v[i] = strtoull(p, &p, 10);
		}
		fclose(f);
	}
	std::string out = names;
	out += "Ip:";
	for (int i = 0; i < 19; i++)
		out += " " + std::to_string(v[i]);
	pthread_mutex_lock(&pg_lock);
	rx_drain_locked();
	out += " " + std::to_string(pg_rx_packets) + " " + std::to_string(pg_rx_bytes) + "\n";
	pthread_mutex_unlock(&pg_lock);
	out += "Icmp: InMsgs InErrors\nIcmp: 0 0\n";
	return out;
}

static std::string pgrx_text(void)
{
	pthread_mutex_lock(&pg_lock);
	rx_drain_locked();
	unsigned long long usec = pg_win_packets > 1 ? (pg_win_last_ns - pg_win_first_ns) / 1000 : 0;
	std::string out = "RECEPTION STATISTICS\n";
	out += pg_rx_ifindex < 0 ? "rx: off\n" : "rx: on\n";
	out += "G " + std::to_string(pg_win_packets) + " " + std::to_string(pg_win_bytes) + " " + std::to_string(usec) + "\n";
	pthread_mutex_unlock(&pg_lock);
	return out;
}

/* ---- commands ---- */

static bool word(const std::string &cmd, const char *name, std::string *arg)
{
	size_t n = strlen(name);
	if (cmd.compare(0, n, name) != 0 || (cmd.size() > n && cmd[n] != ' '))
		return false;
	*arg = cmd.size() > n ? cmd.substr(n + 1) : "";
	while (!arg->empty() && arg->front() == ' ')
		arg->erase(0, 1);
	return true;
}

static int dev_command(const std::string &ifname, const std::string &cmd)
{
	std::string a;
	pthread_mutex_lock(&pg_lock);
	auto it = pg_devs.find(ifname);
	int rc = 0;
	if (it == pg_devs.end()) {
		rc = -ENOENT;
	} else {
		pg_dev &d = it->second;
		if (word(cmd, "count", &a))
			d.count = strtoull(a.c_str(), NULL, 10);
		else if (word(cmd, "delay", &a))
			d.delay_ns = strtoull(a.c_str(), NULL, 10);
		else if (word(cmd, "clone_skb", &a))
			d.clone_skb = atoi(a.c_str());
		else if (word(cmd, "min_pkt_size", &a))
			d.min_size = (unsigned)atoi(a.c_str());
		else if (word(cmd, "max_pkt_size", &a))
			d.max_size = (unsigned)atoi(a.c_str());
		else if (word(cmd, "ttl", &a))
			d.ttl = atoi(a.c_str());
		else if (word(cmd, "dst_min", &a))
			d.dst_min = a;
		else if (word(cmd, "dst_max", &a))
			d.dst_max = a;
		else if (word(cmd, "src_min", &a))
			d.src_min = a;
		else if (word(cmd, "src_max", &a))
			d.src_max = a;
		else if (!(word(cmd, "dst_mac", &a) &&
			   sscanf(a.c_str(), "%hhx:%hhx:%hhx:%hhx:%hhx:%hhx", &d.dst_mac[0], &d.dst_mac[1], &d.dst_mac[2],
				  &d.dst_mac[3], &d.dst_mac[4], &d.dst_mac[5]) == 6))
			rc = -EINVAL;
	}
	pthread_mutex_unlock(&pg_lock);
	return rc;
}

static int command(const std::string &file, const std::string &cmd)
{
	std::string a;
	int rc = 0;

	if (file == "pgctrl") {
		if (cmd == "start")
			return start_all();
		if (cmd == "reset") {
			pthread_mutex_lock(&pg_lock);
			pg_devs.clear();
			pthread_mutex_unlock(&pg_lock);
			return 0;
		}
		return cmd == "stop" ? 0 : -EINVAL;
	}
	if (file == "kpktgend_0") {
		pthread_mutex_lock(&pg_lock);
		if (cmd == "rem_device_all")
			pg_devs.clear();
		else if (word(cmd, "add_device", &a) && if_nametoindex(a.c_str()))
			pg_devs[a];
		else
			rc = word(cmd, "add_device", &a) ? -ENODEV : -EINVAL;
		pthread_mutex_unlock(&pg_lock);
		return rc;
	}
	if (file == "pgrx") {
		pthread_mutex_lock(&pg_lock);
		if (cmd == "rx_reset") {
			rx_drain_locked();
			pg_win_packets = pg_win_bytes = pg_win_first_ns = pg_win_last_ns = 0;
		}
		else if (word(cmd, "rx", &a) && !a.empty())
			pg_rx_ifindex = a == "all" ? 0 : (int)if_nametoindex(a.c_str());
		else if (cmd != "statistics basic" && cmd != "display script")
			rc = -EINVAL;
		pthread_mutex_unlock(&pg_lock);
		return rc;
	}
	return dev_command(file, cmd);
}

/* ---- file system ---- */

enum node { N_NONE, N_ROOT, N_DIR, N_SNMP, N_CTRL, N_THREAD, N_RX, N_DEV };

static enum node lookup(const char *path, std::string *leaf)
{
	if (strcmp(path, "/") == 0)
		return N_ROOT;
	if (strcmp(path, "/snmp") == 0)
		return N_SNMP;
	if (strcmp(path, "/pktgen") == 0)
		return N_DIR;
	if (strncmp(path, "/pktgen/", 8) != 0)
		return N_NONE;
	*leaf = path + 8;
	if (*leaf == "pgctrl")
		return N_CTRL;
	if (*leaf == "kpktgend_0")
		return N_THREAD;
	if (*leaf == "pgrx")
		return N_RX;
	pthread_mutex_lock(&pg_lock);
	bool known = pg_devs.count(*leaf) != 0;
	pthread_mutex_unlock(&pg_lock);
	return known ? N_DEV : N_NONE;
}

static int fs_getattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
	(void)fi;
	std::string leaf;
	enum node n = lookup(path, &leaf);

	memset(st, 0, sizeof(*st));
	if (n == N_NONE)
		return -ENOENT;
	if (n == N_ROOT || n == N_DIR) {
		st->st_mode = S_IFDIR | 0555;
		st->st_nlink = 2;
	} else {
		st->st_mode = S_IFREG | (n == N_SNMP ? 0444 : 0600);
		st->st_nlink = 1;
	}
	return 0;
}

static int fs_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t off, struct fuse_file_info *fi,
		      enum fuse_readdir_flags flags)
{
	(void)off;
	(void)fi;
	(void)flags;
	fill(buf, ".", NULL, 0, (enum fuse_fill_dir_flags)0);
	fill(buf, "..", NULL, 0, (enum fuse_fill_dir_flags)0);
	if (strcmp(path, "/") == 0) {
		fill(buf, "snmp", NULL, 0, (enum fuse_fill_dir_flags)0);
		fill(buf, "pktgen", NULL, 0, (enum fuse_fill_dir_flags)0);
		return 0;
	}
	if (strcmp(path, "/pktgen") != 0)
		return -ENOENT;
	for (const char *f : { "pgctrl", "kpktgend_0", "pgrx" })
		fill(buf, f, NULL, 0, (enum fuse_fill_dir_flags)0);
	pthread_mutex_lock(&pg_lock);
	for (auto &kv : pg_devs)
		fill(buf, kv.first.c_str(), NULL, 0, (enum fuse_fill_dir_flags)0);
	pthread_mutex_unlock(&pg_lock);
	return 0;
}

static int fs_open(const char *path, struct fuse_file_info *fi)
{
	std::string leaf, *text = new std::string();
	enum node n = lookup(path, &leaf);

	if (n == N_NONE || n == N_ROOT || n == N_DIR) {
		delete text;
		return -ENOENT;
	}
	/* A snapshot per open, like one seq_file read of the kernel's tables. */
	if (n == N_SNMP)
		*text = snmp_text();
	else if (n == N_RX)
		*text = pgrx_text();
	else if (n == N_DEV) {
		pthread_mutex_lock(&pg_lock);
		*text = pg_devs[leaf].result;
		pthread_mutex_unlock(&pg_lock);
	} else if (n == N_CTRL)
		*text = "Packet Generator (stand-in)\nRunning: \nStopped: \n";
	else
		*text = "Running: \nStopped: \n";
	fi->direct_io = 1;
	fi->fh = (uint64_t)(uintptr_t)text;
	return 0;
}

static int fs_read(const char *path, char *buf, size_t size, off_t off, struct fuse_file_info *fi)
{
	(void)path;
	const std::string *text = (const std::string *)(uintptr_t)fi->fh;
	if ((size_t)off >= text->size())
		return 0;
	size_t n = text->size() - (size_t)off < size ? text->size() - (size_t)off : size;
	memcpy(buf, text->data() + off, n);
	return (int)n;
}

static int fs_write(const char *path, const char *buf, size_t size, off_t off, struct fuse_file_info *fi)
{
	(void)off;
	(void)fi;
	std::string leaf, cmd(buf, size);
	if (lookup(path, &leaf) == N_SNMP)
		return -EACCES;
	while (!cmd.empty() && (cmd.back() == '\n' || cmd.back() == '\r' || cmd.back() == ' '))
		cmd.pop_back();
	log_cmd(leaf.c_str(), cmd);
	int rc = command(leaf, cmd);
	return rc < 0 ? rc : (int)size;
}

static int fs_truncate(const char *path, off_t size, struct fuse_file_info *fi)
{
	(void)path;
	(void)size;
	(void)fi;
	return 0;
}

static int fs_release(const char *path, struct fuse_file_info *fi)
{
	(void)path;
	delete (std::string *)(uintptr_t)fi->fh;
	return 0;
}

static void *fs_init(struct fuse_conn_info *conn, struct fuse_config *cfg)
{
	(void)conn;
	/* A signal to the writer of "start" ends the run early, as it ends the kernel's: the library
	 * then sends SIGUSR1 to the thread serving it (its handler is installed in main). */
	cfg->intr = 1;
	cfg->direct_io = 1;
	pthread_t t;
	pg_rx_fd = rx_open();
	if (pg_rx_fd < 0) {
		perror("fakepktgen: receive socket");
	} else {
		pthread_create(&t, NULL, rx_thread, NULL);
		pthread_detach(t);
	}
	return NULL;
}

static void on_interrupt(int sig)
{
	(void)sig;
}

int main(int argc, char **argv)
{
	static struct fuse_operations ops;
	const char *mountpoint = NULL;

	for (int i = 1; i < argc; i++) {
		if (strcmp(argv[i], "--log") == 0 && i + 1 < argc) {
			pg_log = fopen(argv[++i], "a");
		} else if (strcmp(argv[i], "--rx-base") == 0 && i + 1 < argc) {
			if (sscanf(argv[++i], "%llu:%llu", &pg_rx_packets, &pg_rx_bytes) != 2) {
				fprintf(stderr, "fakepktgen: --rx-base PACKETS:BYTES\n");
				return 2;
			}
		} else if (!mountpoint && argv[i][0] != '-') {
			mountpoint = argv[i];
		} else {
			fprintf(stderr, "usage: fakepktgen MOUNTPOINT [--log FILE] [--rx-base PACKETS:BYTES]\n");
			return 2;
		}
	}
	if (!mountpoint) {
		fprintf(stderr, "usage: fakepktgen MOUNTPOINT [--log FILE] [--rx-base PACKETS:BYTES]\n");
		return 2;
	}
	ops.getattr = fs_getattr;
	ops.readdir = fs_readdir;
	ops.open = fs_open;
	ops.read = fs_read;
	ops.write = fs_write;
	ops.truncate = fs_truncate;
	ops.release = fs_release;
	ops.init = fs_init;
	struct sigaction sa;
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_interrupt;
	sigaction(SIGUSR1, &sa, NULL);
	char *fargs[] = { argv[0], (char *)"-f", (char *)"-o", (char *)"max_threads=8", (char *)mountpoint, NULL };
	return fuse_main(5, fargs, &ops, NULL);
}
