#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "vex/codec/ap_registry.hpp"
#include "vex/codec/push_status.hpp"
#include "vex/codec/vex_tlv.hpp"
#include "vex_fixture.hpp"

namespace {
const uint8_t kMacA[6] = {0x02, 0, 0, 0, 0, 0x0a};
const uint8_t kMacB[6] = {0x02, 0, 0, 0, 0, 0x0b};

// An AP list with its own clock; records are freed at the end.
struct registry : ::testing::Test {
	struct list_head aps;
	int32_t now = 1000000;

	void SetUp() override { INIT_LIST_HEAD(&aps); }
	void TearDown() override { ap_registry_clear(&aps); }

	ap_save_change change{};

	// Delivers a response datagram the way the daemon does: parse, fill, save.
	int deliver(uint16_t type, const uint8_t mac[6], const bytes &tlvs)
	{
		parsed p;
		if (!p.parse(cat({ap_header(type, mac), tlvs})))
			return -2;
		ap_settings s;
		if (type == VEX_MSG_AGENT_RESP) {
			ap_settings_from_agent(&s, p.msg.get());
			return ap_registry_save(&aps, &s, &p.msg->hdr, AP_MODE_AGENT, now, &change);
		}
		ap_settings_from_response(&s, p.msg.get());
		return ap_registry_save(&aps, &s, &p.msg->hdr, AP_MODE_FIRMWARE, now, &change);
	}

	unsigned size()
	{
		unsigned n = 0;
		ap_record *ap;
		list_for_each_entry(ap, &aps, list)
			n++;
		return n;
	}

