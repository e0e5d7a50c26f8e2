// The upload request: TLVs in order, golden bytes, oversized texts.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "apconfig/upload_codec.hpp"

namespace
{
using bytes = std::vector<uint8_t>;

std::string hex(const uint8_t *p, size_t n)
{
	static const char digits[] = "0123456789abcdef";
	std::string s;
	for (size_t i = 0; i < n; i++) {
		s += digits[p[i] >> 4];
		s += digits[p[i] & 15];
	}
	return s;
}

std::string text_hex(const char *s)
{
	return hex(reinterpret_cast<const uint8_t *>(s), strlen(s));
}

// A whole upload request for one AP: header (sequence number seq - 1 before the
// fill) and data part, as hex.
std::string request_hex(const char *what, const char *password, const char *key, uint32_t size,
                        unsigned *length = nullptr)
{
	static const uint8_t apMac[6] = {0x02, 0, 0, 0, 0, 0x01};
	static const uint8_t acMac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
	vex_tlv tlvs[AC_UPLOAD_MAX_TLVS + 1] = {};
	std::vector<uint8_t> pkt(VEX_MAX_MSG, 0xEE);
	EXPECT_EQ(ac_upload_request_tlvs(tlvs, what, password, key, size), 1);
	unsigned len = ac_upload_request_data(pkt.data(), uint32_t(pkt.size()), tlvs);
	KvVexFreeVexData(tlvs, AC_UPLOAD_MAX_TLVS);
	vex_seq_set(0x1233);
	vex_hdr hdr;
	KvVexFillVexHeaderTo(&hdr, VEX_MSG_UPLOAD_REQ, apMac, acMac, 0);
	KvVexGenVexHdr(pkt.data(), uint32_t(pkt.size()), &hdr);
	if (length)
		*length = len;
	return hex(pkt.data(), len);
}

const std::string HEADER = "0002"
                           "0000"
                           "020000000001"
                           "0006"
                           "000a"
                           "0000"
                           "01945ae0"
                           "001122334455"
                           "1234"
                           "000000000000000000000000";
const std::string MASK = "00810014"
                         "00000100"
                         "000000000000000000000000";

TEST(UploadRequest, FirmwareGoldenBytes)
{
	unsigned len = 0;
	std::string got = request_hex("firmware", "admin", "ignored", 0x01020304, &len);
	EXPECT_EQ(got, HEADER + "00090009" + text_hex("admin") + "0020000c" + text_hex("firmware") +
	                   "00220010" + text_hex("firmware.bin") +
	                   "00230008"
	                   "01020304" +
	                   MASK);
	EXPECT_EQ(len, 40u + 9 + 12 + 16 + 8 + 20);
}

TEST(UploadRequest, ConfigCarriesTheKeyEvenWhenEmpty)
{
	std::string got = request_hex("config", "pw", "", 10);
	EXPECT_EQ(got, HEADER + "00090006" + text_hex("pw") + "0020000a" + text_hex("config") + "00210004" +
	                   "0022000e" + text_hex("config.bin") +
	                   "00230008"
	                   "0000000a" +
	                   MASK);
	got = request_hex("config", "", "k y'", 0xFFFFFFFF);
	EXPECT_EQ(got, HEADER +
	                   "00090004"
	                   "0020000a" +
	                   text_hex("config") + "00210008" + text_hex("k y'") + "0022000e" +
	                   text_hex("config.bin") +
	                   "00230008"
	                   "ffffffff" +
	                   MASK);
}

TEST(UploadRequest, AnyOtherOfferIsFirmware)
{
	EXPECT_FALSE(ac_upload_is_config("firmware"));
	EXPECT_FALSE(ac_upload_is_config("Config"));
	EXPECT_TRUE(ac_upload_is_config("config"));
	EXPECT_STREQ(ac_upload_path("config"), "/tmp/config.bin");
	EXPECT_STREQ(ac_upload_path("other"), "/tmp/firmware.bin");
	std::string got = request_hex("other", "p", "k", 1);
	EXPECT_EQ(got, HEADER +
	                   "00090005"
	                   "70"
	                   "00200009" +
	                   text_hex("other") + "00220010" + text_hex("firmware.bin") +
	                   "00230008"
	                   "00000001" +
	                   MASK);
}

// A text too long for the data part ends generation there, as any TLV that
// does not fit does; what was generated before it stands.
TEST(UploadRequest, OversizedTextsEndGeneration)
{
	unsigned len = 0;
	std::string huge(70000, 'p');
	request_hex("firmware", huge.c_str(), nullptr, 1, &len);
	EXPECT_EQ(len, 40u);

	// 10150 + 4 + 12 + 16 + 8 = 10190 bytes fit; the mask would end at 10210.
	std::string big(10150, 'q');
	std::string got = request_hex("firmware", big.c_str(), nullptr, 7, &len);
	EXPECT_EQ(len, 40u + 10190);
	EXPECT_EQ(got.substr(80, 8), "000927aa");
	EXPECT_EQ(got.substr(got.size() - 16), "0023000800000007");

	std::string longKey(20000, 'k');
	got = request_hex("config", "pw", longKey.c_str(), 7, &len);
	EXPECT_EQ(len, 40u + 6 + 10);
}
} // namespace
