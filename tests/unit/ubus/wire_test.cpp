// Framing and attribute rules of bus messages.
#include <gtest/gtest.h>

#include "hexbytes.hpp"
#include "wire.hpp"

using namespace ubus_wire;

namespace {

struct FrameCase {
	const char *name;
	const char *bytes;
	Frame want;
	size_t total;
};

class FrameTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameTest, Checks)
{
	const FrameCase &c = GetParam();
	auto b = hexbytes(c.bytes);
	size_t total = 0;
	EXPECT_EQ(check_frame(b.data(), b.size(), &total), c.want);
	if (c.want == Frame::Complete) {
		EXPECT_EQ(total, c.total);
	}
}

INSTANTIATE_TEST_SUITE_P(
	Wire, FrameTest,
	::testing::Values(
		FrameCase{"hello", "00 00 00 00 9f 83 1c ea 00 00 00 04", Frame::Complete, 12},
		FrameCase{"followed_by_more", "00 00 00 00 9f 83 1c ea 00 00 00 04 00 01", Frame::Complete, 12},
		FrameCase{"empty", "", Frame::Incomplete, 0},
		FrameCase{"short_header", "00 00 00 00 9f 83 1c ea 00 00", Frame::Incomplete, 0},
		FrameCase{"body_missing", "00 01 00 01 00 00 00 00 00 00 00 0c 01 00 00 08", Frame::Incomplete, 0},
		// a bad version is refused from the first byte on
		FrameCase{"version_1", "01", Frame::Invalid, 0},
		FrameCase{"blob_shorter_than_head", "00 00 00 00 00 00 00 00 00 00 00 03", Frame::Invalid, 0},
		FrameCase{"max_len", "00 02 00 00 00 00 00 00 00 10 00 00", Frame::Incomplete, 0},
		FrameCase{"over_max_len", "00 02 00 00 00 00 00 00 00 10 00 01", Frame::Invalid, 0},
		FrameCase{"len_field_all_ones", "00 02 00 00 00 00 00 00 7f ff ff ff", Frame::Invalid, 0}),
	[](const auto &info) { return std::string(info.param.name); });

TEST(Wire, AttributesOfWrongShapeCountAsAbsentAndTheLastWins)
{
	auto b = hexbytes("00 05 00 07 00 00 04 00 00 00 00 3c"
			  "| 03 00 00 08 00 00 04 01"       // OBJID 0x401
			  "| 03 00 00 08 00 00 04 02"       // OBJID again: this one counts
			  "| 01 00 00 06 00 01 00 00"       // STATUS of 2 bytes: absent
			  "| 04 00 00 06 61 62 00 00"       // METHOD "ab" without its NUL: absent
			  "| 0a 00 00 05 01 00 00 00"       // NO_REPLY, int8
			  "| 7f 00 00 04"                   // unknown id: ignored
			  "| 07 00 00 04"                   // empty DATA
			  "| 02 00 00 08 78 00 00 00");     // OBJPATH "x"
	Message m;
	ASSERT_TRUE(parse_message(b.data(), b.size(), m));
	EXPECT_EQ(m.hdr.type, UBUS_MSG_INVOKE);
	EXPECT_EQ(m.hdr.seq, 7);
	EXPECT_EQ(m.hdr.peer, 0x400u);
	ASSERT_TRUE(m.get(UBUS_ATTR_OBJID));
	EXPECT_EQ(attr_u32(m.get(UBUS_ATTR_OBJID)), 0x402u);
	EXPECT_FALSE(m.get(UBUS_ATTR_STATUS));
	EXPECT_FALSE(m.get(UBUS_ATTR_METHOD));
	ASSERT_TRUE(m.get(UBUS_ATTR_NO_REPLY));
	EXPECT_EQ(attr_u8(m.get(UBUS_ATTR_NO_REPLY)), 1);
	ASSERT_TRUE(m.get(UBUS_ATTR_DATA));
	EXPECT_EQ(attr_payload_len(m.get(UBUS_ATTR_DATA)), 0u);
	EXPECT_STREQ(attr_string(m.get(UBUS_ATTR_OBJPATH)), "x");
}

