// libtessel on the fixed directories of a private mount namespace
// (/etc/config, /tmp/.uci, /var/state are the test's own).
#include "libtessel.h"
#include "private_world.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

const char *const CONFIG = "\n"
			   "config settings 'main'\n"
			   "\toption enable '1'\n"
			   "\tlist servers 'a'\n"
			   "\tlist servers 'b'\n"
			   "\toption msg 'hello'\n"
			   "\n"
			   "config item\n"
			   "\toption name 'x'\n"
			   "\toption port '80'\n"
			   "\n"
			   "config item\n"
			   "\toption port '81'\n"
			   "\n"
			   "config item\n"
			   "\toption name 'y'\n"
			   "\tlist tags 'z'\n"
			   "\n"
			   "config other\n"
			   "\toption name 'w'\n";

std::string run(const std::string &cmd)
{
	std::string out;
	FILE *f = popen(cmd.c_str(), "r");
	if (!f)
		return out;
	char buf[256];
	size_t n;
	while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
		out.append(buf, n);
	pclose(f);
	return out;
}

std::vector<std::pair<std::string, int>> chain(uci_get_data *list)
{
	std::vector<std::pair<std::string, int>> v;
	for (; list; list = list->next)
		v.emplace_back(list->value, list->kind);
	return v;
}

class Tessel : public ::testing::Test {
protected:
	void SetUp() override
	{
		std::string why;
		if (!enter_private_world(&why))
			GTEST_SKIP() << "needs a private mount namespace: " << why;
		// Private to this process: safe to empty.
		ASSERT_EQ(system("rm -rf /etc/config/* /etc/config/.[!.]* /tmp/.uci /tmp/alt /tmp/sv /var/state/*"), 0);
		write_text("/etc/config/tst", CONFIG);
	}
	void TearDown() override { uci_free(); }

	static std::string get(const char *path)
	{
		char buf[LIBTESSEL_VALUE_LEN];
		return uci_get_option(path, buf, sizeof(buf));
	}
	static std::vector<std::string> items(const char *path)
	{
		std::vector<std::string> v;
		uci_get_data *list = uci_get_list(path);
		for (auto &[value, kind] : chain(list))
			v.push_back(value);
		uci_list_free(list);
		return v;
	}
};

// ---- reading ----------------------------------------------------------------

TEST_F(Tessel, GetIntoCallerBuffer)
{
	struct Case {
		const char *path, *value;
	} cases[] = {
		{"tst.main", "settings"},	    // a section gives its type
		{"tst.main.enable", "1"},
		{"tst.main.servers", "a b "},	    // every item followed by a blank
		{"tst.@item[1].port", "81"},
		{"tst.@item[-1].tags", "z "},
		{"tst.main.nope", ""},
		{"tst.nosec.x", ""},
		{"tst.@item[9].name", ""},
		{"tst", ""},
		{"nopkg.a.b", ""},
		{"tst.a.b.c", ""},
		{"../tst.main.enable", ""},
	};
	for (const Case &c : cases) {
		char buf[40];
		memset(buf, 'X', sizeof(buf));
		EXPECT_EQ(uci_get_option(c.path, buf, 32), buf);
		EXPECT_STREQ(buf, c.value) << c.path;
		for (size_t i = strlen(c.value); i < 32; i++)
			ASSERT_EQ(buf[i], 0) << c.path << " byte " << i; // cleared
		EXPECT_EQ(buf[32], 'X') << c.path;			  // and nothing past len
	}
}