	ap_record *first() { return list_empty(&aps) ? nullptr : list_first_entry(&aps, ap_record, list); }
};

const bytes kFull = cat({
	tlv_text(1, "AX-3000"), tlv_text(2, "lobby"), tlv(4, {10, 77, 0, 11}), tlv(5, {255, 255, 255, 0}),
	tlv(6, {10, 77, 0, 1}), tlv(10, u16be(1)), tlv_text(11, "1.2.3"), tlv(43, u16be(300)),
	tlv(100, {1}), tlv_text(101, "guest"), tlv(109, {6}), tlv(112, u16be(1645)), tlv(141, u16be(0)),
	tlv(7, u32be(0xdeadbeef)), tlv_text(129, "mask-as-text"), tlv(164, {1}),
});

TEST_F(registry, NewRecordFromADiscoveryResponse)
{
	ASSERT_EQ(deliver(VEX_MSG_DISCOVER_RESP, kMacA, kFull), 0);
	ASSERT_EQ(size(), 1u);
	ap_record *ap = first();
	EXPECT_EQ(0, memcmp(ap->mac, kMacA, 6));
	EXPECT_STREQ(ap->ip, "10.77.0.11");
	EXPECT_STREQ(ap->settings.au1ProductName, "AX-3000");
	EXPECT_STREQ(ap->settings.au1SystemName, "lobby");
	EXPECT_EQ(ap->settings.u2IPMode, 1);
	EXPECT_EQ(ap->settings.u2VLANID, 300);
	EXPECT_EQ(ap->settings.u1Enabled24G, 1);
	EXPECT_STREQ(ap->settings.au1SSID24G, "guest");
	EXPECT_EQ(ap->settings.u1Channel24G, 6);
	EXPECT_EQ(ap->settings.u4Tlv7, 0xdeadbeefu);
	EXPECT_STREQ(ap->settings.au1Tlv129, "mask-as-text");
	EXPECT_EQ(ap->settings.u1WifiRoaming, 1);
	EXPECT_EQ(ap->settings.au1SubnetMask[0], 255);
	EXPECT_EQ(ap->settings.u2RadiusPort24G, 1645);
	EXPECT_EQ(ap->settings.u2RadiusPort5G, 1812) << "port 0 on a new record gets the default";
	EXPECT_EQ(ap->lastSeen, now);
	EXPECT_EQ(ap->lastPoll, 0);
	EXPECT_EQ(ap->UbootMode, 0);
	EXPECT_EQ(ap->uploadKind, 0);
	EXPECT_TRUE(list_empty(&ap->stats.vaps));
	for (auto *slot : ap->stats.slots)
		EXPECT_EQ(slot, nullptr);
}

TEST_F(registry, RefreshReplacesTheWholeBlock)
{
	ASSERT_EQ(deliver(2, kMacA, kFull), 0);
	ap_record *ap = first();
	ap->lastPoll = now - 5;
	ap->uploadKind = AP_UPLOAD_CONFIG;
	now += 30;
	// Same MAC, new address, no SSID, RADIUS port 0: one record, fields follow the response.
	ASSERT_EQ(deliver(2, kMacA, cat({tlv(4, {10, 77, 0, 99}), tlv(112, u16be(0))})), 0);
	ASSERT_EQ(size(), 1u);
	EXPECT_EQ(first(), ap);
	EXPECT_STREQ(ap->ip, "10.77.0.99");
	EXPECT_STREQ(ap->settings.au1SSID24G, "") << "left out in the refresh: cleared";
	EXPECT_STREQ(ap->settings.au1ProductName, "");
	EXPECT_EQ(ap->settings.u2RadiusPort24G, 0) << "no default on a refresh";
	EXPECT_EQ(ap->settings.u2RadiusPort5G, 0);
	EXPECT_EQ(ap->lastSeen, now);
	EXPECT_EQ(ap->lastPoll, now - 35) << "kept";
	EXPECT_EQ(ap->uploadKind, AP_UPLOAD_CONFIG) << "kept";

	// A second AP is appended after the first.
	ASSERT_EQ(deliver(2, kMacB, {}), 0);
	ASSERT_EQ(size(), 2u);
	ap_record *b = list_last_entry(&aps, ap_record, list);
	EXPECT_EQ(0, memcmp(b->mac, kMacB, 6));
	EXPECT_STREQ(b->ip, "0.0.0.0") << "no TLV 4";
	EXPECT_EQ(b->settings.u2RadiusPort24G, 1812) << "no port TLV on a new record";
	EXPECT_EQ(ap_registry_find_ip(&aps, "10.77.0.99"), ap);
	EXPECT_EQ(ap_registry_find_ip(&aps, "10.77.0.9"), nullptr);
	EXPECT_EQ(ap_registry_find_mac(&aps, kMacB), b);
}

TEST_F(registry, AgentLoaderResponseKeepsOnlyNameAndAddress)
{
	ASSERT_EQ(deliver(2, kMacA, kFull), 0);
	ASSERT_EQ(deliver(VEX_MSG_AGENT_RESP, kMacA,
			  cat({tlv_text(2, "ignored"), tlv_text(1, "AX-3000-boot"), tlv(4, {10, 77, 0, 12}),
			       tlv_text(101, "ignored")})),
		  0);
	ASSERT_EQ(size(), 1u);
	ap_record *ap = first();
	EXPECT_EQ(ap->UbootMode, 1);
	EXPECT_STREQ(ap->ip, "10.77.0.12");
	ap_settings expect{};
	strcpy(expect.au1ProductName, "AX-3000-boot");
	const uint8_t addr[4] = {10, 77, 0, 12};
	memcpy(expect.au1IPAddress, addr, 4);
	EXPECT_EQ(0, memcmp(&ap->settings, &expect, sizeof expect)) << "every other field is zero";

	// Back in its firmware: mode 0 again.
	ASSERT_EQ(deliver(2, kMacA, kFull), 0);
	EXPECT_EQ(ap->UbootMode, 0);
	EXPECT_STREQ(ap->settings.au1SSID24G, "guest");
}

TEST_F(registry, ValuesAreCutSkippedAndNeverOverread)
{
	std::string longName(40, 'n');
	ASSERT_EQ(deliver(2, kMacA,
			  cat({tlv_text(1, longName), tlv_text(101, "first"), tlv(200, {1, 2, 3}),
			       tlv(0xffff, {}), tlv_text(101, "second"), tlv(7, {0x12}), tlv(43, {0x01}),
			       tlv(5, {192, 168}), tlv(100, {}), tlv_text(9, "request-only")})),
		  0);
	ap_record *ap = first();
	EXPECT_EQ(std::string(ap->settings.au1ProductName), longName.substr(0, 19));
	EXPECT_STREQ(ap->settings.au1SSID24G, "second") << "the later value wins";
	// Short fixed-size values: bytes taken from the start, the missing ones zero.
	EXPECT_EQ(ap->settings.u4Tlv7, 0x12000000u);
	EXPECT_EQ(ap->settings.u2VLANID, 0x0100);
	const uint8_t mask[4] = {192, 168, 0, 0};
	EXPECT_EQ(0, memcmp(ap->settings.au1SubnetMask, mask, 4));
	EXPECT_EQ(ap->settings.u1Enabled24G, 0);
}

// What a save reports, for the events announcing new and changed records.
TEST_F(registry, SaveTellsWhatChanged)
{
	struct step {
		uint16_t type;
		uint8_t last; // address 10.77.0.<last>
		bool created;
		const char *oldIp;
		int8_t oldMode;
	} steps[] = {
		{VEX_MSG_DISCOVER_RESP, 11, true, nullptr, 0},
		{VEX_MSG_DISCOVER_RESP, 11, false, "10.77.0.11", 0},
		{VEX_MSG_DISCOVER_RESP, 12, false, "10.77.0.11", 0},
		{VEX_MSG_AGENT_RESP, 12, false, "10.77.0.12", 0},
		{VEX_MSG_DISCOVER_RESP, 12, false, "10.77.0.12", 1},
	};
	for (const auto &st : steps) {
		ASSERT_EQ(deliver(st.type, kMacA, tlv(4, {10, 77, 0, st.last})), 0);
		ASSERT_EQ(change.ap, first());
		EXPECT_EQ(change.created, st.created);
		if (!st.created) {
			EXPECT_STREQ(change.oldIp, st.oldIp);
			EXPECT_EQ(change.oldMode, st.oldMode);
		}
	}
}

const ap_record *dropped[8];
unsigned droppedCount;

void note_drop(const ap_record *ap)
{
	if (droppedCount < 8)
		dropped[droppedCount] = ap;
	droppedCount++;
}

TEST_F(registry, DropsAreToldBeforeTheRecordGoes)
{
	ASSERT_EQ(deliver(2, kMacA, {}), 0);
	ap_record *a = first();
	ASSERT_EQ(deliver(2, kMacB, {}), 0);
	a->lastPoll = now - 10;
	a->lastSeen = now - 100;
	droppedCount = 0;
	EXPECT_EQ(ap_registry_expire(&aps, now, note_drop), 1u);
	ASSERT_EQ(droppedCount, 1u);
	EXPECT_EQ(dropped[0], a);
	ap_record *b = first();
	ap_registry_clear(&aps, note_drop);
	ASSERT_EQ(droppedCount, 2u);
	EXPECT_EQ(dropped[1], b);
	EXPECT_TRUE(list_empty(&aps));
}

struct expiry_case {
	const char *what;
	int32_t seenAgo;
	int32_t polledAgo; // -1: never polled
	bool dropped;
};

TEST_F(registry, ExpiryRule)
{
	const expiry_case cases[] = {
		{"silent 81 s, polled 4 s ago", 81, 4, true},
		{"silent 80 s", 80, 4, false},
		{"silent 200 s, polled 3 s ago", 200, 3, false},
		{"silent 200 s, never polled", 200, -1, false},
		{"answered just now", 0, 30, false},
		{"silent 1000 s, polled 30 s ago", 1000, 30, true},
	};
	uint8_t mac[6] = {0x02, 0, 0, 0, 1, 0};
	for (const auto &c : cases) {
		ASSERT_EQ(deliver(2, mac, {}), 0);
		ap_record *ap = list_last_entry(&aps, ap_record, list);
		ap->lastSeen = now - c.seenAgo;
		ap->lastPoll = c.polledAgo < 0 ? 0 : now - c.polledAgo;
		EXPECT_EQ(ap_registry_expired(ap, now), c.dropped) << c.what;
		mac[5]++;
	}
	// A stored answer is released together with its record.
	ap_record *last = list_last_entry(&aps, ap_record, list);
	last->stats.slots[3] = static_cast<blob_attr *>(malloc(16));
	EXPECT_EQ(ap_registry_expire(&aps, now), 2u);
	ASSERT_EQ(size(), 4u);
	ap_record *ap;
	int i = 0;
	list_for_each_entry(ap, &aps, list) {
		EXPECT_FALSE(ap_registry_expired(ap, now));
		EXPECT_EQ(ap->mac[5], i + 1) << "survivors keep their order";
		i++;
	}
	// A dropped AP that answers again gets a fresh record.
	mac[5] = 0;
	ASSERT_EQ(deliver(2, mac, {}), 0);
	EXPECT_EQ(size(), 5u);
	ap_registry_clear(&aps);
	EXPECT_TRUE(list_empty(&aps));
}

TEST(VexTlvRegistry, KeysAndFormats)
{
	const vex_tlv_def *d = vex_tlv_lookup(112);
	ASSERT_NE(d, nullptr);
	EXPECT_STREQ(d->key, "2.4GRadiusPort");
	EXPECT_EQ(d->format, VEX_FMT_U16);
	EXPECT_EQ(vex_tlv_lookup_key("5GSharedSecret")->type, 142);
	EXPECT_EQ(vex_tlv_lookup_key("5GSharedSecret")->size, 64);
	EXPECT_EQ(vex_tlv_lookup(165), nullptr);
	EXPECT_EQ(vex_tlv_lookup(0), nullptr);
	EXPECT_FALSE(vex_tlv_lookup(9)->stored);
	EXPECT_EQ(vex_tlv_lookup_key("nope"), nullptr);
	// Every stored type has a field of its own inside the settings block.
	size_t n = 0;
	const vex_tlv_def *t = vex_tlv_table(&n);
	std::vector<std::pair<size_t, size_t>> fields; // offset, width
	for (size_t i = 0; i < n; i++) {
		if (!t[i].stored)
			continue;
		size_t width = t[i].format == VEX_FMT_TEXT ? t[i].size + 1u : t[i].size;
		fields.emplace_back(t[i].offset, width);
	}
	ASSERT_FALSE(fields.empty());
	std::sort(fields.begin(), fields.end());
	for (size_t i = 1; i < fields.size(); i++)
		EXPECT_LE(fields[i - 1].first + fields[i - 1].second, fields[i].first)
			<< "field at " << fields[i].first;
	EXPECT_LE(fields.back().first + fields.back().second, sizeof(ap_settings));
}
} // namespace

