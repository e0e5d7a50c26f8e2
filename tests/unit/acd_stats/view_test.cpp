// The wireless view built from stored answers, and the report replies.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "stats/jsonrpc.hpp"
#include "stats/stats_reply.hpp"
#include "stats/stats_text.hpp"
#include "stats/wireless_view.hpp"
#include "stats_fixture.hpp"

namespace {

std::string client(const char *mac, int signal, int up, const char *rx, const char *tx)
{
	return std::string(R"({"mac":")") + mac + R"(","signal":)" + std::to_string(signal) +
	       R"(,"up_time":)" + std::to_string(up) + R"(,"statistics":{"rx_bytes":")" + rx +
	       R"(","tx_bytes":")" + tx + R"("}})";
}

struct view : stats_list {
	struct blob_buf b = {};
	void TearDown() override
	{
		blob_buf_free(&b);
		stats_list::TearDown();
	}

	ap_record *ap_with_modes(const char *ip, uint8_t n)
	{
		ap_record *ap = add_ap(ip, n);
		strcpy(ap->settings.au1Mode24G, "11bgn");
		strcpy(ap->settings.au1Mode5G, "11ac");
		return ap;
	}

	void store(const char *ip, int id, const std::string &result)
	{
		ASSERT_EQ(deliver(ip, answer(id, result)), 1) << result;
	}

	std::string statistic()
	{
		wireless_view_refresh(&aps);
		stats_reply_statistic(&b, &aps);
		return reply_json(&b);
	}

	std::string sta_statistic()
	{
		wireless_view_refresh(&aps);
		stats_reply_sta_statistic(&b, &aps);
		return reply_json(&b);
	}

	std::string radios(const ap_record *ap)
	{
		wireless_view_refresh(&aps);
		blob_buf_init(&b, 0);
		ac_config_add_radios(&b, ap);
		return reply_json(&b);
	}
};