TEST_F(Tessel, GetCutsAtLenMinusOne)
{
	struct Case {
		int len;
		const char *value;
	} cases[] = {{1, ""}, {2, "a"}, {4, "a b"}, {5, "a b "}, {64, "a b "}};
	for (const Case &c : cases) {
		char buf[80];
		memset(buf, 'X', sizeof(buf));
		uci_get_option("tst.main.servers", buf, c.len);
		EXPECT_STREQ(buf, c.value) << c.len;
		EXPECT_EQ(buf[c.len], 'X') << c.len;
	}
	std::string many;
	for (int i = 0; i < 300; i++)
		many += "item" + std::to_string(i) + ",";
	ASSERT_EQ(uci_set_list("tst.main.big", many.c_str()), 0);
	char *v = uci_safe_get("tst.main.big");
	EXPECT_EQ(strlen(v), LIBTESSEL_VALUE_LEN - 1u);
	EXPECT_EQ(std::string(v, 12), "item0 item1 ");
}

TEST_F(Tessel, GetWithConfPathAndState)
{
	mkdir("/tmp/alt", 0755);
	write_text("/tmp/alt/alt", "config t 's'\n\toption v 'alt'\n");
	char buf[64];
	EXPECT_STREQ(uci_get_option_with_conf_path("alt.s.v", buf, sizeof(buf), "/tmp/alt"), "alt");
	EXPECT_STREQ(uci_get_option("alt.s.v", buf, sizeof(buf)), "");
	EXPECT_EQ(uci_match_with_conf_path("alt.s.v", "alt", "/tmp/alt"), 0);
	EXPECT_EQ(uci_match_with_conf_path("alt.s.v", "alt", "/etc/config"), -1);

	ASSERT_EQ(uci_set_option_state("tst.main.pid", "42"), 0);
	EXPECT_STREQ(uci_get_option_state("tst.main.pid", buf, sizeof(buf)), "42");
	EXPECT_STREQ(uci_get_option("tst.main.pid", buf, sizeof(buf)), "");
	EXPECT_STREQ(uci_safe_get_state("tst.main.enable"), "1"); // state contexts see the config too
}

TEST_F(Tessel, Match)
{
	struct Case {
		const char *path, *text;
		int rc;
	} cases[] = {
		{"tst.main.enable", "1", 0},	{"tst.main.enable", "10", -1}, {"tst.main.enable", "", -1},
		{"tst.main.servers", "a b ", 0}, {"tst.main.nope", "", 0},     {"tst.main.nope", "x", -1},
		{"nopkg.a.b", "", 0},		{"tst.main", "settings", 0},  {"tst.main.enable", nullptr, -1},
	};
	for (const Case &c : cases)
		EXPECT_EQ(uci_match(c.path, c.text), c.rc) << c.path << " " << (c.text ? c.text : "(null)");
}

TEST_F(Tessel, SafeGetListJoinsEveryResultUntilFree)
{
	const char *a = uci_safe_get("tst.main.msg");
	const char *b = uci_safe_get("tst.main.nope"); // empty, still on the list
	const char *c = uci_safe_get("tst.main");
	EXPECT_STREQ(a, "hello");
	EXPECT_STREQ(b, "");
	EXPECT_STREQ(c, "settings");
	EXPECT_NE(a, b);
	testing::internal::CaptureStderr();
	show_uci_mem_list();
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "show_uci_mem_list[173]: uci mem list:hello\n"
		  "show_uci_mem_list[173]: uci mem list:\n"
		  "show_uci_mem_list[173]: uci mem list:settings\n");
	EXPECT_STREQ(a, "hello"); // still valid after more calls
	uci_free();
	uci_free();
	testing::internal::CaptureStderr();
	show_uci_mem_list();
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
	EXPECT_STREQ(uci_safe_get("tst.main.enable"), "1"); // a fresh list after free
}

