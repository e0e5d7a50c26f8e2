// tallier's ring arithmetic without sysfs: differences, ring order, new devices.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tally.hpp"

namespace {

constexpr uint64_t k2_32 = 1ull << 32;

struct diff_case {
	uint64_t last, now;
	int32_t want;
};

TEST(TallyDiff, LowWordDifference)
{
	const diff_case cases[] = {
		{1000, 2500, 1500},
		{5 * k2_32 - 100, 5 * k2_32 + 400, 500},       // 64-bit counter passes a multiple of 2^32
		{k2_32 - 1, k2_32, 1},
		{123456, 0, -123456},                         // counter unreadable once
		{0, 123456, 123456},                          // and back
		{7, 7, 0},
		{0, 0x80000000u, INT32_MIN},                  // held as signed 32 bits
	};
	for (const auto &c : cases)
		EXPECT_EQ(tally_diff(c.now, c.last), c.want) << c.last << " -> " << c.now;
}

void sample(tally_device *dev, uint64_t rx_bytes, uint64_t tx_bytes = 0, uint64_t rx_packets = 0,
	    uint64_t tx_packets = 0)
{
	const uint64_t v[tally_counters] = {rx_bytes, tx_bytes, rx_packets, tx_packets};
	tally_sample(dev, v);
}

std::vector<int32_t> history(const tally_device *dev, int counter)
{
	std::vector<int32_t> out;
	for (int k = 0; k < tally_slots; k++)
		out.push_back(tally_entry(dev, counter, k));
	return out;
}

TEST(TallyRing, NewDeviceReportsZeros)
{
	tally_device dev;
	ASSERT_TRUE(tally_device_init(&dev, "eth0"));
	EXPECT_EQ(dev.index, -1);
	for (int c = 0; c < tally_counters; c++)
		EXPECT_EQ(history(&dev, c), std::vector<int32_t>(tally_slots, 0));
	// the first sample only takes the readings
	sample(&dev, 1u << 31, 77, 5, 9);
	EXPECT_EQ(dev.index, 0);
	for (int c = 0; c < tally_counters; c++)
		EXPECT_EQ(history(&dev, c), std::vector<int32_t>(tally_slots, 0));
}

TEST(TallyRing, StepsLandInTheirCounterNewestLast)
{
	tally_device dev;
	ASSERT_TRUE(tally_device_init(&dev, "br-lan"));
	sample(&dev, 10000, 20000, 100, 200);
	sample(&dev, 11500, 20000, 101, 203);
	sample(&dev, 0, 20064, 101, 204);      // rx_bytes unreadable for one sample
	sample(&dev, 11500 + 40, 20064, 102, 204);
	auto tail = [&](int c) { auto h = history(&dev, c); return std::vector<int32_t>(h.end() - 3, h.end()); };
	EXPECT_EQ(tail(0), (std::vector<int32_t>{1500, -11500, 11540}));
	EXPECT_EQ(tail(1), (std::vector<int32_t>{0, 64, 0}));
	EXPECT_EQ(tail(2), (std::vector<int32_t>{1, 0, 1}));
	EXPECT_EQ(tail(3), (std::vector<int32_t>{3, 1, 0}));
	EXPECT_EQ(history(&dev, 0)[tally_slots - 4], 0); // never written
}

TEST(TallyRing, KeepsTheNewest120OldestFirst)
{
	tally_device dev;
	ASSERT_TRUE(tally_device_init(&dev, "lo"));
	// readings 0, 1, 3, 6, ...: sample i adds a step of i
	uint64_t total = 0;
	for (int i = 0; i < 130; i++) {
		total += i;
		sample(&dev, total, total * 2);
	}
	std::vector<int32_t> want, want2;
	for (int step = 10; step < 130; step++) {
		want.push_back(step);
		want2.push_back(2 * step);
	}
	EXPECT_EQ(history(&dev, 0), want);
	EXPECT_EQ(history(&dev, 1), want2);
	EXPECT_EQ(dev.index, (130 - 1) % tally_slots); // 129 steps written after the first reading
}

TEST(TallyRing, NameLimit)
{
	tally_device dev;
	EXPECT_TRUE(tally_device_init(&dev, "fifteen-chars-x"));
	EXPECT_STREQ(dev.name, "fifteen-chars-x");
	EXPECT_FALSE(tally_device_init(&dev, "sixteen-chars-xx"));
}

} // namespace