// Two APs with two VAPs each, as the simulated APs answer.
TEST_F(view, TwoApsWithTwoVapsEach)
{
	ap_with_modes("10.77.0.11", 1);
	ap_record *ap2 = ap_with_modes("10.77.0.12", 2);
	for (int n = 1; n <= 2; n++) {
		std::string ip = "10.77.0.1" + std::to_string(n), k = std::to_string(n);
		store(ip.c_str(), 104,
		      R"([{"config0":{"ssid":"net)" + k + R"(","bssid":"b)" + k + R"(a","enc":"psk"},)"
		      R"("config1":{"bssid":"b)" + k + R"(b","ssid":"net)" + k + R"(-5g"},"mode":"ap"}])");
		store(ip.c_str(), 108,
		      R"([0,{"radio2g":[{"bssid":"b)" + k + R"(a","statistics":{"rx_bytes":"1)" + k +
			      R"(0","tx_bytes":"2)" + k + R"(0"}}],)"
			      R"("radio5g":[{"bssid":"b)" + k + R"(b","statistics":{"rx_bytes":"3)" + k +
			      R"(0","tx_bytes":"4)" + k + R"(0"}}]}])");
	}
	store("10.77.0.11", 109,
	      "[0,{\"radio2g\":[{\"bssid\":\"b1a\",\"clients\":[" + client("c1", -40, 100, "5", "6") + "," +
		      client("c2", -70, 200, "7", "8") + "]}],\"radio5g\":[{\"bssid\":\"b1b\",\"clients\":[" +
		      client("c3", -55, 300, "9", "10") + "]}]}]");
	store("10.77.0.12", 109, R"([0,{"radio2g":[{"bssid":"b2a","clients":[]}],"radio5g":[]}])");

	EXPECT_EQ(statistic(),
		  R"({"statistic":[)"
		  R"({"radio2g":[{"ap_mac":"02:00:00:00:00:01","bssid":"b1a","ssid":"net1","stas_num":2,"statistics":{"tx_bytes":"210","rx_bytes":"110"}}],)"
		  R"("radio5g":[{"ap_mac":"02:00:00:00:00:01","bssid":"b1b","ssid":"net1-5g","stas_num":1,"statistics":{"tx_bytes":"410","rx_bytes":"310"}}]},)"
		  R"({"radio2g":[{"ap_mac":"02:00:00:00:00:02","bssid":"b2a","ssid":"net2","stas_num":0,"statistics":{"tx_bytes":"220","rx_bytes":"120"}}],)"
		  R"("radio5g":[{"ap_mac":"02:00:00:00:00:02","bssid":"b2b","ssid":"net2-5g","stas_num":0,"statistics":{"tx_bytes":"420","rx_bytes":"320"}}]}]})");
	EXPECT_EQ(sta_statistic(),
		  R"({"Clients":[)"
		  R"({"bssid":"02:00:00:00:00:01","hw_mode":"11bgn","ssid":"net1","clients":[)"
		  R"({"mac":"c1","signal":-40,"statistics":{"tx_bytes":"6","rx_bytes":"5"},"up_time":100},)"
		  R"({"mac":"c2","signal":-70,"statistics":{"tx_bytes":"8","rx_bytes":"7"},"up_time":200}]},)"
		  R"({"bssid":"02:00:00:00:00:01","hw_mode":"11ac","ssid":"net1-5g","clients":[)"
		  R"({"mac":"c3","signal":-55,"statistics":{"tx_bytes":"10","rx_bytes":"9"},"up_time":300}]},)"
		  R"({"bssid":"02:00:00:00:00:02","hw_mode":"11bgn","ssid":"net2","clients":[]},)"
		  R"({"bssid":"02:00:00:00:00:02","hw_mode":"11ac","ssid":"net2-5g","clients":[]}]})");
	EXPECT_EQ(radios(ap2),
		  R"({"radio2g":[{"bssid":"b2a","ssid":"net2","stas_num":0,"statistics":{"tx_bytes":"220","rx_bytes":"120"}}],)"
		  R"("radio5g":[{"bssid":"b2b","ssid":"net2-5g","stas_num":0,"statistics":{"tx_bytes":"420","rx_bytes":"320"}}]})");

	// The copying reports: unnamed profile tables, and repeated radio names.
	stats_reply_wlan_profile(&b, &aps);
	EXPECT_EQ(reply_json(&b),
		  R"({{"config0":{"ssid":"net1","bssid":"b1a","enc":"psk"},"config1":{"bssid":"b1b","ssid":"net1-5g"},"mode":"ap"},)"
		  R"({"config0":{"ssid":"net2","bssid":"b2a","enc":"psk"},"config1":{"bssid":"b2b","ssid":"net2-5g"},"mode":"ap"}})");
	stats_reply_wlan_statistic(&b, &aps);
	EXPECT_EQ(reply_json(&b),
		  R"({"radio2g":[{"bssid":"b1a","statistics":{"rx_bytes":"110","tx_bytes":"210"}}],)"
		  R"("radio5g":[{"bssid":"b1b","statistics":{"rx_bytes":"310","tx_bytes":"410"}}],)"
		  R"("radio2g":[{"bssid":"b2a","statistics":{"rx_bytes":"120","tx_bytes":"220"}}],)"
		  R"("radio5g":[{"bssid":"b2b","statistics":{"rx_bytes":"320","tx_bytes":"420"}}]})");
}

TEST_F(view, EmptyListAndEmptySlots)
{
	EXPECT_EQ(statistic(), R"({"statistic":[]})");
	EXPECT_EQ(sta_statistic(), R"({"Clients":[]})");
	stats_reply_wlan_profile(&b, &aps);
	EXPECT_EQ(reply_json(&b), "{}");
	stats_reply_wlan_statistic(&b, &aps);
	EXPECT_EQ(reply_json(&b), "{}");

	ap_record *ap = ap_with_modes("10.77.0.11", 1);
	EXPECT_EQ(statistic(), R"({"statistic":[{}]})");
	EXPECT_EQ(sta_statistic(), R"({"Clients":[]})");
	EXPECT_EQ(radios(ap), "{}");
}

// One AP; each case stores a profile, statistics and stations answer (an empty
// text leaves the slot empty) and gives the expected "statistic" element and
// "Clients" list of that AP.
struct view_case {
	const char *name;
	std::string profile, stats, stations;
	std::string statistic, clients;
};