TEST_F(Tessel, SafeGetSecname)
{
	std::string long_name(100, 'n');
	write_text("/etc/config/tst", std::string(CONFIG) + "config long '" + long_name + "'\n\toption v '1'\n");
	struct Case {
		const char *path, *secname;
	} cases[] = {
		{"tst.@item[0].name", "cfg029e34"}, // generated name of an anonymous section
		{"tst.main.enable", "main"},
		{"tst.main", "main"},
		{"tst.@long[0].v", nullptr}, // bounded, checked below
		{"tst.main.nope", "-"},	     // untouched when not found
		{"tst", "-"},
	};
	for (const Case &c : cases) {
		char sec[LIBTESSEL_SECNAME_MAX + 8];
		memset(sec, 'X', sizeof(sec));
		strcpy(sec, "-");
		uci_safe_get_secname(c.path, sec);
		if (c.secname) {
			EXPECT_STREQ(sec, c.secname) << c.path;
			continue;
		}
		EXPECT_EQ(std::string(sec), long_name.substr(0, LIBTESSEL_SECNAME_MAX - 1));
		EXPECT_EQ(sec[LIBTESSEL_SECNAME_MAX], 'X');
	}
	ASSERT_EQ(uci_set_option_state("tst.@item[2].state", "up"), 0);
	char sec[LIBTESSEL_SECNAME_MAX] = "";
	EXPECT_STREQ(uci_safe_get_state_secname("tst.@item[2].state", sec), "up");
	EXPECT_STREQ(sec, "cfg049e34");
	EXPECT_STREQ(uci_safe_get_with_search_path("tst.@item[2].state", LIBTESSEL_STATE_DIR, nullptr), "up");
	EXPECT_STREQ(uci_safe_get_with_search_path("tst.@item[2].state", nullptr, nullptr), "");
}

TEST_F(Tessel, UnchangeReadsTheCommittedValue)
{
	ASSERT_EQ(uci_set_option("tst.main.enable", "0"), 0);
	ASSERT_EQ(uci_set_option_state("tst.main.msg", "state"), 0);
	ASSERT_EQ(uci_set_option("tst.main.added", "new"), 0);
	EXPECT_STREQ(uci_safe_get("tst.main.enable"), "0");
	EXPECT_STREQ(uci_safe_get_unchange("tst.main.enable"), "1");
	EXPECT_STREQ(uci_safe_get_unchange("tst.main.msg"), "hello");
	EXPECT_STREQ(uci_safe_get_unchange("tst.main.added"), "");
	EXPECT_STREQ(uci_safe_get_unchange("tst.main.servers"), "a b ");
	EXPECT_STREQ(uci_safe_get_unchange("nopkg.a.b"), "");

	mkdir("/tmp/alt", 0755);
	write_text("/tmp/alt/tst", "config t 'main'\n\toption enable 'alt'\n");
	EXPECT_STREQ(uci_safe_get_unchange_with_conf_path("tst.main.enable", "/tmp/alt"), "alt");
	ASSERT_EQ(uci_commit_package("tst"), 0);
	EXPECT_STREQ(uci_safe_get_unchange("tst.main.enable"), "0");
}

// ---- changing ---------------------------------------------------------------

TEST_F(Tessel, SetSavesDeltasAndStateSetGoesToTheStateDir)
{
	EXPECT_EQ(uci_set_option("tst.main.enable", "0"), 0);
	EXPECT_EQ(uci_set_option("tst.@item[1].name", "it's"), 0);
	EXPECT_EQ(uci_set_option("tst.main.enable", "0"), 0); // unchanged: nothing recorded
	EXPECT_EQ(uci_set_option("tst.newsec", "typ"), 0);
	EXPECT_EQ(read_text("/tmp/.uci/tst"), "tst.main.enable='0'\n"
					      "tst.cfg039e34.name='it'\\''s'\n"
					      "tst.newsec='typ'\n");
	EXPECT_EQ(uci_set_option_state("tst.main.pid", "42"), 0);
	EXPECT_EQ(read_text("/var/state/tst"), "tst.main.pid='42'\n");
	EXPECT_EQ(get("tst.@item[1].name"), "it's");

	EXPECT_EQ(uci_set_option("tst.nosec.x", "1"), 2); // the set fails: no section
	struct Case {
		const char *path;
		int rc;
	} bad[] = {{"nopkg.a.b", 3}, {"tst.a.b.c", 5}, {"tst.@item", 2}};
	for (const Case &c : bad) {
		testing::internal::CaptureStderr();
		EXPECT_EQ(uci_set_option(c.path, "1"), c.rc) << c.path;
		EXPECT_EQ(testing::internal::GetCapturedStderr(),
			  "uci_set_option_with_path: result " + std::to_string(c.rc) + "\n");
	}
	EXPECT_EQ(uci_set_option(nullptr, "1"), 2);
	EXPECT_EQ(uci_set_option("tst.main.enable", nullptr), 2);

	mkdir("/tmp/alt", 0755);
	write_text("/tmp/alt/alt", "config t 's'\n");
	EXPECT_EQ(uci_set_option_with_conf_path("alt.s.v", "1", "/tmp/alt"), 0);
	EXPECT_EQ(read_text("/tmp/.uci/alt"), "alt.s.v='1'\n");
	EXPECT_EQ(uci_set_option_with_path("alt.s.w", "2", "/tmp/sv", "/tmp/alt"), 0);
	EXPECT_EQ(read_text("/tmp/sv/alt"), "alt.s.w='2'\n");
}

