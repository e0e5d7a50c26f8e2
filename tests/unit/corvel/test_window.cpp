// The provisioning window: one 600 s budget that every wait draws on, the hello test and the wait
// for the end of the boot window.
#include "window.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace
{
struct timeval tv(long s, long us)
{
	struct timeval t;
	t.tv_sec = s;
	t.tv_usec = us;
	return t;
}
struct timespec ts(long s, long ns)
{
	struct timespec t;
	t.tv_sec = s;
	t.tv_nsec = ns;
	return t;
}
::testing::AssertionResult same(const struct timeval &a, const struct timeval &b)
{
	if (a.tv_sec == b.tv_sec && a.tv_usec == b.tv_usec)
		return ::testing::AssertionSuccess();
	return ::testing::AssertionFailure()
	       << a.tv_sec << "s+" << a.tv_usec << "us != " << b.tv_sec << "s+" << b.tv_usec << "us";
}
} // namespace

TEST(CorvelWindow, ReduceBorrowsAndStopsAtZero)
{
	EXPECT_TRUE(same(corvel_window_reduce(tv(600, 0), tv(100, 250000)), tv(499, 750000)));
	EXPECT_TRUE(same(corvel_window_reduce(tv(499, 750000), tv(0, 750001)), tv(498, 999999)));
	EXPECT_TRUE(same(corvel_window_reduce(tv(1, 0), tv(1, 0)), tv(0, 0)));
	EXPECT_TRUE(same(corvel_window_reduce(tv(1, 0), tv(7, 5)), tv(0, 0)));
	EXPECT_TRUE(corvel_window_over(tv(0, 0)));
	EXPECT_FALSE(corvel_window_over(tv(0, 1)));
}

TEST(CorvelWindow, ElapsedFromMonotonicStamps)
{
	EXPECT_TRUE(same(corvel_elapsed(ts(10, 900000000), ts(12, 100000500)), tv(1, 200000)));
	EXPECT_TRUE(same(corvel_elapsed(ts(10, 0), ts(10, 999)), tv(0, 0)));
	EXPECT_TRUE(same(corvel_elapsed(ts(10, 0), ts(9, 0)), tv(0, 0)));
}

TEST(CorvelWindow, DatagramsEveryHundredSecondsDoNotExtendIt)
{
	// Simulated monotonic clock in microseconds. The window opens at 1000 s; a non-hello datagram
	// arrives at 1050 s, 1150 s, ... and takes 3 ms to handle. The window must close at 1600 s sharp.
	const long long us = 1000000;
	auto stamp = [](long long t) {
		return ts(static_cast<long>(t / 1000000), static_cast<long>(t % 1000000) * 1000);
	};
	struct timeval window = tv(corvel_window_seconds, 0);
	long long now = 1000 * us, next = 1050 * us;
	struct timespec mark = stamp(now);
	int datagrams = 0;
	for (;;) {
		long long left = static_cast<long long>(window.tv_sec) * us + window.tv_usec;
		now = std::min(next, now + left); // the wait ends at a datagram or when the window runs out
		window = corvel_window_reduce(window, corvel_elapsed(mark, stamp(now)));
		mark = stamp(now);
		if (corvel_window_over(window))
			break;
		ASSERT_LT(++datagrams, 10) << "window never closes";
		now += 3000;
		window = corvel_window_reduce(window, corvel_elapsed(mark, stamp(now)));
		mark = stamp(now);
		next += 100 * us;
	}
	EXPECT_EQ(datagrams, 6);
	EXPECT_EQ(now, 1600 * us);
}

TEST(CorvelHello, TwelveBytesOfTextThenAnything)
{
	struct {
		std::string data;
		bool hello;
	} cases[] = {
	    {"bulkhello???", true},
	    {"bulkhello???trailing bytes", true},
	    {std::string("bulkhello???\0\xff", 14), true},
	    {"bulkhello??", false},
	    {"bulkhello?!?", false},
	    {"BULKHELLO???", false},
	    {"xbulkhello???", false},
	    {"", false},
	};
	for (const auto &c : cases)
		EXPECT_EQ(corvel_is_hello(c.data.data(), c.data.size()), c.hello) << c.data;
	// Only the received length counts, not what lies in the buffer after it.
	char buf[1024];
	memset(buf, 0, sizeof(buf));
	memcpy(buf, "bulkhello???", 12);
	EXPECT_FALSE(corvel_is_hello(buf, 11));
}

TEST(CorvelBootWindow, SleepsUntilSixHundredSecondsOfUptime)
{
	struct {
		long uptime, left;
	} cases[] = {{0, 600}, {30, 570}, {599, 1}, {600, 0}, {601, 0}, {86400, 0}};
	for (const auto &c : cases)
		EXPECT_EQ(corvel_wait_left(c.uptime), c.left) << c.uptime;
}