namespace {
TEST(PushStatus, OneEntryPerAddressText)
{
	struct list_head list;
	INIT_LIST_HEAD(&list);
	auto result = [&](uint16_t status, const bytes &tlvs) {
		parsed p;
		EXPECT_EQ(p.parse(cat({ap_header(VEX_MSG_SET_RESULT, kMacA, status), tlvs})), 1);
		return ap_status_record(&list, p.msg.get());
	};
	EXPECT_EQ(result(3, tlv_text(2, "no address")), nullptr);
	EXPECT_TRUE(list_empty(&list));
	ap_status_entry *a = result(5, cat({tlv(4, {192, 168, 0, 2}), tlv(4, {1, 1, 1, 1})}));
	ASSERT_NE(a, nullptr);
	EXPECT_STREQ(a->ip, "192.168.0.2") << "the first TLV 4";
	ap_status_entry *b = result(0, tlv(4, {192, 168, 0, 20}));
	EXPECT_NE(a, b) << "texts compared whole";
	a->status = AP_STATUS_REPORTED;
	EXPECT_EQ(result(65535, tlv(4, {192, 168, 0, 2})), a);
	EXPECT_EQ(a->status, 65535);
	EXPECT_EQ(list_first_entry(&list, ap_status_entry, list), a);
	EXPECT_EQ(list_last_entry(&list, ap_status_entry, list), b);
	ap_status_clear(&list);
	EXPECT_TRUE(list_empty(&list));
}
} // namespace
