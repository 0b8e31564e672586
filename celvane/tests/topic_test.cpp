/* The topic tree: list order, routes by ending and exact topics, names a message may set. */
#include "topic.h"

#include <gtest/gtest.h>
#include <string>

static const struct topic_ids ids = { "org1", "net1", "0a0b0c0d0e0f", NULL };
static const struct topic_ids grouped = { "org1", "net1", "0a0b0c0d0e0f", "grp" };

TEST(TopicList, ControlTopicsPerSubtopicInOrder)
{
	struct topic_list l;

	ASSERT_EQ(topic_control_list(&l, &ids), 0);
	ASSERT_EQ(l.count, 12u);
	EXPECT_STREQ(l.name[0], "control/org1/0a0b0c0d0e0f/ack");
	EXPECT_STREQ(l.name[1], "control/org1/ack");
	EXPECT_STREQ(l.name[2], "control/net1/ack");
	EXPECT_STREQ(l.name[3], "control/org1/0a0b0c0d0e0f/nack");
	EXPECT_STREQ(l.name[11], "control/net1/alerts/request");

	ASSERT_EQ(topic_control_list(&l, &grouped), 0);
	ASSERT_EQ(l.count, 16u);
	EXPECT_STREQ(l.name[1], "control/grp/0a0b0c0d0e0f/ack");
	EXPECT_STREQ(l.name[5], "control/grp/0a0b0c0d0e0f/nack");
	EXPECT_STREQ(l.name[15], "control/net1/alerts/request");
}

TEST(TopicList, NodeTopicsDeviceThenNetworkThenGuestAccess)
{
	struct topic_list l;

	ASSERT_EQ(topic_node_list(&l, &ids, 0), 0);
	ASSERT_EQ(l.count, 17u);
	EXPECT_STREQ(l.name[0], "node/org1/net1/0a0b0c0d0e0f/firmware");
	EXPECT_STREQ(l.name[11], "node/org1/net1/0a0b0c0d0e0f/linktest_start");
	EXPECT_STREQ(l.name[12], "node/org1/net1/nack");
	EXPECT_STREQ(l.name[16], "node/org1/net1/ping");
	ASSERT_EQ(topic_node_list(&l, &ids, 1), 0);
	ASSERT_EQ(l.count, 19u);
	EXPECT_STREQ(l.name[17], "node/org1/net1/aplist/list");
	EXPECT_STREQ(l.name[18], "node/org1/net1/0a0b0c0d0e0f/aplist/list");

	ASSERT_EQ(topic_master_list(&l, &ids), 0);
	ASSERT_EQ(l.count, 3u);
	EXPECT_STREQ(l.name[2], "node/org1/net1/maccache/del");
}

TEST(TopicList, NamesThatDoNotFitAreRefused)
{
	std::string longnet(TOPIC_MAX, 'n');
	const struct topic_ids big = { "org1", longnet.c_str(), "c", NULL };
	struct topic_list l;
	char buf[8];
	const char *parts[] = { "abc", "def" };

	EXPECT_EQ(topic_node_list(&l, &big, 0), -1);
	EXPECT_EQ(topic_join(buf, sizeof(buf), parts, 2), 0);
	EXPECT_STREQ(buf, "abc/def");
	EXPECT_EQ(topic_join(buf, 7, parts, 2), -1);
}

TEST(TopicHello, GroupTopicWhenSet)
{
	char buf[TOPIC_MAX];

	ASSERT_EQ(topic_hello(buf, sizeof(buf), &ids), 0);
	EXPECT_STREQ(buf, "control/org1/0a0b0c0d0e0f/hello");
	ASSERT_EQ(topic_hello(buf, sizeof(buf), &grouped), 0);
	EXPECT_STREQ(buf, "control/grp/0a0b0c0d0e0f/hello");
}