TEST_F(Tessel, AddSectionAndDelete)
{
	EXPECT_EQ(uci_add_option("tst", "item"), 0);
	EXPECT_EQ(uci_add_option("nopkg", "item"), 3);
	EXPECT_EQ(uci_add_option("../etc/passwd", "item"), 2);
	EXPECT_EQ(uci_add_option("/etc/config/tst", "item"), 2);
	EXPECT_EQ(uci_add_option("tst", "has space"), 2);
	EXPECT_EQ(read_text("/tmp/.uci/tst"), "+tst.cfg069e34='item'\n");
	EXPECT_EQ(get("tst.@item[3]"), "item");

	EXPECT_EQ(uci_del_option("tst.main.msg"), 0);
	EXPECT_EQ(uci_del_option("tst.main.msg"), 3);
	EXPECT_EQ(uci_del_option("nopkg.a.b"), 3);
	EXPECT_EQ(uci_del_option("tst.a.b.c"), 5);
	EXPECT_EQ(uci_del_option("tst.@item[0]"), 0);
	EXPECT_EQ(read_text("/tmp/.uci/tst"), "+tst.cfg069e34='item'\n-tst.main.msg\n-tst.cfg029e34\n");
	EXPECT_EQ(get("tst.main.msg"), "");
	EXPECT_EQ(get("tst.@item[0].port"), "81");
}

// ---- lists ------------------------------------------------------------------

TEST_F(Tessel, ListTextSplitsAtUnescapedCommas)
{
	struct Case {
		const char *text;
		std::vector<std::string> items;
	} cases[] = {
		{"a,b\\,c,,d", {"a", "b,c", "d"}},
		{"one", {"one"}},
		{"a,,b,", {"a", "b"}},
		{"\\,lead", {",lead"}},
		{"x\\\\,y", {"x\\,y"}}, // the comma follows a backslash: no split
		{"trail\\", {"trail"}},
		{"sp ace, x", {"sp ace", " x"}},
		{",,,", {}},
		{"", {}},
	};
	for (const Case &c : cases) {
		EXPECT_EQ(uci_set_list("tst.main.servers", c.text), 0) << c.text;
		EXPECT_EQ(items("tst.main.servers"), c.items) << c.text;
	}
}

