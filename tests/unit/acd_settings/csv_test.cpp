#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "apconfig/csv.hpp"

namespace {
TEST(CsvWrite, HeaderAndRowGoldenText)
{
	char line[CSV_LINE_LEN];
	EXPECT_EQ(csv_format_header(line), 59u);
	EXPECT_STREQ(line, "MAC Address,System Name(Location),2.4G Channel,5G Channel\r\n");

	ap_settings s{};
	strcpy(s.au1SystemName, "lobby");
	s.u1ChannelSet24G = 6;
	s.u1ChannelSet5G = 149;
	s.u1Channel24G = 11; // the operating channels are not exported
	s.u1Channel5G = 36;
	const uint8_t mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
	EXPECT_EQ(csv_format_row(line, mac, &s), 31u);
	EXPECT_STREQ(line, "00-1A-2B-3C-4D-5E,lobby,6,149\r\n");

	// The longest row there can be still fits a line whole.
	memset(s.au1SystemName, 'n', 19);
	s.u1ChannelSet24G = 255;
	s.u1ChannelSet5G = 255;
	const uint8_t maxMac[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
	size_t n = csv_format_row(line, maxMac, &s);
	EXPECT_EQ(n, 17u + 1 + 19 + 1 + 3 + 1 + 3 + 2);
	EXPECT_EQ(std::string(line + n - 2), "\r\n");

	char text[18];
	csv_format_mac(text, mac);
	EXPECT_STREQ(text, "00-1A-2B-3C-4D-5E");
}

struct scan_case {
	const char *line;
	int found;
	const char *mac, *name, *ch24, *ch5;
};

TEST(CsvRead, ColumnsAsTheScanFindsThem)
{
	const scan_case cases[] = {
		{"00-1A-2B-3C-4D-5E,lobby,6,149\r\n", 4, "00-1A-2B-3C-4D-5E", "lobby", "6", "149"},
		{"00-1A-2B-3C-4D-5E,lobby,6,149", 4, "00-1A-2B-3C-4D-5E", "lobby", "6", "149"}, // no line end
		// The header scans (its third column is cut to the buffer), and is then
		// known by its first column.
		{"MAC Address,System Name(Location),2.4G Channel,5G Channel\r\n", 4, "MAC Address",
		 "System Name(Location)", "2.4G Ch", "5G"},
		// A comma in the name shifts the columns; the last takes the rest up to white space.
		{"AA-BB-CC-DD-EE-FF,hall,east,6,36\r\n", 4, "AA-BB-CC-DD-EE-FF", "hall", "east", "6,36"},
		// A blank in the 5 GHz column cuts it; leading blanks before it are skipped.
		{"AA-BB-CC-DD-EE-FF,x,6,  36 40\r\n", 4, "AA-BB-CC-DD-EE-FF", "x", "6", "36"},
		// Blanks inside the other columns belong to them.
		{" aa-bb-cc-dd-ee-ff , my room ,6,36\r\n", 4, " aa-bb-cc-dd-ee-ff ", " my room ", "6", "36"},
		// Empty columns end the scan.
		{"AA-BB-CC-DD-EE-FF,,6,36\r\n", 1, "AA-BB-CC-DD-EE-FF", "", "", ""},
		{",lobby,6,36\r\n", 0, "", "", "", ""},
		{"AA-BB-CC-DD-EE-FF,lobby,,36\r\n", 2, "AA-BB-CC-DD-EE-FF", "lobby", "", ""},
		{"AA-BB-CC-DD-EE-FF,lobby,6,\r\n", 3, "AA-BB-CC-DD-EE-FF", "lobby", "6", ""},
		{"AA-BB-CC-DD-EE-FF,lobby,6\r\n", 3, "AA-BB-CC-DD-EE-FF", "lobby", "6\r\n", ""},
		{"\r\n", 1, "\r\n", "", "", ""},
		{"", 0, "", "", "", ""},
		// Columns longer than their buffers are cut (31, 31, 7 and 7 characters).
		{"0123456789012345678901234567890123456789,abcdefghijklmnopqrstuvwxyzABCDEFGHIJ,123456789,"
		 "abcdefghij\r\n",
		 4, "0123456789012345678901234567890", "abcdefghijklmnopqrstuvwxyzABCDE", "1234567",
		 "abcdefg"},
	};
	for (const auto &c : cases) {
		csv_row row;
		memset(&row, 0x55, sizeof row);
		EXPECT_EQ(csv_scan_line(c.line, &row), c.found) << c.line;
		EXPECT_STREQ(row.mac, c.mac) << c.line;
		EXPECT_STREQ(row.name, c.name) << c.line;
		EXPECT_STREQ(row.ch24, c.ch24) << c.line;
		EXPECT_STREQ(row.ch5, c.ch5) << c.line;
	}
}

TEST(CsvRead, HeaderKnownByItsFirstColumnOnly)
{
	csv_row row;
	ASSERT_EQ(csv_scan_line("MAC Address,x,y,z\r\n", &row), 4);
	EXPECT_TRUE(csv_is_header(&row));
	ASSERT_EQ(csv_scan_line("mac address,System Name(Location),2.4G Channel,5G Channel\r\n", &row), 4);
	EXPECT_FALSE(csv_is_header(&row));
	ASSERT_EQ(csv_scan_line("MAC Address ,System Name(Location),2.4G Channel,5G Channel\r\n", &row), 4);
	EXPECT_FALSE(csv_is_header(&row));
}
} // namespace
