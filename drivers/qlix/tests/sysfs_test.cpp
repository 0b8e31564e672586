// The settings and statistics surface of the module in the simulator: module parameters, the
// tunables, the /sys/qlix tree and the per-peer directory, whole texts and bytes, and creation
// failures that must not stop the module.
#include <gtest/gtest.h>

#include <regex>
#include <string>

extern "C" {
#include "sim/sim.h"
}

namespace {

const u8 kMaster[6] = { 0x02, 0x00, 0x00, 0x00, 0x00, 0x01 };
const u8 kPeerA[6] = { 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0x01 };
const u8 kPeerB[6] = { 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0x02 };

class Settings : public ::testing::Test {
protected:
	void SetUp() override
	{
		sim_config_defaults(&cfg);
		live_kmalloc = shim_kmalloc_live;
		shim_fail_alloc_after = -1;
		shim_fail_sysfs_name = nullptr;
		sim_create(&cfg);
		master = sim_add_node(kMaster, 0);
	}

	void TearDown() override
	{
		shim_fail_sysfs_name = nullptr;
		shim_fail_alloc_after = -1;
		if (master->loaded)
			sim_unload(master);
		EXPECT_EQ(0, sim->bugs) << sim->last_bug;
		sim_destroy();
		EXPECT_EQ(live_kmalloc, shim_kmalloc_live) << "allocations leaked";
	}

	void load() { ASSERT_EQ(0, sim_load(master, 1)); }

	// A peer whose device is up: it is in the up list and in all-stats.
	qlix_peer *up(const u8 *mac)
	{
		EXPECT_EQ(0, sim_peer_add(master, mac));
		qlix_peer *p = sim_peer(master, mac);
		EXPECT_NE(nullptr, p);
		if (p) {
			EXPECT_EQ(0, sim_dev_open(p->dev));
		}
		return p;
	}

	std::string read(const char *path)
	{
		static char buf[16384];
		ssize_t n = sim_sysfs_read(master, path, buf, sizeof(buf));
		EXPECT_GE(n, 0) << path;
		return n > 0 ? std::string(buf, (size_t)n) : std::string();
	}

	std::string log() const { return std::string(master->log ? master->log : "", master->log_len); }

