#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bus/ac_reply.hpp"
#include "gw/blob.hpp"
#include "stats/ap_config.hpp"
#include "vex/codec/vex_tlv.hpp"

namespace {
std::string json_of(struct blob_attr *root)
{
	char *s = blobmsg_format_json(root, true);
	std::string out = s ? s : "(null)";
	free(s);
	return out;
}

TEST(GetConfig, OneApTableGolden)
{
	ap_record ap{};
	INIT_LIST_HEAD(&ap.stats.vaps);
	const uint8_t mac[6] = {0x02, 0x1a, 0x2b, 0x3c, 0x4d, 0xff};
	memcpy(ap.mac, mac, 6);
	strcpy(ap.ip, "10.77.0.11");
	ap.UbootMode = -1; // signed on the way out
	ap_settings &s = ap.settings;
	strcpy(s.au1ProductName, "AX");
	strcpy(s.au1NTPInfo, "ntp");
	s.u2IPMode = 65535;
	const uint8_t mask[4] = {255, 255, 255, 0}, gw[4] = {10, 77, 0, 1};
	memcpy(s.au1SubnetMask, mask, 4);
	memcpy(s.au1Gateway, gw, 4);
	memcpy(s.au1IPAddress, gw, 4); // not shown: the member is the record's address text
	strcpy(s.au1SSID24G, "a\"b");
	s.u1Channel5G = 200;
	s.u2RadiusPort24G = 1812;
	s.u1WifiRoaming = 1;
	strcpy(s.au1WifiBand, "dual");

	static struct blob_buf b;
	blob_buf_init(&b, 0);
	ac_config_add_ap(&b, &ap);
	EXPECT_EQ(json_of(b.head),
		  "{\"UbootMode\":-1,\"ProductName\":\"AX\",\"NTPInfo\":\"ntp\",\"IPMode\":65535,"
		  "\"IPAddress\":\"10.77.0.11\",\"SubnetMask\":\"255.255.255.0\",\"Gateway\":\"10.77.0.1\","
		  "\"PriDNS\":\"0.0.0.0\",\"SecDNS\":\"0.0.0.0\",\"MACAddress\":\"02:1a:2b:3c:4d:ff\","
		  "\"Version\":\"\",\"SystemName\":\"\",\"VLANID\":0,\"Status\":\"Ready\",\"Password\":\"\","
		  "\"EncryptKey\":\"\",\"WifiBandSteer\":0,\"2.4G802.11Mode\":\"\",\"2.4GRadiusIp\":\"0.0.0.0\","
		  "\"2.4GRadiusPort\":1812,\"2.4GSharedSecret\":\"\",\"2.4GChannel\":0,\"2.4GChannel_set\":0,"
		  "\"2.4GChannel_Width\":\"\",\"2.4GVLANID\":0,\"2.4GIsolation\":0,\"2.4GEnabled\":0,"
		  "\"2.4GVisible\":0,\"2.4GSSID\":\"a\\\"b\",\"2.4GSecurity\":\"\",\"2.4GKey\":\"\","
		  "\"2.4GBandwidth_Control\":\"\",\"2.4GRSSI_Scanner\":\"\",\"2.4GTransmit_Power\":0,"
		  "\"5G802.11Mode\":\"\",\"5GRadiusIp\":\"0.0.0.0\",\"5GRadiusPort\":0,\"5GSharedSecret\":\"\","
		  "\"5GChannel\":200,\"5GChannel_set\":0,\"5GChannel_Width\":\"\",\"5GVLANID\":0,"
		  "\"5GIsolation\":0,\"5GEnabled\":0,\"5GVisible\":0,\"5GSSID\":\"\",\"5GSecurity\":\"\","
		  "\"5GKey\":\"\",\"5GBandwidth_Control\":\"\",\"5GRSSI_Scanner\":\"\",\"5GTransmit_Power\":0,"
		  "\"WifiBand\":\"dual\",\"WifiRoaming\":1}");
	blob_buf_free(&b);
}

// Cuts root into parts with the cursor; the parts are malloc'd copies.
std::vector<struct blob_attr *> split(struct blob_attr *root, size_t partSize)
{
	std::vector<struct blob_attr *> parts;
	ac_reply_cursor c;
	if (!ac_reply_cursor_init(&c, root))
		return parts;
	static struct blob_buf part;
	while (ac_reply_next_part(&c, &part, partSize))
		parts.push_back(blob_memdup(part.head));
	blob_buf_free(&part);
	return parts;
}

void free_all(std::vector<struct blob_attr *> &parts)
{
	for (auto *p : parts)
		free(p);
	parts.clear();
}

// A list reply cut into parts: every element once, in order, each part within
// the size (or a single element), every part the same {"name": [...]} shape.
TEST(ReplySplit, PartsKeepEveryElementInOrder)
{
	static struct blob_buf b;
	blob_buf_init(&b, 0);
	void *list = blobmsg_open_array(&b, "Device_List");
	for (int i = 0; i < 3000; i++) {
		void *t = blobmsg_open_table(&b, nullptr);
		blobmsg_add_u32(&b, "n", uint32_t(i));
		blobmsg_add_string(&b, "pad", std::string(size_t(i % 50), 'x').c_str());
		blobmsg_close_table(&b, t);
	}
	blobmsg_close_array(&b, list);

	const size_t partSize = 8192;
	auto parts = split(b.head, partSize);
	EXPECT_GT(parts.size(), 20u);
	int next = 0;
	for (auto *part : parts) {
		EXPECT_LE(blob_pad_len(part), partSize);
		auto *arr = static_cast<struct blob_attr *>(blob_data(part));
		ASSERT_EQ(blob_len(part), blob_pad_len(arr)) << "one member per part";
		EXPECT_EQ(blobmsg_type(arr), BLOBMSG_TYPE_ARRAY);
		EXPECT_STREQ(blobmsg_name(arr), "Device_List");
		struct blob_attr *cur;
		size_t rem;
		blobmsg_for_each_attr(cur, arr, rem) {
			auto *n = static_cast<struct blob_attr *>(blobmsg_data(cur));
			EXPECT_EQ(int(blobmsg_get_u32(n)), next);
			next++;
		}
	}
	free_all(parts);
	EXPECT_EQ(next, 3000);

	// An element larger than a part goes alone.
	parts = split(b.head, 16);
	EXPECT_EQ(parts.size(), 3000u);
	free_all(parts);

	// A body of several members (wlan_profile, wlan_statistic) is cut between
	// its members: each part is a table of the next members, names kept.
	blob_buf_init(&b, 0);
	for (int i = 0; i < 500; i++) {
		void *t = blobmsg_open_table(&b, i % 2 ? "radio5g" : nullptr);
		blobmsg_add_u32(&b, "n", uint32_t(i));
		blobmsg_close_table(&b, t);
	}
	parts = split(b.head, 1024);
	EXPECT_GT(parts.size(), 10u);
	std::string joined;
	for (auto *part : parts) {
		EXPECT_LE(blob_pad_len(part), 1024u);
		std::string j = json_of(part);
		joined += j.substr(1, j.size() - 2) + ",";
	}
	std::string whole = json_of(b.head);
	EXPECT_EQ("{" + joined.substr(0, joined.size() - 1) + "}", whole);
	free_all(parts);

	// An empty body has no parts.
	blob_buf_init(&b, 0);
	EXPECT_TRUE(split(b.head, 8192).empty());
	blob_buf_free(&b);
}
} // namespace