TEST_F(Tessel, ListOperations)
{
	EXPECT_EQ(uci_add_list_value("tst.main.servers", "c,d"), 0);
	EXPECT_EQ(items("tst.main.servers"), (std::vector<std::string>{"a", "b", "c", "d"}));
	EXPECT_EQ(uci_del_list_value("tst.main.servers", "a,c,nope"), 0);
	EXPECT_EQ(items("tst.main.servers"), (std::vector<std::string>{"b", "d"}));
	EXPECT_EQ(uci_set_list("tst.main.fresh", "p,q"), 0); // created
	EXPECT_EQ(items("tst.main.fresh"), (std::vector<std::string>{"p", "q"}));
	EXPECT_EQ(uci_del_list_value("tst.main.missing", "a"), 0);
	EXPECT_EQ(read_text("/tmp/.uci/tst"), "|tst.main.servers='c'\n"
					      "|tst.main.servers='d'\n"
					      "~tst.main.servers='a'\n"
					      "~tst.main.servers='c'\n"
					      "~tst.main.servers='nope'\n"
					      "|tst.main.fresh='p'\n"
					      "|tst.main.fresh='q'\n");

	// Only commas: the option goes, nothing is added, the deletion is saved.
	EXPECT_EQ(uci_set_list("tst.main.servers", ",,"), 0);
	EXPECT_EQ(uci_get_list("tst.main.servers"), nullptr);
	EXPECT_NE(read_text("/tmp/.uci/tst").find("-tst.main.servers\n"), std::string::npos);

	EXPECT_EQ(uci_add_list_value("tst.nosec.l", "a"), 2); // reported, not hidden
	EXPECT_EQ(uci_add_list_value("nopkg.s.l", "a"), 3);
	EXPECT_EQ(uci_set_list("tst.main", "a"), 2); // a section path: nothing deleted
	EXPECT_EQ(get("tst.main.enable"), "1");
	EXPECT_EQ(uci_add_list_value(nullptr, "a"), 2);
}

TEST_F(Tessel, GetListAndListMatch)
{
	uci_get_data *list = uci_get_list("tst.main.enable");
	EXPECT_EQ(chain(list), (std::vector<std::pair<std::string, int>>{{"1", 0}}));
	uci_list_free(list);
	list = uci_get_list("tst.main.servers");
	EXPECT_EQ(chain(list), (std::vector<std::pair<std::string, int>>{{"a", 1}, {"b", 1}}));
	uci_list_free(list);
	EXPECT_EQ(uci_get_list("tst.main.nope"), nullptr);
	EXPECT_EQ(uci_get_list("tst.main"), nullptr);
	EXPECT_EQ(uci_get_list("nopkg.a.b"), nullptr);

	EXPECT_EQ(uci_list_match("tst.main.servers", "a,b"), 0);
	EXPECT_NE(uci_list_match("tst.main.servers", "a, b"), 0);
	EXPECT_NE(uci_list_match("tst.main.servers", "a,b,"), 0);
	EXPECT_EQ(uci_list_match("tst.main.enable", "1"), 0);
	EXPECT_EQ(uci_list_match("tst.main.nope", ""), 0);
	EXPECT_EQ(uci_list_match("tst.main.nope", "x"), -'x');
	EXPECT_EQ(uci_list_match("tst.main.nope", "\xff"), -255);
	EXPECT_EQ(uci_list_match(nullptr, "a"), -1);
	EXPECT_EQ(uci_list_match("tst.main.servers", nullptr), -1);
}

TEST_F(Tessel, AllocChainAndRemoveEscape)
{
	uci_get_data *first = alloc_uci_get_data(nullptr);
	ASSERT_NE(first, nullptr);
	EXPECT_EQ(first->next, nullptr);
	EXPECT_EQ(first->value[0], 0);
	uci_get_data *second = alloc_uci_get_data(&first);
	EXPECT_EQ(first->next, second);
	uci_get_data *none = nullptr;
	uci_get_data *third = alloc_uci_get_data(&none);
	EXPECT_EQ(second->next, nullptr);
	uci_list_free(first);
	uci_list_free(third);
	uci_list_free(nullptr);

	struct Case {
		const char *in;
		char esc;
		const char *out;
	} cases[] = {
		{"a\\,b", '\\', "a,b"}, {"a\\\\b", '\\', "a\\b"}, {"end\\", '\\', "end"}, {"", '\\', ""},
		{"plain", '\\', "plain"}, {"%%x%", '%', "%x"},	   {"\\\\\\", '\\', "\\"},
	};
	for (const Case &c : cases) {
		char buf[32];
		strcpy(buf, c.in);
		char *end = remove_escape_char(buf, c.esc);
		EXPECT_STREQ(buf, c.out) << c.in;
		EXPECT_EQ(end, buf + strlen(c.out)) << c.in;
		EXPECT_EQ(*end, 0);
	}
	EXPECT_EQ(remove_escape_char(nullptr, '\\'), nullptr);
}

