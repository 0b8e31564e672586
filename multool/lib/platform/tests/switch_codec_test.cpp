#include <gtest/gtest.h>

#include <string.h>

#include "platform/eth.h"
#include "platform/switch.h"

TEST(Switch, KindTwoBinaryStatsAreBigEndian)
{
	// 40 bytes as the switch driver writes them
	const uint8_t bin[SW_BIN_STATS_SIZE] = {
		0, 0, 0, 0, 0, 0, 0, 0,
		0x00, 0x00, 0x03, 0xE8,  // speed 1000
		1, 1, 0, 0,              // duplex full, link up, -, disabled
		0x00, 0x00, 0x01, 0x02,  // tx packets
		0x00, 0x01, 0x00, 0x00,  // rx packets
		0, 0, 0, 0,
		0xAA, 0xBB, 0xCC, 0xDD,  // tx bytes
		0, 0, 0, 0,
		0x80, 0x00, 0x00, 0x01,  // rx bytes
	};
	struct eth_state es;
	struct sw_port_stats st;
	memset(&es, 0, sizeof(es));
	sw_decode_bin(&es, &st, bin);
	EXPECT_EQ(es.eth.speed, 1000);
	EXPECT_EQ(es.eth.duplex, 1);
	EXPECT_EQ(es.eth.link, 1);
	EXPECT_EQ(es.down, 1);
	EXPECT_EQ(st.tx_packets, 0x102u);
	EXPECT_EQ(st.rx_packets, 0x10000u);
	EXPECT_EQ(st.tx_bytes, 0xAABBCCDDu);
	EXPECT_EQ(st.rx_bytes, 0x80000001u);
}

TEST(Switch, KindOneText)
{
	struct eth_state es;
	memset(&es, 0, sizeof(es));
	ASSERT_EQ(sw_parse_status(&es, "1 1 0 100\n"), 0);
	EXPECT_EQ(es.eth.speed, 100);
	EXPECT_EQ(es.eth.duplex, 0);
	EXPECT_EQ(es.down, 0);
	EXPECT_EQ(sw_parse_status(&es, "1 1\n"), -1);

	struct sw_port_stats st;
	ASSERT_EQ(sw_parse_stats(&st, "4294967295 2 3 4"), 0);
	EXPECT_EQ(st.rx_bytes, 4294967295u);
	EXPECT_EQ(st.tx_packets, 4u);
	EXPECT_EQ(sw_parse_stats(&st, "x"), -1);
}
