#pragma once
// Additive checksum of the start of the firmware partition, apart from the device it reads.
#include <cstddef>
#include <cstdint>

constexpr std::size_t fw_cksum_buf_size = 65536;

// Adds one read of n bytes: big-endian 32-bit words, then a single left-over byte as a signed
// number; two or three left-over bytes count as one word padded with zero bytes.
uint32_t fw_cksum_add(uint32_t sum, const uint8_t *p, std::size_t n);

// Reads up to size bytes into buf; the byte count, 0 at the end, negative on failure.
using fw_cksum_reader = long (*)(void *ctx, uint8_t *buf, std::size_t size);

// Reads and sums until a read returns nothing or the 4-byte budget is used up; with the partition as
// input that is a single read of the whole buffer.
uint32_t fw_cksum_read(fw_cksum_reader rd, void *ctx, uint8_t *buf, std::size_t size);

// Text written to the checksum file: "0x" and eight upper-case hexadecimal digits.
struct fw_cksum_text {
	char s[11];
};
fw_cksum_text fw_cksum_format(uint32_t sum);
