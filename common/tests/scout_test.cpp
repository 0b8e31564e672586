/* What the responder makes of run-time rtnetlink messages: restart, look further, or end the pass. */
#include "common/scout.h"

#include <gtest/gtest.h>

#include <net/if.h>
#include <string.h>
#include <vector>

#include <linux/if_link.h>

/* RFC 2863 operational states, as IFLA_OPERSTATE carries them. */
enum { IF_OPER_UNKNOWN = 0, IF_OPER_DOWN = 2, IF_OPER_LOWERLAYERDOWN = 3, IF_OPER_UP = 6 };

struct attr {
	uint16_t type;
	std::vector<uint8_t> data;
};

static std::vector<uint8_t> link_msg(uint16_t type, uint8_t family, uint32_t flags, uint32_t change,
				     const std::vector<attr> &attrs)
{
	std::vector<uint8_t> b(NLMSG_LENGTH(sizeof(struct ifinfomsg)));
	for (auto &a : attrs) {
		size_t at = b.size();
		b.resize(at + RTA_ALIGN(RTA_LENGTH(a.data.size())), 0);
		struct rtattr rta = { (unsigned short)RTA_LENGTH(a.data.size()), a.type };
		memcpy(&b[at], &rta, sizeof(rta));
		if (!a.data.empty())
			memcpy(&b[at + RTA_LENGTH(0)], a.data.data(), a.data.size());
	}
	struct nlmsghdr nh;
	memset(&nh, 0, sizeof(nh));
	nh.nlmsg_len = (uint32_t)b.size();
	nh.nlmsg_type = type;
	struct ifinfomsg ifi;
	memset(&ifi, 0, sizeof(ifi));
	ifi.ifi_family = family;
	ifi.ifi_type = 1;
	ifi.ifi_index = 5;
	ifi.ifi_flags = flags;
	ifi.ifi_change = change;
	memcpy(b.data(), &nh, sizeof(nh));
	memcpy(b.data() + NLMSG_HDRLEN, &ifi, sizeof(ifi));
	return b;
}

TEST(ScoutLinkEvent, RestartOnlyForAnInterfaceThatCameUp)
{
	const uint32_t ur = IFF_UP | IFF_RUNNING;
	const attr name = { IFLA_IFNAME, { 'e', 't', 'h', '5', 0 } };
	auto oper = [](uint8_t v) { return attr{ IFLA_OPERSTATE, { v } }; };
	struct {
		const char *what;
		std::vector<uint8_t> msg;
		enum scout_link_event want;
	} cases[] = {
		{ "new link, operstate up", link_msg(RTM_NEWLINK, AF_UNSPEC, ur, IFF_UP, { name, oper(IF_OPER_UP) }),
		  SCOUT_EV_RESTART },
		{ "deleted link, operstate up", link_msg(RTM_DELLINK, AF_UNSPEC, ur, 0, { oper(IF_OPER_UP) }),
		  SCOUT_EV_RESTART },
		{ "unknown, up and running changed", link_msg(RTM_NEWLINK, AF_UNSPEC, ur, ur, { oper(IF_OPER_UNKNOWN) }),
		  SCOUT_EV_RESTART },
		{ "unknown, only up changed", link_msg(RTM_NEWLINK, AF_UNSPEC, ur, IFF_UP, { oper(IF_OPER_UNKNOWN) }),
		  SCOUT_EV_NEXT },
		{ "unknown, changed but down", link_msg(RTM_NEWLINK, AF_UNSPEC, IFF_RUNNING, ur, { oper(IF_OPER_UNKNOWN) }),
		  SCOUT_EV_NEXT },
		{ "lower layer down", link_msg(RTM_NEWLINK, AF_UNSPEC, IFF_UP, IFF_UP, { oper(IF_OPER_LOWERLAYERDOWN) }),
		  SCOUT_EV_NEXT },
		{ "operstate down", link_msg(RTM_NEWLINK, AF_UNSPEC, 0, IFF_UP, { oper(IF_OPER_DOWN) }), SCOUT_EV_NEXT },
		{ "registration (change all ones)", link_msg(RTM_NEWLINK, AF_UNSPEC, ur, ~0u, { oper(IF_OPER_UP) }),
		  SCOUT_EV_END },
		{ "bridge port", link_msg(RTM_NEWLINK, AF_BRIDGE, ur, 0, { oper(IF_OPER_UP) }), SCOUT_EV_END },
		{ "wireless event", link_msg(RTM_NEWLINK, AF_UNSPEC, ur, 0, { oper(IF_OPER_UP), { IFLA_WIRELESS, { 1, 2 } } }),
		  SCOUT_EV_END },
		{ "no operstate", link_msg(RTM_NEWLINK, AF_UNSPEC, ur, ur, { name }), SCOUT_EV_END },
		{ "empty operstate", link_msg(RTM_NEWLINK, AF_UNSPEC, ur, ur, { { IFLA_OPERSTATE, {} } }), SCOUT_EV_END },
		{ "address message", link_msg(RTM_NEWADDR, AF_UNSPEC, ur, 0, { oper(IF_OPER_UP) }), SCOUT_EV_END },
	};
	for (auto &c : cases)
		EXPECT_EQ(c.want, scout_link_event((const struct nlmsghdr *)c.msg.data(), c.msg.size())) << c.what;

	/* a header claiming more than was received, or too short for its body */
	auto m = link_msg(RTM_NEWLINK, AF_UNSPEC, ur, 0, { oper(IF_OPER_UP) });
	EXPECT_EQ(SCOUT_EV_END, scout_link_event((const struct nlmsghdr *)m.data(), m.size() - 1));
	struct nlmsghdr shortmsg = { NLMSG_HDRLEN + 4, RTM_NEWLINK, 0, 0, 0 };
	std::vector<uint8_t> s(NLMSG_HDRLEN + 4, 0);
	memcpy(s.data(), &shortmsg, sizeof(shortmsg));
	EXPECT_EQ(SCOUT_EV_END, scout_link_event((const struct nlmsghdr *)s.data(), s.size()));
}