// ---- commit and revert --------------------------------------------------------

TEST_F(Tessel, CommitPackageAndAll)
{
	ASSERT_EQ(uci_set_option("tst.main.enable", "0"), 0);
	EXPECT_EQ(uci_commit_package("tst"), 0);
	EXPECT_NE(read_text("/etc/config/tst").find("\toption enable '0'\n"), std::string::npos);
	EXPECT_EQ(read_text("/tmp/.uci/tst"), "");
	EXPECT_EQ(uci_commit_package("nopkg"), -1);
	EXPECT_EQ(uci_commit_package("../config/tst"), -1);
	EXPECT_EQ(uci_commit_package(nullptr), -1);

	write_text("/etc/config/a", "config t 's'\n");
	write_text("/etc/config/b", "config t 's'\n\toption broken 'x' y\n");
	write_text("/etc/config/c", "config t 's'\n");
	ASSERT_EQ(uci_set_option("a.s.v", "1"), 0);
	ASSERT_EQ(uci_set_option("c.s.v", "1"), 0);
	testing::internal::CaptureStderr();
	EXPECT_EQ(uci_commit_all(), -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "uci_commit_all(b) fail!!!\n");
	EXPECT_EQ(read_text("/etc/config/a"), "\nconfig t 's'\n\toption v '1'\n\n");
	EXPECT_EQ(read_text("/etc/config/c"), "config t 's'\n"); // not tried
	EXPECT_EQ(read_text("/tmp/.uci/c"), "c.s.v='1'\n");

	write_text("/etc/config/b", "config t 's'\n");
	EXPECT_EQ(uci_commit_all(), 0);
	EXPECT_EQ(read_text("/etc/config/c"), "\nconfig t 's'\n\toption v '1'\n\n");

	mkdir("/tmp/alt", 0755);
	EXPECT_EQ(uci_commit_all_with_conf_path("/tmp/alt"), -1); // lists nothing
	write_text("/tmp/alt/alt", "config t 's'\n");
	ASSERT_EQ(uci_set_option_with_conf_path("alt.s.v", "2", "/tmp/alt"), 0);
	EXPECT_EQ(uci_commit_all_with_conf_path("/tmp/alt"), 0);
	EXPECT_EQ(read_text("/tmp/alt/alt"), "\nconfig t 's'\n\toption v '2'\n\n");
	EXPECT_EQ(uci_commit_package_with_conf_path("alt", "/tmp/alt"), 0);
	EXPECT_EQ(uci_commit_all_with_conf_path("/tmp/missing"), -1);
}