std::string vap(const char *bssid, const char *ssid, int n, const char *tx, const char *rx)
{
	return std::string(R"({"ap_mac":"02:00:00:00:00:01","bssid":")") + bssid + R"(","ssid":")" + ssid +
	       R"(","stas_num":)" + std::to_string(n) + R"(,"statistics":{"tx_bytes":")" + tx +
	       R"(","rx_bytes":")" + rx + R"("}})";
}

std::string sta(const char *mac, int signal, int up, const char *tx, const char *rx)
{
	return std::string(R"({"mac":")") + mac + R"(","signal":)" + std::to_string(signal) +
	       R"(,"statistics":{"tx_bytes":")" + tx + R"(","rx_bytes":")" + rx + R"("},"up_time":)" +
	       std::to_string(up) + "}";
}

std::string vap_clients(const char *mode, const char *ssid, const std::string &stas)
{
	return std::string(R"({"bssid":"02:00:00:00:00:01","hw_mode":")") + mode + R"(","ssid":")" + ssid +
	       R"(","clients":[)" + stas + "]}";
}

const char kProfileAB[] = R"([{"config_a":{"ssid":"A","bssid":"aa"},"config_b":{"ssid":"B","bssid":"bb"}}])";

TEST_F(view, EdgeCases)
{
	const std::string long_bssid(40, 'x'), long_ssid(200, 's');
	const std::string cut_bssid(31, 'x'), cut_ssid(127, 's');
	// 30 ASCII bytes then a 3-byte character: the field keeps the 30 bytes only.
	const std::string utf8_ssid = std::string(125, 'u') + "\xe2\x82\xac" + "z";
	const std::string many_clients = [] {
		std::string s;
		for (int i = 0; i < 130; i++)
			s += (i ? "," : "") + client(("m" + std::to_string(i)).c_str(), -50, i, "1", "2");
		return s;
	}();
	const std::string many_stas = [] {
		std::string s;
		for (int i = 0; i < 130; i++)
			s += (i ? "," : "") + sta(("m" + std::to_string(i)).c_str(), -50, i, "2", "1");
		return s;
	}();

	const view_case cases[] = {
		{"no profile: no VAPs, whatever the other answers hold", "",
		 R"([0,{"radio2g":[{"bssid":"aa","statistics":{"rx_bytes":"1","tx_bytes":"2"}}]}])",
		 R"([0,{"radio2g":[{"bssid":"aa","clients":[)" + client("c", 1, 2, "3", "4") + "]}]}]",
		 R"({"radio2g":[],"radio5g":[]})", ""},
		{"no statistics answer: an empty table, clients still listed", kProfileAB, "",
		 R"([0,{"radio5g":[{"bssid":"bb","clients":[)" + client("c", 1, 2, "3", "4") + "]}]}]", "{}",
		 vap_clients("11bgn", "A", "") + "," + vap_clients("11bgn", "B", sta("c", 1, 2, "4", "3"))},
		{"VAP missing from the statistics stays in band 0 with empty counters", kProfileAB,
		 R"([0,{"radio5g":[{"bssid":"aa","statistics":{"rx_bytes":"1","tx_bytes":"2"}}]}])", "",
		 R"({"radio2g":[)" + vap("bb", "B", 0, "", "") + R"(],"radio5g":[)" + vap("aa", "A", 0, "2", "1") +
			 "]}",
		 ""},
		{"statistics of an unknown BSSID are dropped", kProfileAB,
		 R"([0,{"radio5g":[{"bssid":"cc","statistics":{"rx_bytes":"1","tx_bytes":"2"}}],"radio6g":[{"bssid":"aa","statistics":{"rx_bytes":"1","tx_bytes":"2"}}]}])",
		 "", R"({"radio2g":[)" + vap("aa", "A", 0, "", "") + "," + vap("bb", "B", 0, "", "") + R"(],"radio5g":[]})",
		 ""},
		{"BSSID listed twice: one VAP with the last SSID",
		 R"([{"config0":{"ssid":"first","bssid":"aa"}},{"config1":{"ssid":"second","bssid":"aa"}}])",
		 R"([0,{}])", "", R"({"radio2g":[)" + vap("aa", "second", 0, "", "") + R"(],"radio5g":[]})", ""},
		{"profile members: only tables named config..., with both texts",
		 R"([7,"x",{"configX":{"bssid":"aa","ssid":"A"},"conf":{"bssid":"bb","ssid":"B"},"config1":{"bssid":"cc"},"config2":{"ssid":"D","bssid":5},"config3":"text","Config4":{"bssid":"ee","ssid":"E"}}])",
		 R"([0,{}])", "", R"({"radio2g":[)" + vap("aa", "A", 0, "", "") + R"(],"radio5g":[]})", ""},
		{"an empty BSSID matches the first VAP", kProfileAB,
		 R"([0,{"radio5g":[{"bssid":"","statistics":{"rx_bytes":"1","tx_bytes":"2"}}]}])",
		 R"([0,{"radio2g":[{"bssid":"","clients":[)" + client("c", 1, 2, "3", "4") + "]}]}]",
		 R"({"radio2g":[)" + vap("bb", "B", 0, "", "") + R"(],"radio5g":[)" + vap("aa", "A", 1, "2", "1") + "]}",
		 vap_clients("11ac", "A", sta("c", 1, 2, "4", "3")) + "," + vap_clients("11bgn", "B", "")},
		{"a given BSSID matches a VAP that begins with it",
		 R"([{"config0":{"ssid":"A","bssid":"aa:bb:cc"},"config1":{"ssid":"B","bssid":"aa:bb:dd"}}])",
		 R"([0,{"radio2g":[{"bssid":"aa:bb","statistics":{"rx_bytes":"1","tx_bytes":"2"}}]}])", "",
		 R"({"radio2g":[)" + vap("aa:bb:cc", "A", 0, "2", "1") + "," + vap("aa:bb:dd", "B", 0, "", "") +
			 R"(],"radio5g":[]})",
		 ""},
		{"\"clients\" before \"bssid\": no stations for that VAP", kProfileAB, R"([0,{}])",
		 R"([0,{"radio2g":[{"clients":[)" + client("c1", 1, 2, "3", "4") + R"(],"bssid":"aa"},{"bssid":"bb","clients":[)" +
			 client("c2", 5, 6, "7", "8") + "]}]}]",
		 R"({"radio2g":[)" + vap("aa", "A", 0, "", "") + "," + vap("bb", "B", 1, "", "") + R"(],"radio5g":[]})",
		 vap_clients("11bgn", "A", "") + "," + vap_clients("11bgn", "B", sta("c2", 5, 6, "8", "7"))},
		{"a client without counters or with a MAC that is no text is not recorded but counted", kProfileAB,
		 R"([0,{}])",
		 R"([0,{"radio2g":[{"bssid":"aa","clients":[)" + client("c1", 1, 2, "3", "4") +
			 R"(,{"mac":"c2","signal":9},{"mac":7,"statistics":{"rx_bytes":"1","tx_bytes":"2"}},)" +
			 client("c3", 5, 6, "7", "8") +
			 R"(]},{"bssid":"bb","clients":[)" + client("c4", 1, 2, "3", "4") + R"(,{"mac":"c5"}]}]}])",
		 R"({"radio2g":[)" + vap("aa", "A", 4, "", "") + "," + vap("bb", "B", 1, "", "") + R"(],"radio5g":[]})",
		 vap_clients("11bgn", "A", sta("c1", 1, 2, "4", "3") + "," + sta("c3", 5, 6, "8", "7")) + "," +
			 vap_clients("11bgn", "B", sta("c4", 1, 2, "4", "3"))},
		{"a MAC twice updates one station and counts twice", kProfileAB, R"([0,{}])",
		 R"([0,{"radio2g":[{"bssid":"aa","clients":[)" + client("c1", 1, 2, "3", "4") + "," +
			 client("c1", 5, 6, "7", "8") + "]}]}]",
		 R"({"radio2g":[)" + vap("aa", "A", 2, "", "") + "," + vap("bb", "B", 0, "", "") + R"(],"radio5g":[]})",
		 vap_clients("11bgn", "A", sta("c1", 5, 6, "8", "7")) + "," + vap_clients("11bgn", "B", "")},
		{"clients of both radios, a client list as a table, odd elements skipped", kProfileAB, R"([0,{}])",
		 R"([0,{"radio5g":[1,{"bssid":"bb","clients":{"x":)" + client("c1", 1, 2, "3", "4") +
			 R"(,"y":7}}],"radio2g":[{"bssid":"aa","clients":["c9",)" + client("c2", 1, 2, "3", "4") + "]}]}]",
		 R"({"radio2g":[)" + vap("aa", "A", 1, "", "") + "," + vap("bb", "B", 1, "", "") + R"(],"radio5g":[]})",
		 vap_clients("11bgn", "A", sta("c2", 1, 2, "4", "3")) + "," +
			 vap_clients("11bgn", "B", sta("c1", 1, 2, "4", "3"))},
		{"signal and up_time that are not 32-bit integers count as 0", kProfileAB, R"([0,{}])",
		 R"([0,{"radio2g":[{"bssid":"aa","clients":[{"mac":"c1","signal":"-40","up_time":5000000000,"statistics":{"rx_bytes":"1","tx_bytes":"2"}},{"mac":"c2","signal":-1.5,"up_time":true,"statistics":{"rx_bytes":"1","tx_bytes":"2"}}]}]}])",
		 R"({"radio2g":[)" + vap("aa", "A", 2, "", "") + "," + vap("bb", "B", 0, "", "") + R"(],"radio5g":[]})",
		 vap_clients("11bgn", "A", sta("c1", 0, 0, "2", "1") + "," + sta("c2", 0, 0, "2", "1")) + "," +
			 vap_clients("11bgn", "B", "")},
		{"more than 127 clients keep a positive count", kProfileAB, R"([0,{}])",
		 R"([0,{"radio2g":[{"bssid":"bb","clients":[)" + many_clients + "]}]}]",
		 R"({"radio2g":[)" + vap("aa", "A", 0, "", "") + "," + vap("bb", "B", 130, "", "") + R"(],"radio5g":[]})",
		 vap_clients("11bgn", "A", "") + "," + vap_clients("11bgn", "B", many_stas)},
		{"texts longer than their fields are cut; the long BSSID still matches",
		 R"([{"config0":{"ssid":")" + long_ssid + R"(","bssid":")" + long_bssid + R"("},"config1":{"ssid":")" +
			 utf8_ssid + R"(","bssid":"bb"}}])",
		 R"([0,{"radio5g":[{"bssid":")" + long_bssid + R"(","statistics":{"rx_bytes":")" + std::string(35, '1') +
			 R"(","tx_bytes":"2"}}]}])",
		 R"([0,{"radio2g":[{"bssid":")" + long_bssid + R"(","clients":[)" +
			 client(std::string(33, 'm').c_str(), 1, 2, "3", "4") + "]}]}]",
		 R"({"radio2g":[)" + vap("bb", std::string(125, 'u').c_str(), 0, "", "") + R"(],"radio5g":[)" +
			 vap(cut_bssid.c_str(), cut_ssid.c_str(), 1, "2", std::string(31, '1').c_str()) + "]}",
		 vap_clients("11ac", cut_ssid.c_str(), sta(std::string(31, 'm').c_str(), 1, 2, "4", "3")) + "," +
			 vap_clients("11bgn", std::string(125, 'u').c_str(), "")},
	};
	for (const view_case &c : cases) {
		SCOPED_TRACE(c.name);
		TearDown();
		SetUp();
		ap_with_modes("10.77.0.11", 1);
		if (!c.profile.empty())
			store("10.77.0.11", 104, c.profile);
		if (!c.stats.empty())
			store("10.77.0.11", 108, c.stats);
		if (!c.stations.empty())
			store("10.77.0.11", 109, c.stations);
		EXPECT_EQ(statistic(), R"({"statistic":[)" + c.statistic + "]}");
		EXPECT_EQ(sta_statistic(), c.stations.empty() ? std::string(R"({"Clients":[]})")
							      : R"({"Clients":[)" + c.clients + "]}");
	}
}

