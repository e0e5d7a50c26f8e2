#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "diag/ac_diag.hpp"
#include "gw/blob.hpp"

namespace {
using bytes = std::vector<uint8_t>;

const uint8_t MAC1[6] = {0x02, 0, 0, 0, 0, 0x01};

uint32_t addr_of(const char *text)
{
	uint32_t a = 0;
	inet_pton(AF_INET, text, &a);
	return a;
}

// A message from MAC1 with the given type and TLVs ({type, value}).
bytes message(uint16_t type, std::vector<std::pair<uint16_t, bytes>> tlvs = {}, uint16_t status = 0)
{
	vex_hdr h{};
	h.u2Version = VEX_VERSION;
	h.u2MacLen = VEX_MAC_LEN;
	h.u2MsgType = type;
	h.u2Status = status;
	h.u4Magic = VEX_MAGIC;
	memcpy(h.au1ApMac, MAC1, 6);
	bytes out(VEX_HDR_LEN);
	KvVexGenVexHdr(out.data(), uint32_t(out.size()), &h);
	for (auto &t : tlvs) {
		uint16_t len = uint16_t(t.second.size() + 4);
		out.insert(out.end(),
		           {uint8_t(t.first >> 8), uint8_t(t.first), uint8_t(len >> 8), uint8_t(len)});
		out.insert(out.end(), t.second.begin(), t.second.end());
	}
	return out;
}

bytes ipv4(const char *text)
{
	uint32_t a = addr_of(text);
	const auto *p = reinterpret_cast<const uint8_t *>(&a);
	return bytes(p, p + 4);
}

struct blob_buf reply;

std::string json_of(struct blob_attr *root)
{
	char *s = blobmsg_format_json(root, true);
	std::string out = s ? s : "(null)";
	free(s);
	return out;
}

class Diag : public ::testing::Test {
      protected:
	LIST_HEAD(list_);
	ap_record ap_{};
	void SetUp() override
	{
		INIT_LIST_HEAD(&list_);
		ac_diag_reset(0);
	}
	void TearDown() override { blob_buf_free(&reply); }

	void listed(const char *ip)
	{
		memcpy(ap_.mac, MAC1, 6);
		snprintf(ap_.ip, sizeof ap_.ip, "%s", ip);
		ap_.lastSeen = 1000;
		INIT_LIST_HEAD(&ap_.stats.vaps);
		list_add_tail(&ap_.list, &list_);
	}

	void feed(const bytes &b, const char *from, int handled, int32_t now)
	{
		ac_diag_datagram_at(b.data(), uint32_t(b.size()), addr_of(from), handled, now, &list_);
	}

