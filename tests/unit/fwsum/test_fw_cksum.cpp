// Additive checksum of the firmware partition: words, the signed trailing byte, the read budget and
// the text of the checksum file.
#include "fw_cksum.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace
{
// Hands out scripted reads: each entry is a byte count (or -1 for a failed read) taken from `data`.
struct scripted {
	std::vector<uint8_t> data;
	std::vector<long> reads;
	size_t next = 0, pos = 0;
	size_t calls = 0;
};

long scripted_read(void *ctx, uint8_t *buf, std::size_t size)
{
	auto *s = static_cast<scripted *>(ctx);
	s->calls++;
	if (s->next >= s->reads.size())
		return 0;
	long n = s->reads[s->next++];
	if (n < 0)
		return -1;
	n = std::min<long>(n, static_cast<long>(size));
	for (long i = 0; i < n; i++)
		buf[i] = s->data[s->pos++];
	return n;
}
} // namespace

TEST(FwCksum, WordsAndTrailingBytes)
{
	struct {
		std::vector<uint8_t> bytes;
		uint32_t sum;
	} cases[] = {
	    {{0x00, 0x00, 0x00, 0x01, 0xff}, 0x00000000u}, // 1 then -1
	    {{0x00, 0x00, 0x00, 0x01, 0x7f}, 0x00000080u}, // 1 then +127
	    {{0x80}, 0xffffff80u},                         // -128 alone
	    {{0x12, 0x34, 0x56, 0x78, 0xff, 0xff, 0xff, 0xff}, 0x12345677u},
	    {{0xab, 0xcd}, 0xabcd0000u}, // short tail as a padded word
	    {{0x01, 0x00, 0x00, 0x00, 0xab, 0xcd, 0xef}, 0xaccdef00u},
	    {{}, 0},
	};
	for (const auto &c : cases)
		EXPECT_EQ(fw_cksum_add(0, c.bytes.data(), c.bytes.size()), c.sum) << c.bytes.size();

	std::vector<uint8_t> ff(fw_cksum_buf_size, 0xff), zero(fw_cksum_buf_size, 0);
	EXPECT_EQ(fw_cksum_add(0, ff.data(), ff.size()), 0xFFFFC000u);
	EXPECT_EQ(fw_cksum_add(0, zero.data(), zero.size()), 0u);
}

TEST(FwCksum, BudgetOfFourBytesDecidesHowOftenToRead)
{
	std::vector<uint8_t> bytes = {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x04};
	struct {
		std::vector<long> reads;
		size_t calls;
		uint32_t sum;
	} cases[] = {
	    {{12}, 1, 7},             // one read of at least 4 bytes ends reading
	    {{5, 7}, 1, 1},           // 00 00 00 01 and the signed byte 00: over budget
	    {{3, 4}, 2, 0x01000000u}, // 3 bytes leave budget: 00 00 00, then 01 00 00 00
	    {{1, 1, 1, 1, 8}, 4, 1u}, // four single bytes 00 00 00 01 use the budget up
	    {{2, -1, 8}, 2, 0u},      // a failed read ends it with what was read
	    {{2, 0, 8}, 2, 0u},       // so does the end of the device
	};
	for (const auto &c : cases) {
		scripted s{bytes, c.reads};
		uint8_t buf[64];
		uint32_t sum = fw_cksum_read(scripted_read, &s, buf, sizeof(buf));
		EXPECT_EQ(sum, c.sum) << c.reads.size() << " reads";
		EXPECT_EQ(s.calls, c.calls) << c.reads.size() << " reads";
	}
}

TEST(FwCksum, FileTextIsTenCharacters)
{
	EXPECT_STREQ(fw_cksum_format(0xFFFFC000u).s, "0xFFFFC000");
	EXPECT_STREQ(fw_cksum_format(0).s, "0x00000000");
	EXPECT_STREQ(fw_cksum_format(0xabcdefu).s, "0x00ABCDEF");
}
