// The daemon's AP list on its own clock: the expiry follows the clock the
// registry is given, and the wall clock plays no part.
#include <gtest/gtest.h>

#include <ctime>

#include "vex/ap_list.hpp"
#include "vex/vex_transport.hpp"
#include "vex_fixture.hpp"

namespace {
const uint8_t kMac[6] = {0x02, 0, 0, 0, 0, 0x21};

int32_t fake_now;
int32_t fake_clock()
{
	return fake_now;
}

struct registry_clock : ::testing::Test {
	void SetUp() override
	{
		ap_clock = fake_clock;
		fake_now = 500;
	}
	void TearDown() override
	{
		ap_registry_clear(&aps);
		ap_clock = ap_clock_monotonic;
	}

	static void answer()
	{
		parsed p;
		ASSERT_TRUE(p.parse(cat({ap_header(VEX_MSG_DISCOVER_RESP, kMac), tlv(4, {10, 77, 0, 21})})));
		KvVexHandleDiscoverResponseData(p.msg.get());
	}
	static bool known() { return ap_registry_find_mac(&aps, kMac) != nullptr; }
};

TEST_F(registry_clock, StampsComeFromTheRegistryClock)
{
	answer();
	ap_record *ap = ap_registry_find_mac(&aps, kMac);
	ASSERT_NE(ap, nullptr);
	EXPECT_EQ(ap->lastSeen, 500);
	EXPECT_EQ(ap->lastPoll, 0);
	fake_now = 530;
	get_aplist_unicast(); // no socket here: the send fails, the stamp is set
	EXPECT_EQ(ap->lastPoll, 530);
}

// The wall clock jumping (NTP setting it after boot) is invisible here: the
// registry's clock only moves forward by the time that really passed.
TEST_F(registry_clock, ExpiryFollowsElapsedTimeOnly)
{
	struct step {
		const char *what;
		int32_t advance; // seconds to the next event
		bool answers;    // the AP answers the unicast poll
		bool keptAfterCheck;
	};
	const step steps[] = {
		{"answers the first poll", 30, true, true},
		{"answers again", 30, true, true},
		{"silent for 35 s", 30, false, true},
		{"silent for 65 s", 30, false, true},
		{"silent for 95 s", 30, false, false},
	};
	answer();
	for (const step &s : steps) {
		fake_now += s.advance;
		get_aplist_unicast();
		if (s.answers)
			answer();
		fake_now += 5; // the check comes a few seconds after the poll
		discover_expire_check();
		EXPECT_EQ(known(), s.keptAfterCheck) << s.what;
		fake_now -= 5;
	}
}

TEST_F(registry_clock, MonotonicClockIsNeverZeroAndNeverGoesBack)
{
	int32_t a = ap_clock_monotonic();
	int32_t b = ap_clock_monotonic();
	EXPECT_GT(a, 0);
	EXPECT_GE(b, a);
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	EXPECT_LE(b, int32_t(ts.tv_sec) + 1);
}
} // namespace
