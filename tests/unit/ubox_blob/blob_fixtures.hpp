#pragma once
// Shared helpers for the blob tests: hex fixtures and bytes placed right
// before an inaccessible page, so any read past their end faults.
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gw/blob.hpp"

namespace blobtest
{

// "83 00 00 0b  00 01 ..." -> bytes; blanks and '|' are ignored.
inline std::vector<uint8_t> hex(const std::string &text)
{
	std::vector<uint8_t> out;
	std::string digits;
	for (char c : text)
		if (std::isxdigit(static_cast<unsigned char>(c)))
			digits += c;
	for (size_t i = 0; i + 1 < digits.size(); i += 2)
		out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
	return out;
}

inline std::string to_hex(const std::vector<uint8_t> &v)
{
	static const char digits[] = "0123456789abcdef";
	std::string s;
	for (size_t i = 0; i < v.size(); i++) {
		if (i)
			s += (i % 4) ? " " : " | ";
		s += digits[v[i] >> 4];
		s += digits[v[i] & 15];
	}
	return s;
}

// Normalised hex text of a fixture, for readable comparisons.
inline std::string canon(const std::string &text)
{
	return to_hex(hex(text));
}

inline std::vector<uint8_t> bytes_of(const struct blob_attr *a)
{
	auto *p = reinterpret_cast<const uint8_t *>(a);
	return std::vector<uint8_t>(p, p + blob_pad_len(a));
}

class Guarded
{
      public:
	explicit Guarded(const std::vector<uint8_t> &data)
	{
		page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
		size_t span = (data.size() + page_ - 1) / page_ * page_ + page_;
		map_ = static_cast<uint8_t *>(
		    mmap(nullptr, span + page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
		span_ = span + page_;
		mprotect(map_ + span, page_, PROT_NONE);
		ptr_ = map_ + span - data.size();
		if (!data.empty())
			memcpy(ptr_, data.data(), data.size());
		size_ = data.size();
	}
	~Guarded() { munmap(map_, span_); }
	Guarded(const Guarded &) = delete;
	Guarded &operator=(const Guarded &) = delete;

	uint8_t *data() { return ptr_; }
	size_t size() const { return size_; }
	struct blob_attr *attr() { return reinterpret_cast<struct blob_attr *>(ptr_); }

      private:
	size_t page_ = 0;
	size_t span_ = 0;
	uint8_t *map_ = nullptr;
	uint8_t *ptr_ = nullptr;
	size_t size_ = 0;
};

// Owns a blob_buf for one test.
struct Buf {
	struct blob_buf b {
	};
	Buf() { blob_buf_init(&b, 0); }
	~Buf() { blob_buf_free(&b); }
	Buf(const Buf &) = delete;
	Buf &operator=(const Buf &) = delete;
};

} // namespace blobtest
