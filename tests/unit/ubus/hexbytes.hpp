#pragma once
// "00 0a ff" -> bytes, and back, for golden comparisons that print readably.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

inline std::vector<uint8_t> hexbytes(const std::string &s)
{
	std::vector<uint8_t> v;
	std::string tok;
	for (size_t i = 0; i <= s.size(); i++) {
		if (i == s.size() || s[i] == ' ' || s[i] == '\n' || s[i] == '|') {
			if (!tok.empty())
				v.push_back(uint8_t(strtoul(tok.c_str(), nullptr, 16)));
			tok.clear();
		} else {
			tok += s[i];
		}
	}
	return v;
}

inline std::string hexstr(const std::vector<uint8_t> &v)
{
	std::string s;
	char b[4];
	for (size_t i = 0; i < v.size(); i++) {
		snprintf(b, sizeof b, "%02x", v[i]);
		if (i)
			s += ' ';
		s += b;
	}
	return s;
}

// golden fragments shared by the tests
namespace golden {
// OBJPATH "test.obj"
constexpr const char *kPath = "02 00 00 0d 74 65 73 74 2e 6f 62 6a 00 00 00 00";
// SIGNATURE: "noarg" {}, "witharg" {config: table, iplist: array, s: string, n: int32}
#define GOLDEN_SIGNATURE_BODY \
	" 82 00 00 0c 00 05 6e 6f 61 72 67 00" \
	" 82 00 00 50 00 07 77 69 74 68 61 72 67 00 00 00" \
	" 85 00 00 14 00 06 63 6f 6e 66 69 67 00 00 00 00 00 00 00 02" \
	" 85 00 00 14 00 06 69 70 6c 69 73 74 00 00 00 00 00 00 00 01" \
	" 85 00 00 0c 00 01 73 00 00 00 00 03" \
	" 85 00 00 0c 00 01 6e 00 00 00 00 05"
constexpr const char *kSignatureBody = GOLDEN_SIGNATURE_BODY;
constexpr const char *kSignature = "06 00 00 60" GOLDEN_SIGNATURE_BODY;
// DATA {"s": "ab"}
constexpr const char *kDataSab = "07 00 00 10 83 00 00 0b 00 01 73 00 61 62 00 00";
} // namespace golden
