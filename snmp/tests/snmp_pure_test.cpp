/* The dependency-free parts of the SNMP side: identifier parsing and the ordered object database of
 * the agent, the protocol texts of the wireless table, and the IEEE 802.11 module's text readers.
 * Also run on the big-endian target. */
#include "snmp/ieee802dot11/d11_text.h"
#include "snmp/mavowireless/mw_text.h"
#include "snmp/odbagent/odb.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

static const struct module owner_a = { "a", "", NULL, NULL, {}, NULL, {} };
static const struct module owner_b = { "b", "", NULL, NULL, {}, NULL, {} };

static std::vector<uint32_t> parse(const char *text)
{
	struct agent_oid *o = makeoid_stub(text);
	std::vector<uint32_t> v;
	if (o) {
		v.assign(o->arcs, o->arcs + o->len);
		mem_free_stub(o);
	}
	return v;
}

TEST(MakeOid, StrictDottedDecimal)
{
	EXPECT_EQ(parse("1.3.6.1.4.1.99999.3.10"), std::vector<uint32_t>({ 1, 3, 6, 1, 4, 1, 99999, 3, 10 }));
	EXPECT_EQ(parse("2.999.4294967295"), std::vector<uint32_t>({ 2, 999, 4294967295u }));
	EXPECT_EQ(parse("0.39"), std::vector<uint32_t>({ 0, 39 }));
	std::string max = "1.3", over = "1.3";
	for (int i = 2; i < AGENT_OID_MAX_ARCS; i++)
		max += ".1";
	over = max + ".1";
	EXPECT_EQ(parse(max.c_str()).size(), (size_t)AGENT_OID_MAX_ARCS);
	for (const char *bad : { "", "1", ".1.3.6", "1.3.", "1..3", "1.3.4294967296", "1.3.-1", "1.3.x", "1.3 ",
				 " 1.3", "3.1", "1.40", "0.40", "1.3.6.1%d", "+1.3" })
		EXPECT_TRUE(parse(bad).empty()) << bad;
	EXPECT_TRUE(parse(over.c_str()).empty());
	long before = agent_oids_outstanding();
	struct agent_oid *o = makeoid_stub("1.3");
	EXPECT_EQ(agent_oids_outstanding(), before + 1);
	mem_free_stub(o);
	mem_free_stub(NULL);
	EXPECT_EQ(agent_oids_outstanding(), before);
}

static int add(const struct module *owner, const char *text, struct agent_value v)
{
	struct agent_oid *o = makeoid_stub(text);
	int rc = odb_add(owner, o, &v);
	mem_free_stub(o);
	return rc;
}

static struct agent_value integer(int32_t i)
{
	struct agent_value v = {};
	v.type = AGENT_INTEGER;
	v.v.i = i;
	return v;
}

static void text_of(const struct odb_view *v, void *ctx)
{
	char line[256];
	((std::vector<std::string> *)ctx)->push_back(odb_format(v, line, sizeof(line)));
}

static std::vector<std::string> all(void)
{
	std::vector<std::string> out;
	odb_each(text_of, &out);
	return out;
}

TEST(ObjectDatabase, OrderedByArcsNotByText)
{
	odb_clear();
	/* added out of order, as mavowireless adds columns 14 and 15 before 12 and 13 */
	for (const char *t : { "1.3.6.1.14.1", "1.3.6.1.15.1", "1.3.6.1.12.1", "1.3.6.1.2.1", "1.3.6.1.12", "1.3.6.2" })
		ASSERT_EQ(add(&owner_a, t, integer(1)), 0) << t;
	ASSERT_EQ(add(&owner_b, "1.3.6.1.13.1", integer(2)), 0);
	EXPECT_EQ(all(), std::vector<std::string>({ "1.3.6.1.2.1 INTEGER 1", "1.3.6.1.12 INTEGER 1",
						    "1.3.6.1.12.1 INTEGER 1", "1.3.6.1.13.1 INTEGER 2",
						    "1.3.6.1.14.1 INTEGER 1", "1.3.6.1.15.1 INTEGER 1",
						    "1.3.6.2 INTEGER 1" }));
	struct odb_view v;
	const uint32_t k12[] = { 1, 3, 6, 1, 12 };
	ASSERT_EQ(odb_next(k12, 5, 0, &v), 0);
	EXPECT_EQ(std::vector<uint32_t>(v.arcs, v.arcs + v.len), std::vector<uint32_t>({ 1, 3, 6, 1, 12, 1 }));
	ASSERT_EQ(odb_next(k12, 5, 1, &v), 0);
	EXPECT_EQ(v.len, 5u);
	const uint32_t last[] = { 1, 3, 6, 2 };
	EXPECT_EQ(odb_next(last, 4, 0, &v), -1);
	EXPECT_EQ(odb_find(k12, 4, &v), -1);

	/* duplicates: the first holder keeps the object, whoever asks second */
	EXPECT_EQ(add(&owner_b, "1.3.6.1.12.1", integer(9)), -1);
	EXPECT_EQ(add(&owner_a, "1.3.6.1.12.1", integer(9)), -1);
	EXPECT_NE(strstr(abz_get_error(), "1.3.6.1.12.1 already held by a"), nullptr);
	const uint32_t k121[] = { 1, 3, 6, 1, 12, 1 };
	ASSERT_EQ(odb_find(k121, 6, &v), 0);
	EXPECT_EQ(v.value.v.i, 1);

	odb_destroy(&owner_a);
	EXPECT_EQ(all(), std::vector<std::string>({ "1.3.6.1.13.1 INTEGER 2" }));
	odb_clear();
}

