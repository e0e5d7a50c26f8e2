#pragma once
// Pure parts of libbulk, kept out of the exported interface.
#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace bulk
{

constexpr std::size_t command_size = 1032;
constexpr std::size_t crc_block_size = 1024;

// XORs n bytes (n <= crc_block_size) as big-endian 32-bit words into acc; a short tail counts as
// if padded with zero bytes.
uint32_t xor32_update(uint32_t acc, const uint8_t *p, std::size_t n);

// Formats into out[size]; false when the text does not fit whole (nothing usable is left in out).
bool format_command(char *out, std::size_t size, const char *fmt, va_list ap);

} // namespace bulk
