#include <gtest/gtest.h>

#include <cstring>

#include "vex/codec/vex_codec.hpp"
#include "vex_fixture.hpp"

namespace {
const uint8_t kAcMac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const uint8_t kApMac[6] = {0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0x01};

TEST(VexRequest, DiscoveryRequestIsSixtyGoldenBytes)
{
	vex_seq_set(0x1233);
	uint8_t buf[VEX_MAX_MSG];
	memset(buf, 0xee, sizeof buf);
	vex_msg msg{};
	unsigned n = vex_build_discover_request(buf, sizeof buf, &msg, kAcMac, 0);
	ASSERT_EQ(n, 60u);
	EXPECT_EQ(hex(buf, n), "0002"                // version
			       "0000"                // revision
			       "000000000000"        // AP MAC: to all APs
			       "0006"                // MAC length
			       "0001"                // discovery request
			       "0000"                // status
			       "01945ae0"            // magic
			       "001122334455"        // controller MAC
			       "1234"                // sequence number
			       "000000000000000000000000" // reserved
			       "00810014"            // mask TLV, 20 bytes
			       "00000180000000000000000000000000");
	// The rest of the send buffer is cleared, and the entries were released.
	for (unsigned i = n; i < sizeof buf; i++)
		ASSERT_EQ(buf[i], 0) << i;
	EXPECT_EQ(msg.tlv[0].u2Type, 0);
	EXPECT_EQ(msg.tlv[0].pu1Value, nullptr);
	// Too small for the mask TLV to end below the capacity.
	EXPECT_EQ(vex_build_discover_request(buf, 60, &msg, kAcMac, 0), 0u);
	EXPECT_NE(vex_build_discover_request(buf, 61, &msg, kAcMac, 0), 0u);
}

TEST(VexHeader, GenerateAndParseRoundTrip)
{
	vex_hdr h{};
	vex_seq_set(0x4000);
	KvVexFillVexHeaderTo(&h, VEX_MSG_UPLOAD_REQ, kApMac, kAcMac, 0);
	EXPECT_EQ(h.u2SeqNum, 0x4001);
	EXPECT_EQ(h.u2Status, 0);
	uint8_t buf[VEX_HDR_LEN];
	memset(buf, 0xff, sizeof buf);
	EXPECT_EQ(KvVexGenVexHdr(buf, 39, &h), 0);
	EXPECT_EQ(KvVexGenVexHdr(nullptr, 40, &h), 0);
	ASSERT_EQ(KvVexGenVexHdr(buf, 40, &h), 1);
	EXPECT_EQ(hex(buf, 40), "00020000" "02aabbccdd01" "0006" "000a" "0000" "01945ae0"
				"001122334455" "4001" "000000000000000000000000");

	vex_hdr back;
	memset(&back, 0x5a, sizeof back);
	EXPECT_EQ(KvVexParseVexHdr(buf, 39, &back), 0);
	ASSERT_EQ(KvVexParseVexHdr(buf, 40, &back), 1);
	EXPECT_EQ(back.u2Version, 2);
	EXPECT_EQ(back.u2MsgType, VEX_MSG_UPLOAD_REQ);
	EXPECT_EQ(back.u4Magic, VEX_MAGIC);
	EXPECT_EQ(0, memcmp(back.au1ApMac, kApMac, 6));
	EXPECT_EQ(0, memcmp(back.au1AcMac, kAcMac, 6));
	EXPECT_EQ(back.u2SeqNum, 0x4001);
	EXPECT_EQ(back.au1Reserved[0], 0x5a) << "the parse leaves the reserved bytes alone";
}

TEST(VexHeader, FillToAllApsLeavesReservedAlone)
{
	vex_hdr h;
	memset(&h, 0x77, sizeof h);
	EXPECT_EQ(KvVexFillVexHeader(&h, VEX_MSG_DISCOVER_REQ, 5, kAcMac, 0), 1);
	EXPECT_EQ(h.u2Status, 5);
	EXPECT_EQ(h.u2MacLen, 6);
	EXPECT_EQ(h.au1ApMac[0], 0);
	EXPECT_EQ(h.au1Reserved[11], 0x77);
}

struct check_case {
	uint16_t version, revision, macLen;
	uint32_t magic;
	int ok;
	uint16_t reason;
};

TEST(VexHeader, ChecksGiveReasonsInOrder)
{
	const check_case cases[] = {
		{2, 2, 6, VEX_MAGIC, 1, 0},
		{0, 0, 0, VEX_MAGIC, 1, 0},
		{3, 3, 7, 0, 0, 7}, // version first, whatever else is wrong
		{2, 3, 7, 0, 0, 8},
		{2, 2, 7, 0, 0, 1},
		{2, 2, 6, 0x01945AE1, 0, 9},
		{0xFFFF, 0, 6, VEX_MAGIC, 0, 7},
	};
	for (const auto &c : cases) {
		vex_hdr h{};
		h.u2Version = c.version;
		h.u2Revision = c.revision;
		h.u2MacLen = c.macLen;
		h.u4Magic = c.magic;
		uint16_t reason = 0xbeef;
		EXPECT_EQ(KvVexCheckDiscoverHeader(&h, &reason), c.ok) << c.version << "/" << c.revision;
		EXPECT_EQ(reason, c.ok ? 0xbeef : c.reason) << c.version << "/" << c.revision;
	}
}

TEST(VexParse, DatagramLengths)
{
	const bytes hdr = ap_header(VEX_MSG_DISCOVER_RESP, kApMac);
	parsed p;
	EXPECT_EQ(p.parse(hdr), 1) << "header only";
	EXPECT_EQ(p.count(), 0u);
	EXPECT_EQ(p.msg->hdr.u2MsgType, VEX_MSG_DISCOVER_RESP);
	for (size_t extra = 1; extra <= 3; extra++) {
		parsed q;
		EXPECT_EQ(q.parse(cat({hdr, bytes(extra, 0)})), 0) << extra << " bytes after the header";
	}
	for (size_t n : {0, 1, 39}) {
		parsed q;
		EXPECT_EQ(q.parse(bytes(hdr.begin(), hdr.begin() + n)), 0) << n;
	}
	uint8_t b[4] = {};
	vex_tlv e[VEX_MAX_TLV] = {};
	EXPECT_EQ(KvVexParseVexData(nullptr, 4, e), 0);
	EXPECT_EQ(KvVexParseVexData(b, 4, nullptr), 0);
	EXPECT_EQ(KvVexParseVexData(b, 3, e), 0);
	EXPECT_EQ(KvVexPasrsePacket(b, 4, nullptr), 0);
}

TEST(VexParse, EmptyValueAndTypedValues)
{
	parsed p;
	ASSERT_EQ(p.parse(cat({ap_header(2, kApMac), tlv(7, {}), tlv_text(1, "AP-1")})), 1);
	ASSERT_EQ(p.count(), 2u);
	EXPECT_EQ(p.msg->tlv[0].u2Type, 7);
	EXPECT_EQ(p.msg->tlv[0].u2Len, 0) << "parsed entries carry the value length";
	EXPECT_NE(p.msg->tlv[0].pu1Value, nullptr);
	EXPECT_EQ(p.msg->tlv[1].u2Len, 4);
	EXPECT_EQ(0, memcmp(p.msg->tlv[1].pu1Value, "AP-1", 4));
}

TEST(VexParse, KeepsAtMost160Entries)
{
	bytes d = ap_header(2, kApMac);
	for (int i = 0; i < 200; i++) {
		bytes t = tlv(uint16_t(1000 + i), {uint8_t(i)});
		d.insert(d.end(), t.begin(), t.end());
	}
	parsed p;
	ASSERT_EQ(p.parse(d), 1);
	EXPECT_EQ(p.count(), 160u);
	EXPECT_EQ(p.msg->tlv[159].u2Type, 1159);
	EXPECT_EQ(p.msg->tlv[159].pu1Value[0], 159);
}

TEST(VexParse, TruncatedOrMeaninglessTlvEndsTheParse)
{
	const bytes good = cat({tlv_text(1, "X"), tlv(4, {10, 0, 0, 9})});
	struct {
		const char *what;
		bytes tail;
	} cases[] = {
		{"value past the end", cat({u16be(2), u16be(20), bytes(5, 'a')})},
		{"length one past the end", cat({u16be(2), u16be(10), bytes(5, 'a')})},
		{"head cut after the type", u16be(2)},
		{"head cut in the length", cat({u16be(2), bytes{0}})},
		{"one stray byte", bytes{9}},
		{"length 0", cat({u16be(2), u16be(0), tlv_text(3, "never")})},
		{"length 3", cat({u16be(2), u16be(3), tlv_text(3, "never")})},
		{"length 0xffff", cat({u16be(2), u16be(0xffff)})},
	};
	for (const auto &c : cases) {
		parsed p;
		ASSERT_EQ(p.parse(cat({ap_header(2, kApMac), good, c.tail})), 1) << c.what;
		ASSERT_EQ(p.count(), 2u) << c.what;
		EXPECT_EQ(p.msg->tlv[1].u2Type, 4) << c.what;
	}
}

TEST(VexGenerate, CapacityIsExclusive)
{
	uint8_t v16[16] = {1, 2, 3};
	vex_tlv e[3] = {{129, 20, v16}, {7, 8, v16}, {}};
	uint8_t buf[64];
	uint16_t out = 0xffff;
	ASSERT_EQ(KvVexGenVexData(buf, 20, &out, e, 160), 1);
	EXPECT_EQ(out, 0) << "a TLV ending exactly at the capacity is left out";
	ASSERT_EQ(KvVexGenVexData(buf, 21, &out, e, 160), 1);
	EXPECT_EQ(out, 20);
	ASSERT_EQ(KvVexGenVexData(buf, 28, &out, e, 160), 1);
	EXPECT_EQ(out, 20) << "the second TLV would end at 28";
	ASSERT_EQ(KvVexGenVexData(buf, 29, &out, e, 160), 1);
	EXPECT_EQ(out, 28);
	EXPECT_EQ(hex(buf, 28), "00810014" "01020300000000000000000000000000" "00070008" "01020300");
	ASSERT_EQ(KvVexGenVexData(buf, 64, &out, e, 1), 1);
	EXPECT_EQ(out, 20) << "maxCount";

	EXPECT_EQ(KvVexGenVexData(nullptr, 64, &out, e, 160), 0);
	EXPECT_EQ(KvVexGenVexData(buf, 0, &out, e, 160), 0);
	EXPECT_EQ(KvVexGenVexData(buf, 64, nullptr, e, 160), 0);
	EXPECT_EQ(KvVexGenVexData(buf, 64, &out, nullptr, 160), 0);

	vex_tlv bad[2] = {{5, 3, v16}, {}};
	ASSERT_EQ(KvVexGenVexData(buf, 64, &out, bad, 160), 1);
	EXPECT_EQ(out, 0) << "a generator length below the head is not written";
}

TEST(VexFree, ReleasingTwiceIsHarmless)
{
	vex_tlv e[VEX_MAX_TLV] = {};
	ASSERT_EQ(KvVexHandleGenRequestData(e), 1);
	EXPECT_EQ(e[0].u2Len, 20);
	EXPECT_EQ(KvVexFreeVexData(e, 160), 1);
	EXPECT_EQ(e[0].u2Type, 0);
	EXPECT_EQ(e[0].pu1Value, nullptr);
	EXPECT_EQ(KvVexFreeVexData(e, 160), 1);
}

TEST(VexSequence, StartsFromTheClockAndNeverRepeats)
{
	vex_seq_set(0);
	EXPECT_EQ(KvVexNextSeqNum(0x6543210A), 0x210B) << "first number: the time's low 16 bits plus one";
	EXPECT_EQ(KvVexNextSeqNum(0), 0x210C);

	// Reseeding to the value just drawn skips one.
	vex_seq_set(0xFFFE);
	EXPECT_EQ(KvVexNextSeqNum(0x1FFFE), 0xFFFF);
	EXPECT_EQ(KvVexNextSeqNum(0x1FFFE), 0x0000);
	EXPECT_EQ(KvVexNextSeqNum(0x1FFFF), 0x0001) << "0 reseeds to 0xFFFF, wraps to 0 = previous, skips";

	// A long run with a clock stuck on awkward values never repeats a number.
	vex_seq_set(0);
	uint16_t last = KvVexNextSeqNum(0xFFFF);
	for (uint32_t i = 0; i < 300000; i++) {
		uint32_t now = (i % 3 == 0) ? 0xFFFF : (i % 3 == 1) ? 0xFFFE : 0;
		uint16_t n = KvVexNextSeqNum(now);
		ASSERT_NE(n, last) << i;
		last = n;
	}
}
} // namespace