TEST(ObjectDatabase, ValueCopiesAndFormats)
{
	odb_clear();
	char text[] = "ab\"c";
	struct agent_value v = {};
	v.type = AGENT_OCTETS;
	v.v.s.len = 4;
	v.v.s.p = text;
	ASSERT_EQ(add(&owner_a, "1.3.1", v), 0);
	memset(text, 'x', 4); /* the database holds its own copy */
	v.v.s.p = "up";
	v.v.s.len = 2;
	ASSERT_EQ(add(&owner_a, "1.3.2", v), 0);
	v.v.s.len = 0;
	v.v.s.p = NULL;
	ASSERT_EQ(add(&owner_a, "1.3.3", v), 0);
	v.v.s.len = 65536;
	v.v.s.p = text;
	EXPECT_EQ(add(&owner_a, "1.3.4", v), -1);
	v = {};
	v.type = AGENT_COUNTER64;
	v.v.c64.hi = 1;
	v.v.c64.lo = 2;
	ASSERT_EQ(add(&owner_a, "1.3.5", v), 0);
	struct agent_oid *o = makeoid_stub("1.3.6.1.4.1.9");
	v = {};
	v.type = AGENT_OID;
	v.v.o = o;
	ASSERT_EQ(add(&owner_a, "1.3.6", v), 0);
	mem_free_stub(o);
	const struct {
		uint8_t type;
		const char *name;
	} unsigned_types[] = { { AGENT_COUNTER32, "Counter32" }, { AGENT_GAUGE32, "Gauge32" }, { AGENT_TIMETICKS, "Timeticks" } };
	int arc = 7;
	for (const auto &t : unsigned_types) {
		v = {};
		v.type = t.type;
		v.v.u = 4294967295u;
		ASSERT_EQ(add(&owner_a, ("1.3." + std::to_string(arc++)).c_str(), v), 0);
	}
	v = {};
	v.type = 0x05;
	EXPECT_EQ(add(&owner_a, "1.3.20", v), -1);
	EXPECT_STREQ(abz_get_error(), "invalid type (0x05) specified");
	EXPECT_EQ(all(), std::vector<std::string>({ "1.3.1 STRING 61 62 22 63", "1.3.2 STRING \"up\"", "1.3.3 STRING \"\"",
						    "1.3.5 Counter64 4294967298", "1.3.6 OID 1.3.6.1.4.1.9",
						    "1.3.7 Counter32 4294967295", "1.3.8 Gauge32 4294967295",
						    "1.3.9 Timeticks 4294967295" }));
	odb_clear();
}

TEST(ObjectDatabase, DescriptorSubtreeSplitsTheFirstArcs)
{
	static const uint32_t priv[] = { 8, 43, 6, 1, 4, 1, 99999, 3, 10 };
	static const uint32_t ieee[] = { 3, 42, 840, 10036 };
	static const uint32_t joint[] = { 2, 88, 7 };
	struct module m = {};
	uint32_t arcs[AGENT_OID_MAX_ARCS];

	m.oid = priv;
	ASSERT_EQ(module_subtree(&m, arcs), 9);
	EXPECT_EQ(std::vector<uint32_t>(arcs, arcs + 9), std::vector<uint32_t>({ 1, 3, 6, 1, 4, 1, 99999, 3, 10 }));
	m.oid = ieee;
	ASSERT_EQ(module_subtree(&m, arcs), 4);
	EXPECT_EQ(std::vector<uint32_t>(arcs, arcs + 4), std::vector<uint32_t>({ 1, 2, 840, 10036 }));
	m.oid = joint;
	ASSERT_EQ(module_subtree(&m, arcs), 3);
	EXPECT_EQ(std::vector<uint32_t>(arcs, arcs + 3), std::vector<uint32_t>({ 2, 8, 7 }));
	m.oid = NULL;
	EXPECT_EQ(module_subtree(&m, arcs), -1);
}

