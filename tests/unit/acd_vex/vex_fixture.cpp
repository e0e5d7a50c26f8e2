#include "vex_fixture.hpp"

#include <cstdio>

bytes u16be(uint16_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }

bytes u32be(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

bytes ap_header(uint16_t msgType, const uint8_t mac[6], uint16_t status)
{
	bytes h(VEX_HDR_LEN, 0);
	vex_hdr hdr{};
	hdr.u2Version = 2;
	hdr.u2MacLen = 6;
	hdr.u2MsgType = msgType;
	hdr.u2Status = status;
	hdr.u4Magic = VEX_MAGIC;
	std::copy(mac, mac + 6, hdr.au1ApMac);
	hdr.u2SeqNum = 77;
	KvVexGenVexHdr(h.data(), uint32_t(h.size()), &hdr);
	return h;
}

bytes tlv(uint16_t type, const bytes &value)
{
	bytes t = cat({u16be(type), u16be(uint16_t(value.size() + 4))});
	t.insert(t.end(), value.begin(), value.end());
	return t;
}

bytes tlv_text(uint16_t type, const std::string &text) { return tlv(type, bytes(text.begin(), text.end())); }

bytes cat(std::initializer_list<bytes> parts)
{
	bytes out;
	for (const auto &p : parts)
		out.insert(out.end(), p.begin(), p.end());
	return out;
}

std::string hex(const uint8_t *p, size_t n)
{
	std::string s;
	char b[3];
	for (size_t i = 0; i < n; i++) {
		snprintf(b, sizeof b, "%02x", p[i]);
		s += b;
	}
	return s;
}