TEST_F(Tessel, RevertFamily)
{
	ASSERT_EQ(uci_set_option("tst.main.enable", "0"), 0);
	ASSERT_EQ(uci_set_option("tst.main.msg", "bye"), 0);
	ASSERT_EQ(uci_set_option_state("tst.main.pid", "42"), 0);
	EXPECT_EQ(uci_revert_config("tst.main.enable"), 0);
	EXPECT_EQ(get("tst.main.enable"), "1");
	EXPECT_EQ(get("tst.main.msg"), "bye");
	EXPECT_EQ(uci_revert_config("tst.nosec"), 3);
	EXPECT_EQ(uci_revert_config("nopkg.a"), 3);
	EXPECT_EQ(uci_revert_config("tst.main.nope"), 3);

	EXPECT_EQ(uci_revert_state("tst.main.pid"), 0);
	EXPECT_EQ(read_text("/var/state/tst"), "");
	EXPECT_EQ(read_text("/tmp/.uci/tst"), "tst.main.msg='bye'\n");
	EXPECT_EQ(uci_revert_package("tst"), 0);
	EXPECT_EQ(read_text("/tmp/.uci/tst"), "");
	EXPECT_EQ(uci_revert_package("nopkg"), 3);
	EXPECT_EQ(uci_revert_package("../x"), 3);

	write_text("/etc/config/a", "config t 's'\n");
	ASSERT_EQ(uci_set_option("a.s.v", "1"), 0);
	ASSERT_EQ(uci_set_option("tst.main.v", "1"), 0);
	EXPECT_EQ(uci_revert_all(), 0);
	EXPECT_EQ(read_text("/tmp/.uci/a"), "");
	EXPECT_EQ(read_text("/tmp/.uci/tst"), "");

	write_text("/etc/config/b", "option before 'config'\n");
	testing::internal::CaptureStderr();
	EXPECT_EQ(uci_revert_all(), -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "uci_revert_all(b) fail!!!\n");
	ASSERT_EQ(system("rm -f /etc/config/*"), 0);
	EXPECT_EQ(uci_revert_all(), -1);
}

// ---- section arrays -----------------------------------------------------------

TEST_F(Tessel, SectionArraySearch)
{
	struct Case {
		const char *prefix, *option, *value;
		int start, index;
	} cases[] = {
		{"tst.@item", "name", "x", 0, 0},   // the first section
		{"tst.@item", "name", "y", 0, 2},   // index 1 has no name: skipped
		{"tst.@item", "port", "81", 0, 1},
		{"tst.@item", "name", "x", 1, -1},  // start past it
		{"tst.@item", "name", "w", 0, -1},  // another type
		{"tst.@item", "tags", "z", 0, -1},  // a list never matches
		{"tst.@item", "name", "zz", 0, -1}, // end of the array
		{"tst.@item", "name", "y", 7, -1},
		{"tst.@other", "name", "w", 0, 0},
		{"tst.@", "name", "w", 0, 4},	     // any type
		{"nopkg.@item", "name", "x", 0, -1},
		{"tst.@item", "bad-opt", "x", 0, -1},
	};
	for (const Case &c : cases)
		EXPECT_EQ(uci_indexof_option_value_from(c.prefix, c.option, c.value, c.start), c.index)
			<< c.prefix << " " << c.option << "=" << c.value << " from " << c.start;
	EXPECT_EQ(uci_indexof_option_value("tst.@item", "name", "y"), 2);

	ASSERT_EQ(uci_set_option_state("tst.@item[1].name", "s"), 0);
	EXPECT_EQ(uci_indexof_option_value("tst.@item", "name", "s"), -1);
	EXPECT_EQ(uci_indexof_option_state("tst.@item", "name", "s"), 1);
	EXPECT_EQ(uci_indexof_option_state_from("tst.@item", "name", "y", 2), 2);
	EXPECT_EQ(uci_indexof_option_value_with_search_path_from("tst.@item", "name", "s", LIBTESSEL_STATE_DIR, 0),
		  1);
}

// ---- interchange with the command line ------------------------------------------