	std::string why_ip(const char *ip, int32_t now)
	{
		ac_diag_why_reply(&reply, &list_, nullptr, addr_of(ip), now, 1010);
		return json_of(reply.head);
	}
	std::string why_mac(const uint8_t *mac, int32_t now)
	{
		ac_diag_why_reply(&reply, &list_, mac, 0, now, 1010);
		return json_of(reply.head);
	}
};

bytes with_field(bytes b, unsigned off, uint32_t value, unsigned width)
{
	for (unsigned i = 0; i < width; i++)
		b[off + i] = uint8_t(value >> (8 * (width - 1 - i)));
	return b;
}

TEST_F(Diag, EachCheckIsNamed)
{
	const bytes ok = message(VEX_MSG_DISCOVER_RESP, {{4, ipv4("10.0.0.7")}});
	struct Case {
		const char *check;
		bytes datagram;
		int handled;
		bool mac;
	} cases[] = {
	    {"short", bytes(ok.begin(), ok.begin() + 20), 0, false},
	    {"short", bytes(), 0, false},
	    {"tlv", bytes(ok.begin(), ok.begin() + VEX_HDR_LEN + 3), 0, true},
	    {"version", with_field(ok, VEX_OFF_VERSION, 3, 2), 0, true},
	    {"revision", with_field(ok, VEX_OFF_REVISION, 3, 2), 0, true},
	    {"maclen", with_field(ok, VEX_OFF_MACLEN, 7, 2), 0, true},
	    {"magic", with_field(ok, VEX_OFF_MAGIC, 0x01945AE1, 4), 0, true},
	    // version is checked before magic, as the receive path does
	    {"version", with_field(with_field(ok, VEX_OFF_MAGIC, 0, 4), VEX_OFF_VERSION, 9, 2), 0, true},
	    {"type", message(99), 0, true},
	    {"push_address", message(VEX_MSG_SET_RESULT, {{5, ipv4("1.2.3.4")}}), 1, true},
	    {"upload_unknown", message(VEX_MSG_UPLOAD_RESP), 1, true},
	};
	int32_t now = 100;
	for (const Case &c : cases) {
		SCOPED_TRACE(c.check);
		ac_diag_reset(0);
		feed(c.datagram, "10.0.0.7", c.handled, now);
		std::string j = why_ip("10.0.0.7", now + 5);
		EXPECT_NE(j.find("\"verdict\":\"failing\""), std::string::npos) << j;
		EXPECT_NE(j.find(std::string("\"check\":\"") + c.check + "\""), std::string::npos) << j;
		EXPECT_EQ(j.find("\"mac\":\"02:00:00:00:00:01\"") != std::string::npos, c.mac) << j;
		EXPECT_NE(j.find("\"count\":1,\"first\":5,\"last\":5"), std::string::npos) << j;
		ac_diag_status_reply(&reply, &list_, now);
		EXPECT_NE(json_of(reply.head).find(std::string("\"") + c.check + "\":1"), std::string::npos);
	}
}

TEST_F(Diag, GoodDatagramsLeaveNoTrace)
{
	listed("10.0.0.7");
	feed(message(VEX_MSG_DISCOVER_RESP, {{4, ipv4("10.0.0.7")}}), "10.0.0.7", 1, 100);
	feed(message(VEX_MSG_SET_RESULT, {{4, ipv4("10.0.0.7")}}), "10.0.0.7", 1, 100);
	feed(message(VEX_MSG_UPLOAD_RESP, {}, 5), "10.0.0.7", 1, 100);
	feed(message(1), "10.0.0.9", 1, 100); // another controller's request
	EXPECT_EQ(why_ip("10.0.0.9", 101),
	          "{\"verdict\":\"unheard\",\"text\":\"never heard from since acd started 101 s ago\"}");
	EXPECT_EQ(why_ip("10.0.0.7", 101),
	          "{\"verdict\":\"listed\",\"text\":\"listed: last seen 10 s ago at 10.0.0.7\"}");
	ac_diag_status_reply(&reply, &list_, 101);
	std::string j = json_of(reply.head);
	EXPECT_NE(j.find("\"responses\":1,\"push_results\":1"), std::string::npos) << j;
	EXPECT_NE(j.find("\"offers\":0,\"accepted\":0,\"refused\":1"), std::string::npos) << j;
}

TEST_F(Diag, ResponseNamingAnotherAddress)
{
	listed("10.0.0.99");
	// The last TLV 4 counts, as in the registry.
	feed(message(VEX_MSG_DISCOVER_RESP, {{4, ipv4("10.0.0.7")}, {4, ipv4("10.0.0.99")}}), "10.0.0.7", 1,
	     100);
	EXPECT_EQ(
	    why_ip("10.0.0.7", 101),
	    "{\"verdict\":\"elsewhere\",\"text\":\"heard, but its responses name the address 10.0.0.99, "
	    "where it is listed\",\"heard\":{\"from\":\"10.0.0.7\",\"mac\":\"02:00:00:00:00:01\",\"check\":"
	    "\"address\",\"checks\":[\"address\"],\"count\":1,\"first\":1,\"last\":1}}");
	// Nothing was dropped.
	ac_diag_status_reply(&reply, &list_, 101);
	EXPECT_NE(json_of(reply.head).find("\"responses\":1"), std::string::npos);
	// A failure from the same sender is what the answer names, before and after further notes.
	feed(message(99), "10.0.0.7", 0, 102);
	feed(message(VEX_MSG_DISCOVER_RESP, {{4, ipv4("10.0.0.99")}}), "10.0.0.7", 1, 103);
	std::string j = why_ip("10.0.0.7", 104);
	EXPECT_NE(
	    j.find(
	        "\"verdict\":\"failing\",\"text\":\"heard, but its datagrams failed a check (unknown message "
	        "type): 1 so far, the last 2 s ago\""),
	    std::string::npos)
	    << j;
	EXPECT_NE(j.find("\"check\":\"type\",\"checks\":[\"type\",\"address\"]"), std::string::npos) << j;
}

TEST_F(Diag, ExpiredClearedAndWhatCameLater)
{
	listed("10.0.0.7");
	ac_diag_dropped_at(&ap_, AC_DROP_EXPIRED, 200, 85);
	list_del(&ap_.list);
	EXPECT_EQ(why_mac(MAC1, 230),
	          "{\"verdict\":\"expired\",\"text\":\"was listed; expired 30 s ago after 85 s "
	          "without an answer\",\"dropped\":{\"how\":\"expired\",\"ip\":\"10.0.0.7\","
	          "\"mac\":\"02:00:00:00:00:01\",\"ago\":30,\"silent\":85}}");
	// Failing datagrams after the expiry are the newer news...
	feed(with_field(message(2), VEX_OFF_MAGIC, 0, 4), "10.0.0.7", 0, 240);
	EXPECT_NE(why_ip("10.0.0.7", 241).find("\"verdict\":\"failing\""), std::string::npos);
	// ...and a drop after them is again.
	ac_diag_dropped_at(&ap_, AC_DROP_CLEARED, 250, 3);
	std::string j = why_ip("10.0.0.7", 251);
	EXPECT_NE(j.find("\"verdict\":\"cleared\",\"text\":\"was listed; removed by all_clear 1 s ago\""),
	          std::string::npos)
	    << j;
	EXPECT_NE(j.find("\"heard\":{"), std::string::npos) << j;
}

TEST_F(Diag, MemoryIsBounded)
{
	char ip[16];
	for (unsigned i = 0; i < AC_DIAG_SENDERS + 4; i++) {
		snprintf(ip, sizeof ip, "10.0.1.%u", i + 1);
		feed(message(99), ip, 0, int32_t(100 + i));
	}
	// The four oldest are forgotten, and the answer says so.
	EXPECT_EQ(why_ip("10.0.1.1", 200),
	          "{\"verdict\":\"unheard\",\"text\":\"never heard from since acd started "
	          "200 s ago (older records were forgotten)\"}");
	EXPECT_NE(why_ip("10.0.1.5", 200).find("failing"), std::string::npos);
	snprintf(ip, sizeof ip, "10.0.1.%u", AC_DIAG_SENDERS + 4);
	EXPECT_NE(why_ip(ip, 200).find("failing"), std::string::npos);
	ac_diag_status_reply(&reply, &list_, 200);
	EXPECT_NE(json_of(reply.head).find("\"forgotten\":4"), std::string::npos);

	listed("10.0.0.7");
	for (unsigned i = 0; i < AC_DIAG_DROPPED + 1; i++)
		ac_diag_dropped_at(&ap_, AC_DROP_CLEARED, int32_t(300 + i), 1);
	ac_diag_status_reply(&reply, &list_, 400);
	EXPECT_NE(json_of(reply.head).find("\"forgotten\":5"), std::string::npos);
}

TEST_F(Diag, PerApStamps)
{
	listed("10.0.0.7");
	ap_.lastPoll = 1004;
	ap_.uploadKind = AP_UPLOAD_CONFIG;
	uint8_t dummy[4] = {0, 0, 0, 0};
	ap_.stats.slots[2] = reinterpret_cast<struct blob_attr *>(dummy); // 104 filled
	ap_.diag.slotTime[2] = ac_diag_clock() - 7;
	ac_diag_ap_reply(&reply, &ap_, ac_diag_clock(), 1010);
	ap_.stats.slots[2] = nullptr;
	EXPECT_EQ(
	    json_of(reply.head),
	    "{\"mac\":\"02:00:00:00:00:01\",\"ip\":\"10.0.0.7\",\"UbootMode\":0,\"last_seen\":10,\"last_"
	    "polled\":6,"
	    "\"upload\":\"config\",\"slots\":{\"104\":7},\"requests\":{\"wlan_profile\":{\"outcome\":"
	    "\"none\","
	    "\"ago\":-1},\"wlan_statistic\":{\"outcome\":\"none\",\"ago\":-1},\"sta_statistic\":{\"outcome\":"
	    "\"none\",\"ago\":-1}}}");
}
} // namespace