TEST(ProtocolText, Cases)
{
	const struct {
		const char *p;
		int64_t q;
		const char *want;
	} cases[] = {
		{ "11na,qlix", 4, "IEEE 802.11na, Xelto 2" },
		{ "11na,qlix", 7, "IEEE 802.11na, Xelto 3" },
		{ "11na,qlix", 0, "IEEE 802.11na" },
		{ "11na,qlix", 5, "Qlix V" },
		{ "qlix", 5, "Qlix V" },
		{ "qlix", 1, "Qlix" },
		{ "11ac,qlix", -3, "Qlix" },
		{ "qlix", 4, "Xelto 2" },
		{ "qlix", 0, "" },
		{ "11na", 4, "IEEE 802.11na" },
		{ "11nac", 7, "IEEE 802.11nac" },
		{ "na", 7, "" },
		{ "", 0, "" },
	};
	char buf[MW_PROTOCOL_TEXT];
	for (const auto &c : cases)
		EXPECT_STREQ(mw_protocol_text(buf, c.p, c.q), c.want) << c.p << " " << c.q;
	std::string longp = "11" + std::string(300, 'n') + ",qlix";
	mw_protocol_text(buf, longp.c_str(), 4);
	EXPECT_EQ(strlen(buf), (size_t)MW_PROTOCOL_TEXT - 1);
	EXPECT_EQ(std::string(buf, 11), "IEEE 802.11");
}

static void keep(const struct d11_wstats *w, void *ctx)
{
	((std::vector<struct d11_wstats> *)ctx)->push_back(*w);
}

TEST(ProcWireless, Lines)
{
	const char *text = "Inter-| sta-|   Quality        |   Discarded packets               | Missed | WE\n"
			   " face | tus | link level noise |  nwid  crypt   frag  retry   misc | beacon | 22\n"
			   "  ath0: 0000   54.  -56.  -256.       1      2      3      4      5        6\n"
			   "  ath1: 0001   70   -40   -95   4294967295 0 0 0 0 0\n"
			   "  bad0: 0000   54.  -56.\n"
			   "thisnameistoolong0: 0000 1 2 3 4 5 6 7 8 9\n"
			   "  ath2: 0000   x  -56.  -256.       1      2      3      4      5        6\n"
			   "  ath3: 0000   1 2 3 4 5 6 7 8 9";
	std::vector<struct d11_wstats> got;
	EXPECT_EQ(d11_parse_proc_wireless(text, keep, &got), 3);
	ASSERT_EQ(got.size(), 3u);
	EXPECT_STREQ(got[0].name, "ath0");
	EXPECT_EQ(got[0].nwid, 1u);
	EXPECT_EQ(got[0].crypt, 2u);
	EXPECT_EQ(got[0].frag, 3u);
	EXPECT_EQ(got[0].retry, 4u);
	EXPECT_EQ(got[0].misc, 5u);
	EXPECT_EQ(got[0].beacon, 6u);
	EXPECT_EQ(got[1].nwid, 4294967295u);
	EXPECT_STREQ(got[2].name, "ath3");
	EXPECT_EQ(got[2].beacon, 9u);
	got.clear();
	EXPECT_EQ(d11_parse_proc_wireless("  ath0: 0000 1 2 3 4 5 6 7 8 9\n", keep, &got), 0);
}

TEST(Dot11Text, PhyTypeAndChannel)
{
	const struct {
		const char *name;
		int32_t type;
	} phy[] = { { "IEEE 802.11-FS", 1 }, { "IEEE 802.11b", 2 }, { "IEEE 802.11-IR", 3 }, { "IEEE 802.11a", 4 },
		    { "IEEE 802.11g", 5 },   { "IEEE 802.11T", 6 }, { "IEEE 802.11Ta", 7 },  { "IEEE 802.11Tg", 8 },
		    { "IEEE 802.11na", 4 },  { "IEEE 802.11ng", 5 }, { "IEEE 802.11bg", 5 }, { "11na", 4 },
		    { "unassociated", 0 },   { "IEEE 802.11", 0 } };
	for (const auto &p : phy)
		EXPECT_EQ(d11_phy_type(p.name), p.type) << p.name;
	const struct {
		int32_t m;
		int16_t e;
		int32_t ch;
	} freq[] = { { 36, 0, 36 }, { 5180, 6, 36 }, { 518, 7, 36 }, { 2412, 6, 1 }, { 2484, 6, 14 },
		     { 5825, 6, 165 }, { 2300, 6, 0 }, { 1, 10, 0 }, { 5180, -1, 0 } };
	for (const auto &f : freq)
		EXPECT_EQ(d11_channel(f.m, f.e), f.ch) << f.m << "e" << f.e;
}
