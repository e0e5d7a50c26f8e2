// Readers of the info file, the release notes and the progress record.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "server_text.hpp"

namespace
{

// Splits text into fgets pieces of a buffer of `size` bytes.
std::vector<std::string> pieces(const std::string &text, size_t size)
{
	std::vector<std::string> out;
	FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
	std::vector<char> buf(size);
	while (fgets(buf.data(), int(size), f))
		out.emplace_back(buf.data());
	fclose(f);
	return out;
}

TEST(InfoFile, KeysAndTrimmedValues)
{
	struct Case {
		const char *line;
		const char *key; // nullptr: ignored
		const char *value;
	} cases[] = {
	    {"filename: AB12_FW11.bin\n", "relmond.remote.fw_filename", "AB12_FW11.bin"},
	    {"date:2024-01-02\r\n", "relmond.remote.fw_date", "2024-01-02"},
	    {"md5: \t0123ABcd \n", "relmond.remote.fw_md5", "0123ABcd"},
	    {"size: 1024", "relmond.remote.fw_size", "1024"},
	    {"release notes: rel notes.txt\n", "relmond.remote.rel_filename", "rel notes.txt"},
	    {"filename:\n", "relmond.remote.fw_filename", ""},
	    {" filename: x\n", nullptr, nullptr}, // a blank before the key
	    {"Filename: x\n", nullptr, nullptr},  // keys are case-sensitive
	    {"version: 1\n", nullptr, nullptr},
	    {"\n", nullptr, nullptr},
	};
	for (const Case &c : cases) {
		char line[INFO_PIECE];
		snprintf(line, sizeof(line), "%s", c.line);
		char *value = nullptr;
		const char *key = info_line_key(line, &value);
		if (!c.key) {
			EXPECT_EQ(key, nullptr) << c.line;
			continue;
		}
		ASSERT_NE(key, nullptr) << c.line;
		EXPECT_STREQ(key, c.key);
		EXPECT_STREQ(value, c.value);
	}
}

TEST(InfoFile, LongLinesBreakIntoPieces)
{
	// A 126-character piece ends the line: the tail is a line of its own
	// and may itself start with a key.
	std::string text = "filename: " + std::string(116, 'x') + "md5: tail\n";
	std::vector<std::string> ps = pieces(text, INFO_PIECE);
	ASSERT_EQ(ps.size(), 2u);
	char *value;
	std::vector<char> a(ps[0].begin(), ps[0].end()), b(ps[1].begin(), ps[1].end());
	a.push_back('\0');
	b.push_back('\0');
	EXPECT_STREQ(info_line_key(a.data(), &value), "relmond.remote.fw_filename");
	EXPECT_EQ(strlen(value), 116u);
	EXPECT_STREQ(info_line_key(b.data(), &value), "relmond.remote.fw_md5");
	EXPECT_STREQ(value, "tail");
}

struct RelResult {
	std::string version;
	std::vector<std::string> items;
};

RelResult read_rel(const std::string &text)
{
	RelResult r;
	RelItems items;
	for (std::string p : pieces(text, REL_PIECE)) {
		std::vector<char> a(p.begin(), p.end());
		a.push_back('\0');
		if (const char *v = rel_version_of(a.data()))
			r.version = v;
		if (const char *item = items.feed(a.data()))
			r.items.emplace_back(item);
	}
	return r;
}

TEST(ReleaseNotes, VersionAndItems)
{
	RelResult r = read_rel("Firmware Version: 1.0.0\n"
	                       "- before the marker\n"
	                       "Firmware Version:  1.1.0 \r\n"
	                       "------------\n"
	                       "- first item  \r\n"
	                       "text that is no item\n"
	                       "  - indented, no item\n"
	                       "-second\t\n"
	                       "---\n"
	                       "-\n");
	EXPECT_EQ(r.version, "1.1.0"); // the last version line wins, trimmed
	EXPECT_EQ(r.items, (std::vector<std::string>{"- first item", "-second", "---", "-"}));
}

TEST(ReleaseNotes, NoMarkerNoItems)
{
	RelResult r = read_rel("- one\n- two\n-- three\n");
	EXPECT_TRUE(r.items.empty());
	EXPECT_EQ(r.version, "");
	EXPECT_TRUE(read_rel("").items.empty());
}

int progress_of(const std::string &text)
{
	ProgressScan scan;
	for (const std::string &p : pieces(text, PROGRESS_PIECE))
		scan.feed(p.c_str());
	return scan.value;
}

TEST(Progress, LastPercentageLine)
{
	const std::string header =
	    "Script started on 2024-01-02 10:00:00+00:00 [COMMAND=\"wget --no-check-certificate "
	    "-t 1 -T '5' -O '/tmp/relmond/fw.bin' 'http://127.0.0.1:8000/1234567890123456"
	    "78901234567890/fw.bin' 2>&1 | grep -o \"[0-9]\\+%\"\" <not executed on terminal>]\n";
	const std::string footer = "\nScript done on 2024-01-02 10:00:09+00:00 [COMMAND_EXIT_CODE=\"0\"]\n";
	EXPECT_EQ(progress_of(""), 0);
	EXPECT_EQ(progress_of("57%\r"), 57);
	EXPECT_EQ(progress_of("12%\r\n57%\r\n"), 57);
	EXPECT_EQ(progress_of("x%\r\n"), 0);
	EXPECT_EQ(progress_of(header), 0); // a header piece that starts with a digit is no line
	EXPECT_EQ(progress_of(header + "5%\r\n47%\r\n"), 47);
	EXPECT_EQ(progress_of(header + "5%\r\n100%\r\n" + footer), 100);
}

} // namespace