#ifdef UCI_CLI
TEST_F(Tessel, FilesReadBackByTheCommandLine)
{
	ASSERT_EQ(uci_set_option("tst.main.enable", "0"), 0);
	ASSERT_EQ(uci_set_list("tst.main.servers", "x y,it's"), 0);
	ASSERT_EQ(uci_add_option("tst", "item"), 0);
	ASSERT_EQ(uci_set_option("tst.@item[-1].name", "new"), 0);
	ASSERT_EQ(uci_del_option("tst.@other[0]"), 0);
	ASSERT_EQ(uci_set_option_state("tst.main.pid", "7"), 0);
	const std::string uci = UCI_CLI;
	EXPECT_EQ(run(uci + " get tst.main.servers"), "'x y' it's\n");
	EXPECT_EQ(run(uci + " get tst.main.pid 2>&1"), uci + ": Entry not found\n");
	EXPECT_EQ(run(uci + " -P /var/state get tst.main.pid"), "7\n");

	ASSERT_EQ(uci_commit_package("tst"), 0);
	EXPECT_EQ(run(uci + " show tst"), "tst.main=settings\n"
					  "tst.main.enable='0'\n"
					  "tst.main.msg='hello'\n"
					  "tst.main.servers='x y' 'it'\\''s'\n"
					  "tst.@item[0]=item\n"
					  "tst.@item[0].name='x'\n"
					  "tst.@item[0].port='80'\n"
					  "tst.@item[1]=item\n"
					  "tst.@item[1].port='81'\n"
					  "tst.@item[2]=item\n"
					  "tst.@item[2].name='y'\n"
					  "tst.@item[2].tags='z'\n"
					  "tst.@item[3]=item\n"
					  "tst.@item[3].name='new'\n");
	EXPECT_EQ(run(uci + " changes"), "");
}
#endif

// ---- the exported interface ---------------------------------------------------------

#ifdef TESSEL_SO
TEST(TesselExports, EveryOperationAndNoMangledSymbol)
{
	std::string out = run(std::string("nm -D --defined-only ") + TESSEL_SO);
	std::set<std::string> names;
	size_t pos = 0;
	while (pos < out.size()) {
		size_t nl = out.find('\n', pos);
		std::string line = out.substr(pos, nl - pos);
		pos = nl == std::string::npos ? out.size() : nl + 1;
		size_t sp = line.rfind(' ');
		if (sp != std::string::npos)
			names.insert(line.substr(sp + 1));
	}
	const char *ops[] = {
		"quarn_uci_alloc_context", "uci_get_option", "uci_get_option_with_conf_path",
		"uci_get_option_state", "uci_match", "uci_match_with_conf_path", "uci_safe_get",
		"uci_safe_get_secname", "uci_safe_get_state", "uci_safe_get_state_secname",
		"uci_safe_get_with_search_path", "uci_safe_get_unchange", "uci_safe_get_unchange_with_conf_path",
		"uci_free", "show_uci_mem_list", "uci_set_option_with_path", "uci_set_option",
		"uci_set_option_state", "uci_set_option_with_conf_path", "uci_add_option", "uci_del_option",
		"uci_add_list_value", "uci_del_list_value", "uci_set_list", "uci_get_list", "uci_list_match",
		"uci_list_free", "remove_escape_char", "uci_commit_package", "uci_commit_package_with_conf_path",
		"uci_commit_all", "uci_commit_all_with_conf_path", "uci_revert_package",
		"uci_revert_config_with_search_path", "uci_revert_config", "uci_revert_state", "uci_revert_all",
		"uci_indexof_option_value_with_search_path_from", "uci_indexof_option_value_from",
		"uci_indexof_option_state_from", "uci_indexof_option_value", "uci_indexof_option_state",
		"alloc_uci_get_data",
	};
	for (const char *op : ops)
		EXPECT_EQ(names.count(op), 1u) << op;
	for (const std::string &n : names)
		EXPECT_NE(n.rfind("_Z", 0), 0u) << n;
	EXPECT_EQ(names.size(), std::size(ops)) << out;
}

// libuci comes from the program that links us: the library names no needed
// library beyond the C library.
TEST(TesselExports, NeedsNoLibraryOfItsOwn)
{
	std::string out = run(std::string("readelf -d ") + TESSEL_SO);
	size_t count = 0;
	for (size_t pos = out.find("(NEEDED)"); pos != std::string::npos; pos = out.find("(NEEDED)", pos + 1)) {
		size_t open = out.find('[', pos), close = out.find(']', pos);
		ASSERT_NE(close, std::string::npos);
		std::string lib = out.substr(open + 1, close - open - 1);
		EXPECT_EQ(lib.rfind("libc.so", 0), 0u) << lib;
		count++;
	}
	EXPECT_GE(count, 1u) << out;
}
#endif

} // namespace
