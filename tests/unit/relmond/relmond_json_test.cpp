// The JSON answers of json_check and json_status, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "get_fw.hpp"
#include "json_text.hpp"

namespace
{

std::string jstr(const char *text)
{
	Text out;
	json_append_string(out, text);
	return out.c_str();
}

TEST(JsonString, PlainTextsStayAsTheyAre)
{
	EXPECT_EQ(jstr(""), "\"\"");
	EXPECT_EQ(jstr("1.2.3 (2024/01/02) - fixes & more"), "\"1.2.3 (2024/01/02) - fixes & more\"");
	EXPECT_EQ(jstr("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
}

TEST(JsonString, QuotesBackslashesAndControlsAreEscaped)
{
	EXPECT_EQ(jstr("say \"hi\""), "\"say \\\"hi\\\"\"");
	EXPECT_EQ(jstr("a\\b"), "\"a\\\\b\"");
	EXPECT_EQ(jstr("t\tn\nr\rb\bf\f"), "\"t\\tn\\nr\\rb\\bf\\f\"");
	EXPECT_EQ(jstr("\x01\x1f\x7f"), "\"\\u0001\\u001f\x7f\"");
}

TEST(JsonCheck, GoldenWithoutNewFirmware)
{
	Text out;
	json_check_head(out, "0", "1.0.0", "2024-01-02", "1024", -1);
	json_check_item(out, true, "- one");
	json_check_item(out, false, "- two");
	out += json_check_tail;
	EXPECT_STREQ(
	    out.c_str(),
	    "{\"have_newfw\":\"0\",\"fw_ver\":\"1.0.0\",\"fw_date\":\"2024-01-02\",\"fw_size\":\"1024\","
	    "\"otp\":\"\",\"fw_notes\":\"\",\"rel_note\":[\"- one\",\"- two\"]}");
}

TEST(JsonCheck, GoldenWithNewFirmwareAndNoNotes)
{
	Text out;
	json_check_head(out, "1", "1.1.0", "2024-02-03", "2048", 12345);
	out += json_check_tail;
	EXPECT_STREQ(
	    out.c_str(),
	    "{\"have_newfw\":\"1\",\"fw_ver\":\"1.1.0\",\"fw_date\":\"2024-02-03\",\"fw_size\":\"2048\","
	    "\"otp\":\"12345\",\"fw_notes\":\"New firmware is avaliable\",\"rel_note\":[]}");
}

TEST(JsonCheck, EmptyStateAndHostileTexts)
{
	Text out;
	json_check_head(out, "", "", "", "", -1);
	out += json_check_tail;
	EXPECT_STREQ(out.c_str(),
	             "{\"have_newfw\":\"\",\"fw_ver\":\"\",\"fw_date\":\"\",\"fw_size\":\"\",\"otp\":\"\","
	             "\"fw_notes\":\"\",\"rel_note\":[]}");
	out.clear();
	json_check_head(out, "0", "1\",\"have_newfw\":\"1", "", "", -1);
	json_check_item(out, true, "- \"quoted\" \\ item");
	out += json_check_tail;
	EXPECT_STREQ(
	    out.c_str(),
	    "{\"have_newfw\":\"0\",\"fw_ver\":\"1\\\",\\\"have_newfw\\\":\\\"1\",\"fw_date\":\"\","
	    "\"fw_size\":\"\",\"otp\":\"\",\"fw_notes\":\"\",\"rel_note\":[\"- \\\"quoted\\\" \\\\ item\"]}");
}

std::string status(int pid, bool alive, int progress, const char *validation)
{
	Text out;
	json_status_text(out, pid, alive, progress, validation);
	return out.c_str();
}

TEST(JsonStatus, Golden)
{
	EXPECT_EQ(status(0, false, 0, ""), "{\"status\":\"\",\"progress\":\"0\",\"validation\":\"\"}");
	EXPECT_EQ(status(-3, true, 50, "OK"), "{\"status\":\"\",\"progress\":\"0\",\"validation\":\"\"}");
	EXPECT_EQ(status(42, true, 37, "OK"),
	          "{\"status\":\"running\",\"progress\":\"37\",\"validation\":\"\"}");
	EXPECT_EQ(status(42, false, 100, "OK"),
	          "{\"status\":\"terminated\",\"progress\":\"100\",\"validation\":\"OK\"}");
	EXPECT_EQ(status(42, false, 0, "UNKNOWN_ERROR"),
	          "{\"status\":\"terminated\",\"progress\":\"0\",\"validation\":\"UNKNOWN_ERROR\"}");
}

TEST(Validation, Names)
{
	EXPECT_STREQ(fw_validation_name(FW_OK), "OK");
	EXPECT_STREQ(fw_validation_name(FW_SIZE_ERROR), "SIZE_ERROR");
	EXPECT_STREQ(fw_validation_name(FW_MD5_ERROR), "MD5_ERROR");
	EXPECT_STREQ(fw_validation_name(FW_UNKNOWN_ERROR), "UNKNOWN_ERROR");
}

} // namespace
