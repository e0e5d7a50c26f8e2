#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "apconfig/settings_codec.hpp"
#include "vex/codec/vex_tlv.hpp"

namespace {
std::string hex(const uint8_t *p, size_t n)
{
	static const char digits[] = "0123456789abcdef";
	std::string s;
	for (size_t i = 0; i < n; i++) {
		s += digits[p[i] >> 4];
		s += digits[p[i] & 15];
	}
	return s;
}

std::string hex_text(const std::string &t)
{
	return hex(reinterpret_cast<const uint8_t *>(t.data()), t.size());
}

// A settings document as exec_config loads it: members at the buffer's top.
struct document {
	explicit document(const char *json)
	{
		memset(&b, 0, sizeof b);
		blob_buf_init(&b, 0);
		loaded = blobmsg_add_json_from_string(&b, json);
	}
	~document() { blob_buf_free(&b); }
	struct blob_attr *head() { return b.head; }
	struct blob_buf b;
	bool loaded;
};

// The data part of a push of the document (nullptr: no document).
std::string push_data(const char *json)
{
	std::vector<uint8_t> buf(VEX_MAX_DATA, 0xee);
	uint16_t n;
	if (json) {
		document d(json);
		EXPECT_TRUE(d.loaded) << json;
		n = settings_push_data(buf.data(), uint32_t(buf.size()), d.head());
	} else {
		n = settings_push_data(buf.data(), uint32_t(buf.size()), nullptr);
	}
	return hex(buf.data(), n);
}

const std::string kMaskNone = "00810014" "00000000" "00000000" "00000000" "00000000";

struct encode_case {
	const char *name;
	const char *text;
	const char *tlv; // hex of the whole TLV
};

TEST(SettingsEncode, EveryEncodingFromText)
{
	const encode_case cases[] = {
		{"SystemName", "lobby", "00020009" "6c6f626279"},
		{"SystemName", "", "00020004"},
		{"5GKey", "s3cret pass", "0084000f" "7333637265742070617373"},
		{"Password", "admin", "00090009" "61646d696e"},
		{"2.4GChannel_set", "11", "00680005" "0b"},
		{"2.4GChannel_set", "300", "00680005" "2c"}, // 300 modulo 256
		{"2.4GEnabled", "-1", "00640005" "ff"},
		{"5GChannel_set", "abc", "00860005" "00"},
		{"WifiRoaming", "7 days", "00a40005" "07"},
		{"VLANID", "4094", "002b0006" "0ffe"}, // big-endian
		{"IPMode", "70000", "000a0006" "1170"}, // 70000 modulo 65536
		{"2.4GRadiusPort", "1812", "00700006" "0714"},
		{"IPAddress", "192.168.1.20", "00040008" "c0a80114"},
		{"SubnetMask", "255.255.255.0", "00050008" "ffffff00"},
		{"IPAddress", "not-a-number", "00040008" "ffffffff"},
		{"Gateway", "", "00060008" "ffffffff"},
		{"5GRadiusIp", "10.0.0.300", "008c0008" "ffffffff"},
	};
	for (const auto &c : cases) {
		const settings_def *def = settings_lookup(c.name);
		ASSERT_NE(def, nullptr) << c.name;
		vex_tlv entry[2] = {};
		ASSERT_EQ(settings_encode(&entry[0], def, c.text), 1);
		uint8_t buf[256];
		uint16_t n = 0;
		ASSERT_EQ(KvVexGenVexData(buf, sizeof buf, &n, entry, VEX_MAX_TLV), 1);
		EXPECT_EQ(hex(buf, n), c.tlv) << c.name << " = \"" << c.text << "\"";
		KvVexFreeVexData(entry, 2);
	}
}

TEST(SettingsEncode, NamesAPushCarries)
{
	const char *pushed[] = {
		"ProductName", "SystemName", "IPAddress", "SubnetMask", "Gateway", "Password", "IPMode",
		"PriDNS", "SecDNS", "VLANID", "NTPInfo", "2.4GEnabled", "2.4GSSID", "2.4GKey",
		"2.4GSecurity", "2.4GChannel_set", "2.4G802.11Mode", "2.4GChannel_Width", "2.4GVisible",
		"2.4GRadiusIp", "2.4GRadiusPort", "2.4GSharedSecret", "2.4GIsolation", "2.4GVLANID",
		"2.4GBandwidth_Control", "2.4GRSSI_Scanner", "2.4GTransmit_Power", "5GEnabled", "5GSSID",
		"5GKey", "5GSecurity", "5GChannel_set", "5G802.11Mode", "5GChannel_Width", "5GVisible",
		"5GRadiusIp", "5GRadiusPort", "5GSharedSecret", "5GIsolation", "5GVLANID",
		"5GBandwidth_Control", "5GRSSI_Scanner", "5GTransmit_Power", "WifiBandSteer", "WifiRoaming",
	};
	static_assert(sizeof pushed / sizeof pushed[0] == 45, "45 settings can be pushed");
	size_t count = 0;
	const vex_tlv_def *table = vex_tlv_table(&count);
	size_t found = 0;
	for (size_t i = 0; i < count; i++)
		found += settings_lookup(table[i].key) != nullptr;
	EXPECT_EQ(found, 45u);
	for (const char *name : pushed) {
		const settings_def *def = settings_lookup(name);
		ASSERT_NE(def, nullptr) << name;
		EXPECT_STREQ(def->key, name);
	}
	// Names are exact, case and all; shown-only members are never pushed.
	for (const char *name : {"systemname", "SystemName ", "Version", "WifiBand", "2.4GChannel",
				 "5GChannel", "UbootMode", "MACAddress", "Status", "EncryptKey", ""})
		EXPECT_EQ(settings_lookup(name), nullptr) << name;
	EXPECT_EQ(settings_lookup(nullptr), nullptr);
}

TEST(SettingsMask, BitsSharedAndNone)
{
	struct mask_case {
		std::vector<const char *> names;
		uint32_t w0, w1;
	};
	const mask_case cases[] = {
		{{"ProductName"}, 0x1, 0},
		{{"SystemName", "2.4GEnabled"}, 0x2, 0}, // one bit for both
		{{"IPAddress", "SubnetMask"}, 0x18, 0},
		{{"Gateway", "PriDNS", "SecDNS"}, 0x20, 0},
		{{"Password", "IPMode"}, 0x300, 0},
		{{"5GEnabled"}, 0, 0x2},
		{{"5GKey"}, 0, 0x84},
		{{"2.4GKey", "5GKey"}, 0, 0x184},
		{{"5GVisible", "2.4GVisible"}, 0, 0x44},
		{{"2.4GSecurity", "5GSharedSecret"}, 0, 0x8},
		{{"2.4GChannel_set", "5GChannel_Width"}, 0, 0x10},
		{{"2.4G802.11Mode", "5G802.11Mode"}, 0, 0x20},
		{{"VLANID", "NTPInfo", "2.4GSSID", "5GSSID", "2.4GIsolation", "5GVLANID",
		  "2.4GBandwidth_Control", "5GRSSI_Scanner", "5GTransmit_Power", "WifiBandSteer", "WifiRoaming"},
		 0,
		 0x4},
		{{"2.4GRadiusIp", "2.4GRadiusPort", "5GRadiusIp", "5GRadiusPort"}, 0, 0},
	};
	for (const auto &c : cases) {
		uint32_t mask[SETTINGS_MASK_WORDS] = {};
		for (const char *name : c.names) {
			const settings_def *def = settings_lookup(name);
			ASSERT_NE(def, nullptr) << name;
			settings_mask_add(mask, def);
		}
		EXPECT_EQ(mask[0], c.w0) << c.names[0];
		EXPECT_EQ(mask[1], c.w1) << c.names[0];
		EXPECT_EQ(mask[2], 0u);
		EXPECT_EQ(mask[3], 0u);
	}
}

TEST(SettingsPush, NameAndSsidGoldenBytes)
{
	EXPECT_EQ(push_data(R"({"SystemName": "lobby", "2.4GSSID": "guest"})"),
		  "00020009" "6c6f626279"     // TLV 2
		  "00650009" "6775657374"     // TLV 101
		  "00810014"                  // field mask
		  "00000002" "00000004" "00000000" "00000000");
}

TEST(SettingsPush, DocumentOrderAndSharedBits)
{
	EXPECT_EQ(push_data(R"({"SecDNS": "8.8.4.4", "Gateway": "10.0.0.1", "PriDNS": "8.8.8.8"})"),
		  "002a0008" "08080404"
		  "00060008" "0a000001"
		  "00290008" "08080808"
		  "00810014" "00000020" "00000000" "00000000" "00000000");
	EXPECT_EQ(push_data(R"({"2.4GRadiusPort": "1812"})"), "00700006" "0714" + kMaskNone);
}

TEST(SettingsPush, NoDocumentSendsOnlyAClearMask)
{
	EXPECT_EQ(push_data(nullptr), kMaskNone);
	EXPECT_EQ(push_data("{}"), kMaskNone);
}

TEST(SettingsPush, UnknownNamesAreReportedAndLeftOut)
{
	testing::internal::CaptureStderr();
	std::string data =
		push_data(R"({"Bogus": "x", "SystemName": "a", "systemname": "b", "Version": "1"})");
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "unknown config name : Bogus \n"
		  "unknown config name : systemname \n"
		  "unknown config name : Version \n");
	EXPECT_EQ(data, "00020005" "61" "00810014" "00000002" "00000000" "00000000" "00000000");
}