TEST(TopicRoute, Table)
{
	static const struct {
		const char *topic;
		enum topic_route want;
		int grouped;
	} cases[] = {
		{ "control/org1/0a0b0c0d0e0f/ack", ROUTE_ACK, 0 },
		{ "control/org1/0a0b0c0d0e0f/nack", ROUTE_NACK, 0 },
		{ "control/org1/ack", ROUTE_ACK, 0 },
		{ "control/org1/nack", ROUTE_NACK, 0 },
		{ "control/org1/0a0b0c0d0e0f/sitesurvey", ROUTE_SITESURVEY, 0 },
		{ "control/org1/0a0b0c0d0e0f/alerts/request", ROUTE_ALERTS_REQUEST, 0 },
		{ "control/org1/0a0b0c0d0e0f/xack", ROUTE_UNKNOWN_CONTROL, 0 },
		{ "control/org1/0a0b0c0d0e0f/hello", ROUTE_UNKNOWN_CONTROL, 0 },
		{ "control/grp/0a0b0c0d0e0f/ack", ROUTE_UNKNOWN, 0 },
		{ "control/grp/0a0b0c0d0e0f/ack", ROUTE_ACK, 1 },
		{ "control/org10/0a0b0c0d0e0f/ack", ROUTE_UNKNOWN, 0 },
		{ "control/net1/ack", ROUTE_UNKNOWN, 0 },
		{ "node/org1/net1/0a0b0c0d0e0f/config", ROUTE_CONFIG, 0 },
		{ "node/org1/net1/0a0b0c0d0e0f/firmware", ROUTE_FIRMWARE, 0 },
		{ "node/org1/net1/0a0b0c0d0e0f/firmwarebin", ROUTE_FIRMWAREBIN, 0 },
		{ "node/org1/net1/0a0b0c0d0e0f/upgrade", ROUTE_UPGRADE, 0 },
		{ "node/org1/net1/0a0b0c0d0e0f/flytrap", ROUTE_FLYTRAP, 0 },
		{ "node/org1/net1/0a0b0c0d0e0f/reboot", ROUTE_REBOOT, 0 },
		{ "node/org1/net1/0a0b0c0d0e0f/reset", ROUTE_RESET, 0 },
		{ "node/org1/net1/0a0b0c0d0e0f/gettroubleshoot", ROUTE_TROUBLESHOOT_FULL, 0 },
		{ "node/org1/net1/0a0b0c0d0e0f/scan", ROUTE_SCAN, 0 },
		{ "node/org1/net1/0a0b0c0d0e0f/ping", ROUTE_PING, 0 },
		{ "node/org1/net1/0a0b0c0d0e0f/aplist/list", ROUTE_APLIST, 0 },
		{ "node/org1/net1/0a0b0c0d0e0f/kickmac", ROUTE_KICKMAC, 0 },
		{ "node/org1/net1/0a0b0c0d0e0f/linktest_start", ROUTE_LINKTEST, 0 },
		{ "node/org1/net1/0a0b0c0d0e0f/foo", ROUTE_UNKNOWN_NODE, 0 },
		{ "node/org1/net1/0a0b0c0d0e0f/xfirmware", ROUTE_UNKNOWN_NODE, 0 },
		{ "node/org1/net1/nack", ROUTE_NACK, 0 },
		{ "node/org1/net1/reboot", ROUTE_REBOOT, 0 },
		{ "node/org1/net1/reset", ROUTE_RESET, 0 },
		{ "node/org1/net1/gettroubleshoot", ROUTE_TROUBLESHOOT_SHORT, 0 },
		{ "node/org1/net1/ping", ROUTE_PING, 0 },
		{ "node/org1/net1/aplist/list", ROUTE_APLIST, 0 },
		{ "node/org1/net1/maccache/list", ROUTE_MACCACHE_LIST, 0 },
		{ "node/org1/net1/maccache/add", ROUTE_MACCACHE_ADD, 0 },
		{ "node/org1/net1/maccache/del", ROUTE_MACCACHE_DEL, 0 },
		{ "node/org1/net1/maccache/del/x", ROUTE_UNKNOWN, 0 },
		{ "node/org1/net2/reboot", ROUTE_UNKNOWN, 0 },
		{ "node/org1/net1/other/reboot", ROUTE_UNKNOWN, 0 },
		{ "init/crt/response", ROUTE_CERT, 0 },
		{ "init/crt/response/", ROUTE_UNKNOWN, 0 },
		{ "", ROUTE_UNKNOWN, 0 },
	};
	for (const auto &c : cases)
		EXPECT_EQ(topic_route(c.grouped ? &grouped : &ids, c.topic), c.want) << c.topic;
}

TEST(TopicRoute, RawPayloadsAndSubtopics)
{
	EXPECT_FALSE(topic_route_json(ROUTE_FIRMWAREBIN));
	EXPECT_FALSE(topic_route_json(ROUTE_CERT));
	EXPECT_TRUE(topic_route_json(ROUTE_ACK));
	EXPECT_TRUE(topic_route_json(ROUTE_MACCACHE_DEL));
	EXPECT_STREQ(topic_subtopic(&ids, "node/org1/net1/0a0b0c0d0e0f/ping"), "ping");
	EXPECT_STREQ(topic_subtopic(&ids, "control/org1/0a0b0c0d0e0f/ack"), "0a0b0c0d0e0f/ack");
	EXPECT_EQ(topic_subtopic(&ids, "node/org1/net1/reboot"), nullptr);
}

TEST(TopicName, WildcardsAndSeparatorsRefused)
{
	EXPECT_TRUE(topic_name_ok("net-1", 64));
	EXPECT_FALSE(topic_name_ok("", 64));
	EXPECT_FALSE(topic_name_ok(NULL, 64));
	EXPECT_FALSE(topic_name_ok("a/b", 64));
	EXPECT_FALSE(topic_name_ok("#", 64));
	EXPECT_FALSE(topic_name_ok("+", 64));
	EXPECT_TRUE(topic_name_ok("abc", 4));
	EXPECT_FALSE(topic_name_ok("abcd", 4));
}