TEST_F(view, ClearEmptiesTheViewAndKeepsTheSlots)
{
	ap_record *ap = ap_with_modes("10.77.0.11", 1);
	store("10.77.0.11", 104, kProfileAB);
	store("10.77.0.11", 108, R"([0,{"radio5g":[{"bssid":"bb","statistics":{"rx_bytes":"1","tx_bytes":"2"}}]}])");
	store("10.77.0.11", 109, R"([0,{"radio5g":[{"bssid":"bb","clients":[)" + client("c", 1, 2, "3", "4") + "]}]}]");
	std::string first = statistic(), clients = sta_statistic();
	ASSERT_FALSE(list_empty(&ap->stats.vaps));

	wireless_view_clear(&aps);
	EXPECT_TRUE(list_empty(&ap->stats.vaps));
	EXPECT_NE(ap_slot(ap, 104), nullptr);
	EXPECT_NE(ap_slot(ap, 108), nullptr);
	EXPECT_NE(ap_slot(ap, 109), nullptr);

	// Each report rebuilds the same view; repeated refreshes do not pile up entries.
	EXPECT_EQ(statistic(), first);
	EXPECT_EQ(statistic(), first);
	EXPECT_EQ(sta_statistic(), clients);
	unsigned vaps = 0;
	vap_entry *v;
	list_for_each_entry(v, &ap->stats.vaps, list)
		vaps++;
	EXPECT_EQ(vaps, 2u);
}

