// The request bodies, and which answers are stored where.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "stats/jsonrpc.hpp"
#include "stats_fixture.hpp"

namespace {

TEST(jsonrpc_request, BodiesAreCompactWithMembersInOrder)
{
	const char *expect[] = {
		R"({"jsonrpc":"2.0","id":104,"method":"wlan_profile","params":["00000000000000000000000000000000"]})",
		R"({"jsonrpc":"2.0","id":108,"method":"wlan_statistic","params":["00000000000000000000000000000000"]})",
		R"({"jsonrpc":"2.0","id":109,"method":"sta_statistic","params":["00000000000000000000000000000000"]})",
	};
	const char *urls[] = {"http://10.0.0.7/nox/profile.cgi", "http://10.0.0.7/nox/nox_info.cgi",
			      "http://10.0.0.7/nox/nox_info.cgi"};
	for (unsigned i = 0; i < JSONRPC_REQUESTS; i++) {
		const jsonrpc_request_def &r = jsonrpc_requests[i];
		char *body = jsonrpc_request_body(r.id, r.method);
		ASSERT_NE(body, nullptr);
		EXPECT_STREQ(body, expect[i]);
		free(body);
		char url[JSONRPC_URL_SIZE];
		snprintf(url, sizeof url, r.url_format, "10.0.0.7");
		EXPECT_STREQ(url, urls[i]);
	}
}

TEST(jsonrpc_parse, OnlyAJsonObjectIsAnAnswer)
{
	struct {
		const char *text;
		bool ok;
	} cases[] = {
		{R"({"jsonrpc":"2.0","id":108})", true},
		{R"({"a":1} trailing)", true}, // the object is complete; the rest is not looked at
		{"", false},
		{"<html>busy</html>", false},
		{"[1,2]", false},
		{"\"text\"", false},
		{R"({"jsonrpc":"2.0","id":)", false}, // cut short
		{"{\"a\":\"\xff\xfe\"", false},
	};
	for (const auto &c : cases) {
		struct blob_buf b = {};
		EXPECT_EQ(jsonrpc_parse_answer(&b, c.text, strlen(c.text)), c.ok) << c.text;
		blob_buf_free(&b);
	}
}

// An answer is converted and walked level by level: deeper than 32 containers
// it is dropped, and the caller learns why.
TEST(jsonrpc_parse, DepthIsBounded)
{
	struct {
		int arrays; // inside "result", itself inside the answer object
		bool ok;
		bool tooDeep;
	} const cases[] = {{31, true, false}, {32, false, true}, {100000, false, true}};
	for (const auto &c : cases) {
		std::string text = R"({"jsonrpc":"2.0","id":104,"result":)" + std::string(size_t(c.arrays), '[') +
				   std::string(size_t(c.arrays), ']') + "}";
		struct blob_buf b = {};
		bool tooDeep = !c.tooDeep;
		EXPECT_EQ(jsonrpc_parse_answer(&b, text.data(), text.size(), &tooDeep), c.ok) << c.arrays;
		EXPECT_EQ(tooDeep, c.tooDeep) << c.arrays;
		blob_buf_free(&b);
	}
	struct blob_buf b = {};
	bool tooDeep = true;
	EXPECT_FALSE(jsonrpc_parse_answer(&b, "<html>", 6, &tooDeep));
	EXPECT_FALSE(tooDeep);
	blob_buf_free(&b);
}

// Every case starts with earlier answers in slots 104, 108 and 109, so "kept"
// means the earlier answer is still there.
const char kOld104[] = R"(["old-profile"])";
const char kOld108[] = R"({"old":108})";
const char kOld109[] = R"({"old":109})";

struct answer_case {
	const char *name;
	std::string body;
	int rc;
	const char *out;
	int32_t id;        // the slot to look at
	const char *slot;  // its expected content
};

struct answers : stats_list {
	ap_record *ap = nullptr;
	void SetUp() override
	{
		stats_list::SetUp();
		ap = add_ap("10.77.0.11", 1);
		ASSERT_EQ(deliver("10.77.0.11", answer(104, kOld104)), 1);
		ASSERT_EQ(deliver("10.77.0.11", answer(108, std::string("[0,") + kOld108 + "]")), 1);
		ASSERT_EQ(deliver("10.77.0.11", answer(109, std::string("[0,") + kOld109 + "]")), 1);
	}
};

TEST_F(answers, CheckedAndStoredByTheirId)
{
	const answer_case cases[] = {
		{"statistics stored", answer(108, R"([0,{"radio2g":[]}])"), 1, "", 108, R"({"radio2g":[]})"},
		{"stations stored", answer(109, R"([0,{"radio5g":[{"bssid":"b"}]}])"), 1, "", 109,
		 R"({"radio5g":[{"bssid":"b"}]})"},
		{"non-zero status", answer(108, R"([1,{"radio2g":[]}])"), 1, "status is erro  \n", 108, kOld108},
		{"negative status", answer(109, R"([-1,{"x":1}])"), 1, "status is erro  \n", 109, kOld109},
		{"status as a string counts as absent", answer(108, R"(["busy",{"x":1}])"), 1, "", 108, R"({"x":1})"},
		{"status as true counts as absent", answer(108, R"([true,{"x":2}])"), 1, "", 108, R"({"x":2})"},
		{"status only", answer(108, "[0]"), 1, "", 108, kOld108},
		{"empty result", answer(109, "[]"), 1, "", 109, kOld109},
		{"table first", answer(108, R"([{"x":1},0])"), 1, "", 108, kOld108},
		{"data not a table", answer(108, R"([0,[1,2]])"), 1, "", 108, kOld108},
		{"profile: the whole array", answer(104, R"([{"config0":{"ssid":"s"}},7])"), 1, "", 104,
		 R"([{"config0":{"ssid":"s"}},7])"},
		{"profile: no status check", answer(104, R"([1,{"x":1}])"), 1, "", 104, R"([1,{"x":1}])"},
		{"never requested id 105", answer(105, "[5]"), 1, "", 105, "[5]"},
		{"id 102", answer(102, "[]"), 1, "", 102, "[]"},
		{"id 110", answer(110, "[0,{}]"), 0, "", 108, kOld108},
		{"id 101", answer(101, "[0,{}]"), 0, "", 108, kOld108},
		{"id as a string", R"({"jsonrpc":"2.0","id":"108","result":[0,{"x":1}]})", 0, "", 108, kOld108},
		{"id as a fraction", R"({"jsonrpc":"2.0","id":108.0,"result":[0,{"x":1}]})", 0, "", 108, kOld108},
		{"id past 32 bits", R"({"jsonrpc":"2.0","id":4294967404,"result":[0,{"x":1}]})", 0, "", 108, kOld108},
		{"no id", R"({"jsonrpc":"2.0","result":[0,{"x":1}]})", 0, "", 108, kOld108},
		{"jsonrpc 1.0", R"({"jsonrpc":"1.0","id":108,"result":[0,{"x":1}]})", 0, "", 108, kOld108},
		{"jsonrpc 2.0 with a blank", R"({"jsonrpc":"2.0 ","id":108,"result":[0,{"x":1}]})", 0, "", 108, kOld108},
		{"jsonrpc as a number", R"({"jsonrpc":2.0,"id":108,"result":[0,{"x":1}]})", 0, "", 108, kOld108},
		{"no jsonrpc", R"({"id":108,"result":[0,{"x":1}]})", 0, "", 108, kOld108},
		{"no result", R"({"jsonrpc":"2.0","id":108})", 1, "", 108, kOld108},
		{"no result, unknown id", R"({"jsonrpc":"2.0","id":999})", 1, "", 108, kOld108},
		{"result not an array", R"({"jsonrpc":"2.0","id":108,"result":{"x":1}})", 1, "", 108, kOld108},
		{"error answer", R"({"jsonrpc":"2.0","id":108,"error":{"code":-32601}})", 1, "", 108, kOld108},
	};
	for (const answer_case &c : cases) {
		SCOPED_TRACE(c.name);
		TearDown();
		SetUp();
		int rc;
		EXPECT_EQ(deliver_out("10.77.0.11", c.body, &rc), c.out);
		EXPECT_EQ(rc, c.rc);
		EXPECT_EQ(slot_json(ap, c.id), c.slot);
	}
}

TEST_F(answers, TheSameAnswerTwiceGivesAnEqualSlot)
{
	std::string body = answer(108, R"([0,{"radio2g":[{"bssid":"b"}]}])");
	ASSERT_EQ(deliver("10.77.0.11", body), 1);
	std::string first = slot_json(ap, 108);
	ASSERT_EQ(deliver("10.77.0.11", body), 1);
	EXPECT_EQ(slot_json(ap, 108), first);
}

TEST_F(stats_list, AnswersGoToEveryRecordWithThePeerAddress)
{
	ap_record *a = add_ap("10.77.0.11", 1);
	ap_record *b = add_ap("10.77.0.12", 2);
	ap_record *twin = add_ap("10.77.0.11", 3); // same address text, another MAC
	ap_record *prefix = add_ap("10.77.0.1", 4); // a prefix of the peer text is no match

	EXPECT_EQ(deliver("10.77.0.11", answer(108, R"([0,{"n":1}])")), 1);
	EXPECT_EQ(slot_json(a, 108), R"({"n":1})");
	EXPECT_EQ(slot_json(twin, 108), R"({"n":1})");
	EXPECT_EQ(slot_json(b, 108), "-");
	EXPECT_EQ(slot_json(prefix, 108), "-");

	// From an address no record has: accepted, stored nowhere.
	EXPECT_EQ(deliver("10.77.0.99", answer(108, R"([0,{"n":2}])")), 1);
	EXPECT_EQ(deliver("Unknown", answer(109, R"([0,{"n":3}])")), 1);
	for (ap_record *ap : {a, b, twin, prefix})
		EXPECT_EQ(slot_json(ap, 109), "-");
	EXPECT_EQ(slot_json(a, 108), R"({"n":1})");
}

TEST_F(stats_list, SlotsHoldIdsFrom102To109Only)
{
	ap_record *ap = add_ap("10.77.0.11", 1);
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "v", 1);
	EXPECT_FALSE(ap_slot_store(ap, 101, b.head));
	EXPECT_FALSE(ap_slot_store(ap, 110, b.head));
	for (int32_t id = 102; id <= 109; id++)
		EXPECT_TRUE(ap_slot_store(ap, id, b.head));
	EXPECT_EQ(ap_slot(ap, 101), nullptr);
	EXPECT_EQ(ap_slot(ap, 110), nullptr);
	EXPECT_NE(ap_slot(ap, 102), nullptr);
	blob_buf_free(&b);
}

} // namespace
