// Datagram builders for the codec and registry tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "vex/codec/vex_codec.hpp"

using bytes = std::vector<uint8_t>;

// A well-formed AP header (version 2, MAC length 6, the magic) of the given type.
bytes ap_header(uint16_t msgType, const uint8_t mac[6], uint16_t status = 0);
// One TLV with the usual length (value + 4).
bytes tlv(uint16_t type, const bytes &value);
bytes tlv_text(uint16_t type, const std::string &text);
bytes cat(std::initializer_list<bytes> parts);
bytes u16be(uint16_t v);
bytes u32be(uint32_t v);
std::string hex(const uint8_t *p, size_t n);
inline std::string hex(const bytes &b) { return hex(b.data(), b.size()); }

// A heap copy of exactly b.size() bytes, so the sanitizer sees any read past it.
struct exact_buffer {
	explicit exact_buffer(const bytes &b) : n(b.size()), p(new uint8_t[b.size() ? b.size() : 1])
	{
		std::copy(b.begin(), b.end(), p.get());
	}
	size_t n;
	std::unique_ptr<uint8_t[]> p;
};

// Parses a datagram into a message that releases its entries on destruction.
struct parsed {
	parsed() : msg(new vex_msg{}) {}
	~parsed() { KvVexFreeVexData(msg->tlv, VEX_MAX_TLV); }
	int parse(const bytes &datagram)
	{
		exact_buffer b(datagram);
		return KvVexPasrsePacket(b.p.get(), uint32_t(b.n), msg.get());
	}
	unsigned count() const
	{
		unsigned n = 0;
		while (n < VEX_MAX_TLV && msg->tlv[n].u2Type)
			n++;
		return n;
	}
	std::unique_ptr<vex_msg> msg;
};