TEST(Wire, MalformedAttributeEndsTheWalk)
{
	// the second attribute claims more bytes than the blob holds
	auto b = hexbytes("00 05 00 01 00 00 00 00 00 00 00 1c"
			  "| 03 00 00 08 00 00 04 01"
			  "| 04 00 00 40 61 62 00 00"
			  "| 01 00 00 08 00 00 00 00");
	Message m;
	ASSERT_TRUE(parse_message(b.data(), b.size(), m));
	EXPECT_TRUE(m.get(UBUS_ATTR_OBJID));
	EXPECT_FALSE(m.get(UBUS_ATTR_METHOD));
	EXPECT_FALSE(m.get(UBUS_ATTR_STATUS));
}

TEST(Wire, ParseRefusesAnythingButOneWholeFrame)
{
	auto b = hexbytes("00 00 00 00 9f 83 1c ea 00 00 00 04");
	Message m;
	EXPECT_TRUE(parse_message(b.data(), b.size(), m));
	EXPECT_FALSE(parse_message(b.data(), b.size() - 1, m));
	b.push_back(0);
	EXPECT_FALSE(parse_message(b.data(), b.size(), m));
}

TEST(Wire, WriterPadsAndMeasures)
{
	Writer w(UBUS_MSG_STATUS, 0x1234, 0xb45c7dd5);
	w.put_string(UBUS_ATTR_METHOD, "abcde");
	w.put_u8(UBUS_ATTR_NO_REPLY, 1);
	w.put_u32(UBUS_ATTR_STATUS, uint32_t(-2));
	EXPECT_EQ(hexstr(w.take()), hexstr(hexbytes("00 01 12 34 b4 5c 7d d5 00 00 00 20"
						    "| 04 00 00 0a 61 62 63 64 65 00 00 00"
						    "| 0a 00 00 05 01 00 00 00"
						    "| 01 00 00 08 ff ff ff fe")));
}

struct SigCase {
	const char *name;
	const char *payload;
	bool valid;
};

class SignatureTest : public ::testing::TestWithParam<SigCase> {};

TEST_P(SignatureTest, Validates)
{
	auto b = hexbytes(GetParam().payload);
	EXPECT_EQ(signature_valid(b.data(), b.size()), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
	Wire, SignatureTest,
	::testing::Values(
		SigCase{"empty", "", true},
		SigCase{"documented", golden::kSignatureBody, true},
		SigCase{"noarg", "82 00 00 0c 00 05 6e 6f 61 72 67 00", true},
		// a method table needs a name
		SigCase{"unnamed_table", "82 00 00 08 00 00 00 00", false},
		// methods are tables, not strings
		SigCase{"string_method", "83 00 00 0b 00 01 73 00 61 62 00 00", false},
		// not extended: no name header at all
		SigCase{"raw_attr", "02 00 00 08 00 00 00 00", false},
		// argument with a 3-byte int32
		SigCase{"short_int", "82 00 00 14 00 01 6d 00 85 00 00 0b 00 01 6e 00 00 00 00 00", false},
		// trailing bytes that do not form an attribute
		SigCase{"trailing_junk", "82 00 00 0c 00 05 6e 6f 61 72 67 00 00 00", false},
		// name length runs past the attribute
		SigCase{"long_name", "82 00 00 08 00 20 6d 00", false}),
	[](const auto &info) { return std::string(info.param.name); });

TEST(Wire, DeepNestingIsRefusedNotRecursedWithoutEnd)
{
	// a table nested far deeper than any signature needs
	const int depth = 200;
	std::vector<uint8_t> v;
	for (int i = 0; i < depth; i++) {
		size_t raw = 4 + 4 + size_t(depth - 1 - i) * 8;
		v.insert(v.end(), {uint8_t(0x82), uint8_t(raw >> 16), uint8_t(raw >> 8), uint8_t(raw),
				   0, 1, 't', 0});
	}
	EXPECT_FALSE(signature_valid(v.data(), v.size()));
}

} // namespace