// The record's statistics part goes with it in one call: VAPs with their
// stations and the stored answers (a leak fails the sanitizer build).
TEST_F(view, ReleasingARecordTakesItsWholeStatisticsPart)
{
	ap_record *ap = ap_with_modes("10.77.0.11", 1);
	store("10.77.0.11", 104, kProfileAB);
	store("10.77.0.11", 109, R"([0,{"radio5g":[{"bssid":"bb","clients":[)" + client("c", 1, 2, "3", "4") + "]}]}]");
	sta_statistic();
	vap_entry *vap = vap_find(ap, "bb");
	ASSERT_NE(vap, nullptr);
	ASSERT_FALSE(list_empty(&vap->stas));

	ap_record_release(ap);
	EXPECT_TRUE(list_empty(&aps));
}

TEST_F(view, OneApsAnswersDoNotReachAnother)
{
	ap_with_modes("10.77.0.11", 1);
	ap_with_modes("10.77.0.12", 2);
	store("10.77.0.11", 104, kProfileAB);
	store("10.77.0.12", 108, R"([0,{"radio5g":[{"bssid":"aa","statistics":{"rx_bytes":"1","tx_bytes":"2"}}]}])");
	EXPECT_EQ(statistic(), R"({"statistic":[{},{"radio2g":[],"radio5g":[]}]})");
}

