// Poll-run bookkeeping: a run completes when it has sent everything and its
// last exchange has ended, also when runs overlap.
#include <gtest/gtest.h>

#include "stats/poll_run.hpp"

namespace {

TEST(PollRun, CompletesWithItsLastExchange)
{
	poll_run_book b{};
	poll_run_totals t{};
	uint32_t first = poll_run_begin(&b, 2, 1000);
	for (int i = 0; i < 6; i++)
		poll_run_asked(&b, first);
	EXPECT_FALSE(poll_run_ended(&b, first, true, 1100, &t));
	EXPECT_FALSE(poll_run_sent(&b, first, 1100, &t));

	// the next run starts while the first still has exchanges open
	uint32_t second = poll_run_begin(&b, 2, 11000);
	EXPECT_NE(second, first);
	poll_run_asked(&b, second);
	EXPECT_FALSE(poll_run_sent(&b, second, 11000, &t));
	EXPECT_TRUE(poll_run_ended(&b, second, false, 11050, &t));
	EXPECT_EQ(t.asked, 1u);
	EXPECT_EQ(t.answered, 0u);
	EXPECT_EQ(t.failed, 1u);
	EXPECT_EQ(t.ms, 50u);

	for (int i = 0; i < 3; i++)
		EXPECT_FALSE(poll_run_ended(&b, first, true, 1200, &t));
	EXPECT_FALSE(poll_run_ended(&b, first, false, 1300, &t));
	ASSERT_TRUE(poll_run_ended(&b, first, true, 26000, &t));
	EXPECT_EQ(t.aps, 2u);
	EXPECT_EQ(t.asked, 6u);
	EXPECT_EQ(t.answered, 5u);
	EXPECT_EQ(t.failed, 1u);
	EXPECT_EQ(t.ms, 25000u);
	// done: further ends of that run count nowhere
	EXPECT_FALSE(poll_run_ended(&b, first, true, 27000, &t));
	EXPECT_FALSE(poll_run_ended(&b, 0, true, 27000, &t));
}

TEST(PollRun, AnEmptyRunCompletesWhenSent)
{
	poll_run_book b{};
	poll_run_totals t{};
	uint32_t id = poll_run_begin(&b, 0, 500);
	ASSERT_TRUE(poll_run_sent(&b, id, 500, &t));
	EXPECT_EQ(t.asked, 0u);
	EXPECT_EQ(t.ms, 0u);
	EXPECT_FALSE(poll_run_sent(&b, id, 600, &t));
}

TEST(PollRun, ARunOverlappedTooOftenIsForgotten)
{
	poll_run_book b{};
	poll_run_totals t{};
	uint32_t old = poll_run_begin(&b, 1, 0);
	poll_run_asked(&b, old);
	poll_run_sent(&b, old, 0, &t);
	for (unsigned i = 0; i < POLL_RUN_SLOTS; i++)
		poll_run_sent(&b, poll_run_begin(&b, 0, 0), 0, &t);
	EXPECT_FALSE(poll_run_ended(&b, old, true, 100, &t));
}

} // namespace
