// The module's all-stats file, read as the kernel hands it out (a page per read), through the
// statistics collector's decoder: every up peer arrives, with its own name, address and counters.
#include <gtest/gtest.h>

#include <string>
#include <vector>

extern "C" {
#include "sim/sim.h"
}
#include "stats/stats_codec.h"

namespace {

const u8 kMaster[6] = { 0x02, 0x00, 0x00, 0x00, 0x00, 0x01 };

TEST(AllStatsContract, CollectorDecodesWhatTheModuleWrites)
{
	sim_config cfg;
	sim_config_defaults(&cfg);
	long live = shim_kmalloc_live;
	sim_create(&cfg);
	sim_node *m = sim_add_node(kMaster, 0);
	ASSERT_EQ(0, sim_load(m, 1));
	const int peers = 130; // more than a page holds, and more than the collector keeps
	for (int i = 0; i < peers; i++) {
		u8 mac[6] = { 0x02, 0x30, 0, 0, (u8)(i >> 8), (u8)i };
		ASSERT_EQ(0, sim_peer_add(m, mac));
		qlix_peer *p = sim_peer(m, mac);
		ASSERT_EQ(0, sim_dev_open(p->dev));
		memset(&p->dev->stats, 0, sizeof(p->dev->stats));
		p->dev->stats.tx_packets = 0x80000000u + (u32)i;
		p->dev->stats.rx_bytes = (u32)i * 1000;
		p->st[QS_TX_RETRIES] = (u32)i + 7;
		p->st[QS_RX_DROP] = 0xffffffffu - (u32)i;
	}

	std::vector<char> file((size_t)peers * QLIX_STATS_REC_LEN + 4096);
	ssize_t size = sim_sysfs_read(m, "/sys/qlix/all-stats", file.data(), file.size());
	ASSERT_EQ(peers * QLIX_STATS_REC_LEN, size);
	static qlix_stats_rec recs[ALLSTATS_MAX];
	size_t n = allstats_decode((const uint8_t *)file.data(), (size_t)size, recs, ALLSTATS_MAX);
	ASSERT_EQ((size_t)ALLSTATS_MAX, n);
	for (size_t k = 0; k < n; k++) {
		int i = peers - 1 - (int)k; // the newest up first
		SCOPED_TRACE(i);
		EXPECT_EQ("peer" + std::to_string(i), recs[k].name);
		const uint8_t mac[6] = { 0x02, 0x30, 0, 0, (uint8_t)(i >> 8), (uint8_t)i };
		EXPECT_EQ(&recs[k], allstats_find(recs, n, mac));
		EXPECT_EQ(0x80000000u + (u32)i, recs[k].tx_packets);
		EXPECT_EQ((u32)i * 1000, recs[k].rx_bytes);
		EXPECT_EQ((u32)i + 7, recs[k].tx_retries);
		EXPECT_EQ(0xffffffffu - (u32)i, recs[k].rx_drop);
		EXPECT_EQ(0u, recs[k].tx_bytes | recs[k].rx_packets | recs[k].rx_errors | recs[k].tx_errors);
	}

	// one page alone: 73 whole records and the first 8 bytes of the 74th, which is no record
	sim_cur = m;
	std::vector<char> page(4096);
	ASSERT_EQ(4096, qlix_all_stats_read(page.data(), 0, page.size()));
	sim_cur = nullptr;
	EXPECT_EQ(73u, allstats_decode((const uint8_t *)page.data(), page.size(), recs, ALLSTATS_MAX));
	EXPECT_EQ(0, memcmp(page.data(), file.data(), page.size()));

	sim_unload(m);
	EXPECT_EQ(0, sim->bugs) << sim->last_bug;
	sim_destroy();
	EXPECT_EQ(live, shim_kmalloc_live);
}

} // namespace