TEST(view_text, CutsAtCharacterBoundaries)
{
	char f[4];
	struct {
		const char *in, *out;
	} cases[] = {
		{"", ""}, {"ab", "ab"}, {"abc", "abc"}, {"abcd", "abc"},
		{"a\xc3\xa9", "a\xc3\xa9"},       // fits exactly
		{"ab\xc3\xa9", "ab"},             // a 2-byte character across the cut
		{"\xe2\x82\xac" "x", "\xe2\x82\xac"},
		{"a\xe2\x82\xac", "a"},
	};
	for (const auto &c : cases) {
		memset(f, '#', sizeof f);
		stats_text_copy(f, sizeof f, c.in);
		EXPECT_STREQ(f, c.out) << c.in;
	}
}

} // namespace

namespace {
// The view walked step by step over the whole list, each lookup a walk of the
// AP's entries: what a refresh must give, however it finds its entries.
std::string walked_view(struct list_head *aps, struct blob_buf *b, bool stations)
{
	wireless_view_clear(aps);
	build_vap_list(aps);
	fill_vap_statistics(aps);
	fill_sta_info(aps);
	if (stations)
		stats_reply_sta_statistic(b, aps);
	else
		stats_reply_statistic(b, aps);
	std::string out = reply_json(b);
	wireless_view_clear(aps);
	return out;
}

std::string vap_text(int i)
{
	// BSSIDs that are prefixes of one another ("b1", "b10", "b100"), listed in
	// an order where a later entry matches a given text better than the first.
	return "b" + std::to_string(i);
}
} // namespace