	sim_config cfg;
	sim_node *master = nullptr;
	long live_kmalloc = 0;
};

// The defaults the module starts with, as the kernel build and the simulator share them.
TEST_F(Settings, ModuleParameterDefaults)
{
	const qlix_params &p = master->ctx.p;
	EXPECT_EQ(0, p.qlix_qos);
	EXPECT_EQ(150, p.train_timeslot);
	EXPECT_EQ(0, p.wrr);
	EXPECT_EQ(2, p.max_frag);
	EXPECT_EQ(3500, p.agg_size);
	EXPECT_STREQ("ath0", p.ifname);
	EXPECT_EQ(200, p.wait_time);
	EXPECT_EQ(0, p.master);
}

// Every tunable: its mode, its default, "%u" with or without the newline sysfs writes carry, the
// field it lands in, and what is refused.  The 8-bit ones keep the low 8 bits, as there are no
// range checks.
TEST_F(Settings, DevelOptions)
{
	load();
	qlix_tunables &t = master->ctx.t;
	struct {
		const char *name;
		const char *dflt;
		u32 (*get)(const qlix_tunables &);
		bool narrow;
	} rows[] = {
		{ "idle_enabled", "0", [](const qlix_tunables &x) -> u32 { return x.idle_enabled; }, true },
		{ "idle_max_num", "10", [](const qlix_tunables &x) { return x.idle_max_num; }, false },
		{ "idle_delay", "1000", [](const qlix_tunables &x) { return x.idle_delay; }, false },
		{ "idle_sig_delay", "20", [](const qlix_tunables &x) { return x.idle_sig_delay; }, false },
		{ "disconnect_on_timeout", "1",
		  [](const qlix_tunables &x) -> u32 { return x.disconnect_on_timeout; }, true },
		{ "disconnect_timeout", "15000", [](const qlix_tunables &x) { return x.disconnect_timeout; },
		  false },
		{ "cep1", "30", [](const qlix_tunables &x) { return x.cep1; }, false },
		{ "cep2", "10", [](const qlix_tunables &x) { return x.cep2; }, false },
		{ "qos_max_requeue", "10", [](const qlix_tunables &x) { return x.qos_max_requeue; }, false },
		{ "max_agg_pkt", "256", [](const qlix_tunables &x) { return x.max_agg_pkt; }, false },
		{ "improved_unsync", "0", [](const qlix_tunables &x) { return x.improved_unsync; }, false },
	};
	u32 n = 0;
	for (const auto &r : rows) {
		std::string path = std::string("/sys/qlix/devel_options/") + r.name;
		SCOPED_TRACE(path);
		EXPECT_EQ(0644, sim_sysfs_mode(master, path.c_str()));
		EXPECT_EQ(std::string(r.dflt) + "\n", read(path.c_str()));

		// a value of its own per file, so a file bound to the wrong field shows
		u32 v = 40 + n++;
		std::string text = std::to_string(v) + "\n";
		EXPECT_EQ((ssize_t)text.size(), sim_sysfs_write(master, path.c_str(), text.c_str()));
		EXPECT_EQ(v, r.get(t));
		EXPECT_EQ(text, read(path.c_str()));

		const char *big = r.narrow ? "300" : "4294967295";
		EXPECT_EQ((ssize_t)strlen(big), sim_sysfs_write(master, path.c_str(), big));
		EXPECT_EQ(r.narrow ? 44u : 4294967295u, r.get(t));
		EXPECT_EQ(r.narrow ? "44\n" : "4294967295\n", read(path.c_str()));

		for (const char *bad : { "", "\n", "ten", "12x", "-1", " 5", "5 ", "5\n\n", "0x10",
					 "4294967296", "99999999999999999999" }) {
			EXPECT_EQ(-EINVAL, sim_sysfs_write(master, path.c_str(), bad)) << '"' << bad << '"';
			EXPECT_EQ(r.narrow ? 44u : 4294967295u, r.get(t)) << "refused text changed it";
		}
	}
	for (const auto &r : rows)
		EXPECT_EQ(r.narrow ? 44u : 4294967295u, r.get(t)) << r.name << " written by another file";

	EXPECT_EQ(0444, sim_sysfs_mode(master, "/sys/qlix/devel_options/queue_len"));
	EXPECT_EQ("1000 256 256\n", read("/sys/qlix/devel_options/queue_len"));
	master->ctx.q.devqlen = 4000000000u;
	master->ctx.q.txq_limit = 7;
	master->ctx.q.rx_window = 9;
	EXPECT_EQ("4000000000 7 9\n", read("/sys/qlix/devel_options/queue_len"));
	EXPECT_EQ(-EACCES, sim_sysfs_write(master, "/sys/qlix/devel_options/queue_len", "1"));
	char page[4096];
	EXPECT_EQ(-EIO, sim_sysfs_op(master, "/sys/qlix/devel_options/queue_len", "1", page));
}

TEST_F(Settings, PeersFile)
{
	load();
	struct {
		const char *text;
		ssize_t ret; // 0: the whole length
	} rows[] = {
		{ "+AA:BB:CC:DD:EE:FF\n", 0 },
		{ "+aa:bb:cc:dd:ee:ff", -EINVAL },	// the same address in lower case
		{ "+aA:Bb:cC:dD:eE:01", 0 },
		{ "+00:11:22:33:44", -EFAULT },		// six fields
		{ "+", -EFAULT },
		{ "*00:11:22:33:44:55", -EINVAL },
		{ " 00:11:22:33:44:55", -EINVAL },
		{ "+00:11:22:33:44:100", -EINVAL },	// not a byte
		{ "-00:11:22:33:44:55", -EINVAL },	// unknown
		{ "-AA:BB:CC:DD:EE:FF\n", 0 },
		{ "-AA:BB:CC:DD:EE:FF\n", -EINVAL },	// deleted already
		{ "+AA:BB:CC:DD:EE:FF\n", 0 },		// and back
	};
	for (const auto &r : rows) {
		ssize_t want = r.ret ? r.ret : (ssize_t)strlen(r.text);
		EXPECT_EQ(want, sim_sysfs_write(master, "/sys/qlix/peers", r.text)) << r.text;
	}
	const u8 ff[6] = { 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff };
	EXPECT_NE(nullptr, sim_peer(master, ff));
	EXPECT_NE(nullptr, sim_peer(master, kPeerA));
	EXPECT_EQ(2, master->ctx.peer_count);
}

// Modes of every file, the links by device name and by upper-case MAC, and the answer of a file
// asked for an operation it does not have.
TEST_F(Settings, TreeAndModes)
{
	load();
	up(kPeerA);
	struct {
		const char *path;
		int mode;
	} rows[] = {
		{ "/sys/qlix/stats", 0444 },
		{ "/sys/qlix/peers", 0200 },
		{ "/sys/qlix/all-stats", 0444 },
		{ "/sys/class/net/peer0/qlix/weight", 0644 },
		{ "/sys/class/net/peer0/qlix/rate", 0444 },
		{ "/sys/class/net/peer0/qlix/poll_latency", 0444 },
		{ "/sys/class/net/peer0/qlix/stats", 0444 },
		{ "/sys/class/net/peer0/qlix/train_stats", 0444 },
		{ "/sys/class/net/peer0/qlix/idle_status", 0444 },
		{ "/sys/qlix/peer0", 0777 },
		{ "/sys/qlix/AA:BB:CC:DD:EE:01", 0777 },
		{ "/sys/qlix/peer0/weight", 0644 },
		{ "/sys/qlix/AA:BB:CC:DD:EE:01/idle_status", 0444 },
		{ "/sys/qlix/aa:bb:cc:dd:ee:01", -ENOENT },
		{ "/sys/qlix/peer1", -ENOENT },
	};
	for (const auto &r : rows)
		EXPECT_EQ(r.mode, sim_sysfs_mode(master, r.path)) << r.path;

	char page[4096];
	for (const char *f : { "rate", "poll_latency", "stats", "train_stats", "idle_status" }) {
		std::string path = std::string("/sys/qlix/peer0/") + f;
		EXPECT_EQ(-EIO, sim_sysfs_op(master, path.c_str(), "1\n", page)) << path;
	}
	EXPECT_EQ(-EIO, sim_sysfs_op(master, "/sys/qlix/stats", "1\n", page));
	EXPECT_EQ(-EIO, sim_sysfs_op(master, "/sys/qlix/peers", nullptr, page));

	EXPECT_EQ(read("/sys/class/net/peer0/qlix/stats"), read("/sys/qlix/AA:BB:CC:DD:EE:01/stats"));
	ASSERT_EQ(0, sim_peer_delete(master, kPeerA));
	for (const char *gone : { "/sys/qlix/peer0", "/sys/qlix/AA:BB:CC:DD:EE:01",
				  "/sys/class/net/peer0/qlix/stats" })
		EXPECT_EQ(-ENOENT, sim_sysfs_mode(master, gone)) << gone;
}

// Whole texts.  Counters above 2^31 stay positive: they are unsigned 32-bit on the target too.
TEST_F(Settings, GoldenTexts)
{
	load();
	qlix_peer *p = up(kPeerA);
	ASSERT_NE(nullptr, p);
	for (int i = 0; i < QS_NUM; i++)
		p->st[i] = 1000 + i;
	p->st[QS_RX] = 2147483653u;
	EXPECT_EQ("Interface: peer0\n"
		  "TX: 1001\n"
		  "RX: 2147483653\n"
		  "TX retries: 1002\n"
		  "RX dup: 1003\n"
		  "RX drop: 1004\n"
		  "TX packet too big: 1007\n"
		  "Queue stopped: 1008\n"
		  "START miss: 1010\n"
		  "END miss: 1009\n"
		  "TOKEN Tx: 1011\n"
		  "START Rx: 1012\n"
		  "END Rx: 1013\n"
		  "RX token dup: 1014\n"
		  "RX late token: 1015\n"
		  "Reinjected token: 1016\n"
		  "Consumed token: 1017\n"
		  "Train cut by penalty: 1018\n"
		  "Train cut by dataref issue: 1019\n"
		  "Train cut by max queue len: 1020\n"
		  "Train cut by no remote slots: 1021\n"
		  "Train cut by train send time: 1022\n"
		  "RX Token not in sync: 1023\n",
		  read("/sys/qlix/peer0/stats"));

	EXPECT_EQ("", read("/sys/qlix/peer0/train_stats"));
	memset(p->train_hist, 0, sizeof(p->train_hist));
	p->train_hist[0] = 5;
	p->train_hist[1] = 2147483653u;
	p->train_hist[QLIX_POOL_SIZE - 1] = 1;
	EXPECT_EQ(" [0]: 5\n [1]: 2147483653\n [255]: 1\n", read("/sys/qlix/peer0/train_stats"));

	struct {
		u32 v[QC_NUM];
		const char *text;
	} globals[] = {
		{ { 0, 0, 0, 0, 0 }, "START from wrong peer: 0\nEND from wrong peer: 0\nDATA from wrong peer: 0\n"
				     "Peer not found: 0\nPacket from non qlix interface: 0\n" },
		{ { 1, 2147483653u, 3, 4294967295u, 5 },
		  "START from wrong peer: 1\nEND from wrong peer: 2147483653\nDATA from wrong peer: 3\n"
		  "Peer not found: 4294967295\nPacket from non qlix interface: 5\n" },
	};
	for (const auto &g : globals) {
		memcpy(master->ctx.cstats, g.v, sizeof(g.v));
		EXPECT_EQ(g.text, read("/sys/qlix/stats"));
	}

	EXPECT_EQ("1\n", read("/sys/qlix/peer0/weight"));
	EXPECT_EQ(4, sim_sysfs_write(master, "/sys/qlix/peer0/weight", "250\n"));
	EXPECT_EQ(250u, p->weight);
	EXPECT_EQ("250\n", read("/sys/qlix/peer0/weight"));
	EXPECT_EQ(10, sim_sysfs_write(master, "/sys/qlix/peer0/weight", "4294967295"));
	EXPECT_EQ("4294967295\n", read("/sys/qlix/peer0/weight"));
	for (const char *bad : { "", "-1", "x", "4294967296", "1.5" })
		EXPECT_EQ(-EINVAL, sim_sysfs_write(master, "/sys/qlix/peer0/weight", bad)) << bad;
	EXPECT_EQ(4294967295u, p->weight);

	p->poll_latency = 0;
	EXPECT_EQ("0\n", read("/sys/qlix/peer0/poll_latency"));
	p->poll_latency = 2147483653u;
	EXPECT_EQ("2147483653\n", read("/sys/qlix/peer0/poll_latency"));

	EXPECT_EQ("0\n", read("/sys/qlix/peer0/idle_status"));
	sim_cur = master;
	mod_timer(&p->idle_timer, jiffies + 100);
	sim_cur = nullptr;
	EXPECT_EQ("1\n", read("/sys/qlix/peer0/idle_status"));
	sim_cur = master;
	del_timer(&p->idle_timer);
	sim_cur = nullptr;
	EXPECT_EQ("0\n", read("/sys/qlix/peer0/idle_status"));
}

// "od -An -tx1 -v" of the bytes, read independently of the record codec.
std::string od(const std::string &bytes)
{
	std::string out;
	char hex[4];
	for (size_t i = 0; i < bytes.size(); i++) {
		snprintf(hex, sizeof(hex), " %02x", (unsigned char)bytes[i]);
		out += hex;
		if (i % 16 == 15 || i + 1 == bytes.size())
			out += '\n';
	}
	return out;
}

void zero_counters(qlix_peer *p)
{
	memset(&p->dev->stats, 0, sizeof(p->dev->stats));
	memset(p->st, 0, sizeof(p->st));
}

// Records of the up peers, newest first, big-endian, as the collector reads them.
TEST_F(Settings, AllStatsGoldenDump)
{
	load();
	EXPECT_EQ("", read("/sys/qlix/all-stats"));
	ASSERT_EQ(0, sim_peer_add(master, kPeerB));
	EXPECT_EQ("", read("/sys/qlix/all-stats")) << "a peer whose device is down is not up";
	qlix_peer *a = up(kPeerA); // peer1
	qlix_peer *b = sim_peer(master, kPeerB); // peer0, up last: first
	ASSERT_EQ(0, sim_dev_open(b->dev));
	zero_counters(a);
	zero_counters(b);
	b->dev->stats.tx_packets = 0x01020304;
	b->dev->stats.tx_bytes = 0xa0b0c0d0;
	b->st[QS_TX_RETRIES] = 5;
	b->dev->stats.rx_packets = 6;
	b->dev->stats.rx_bytes = 7;
	b->st[QS_RX_DROP] = 8;
	b->dev->stats.rx_errors = 9;
	b->dev->stats.tx_errors = 0xffffffff;
	b->st[QS_TX] = 77; // not in the record
	a->st[QS_RX_DROP] = 0x80000005;
	EXPECT_EQ(" 70 65 65 72 30 00 00 00 00 00 00 00 00 00 00 00\n"
		  " aa bb cc dd ee 02 00 00 01 02 03 04 a0 b0 c0 d0\n"
		  " 00 00 00 05 00 00 00 06 00 00 00 07 00 00 00 08\n"
		  " 00 00 00 09 ff ff ff ff 70 65 65 72 31 00 00 00\n"
		  " 00 00 00 00 00 00 00 00 aa bb cc dd ee 01 00 00\n"
		  " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
		  " 00 00 00 00 80 00 00 05 00 00 00 00 00 00 00 00\n",
		  od(read("/sys/qlix/all-stats")));
}

// A read at any offset is that slice of the concatenation, cut at its end; it takes no memory,
// and leaves bottom halves as it found them.
TEST_F(Settings, AllStatsSlices)
{
	load();
	const u8 macs[3][6] = { { 2, 0, 0, 0, 0, 0x10 }, { 2, 0, 0, 0, 0, 0x11 }, { 2, 0, 0, 0, 0, 0x12 } };
	for (int i = 0; i < 3; i++) {
		qlix_peer *p = up(macs[i]);
		ASSERT_NE(nullptr, p);
		for (int k = 0; k < QS_NUM; k++)
			p->st[k] = 0x01010101u * (u32)(i + 1) + (u32)k;
	}
	std::string all = read("/sys/qlix/all-stats");
	ASSERT_EQ(3u * 56, all.size());
	char small[100];
	EXPECT_EQ(100, sim_sysfs_read(master, "/sys/qlix/all-stats", small, sizeof(small)));
	EXPECT_EQ(all.substr(0, 100), std::string(small, 100));
	struct {
		loff_t off;
		size_t count;
		size_t want;
	} rows[] = {
		{ 50, 100, 100 }, // the last 6 bytes of record 1, the first 94 of record 2
		{ 0, 4096, 168 },  { 0, 56, 56 },  { 56, 56, 56 }, { 55, 2, 2 },
		{ 150, 100, 18 },  { 167, 1, 1 },  { 168, 100, 0 }, { 400, 10, 0 },
		{ 0, 0, 0 },
	};
	sim_cur = master;
	for (const auto &r : rows) {
		char buf[4096];
		memset(buf, 0x5a, sizeof(buf));
		shim_fail_alloc_after = 0;
		int depth = sim->bh_depth;
		ssize_t n = qlix_all_stats_read(buf, r.off, r.count);
		EXPECT_EQ(depth, sim->bh_depth);
		EXPECT_EQ(0, shim_fail_alloc_after) << "all-stats allocated";
		shim_fail_alloc_after = -1;
		ASSERT_EQ((ssize_t)r.want, n) << r.off << "+" << r.count;
		EXPECT_EQ(all.substr((size_t)std::min<loff_t>(r.off, 168), r.want), std::string(buf, r.want))
			<< r.off << "+" << r.count;
		if (r.want < sizeof(buf)) {
			EXPECT_EQ(0x5a, (u8)buf[r.want]) << "wrote past what it returned";
		}
	}
	sim_cur = nullptr;
}

// Creation failures are logged with the function, line and error and the module goes on: the
// peer works, every other file is there, and everything goes at unload.
TEST_F(Settings, CreationFailuresLogged)
{
	struct {
		const char *fail;
		bool at_load;
		const char *log; // regex
		const char *missing, *present;
	} rows[] = {
		{ "qlix", false, R"(qlix_peer_sysfs_add:\d+ kobject_init_and_add failed -12\n)",
		  "/sys/class/net/peer0/qlix/stats", "/sys/qlix/stats" },
		{ "weight", false, R"(qlix_peer_sysfs_add:\d+ sysfs_create_file -12\n)", "/sys/qlix/peer0/weight",
		  "/sys/qlix/peer0/idle_status" },
		{ "peer0", false, R"(qlix_peer_sysfs_add:\d+ sysfs_create_link failed -12\n)", "/sys/qlix/peer0",
		  "/sys/qlix/AA:BB:CC:DD:EE:01/stats" },
		{ "AA:BB:CC:DD:EE:01", false, R"(qlix_peer_sysfs_add:\d+ sysfs_create_link failed -12\n)",
		  "/sys/qlix/AA:BB:CC:DD:EE:01", "/sys/qlix/peer0/stats" },
		{ "peers", true, R"(qlix_sysfs_init:\d+ sysfs_create_file -12\n)", "/sys/qlix/peers",
		  "/sys/qlix/peer0/stats" },
		{ "all-stats", true, R"(qlix_sysfs_init:\d+ sysfs_create_bin_file -12\n)", "/sys/qlix/all-stats",
		  "/sys/qlix/peers" },
		{ "devel_options", true, R"(qlix_sysfs_init:\d+ sysfs_create_group -12\n)",
		  "/sys/qlix/devel_options/cep1", "/sys/qlix/all-stats" },
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.fail);
		if (r.at_load)
			shim_fail_sysfs_name = r.fail;
		ASSERT_EQ(0, sim_load(master, 1));
		shim_fail_sysfs_name = r.fail;
		qlix_peer *p = up(kPeerA);
		shim_fail_sysfs_name = nullptr;
		ASSERT_NE(nullptr, p);
		EXPECT_TRUE(std::regex_search(log(), std::regex(r.log))) << log();
		EXPECT_EQ(-ENOENT, sim_sysfs_mode(master, r.missing)) << r.missing;
		EXPECT_GT(sim_sysfs_mode(master, r.present), 0) << r.present;
		EXPECT_EQ(1, master->ctx.peer_count);
		EXPECT_FALSE(list_empty(&master->ctx.peers_up));
		EXPECT_EQ(0, sim_peer_delete(master, kPeerA));
		sim_unload(master);
		EXPECT_EQ(-ENOENT, sim_sysfs_mode(master, r.present)) << "left at unload";
		master->log_len = 0;
		if (master->log)
			master->log[0] = 0;
	}
}

} // namespace
