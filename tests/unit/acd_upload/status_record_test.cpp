// Status records: the 64 bytes, which record a query takes, read-and-delete.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

#include "apconfig/status_record.hpp"

namespace
{
std::string record_text(const char *ip, int32_t n)
{
	uint8_t rec[AC_STATUS_RECORD_LEN];
	memset(rec, 0xEE, sizeof rec);
	ac_status_record_format(rec, ip, n);
	std::string text(reinterpret_cast<char *>(rec));
	for (size_t i = text.size(); i < sizeof rec; i++)
		EXPECT_EQ(rec[i], 0) << "padding byte " << i;
	return text;
}

TEST(StatusRecord, TextThenZeroPadding)
{
	EXPECT_EQ(record_text("10.0.0.12", 0), "10.0.0.12 0");
	EXPECT_EQ(record_text("192.168.100.200", -1), "192.168.100.200 -1");
	EXPECT_EQ(record_text("10.0.0.1", 65535), "10.0.0.1 65535");
	EXPECT_EQ(record_text("10.0.0.1", 17664), "10.0.0.1 17664");
}

TEST(StatusRecord, OnlyTheWholeAddressMatches)
{
	struct {
		const char *piece, *ip;
		bool match;
		int32_t status;
	} cases[] = {
	    {"10.0.0.1 5", "10.0.0.1", true, 5},
	    {"10.0.0.1 -1", "10.0.0.1", true, -1},
	    {"10.0.0.1 256", "10.0.0.1", true, 256},
	    {"10.0.0.12 5", "10.0.0.1", false, -2}, // a longer address
	    {"10.0.0.1 5", "10.0.0.12", false, -2},
	    {"110.0.0.1 5", "10.0.0.1", false, -2}, // the address inside another
	    {"10.0.0.1", "10.0.0.1", true, -2},     // no number: status unchanged
	    {"10.0.0.1 x", "10.0.0.1", true, -2},
	    {"", "10.0.0.1", false, -2},
	    {"10.0.0.1 5", "", false, -2},
	};
	for (const auto &c : cases) {
		int32_t status = -2;
		EXPECT_EQ(ac_status_piece_match(c.piece, c.ip, &status), c.match) << c.piece << " / " << c.ip;
		EXPECT_EQ(status, c.status) << c.piece << " / " << c.ip;
	}
}

class StatusFile : public ::testing::Test
{
      protected:
	void SetUp() override
	{
		char tmpl[] = "/tmp/acd-status-XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir = tmpl;
		path = dir + "/.firmware_status";
	}
	void TearDown() override
	{
		unlink(path.c_str());
		rmdir(dir.c_str());
	}
	std::string content()
	{
		std::string s;
		FILE *f = fopen(path.c_str(), "rb");
		if (!f)
			return "<none>";
		char buf[256];
		size_t n;
		while ((n = fread(buf, 1, sizeof buf, f)) > 0)
			s.append(buf, n);
		fclose(f);
		return s;
	}
	std::string dir, path;
};

TEST_F(StatusFile, RewrittenWholeAndTakenOnce)
{
	ac_status_write(path.c_str(), "10.77.0.11", 0);
	ac_status_write(path.c_str(), "10.77.0.12", 17664);
	std::string expect = "10.77.0.12 17664";
	expect.resize(64, '\0');
	EXPECT_EQ(content(), expect);

	EXPECT_EQ(ac_status_take(path.c_str(), "10.77.0.12"), 17664);
	EXPECT_EQ(content(), "<none>");
	EXPECT_EQ(ac_status_take(path.c_str(), "10.77.0.12"), AC_STATUS_NONE);
}

TEST_F(StatusFile, AnyQueryDeletesTheRecord)
{
	ac_status_write(path.c_str(), "10.0.0.12", 3);
	EXPECT_EQ(ac_status_take(path.c_str(), "10.0.0.1"), AC_STATUS_NONE);
	EXPECT_EQ(content(), "<none>");
	// A file of another shape: every piece of at most 63 bytes is looked at,
	// later matches win.
	FILE *f = fopen(path.c_str(), "w");
	fputs("10.0.0.1 4\n10.0.0.2 9\n10.0.0.1 6\n", f);
	fclose(f);
	EXPECT_EQ(ac_status_take(path.c_str(), "10.0.0.1"), 6);
}

TEST_F(StatusFile, UnwritableFileGetsNoRecord)
{
	std::string missing = dir + "/no/such/dir";
	ac_status_write(missing.c_str(), "10.0.0.1", 0);
	EXPECT_EQ(access(missing.c_str(), F_OK), -1);
	EXPECT_EQ(ac_status_take(missing.c_str(), "10.0.0.1"), AC_STATUS_NONE);
}
} // namespace