// Thousands of VAPs and clients on one AP, BSSIDs and MACs prefixes of one
// another, repeated ones and an empty one: the refresh gives what the walk gives.
TEST_F(view, ManyVapsSameAsTheWalk)
{
	ap_with_modes("10.77.0.11", 1);
	ap_with_modes("10.77.0.12", 2);
	const int vaps = 600;
	std::string profile = "[{", stats = "{\"radio2g\":[", stas = "{\"radio5g\":[";
	for (int k = 0; k < vaps; k++) {
		int i = (k * 7919) % vaps; // 1, 10, 100 ... not in order
		profile += (k ? "," : "") + std::string("\"config") + std::to_string(k) + "\":{\"ssid\":\"s" +
			   std::to_string(k) + "\",\"bssid\":\"" + vap_text(i) + "\"}";
		stats += (k ? "," : "") + std::string("{\"bssid\":\"") + vap_text(i % 97) +
			 "\",\"statistics\":{\"rx_bytes\":\"" + std::to_string(k) + "\",\"tx_bytes\":\"1\"}}";
		stas += (k ? "," : "") + std::string("{\"bssid\":\"") + vap_text(i % 50) + "\",\"clients\":[" +
			client(("m" + std::to_string(k % 13)).c_str(), -k, k, "1", "2") + "," +
			client(("m" + std::to_string(k % 130)).c_str(), k, -k, "3", "4") + "]}";
	}
	profile += ",\"config_x\":{\"ssid\":\"dup\",\"bssid\":\"b7\"}}]";
	stats += ",{\"bssid\":\"\",\"statistics\":{\"rx_bytes\":\"e\",\"tx_bytes\":\"e\"}}]}";
	stas += "]}";
	for (const char *ip : {"10.77.0.11", "10.77.0.12"}) {
		store(ip, 104, profile);
		store(ip, 108, "[0," + stats + "]");
		store(ip, 109, "[0," + stas + "]");
	}
	EXPECT_EQ(statistic(), walked_view(&aps, &b, false));
	EXPECT_EQ(sta_statistic(), walked_view(&aps, &b, true));
}

// An AP listing more VAPs or stations than one AP may hold: the answer is
// stored (wlan_profile shows it whole), a message names the AP, and the view
// shows the first ones.
TEST_F(view, BoundsPerAp)
{
	ap_record *ap = ap_with_modes("10.77.0.11", 1);
	std::string profile = "[{", stas = "{\"radio2g\":[{\"bssid\":\"b0\",\"clients\":[";
	for (unsigned k = 0; k < VIEW_VAPS_MAX + 5; k++)
		profile += (k ? "," : "") + std::string("\"config") + std::to_string(k) +
			   "\":{\"ssid\":\"s\",\"bssid\":\"b" + std::to_string(k) + "\"}";
	profile += "}]";
	for (unsigned k = 0; k < VIEW_STAS_MAX + 5; k++)
		stas += (k ? ",{\"mac\":\"m" : "{\"mac\":\"m") + std::to_string(k) +
			"\",\"statistics\":{\"rx_bytes\":\"1\",\"tx_bytes\":\"2\"}}";
	stas += "]}]}";
	testing::internal::CaptureStderr();
	store("10.77.0.11", 104, profile);
	store("10.77.0.11", 108, R"([0,{"radio2g":[]}])");
	store("10.77.0.11", 109, "[0," + stas + "]");
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_EQ(err, "Answer from 10.77.0.11 lists more than 4096 VAPs: only the first are shown\n"
		       "Answer from 10.77.0.11 lists more than 4096 stations: only the first are shown\n");
	wireless_view_refresh(&aps);
	unsigned n = 0, s = 0;
	vap_entry *vap;
	list_for_each_entry(vap, &ap->stats.vaps, list) {
		n++;
		sta_entry *sta;
		list_for_each_entry(sta, &vap->stas, list)
			s++;
	}
	EXPECT_EQ(n, VIEW_VAPS_MAX);
	EXPECT_EQ(s, VIEW_STAS_MAX);
	EXPECT_EQ(slot_json(ap, 104).size(), profile.size());
}
