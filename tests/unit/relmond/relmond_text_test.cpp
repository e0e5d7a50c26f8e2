// Text routines of relmond: trimming, file names, version decision, quoting.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "text.hpp"

namespace
{

TEST(TrimBlanks, CutsOnlyTheFourBlanks)
{
	struct Case {
		const char *in;
		const char *out;
	} cases[] = {
	    {"  a b \t\r\n", "a b"}, {"\t\n\r ", ""}, {"", ""}, {"x\f", "x\f"}, // form feed is kept
	    {"\vx\v", "\vx\v"},                                                 // and so is a vertical tab
	    {"plain", "plain"},
	};
	for (const Case &c : cases) {
		char buf[32];
		snprintf(buf, sizeof(buf), "%s", c.in);
		char *r = trim_blanks(buf);
		EXPECT_STREQ(r, c.out) << "input [" << c.in << "]";
		EXPECT_GE(r, buf);
		EXPECT_LE(r + strlen(r), buf + strlen(c.in));
	}
}

TEST(FwFilename, DropsHyphensAndPointsAndRaisesCase)
{
	struct Case {
		const char *model, *build, *name;
	} cases[] = {
	    {"AB-12", "1.0b3", "AB12_FW10B3.bin"},
	    {"AB12", "10B3", "AB12_FW10B3.bin"},
	    {"a-b-c", "x.y.z", "abc_FWXYZ.bin"}, // the model keeps its case
	    {"", "", "_FW.bin"},
	    {nullptr, nullptr, "_FW.bin"},
	};
	for (const Case &c : cases) {
		char out[64];
		fw_filename_compose(c.model, c.build, out);
		EXPECT_STREQ(out, c.name);
	}
}

TEST(FwFilename, LongInputsAreCutInsideTheBuffer)
{
	std::string model(200, 'M'), build(200, 'b');
	char out[64 + 8];
	memset(out, 0x5a, sizeof(out));
	fw_filename_compose(model.c_str(), build.c_str(), reinterpret_cast<char(&)[64]>(out));
	EXPECT_EQ(strlen(out), 63u);
	EXPECT_EQ(std::string(out), std::string(63, 'M'));
	for (size_t i = 64; i < sizeof(out); i++)
		EXPECT_EQ(out[i], 0x5a) << "written past the buffer at " << i;

	// The model is cut at 63 characters before its hyphens go.
	std::string hyphens = std::string(60, '-') + "ABCDEFG";
	fw_filename_compose(hyphens.c_str(), "1", reinterpret_cast<char(&)[64]>(out));
	EXPECT_STREQ(out, "ABC_FW1.bin");
}

TEST(FwIsNewer, NeedsBothNameAndVersionGreater)
{
	struct Case {
		const char *server_name, *local_name, *server_ver, *installed;
		bool newer;
	} cases[] = {
	    {"AB12_FW11.bin", "AB12_FW10.bin", "1.1", "1.0", true},
	    {"AB12_FW10.bin", "AB12_FW10.bin", "1.1", "1.0", false}, // equal names
	    {"AB12_FW11.bin", "AB12_FW10.bin", "1.0", "1.0", false}, // equal versions
	    {"AB12_FW09.bin", "AB12_FW10.bin", "1.1", "1.0", false},
	    {"AB12_FW11.bin", "AB12_FW10.bin", "1.0", "1.1", false},
	    {"AB12_FW11.bin", "AB12_FW10.bin", "1.1", "", true},      // no installed version
	    {"AB12_FW11.bin", "AB12_FW10.bin", "", "1.0", false},     // no server version
	    {"AB12_FW11.bin", "AB12_FW10.bin", "10.0", "9.0", false}, // byte order, not numeric
	};
	for (const Case &c : cases)
		EXPECT_EQ(fw_is_newer(c.server_name, c.local_name, c.server_ver, c.installed), c.newer)
		    << c.server_name << " " << c.server_ver;
}

TEST(FwNameIsSafe, RefusesWhatLeavesTheScratchDirectory)
{
	for (const char *ok :
	     {"fw.bin", "AB12_FW10B3.bin", "..x", "x..", "a b;c", "x;touch pwned", ".hidden"})
		EXPECT_TRUE(fw_name_is_safe(ok)) << ok;
	for (const char *bad :
	     {"", ".", "..", "../x", "/etc/passwd", "a/b", "x/", static_cast<const char *>(nullptr)})
		EXPECT_FALSE(fw_name_is_safe(bad)) << (bad ? bad : "(null)");
}

// What the shell makes of a quoted word must be the text itself.
std::string shell_echo(const std::string &text)
{
	Text cmd("printf '%s' ");
	shell_quote(cmd, text.c_str());
	FILE *p = popen(cmd.c_str(), "r");
	std::string out;
	char buf[256];
	size_t n;
	while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
		out.append(buf, n);
	EXPECT_EQ(pclose(p), 0) << cmd.c_str();
	return out;
}

TEST(ShellQuote, EveryTextIsOneWord)
{
	EXPECT_EQ(shell_echo("x;touch /tmp/pwned"), "x;touch /tmp/pwned");
	for (const char *t : {"plain", "", "it's", "''", "$(id)", "`id`", "a b\tc", "\\", "\"q\"", "*", "-n",
	                      "a\nb", "'; rm -rf /x; '"})
		EXPECT_EQ(shell_echo(t), t);
	Text q;
	shell_quote(q, "it's");
	EXPECT_STREQ(q.c_str(), "'it'\\''s'");
}

TEST(TextBuffer, GrowsAndStaysTerminated)
{
	Text t;
	EXPECT_STREQ(t.c_str(), "");
	std::string want;
	for (int i = 0; i < 500; i++) {
		t += "ab";
		t += char('0' + i % 10);
		want += "ab";
		want += char('0' + i % 10);
	}
	t.append("xyz", 2);
	want += "xy";
	EXPECT_EQ(t.size(), want.size());
	EXPECT_EQ(std::string(t.c_str()), want);
	t.clear();
	EXPECT_STREQ(t.c_str(), "");
	t += "again";
	EXPECT_STREQ(t.c_str(), "again");
}

TEST(TextToInt, ReadsLikeAtoiWithoutOverflow)
{
	struct Case {
		const char *in;
		int out;
	} cases[] = {
	    {"", 0},
	    {"abc", 0},
	    {"12", 12},
	    {" 12x", 12},
	    {"-5", -5},
	    {"0", 0},
	    {"99999999999999", INT_MAX},
	    {"-99999999999999", INT_MIN},
	};
	for (const Case &c : cases)
		EXPECT_EQ(text_to_int(c.in), c.out) << c.in;
}

TEST(UrlBaseLen, UpToTheLastSlash)
{
	EXPECT_EQ(url_base_len("http://h/a/info.txt"), long(strlen("http://h/a/")));
	EXPECT_EQ(url_base_len("http://h/"), 9);
	EXPECT_EQ(url_base_len("info.txt"), -1);
	EXPECT_EQ(url_base_len(""), -1);
}

TEST(FwFits, KeepsTheMarginSpareAndLeavesUnknownSizesToValidation)
{
	const unsigned long long M = FW_ROOM_MARGIN;
	struct Case {
		long long size;
		unsigned long long free_bytes;
		bool fits;
	} cases[] = {
	    {1000, M + 1000, true},
	    {1001, M + 1000, false},
	    {1, M, false},
	    {1, M - 1, false},         // less than the margin itself
	    {LLONG_MAX, LLONG_MAX, false},
	    {0, 0, true},              // empty or 0: the validation fails such an image
	    {-5, 0, true},
	    {1, ULLONG_MAX, true},
	};
	for (const Case &c : cases)
		EXPECT_EQ(fw_fits(c.size, c.free_bytes), c.fits) << c.size << " in " << c.free_bytes;
}

} // namespace