TEST(SettingsPush, NumbersAndBooleansBecomeDecimalTextOthersAreSkipped)
{
	testing::internal::CaptureStderr();
	std::string data = push_data(R"({"2.4GChannel_set": 11, "2.4GEnabled": true, "5GEnabled": false,
		"VLANID": 4094, "IPMode": 4294967297, "SystemName": 12, "2.4GSSID": null,
		"5GSSID": {"a": "b"}, "NTPInfo": [1], "5GChannel_set": 1.5, "IPAddress": -1})");
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "config value not a string : 2.4GSSID \n"
		  "config value not a string : 5GSSID \n"
		  "config value not a string : NTPInfo \n"
		  "config value not a string : 5GChannel_set \n");
	EXPECT_EQ(data, "00680005" "0b"           // 11
			"00640005" "01"           // true
			"00820005" "00"           // false
			"002b0006" "0ffe"         // 4094
			"000a0006" "0001"         // 4294967297, low 16 bits
			"00020006" + hex_text("12") + // the number's text
			"00040008" "ffffffff"     // "-1" is no address
			"00810014" "0000020a" "00000016" "00000000" "00000000");
}

TEST(SettingsPush, TextTooLongForThePacketEndsTheTlvs)
{
	// 10200 bytes of SSID cannot fit behind the name: generation ends there,
	// and the field mask is not sent.
	std::string big(10200, 'x');
	std::string json = R"({"SystemName": "a", "2.4GSSID": ")" + big + R"(", "5GSSID": "b"})";
	EXPECT_EQ(push_data(json.c_str()), "00020005" "61");

	// Longer than a TLV length can say: the entry carries the largest length
	// and the whole text, so nothing reads past the value.
	std::string huge(70000, 'y');
	document d((R"({"2.4GSSID": ")" + huge + R"("})").c_str());
	ASSERT_TRUE(d.loaded);
	vex_tlv entries[VEX_MAX_TLV];
	ASSERT_EQ(settings_push_entries(entries, VEX_MAX_TLV, d.head()), 2u);
	EXPECT_EQ(entries[0].u2Len, 0xFFFF);
	EXPECT_EQ(entries[1].u2Type, VEX_TLV_MASK);
	std::vector<uint8_t> buf(VEX_MAX_DATA);
	uint16_t n = 1;
	KvVexGenVexData(buf.data(), uint32_t(buf.size()), &n, entries, VEX_MAX_TLV);
	EXPECT_EQ(n, 0);
	KvVexFreeVexData(entries, VEX_MAX_TLV);
}

TEST(SettingsPush, EntryListNeverOverflows)
{
	document d(R"({"ProductName": "p", "SystemName": "s", "2.4GSSID": "a", "5GSSID": "b"})");
	ASSERT_TRUE(d.loaded);
	vex_tlv entries[3];
	ASSERT_EQ(settings_push_entries(entries, 3, d.head()), 3u);
	EXPECT_EQ(entries[0].u2Type, 1);
	EXPECT_EQ(entries[1].u2Type, 2);
	EXPECT_EQ(entries[2].u2Type, VEX_TLV_MASK);
	EXPECT_EQ(hex(entries[2].pu1Value, VEX_MASK_LEN), "00000003" "00000000" "00000000" "00000000");
	KvVexFreeVexData(entries, 3);
}
} // namespace
