// Link and address messages built by hand, fed to the inventory's collectors.
#include <gtest/gtest.h>

#include <linux/rtnetlink.h>
#include <string.h>
#include <sys/socket.h>

#include <vector>

#include "platform/ifi.h"

// A link message as the kernel would send it, with hand-built attributes.
struct msg_builder {
	std::vector<uint8_t> b;
	explicit msg_builder(uint16_t type, const void *hdr, size_t hlen)
	{
		b.resize(NLMSG_HDRLEN);
		append(hdr, hlen);
		auto *nh = (struct nlmsghdr *)b.data();
		nh->nlmsg_type = type;
	}
	void append(const void *p, size_t n)
	{
		b.insert(b.end(), (const uint8_t *)p, (const uint8_t *)p + n);
		b.resize(NLMSG_ALIGN(b.size()), 0);
	}
	void attr(uint16_t type, const void *p, size_t n)
	{
		struct rtattr a;
		a.rta_len = (uint16_t)RTA_LENGTH(n);
		a.rta_type = type;
		size_t at = b.size();
		b.resize(at + sizeof(a));
		memcpy(&b[at], &a, sizeof(a));
		b.insert(b.end(), (const uint8_t *)p, (const uint8_t *)p + n);
		b.resize(NLMSG_ALIGN(b.size()), 0);
	}
	struct nlmsghdr *done()
	{
		auto *nh = (struct nlmsghdr *)b.data();
		nh->nlmsg_len = (uint32_t)b.size();
		return nh;
	}
};

TEST(Inventory, ShortAttributesAreBoundedAndStatsComplete)
{
	ifi_free_all();
	struct ifinfomsg ifm;
	memset(&ifm, 0, sizeof(ifm));
	ifm.ifi_index = 7;
	ifm.ifi_flags = 1;
	msg_builder m(RTM_NEWLINK, &ifm, sizeof(ifm));
	m.attr(IFLA_IFNAME, "sit1", 5);
	const uint8_t four[4] = { 10, 0, 0, 1 };   // a tunnel's 4-byte address
	m.attr(IFLA_ADDRESS, four, 4);
	const uint8_t after[4] = { 0xEE, 0xEE, 0xEE, 0xEE };
	m.attr(IFLA_BROADCAST, after, 0);
	const uint32_t three[3] = { 11, 22, 33 };  // shorter than the 23 counters
	m.attr(IFLA_STATS, three, sizeof(three));
	m.attr(99, after, 4);                      // beyond the parsed range
	ifi_collect_link(m.done());

	struct ifi *ifi = ifi_find_by_name("sit1");
	ASSERT_NE(ifi, nullptr);
	const uint8_t want[6] = { 10, 0, 0, 1, 0, 0 };
	EXPECT_EQ(memcmp(ifi->hwaddr, want, 6), 0);
	const uint8_t zero[6] = { 0 };
	EXPECT_EQ(memcmp(ifi->broadcast, zero, 6), 0);
	EXPECT_EQ(ifi->txqlen, 0u);
	ASSERT_NE(ifi->stats, nullptr);
	EXPECT_EQ(ifi->stats[IFI_RX_PACKETS], 11u);
	EXPECT_EQ(ifi->stats[IFI_RX_BYTES], 33u);
	EXPECT_EQ(ifi->stats[IFI_TX_COMPRESSED], 0u);

	// the local address wins over the peer address
	struct ifaddrmsg ifa;
	memset(&ifa, 0, sizeof(ifa));
	ifa.ifa_family = AF_INET;
	ifa.ifa_prefixlen = 32;
	ifa.ifa_index = 7;
	msg_builder a(RTM_NEWADDR, &ifa, sizeof(ifa));
	const uint8_t peer[4] = { 10, 0, 0, 2 }, local[4] = { 10, 0, 0, 1 };
	a.attr(IFA_ADDRESS, peer, 4);
	a.attr(IFA_LOCAL, local, 4);
	ifi_collect_addr(a.done());
	ifa.ifa_index = 99;  // unknown interface: dropped
	msg_builder u(RTM_NEWADDR, &ifa, sizeof(ifa));
	u.attr(IFA_ADDRESS, peer, 4);
	ifi_collect_addr(u.done());

	ASSERT_NE(ifi->addrs.next, &ifi->addrs);
	char text[64];
	EXPECT_STREQ(ifi_ip_ntop(text, sizeof(text), ipi_entry(ifi->addrs.next)), "10.0.0.1");
	EXPECT_EQ(ifi->addrs.next->next, &ifi->addrs);
	ifi_free_all();
}

TEST(Inventory, MacText)
{
	const uint8_t mac[6] = { 0x02, 0xab, 0, 0x10, 0xff, 9 };
	char buf[18];
	EXPECT_STREQ(ifi_mac_ntop(buf, sizeof(buf), mac), "02:AB:00:10:FF:09");
	EXPECT_EQ(ifi_mac_ntop(buf, 17, mac), nullptr);
}
