#include "vex/codec/vex_tlv.hpp"

#include <cstdio>
#include <cstring>

namespace {
// Compile-time check that a settings field has the width its format needs.
template <bool fits> constexpr uint8_t field_width(uint8_t size)
{
	static_assert(fits, "settings field width does not match the registry");
	return size;
}

#define TLV_TEXT(t, k, n, f)                                                                       \
	{ t, k, VEX_FMT_TEXT, field_width<sizeof(ap_settings::f) == (n) + 1>(n), true,             \
	  uint16_t(offsetof(ap_settings, f)) }
#define TLV_NUM(t, k, fmt, n, f)                                                                   \
	{ t, k, fmt, field_width<sizeof(ap_settings::f) == (n)>(n), true,                           \
	  uint16_t(offsetof(ap_settings, f)) }
#define TLV_U8(t, k, f) TLV_NUM(t, k, VEX_FMT_U8, 1, f)
#define TLV_U16(t, k, f) TLV_NUM(t, k, VEX_FMT_U16, 2, f)
#define TLV_U32(t, k, f) TLV_NUM(t, k, VEX_FMT_U32, 4, f)
#define TLV_IPV4(t, k, f) TLV_NUM(t, k, VEX_FMT_IPV4, 4, f)
// Types that only controller requests carry: never stored.
#define TLV_REQ(t, k, fmt, n) { t, k, fmt, n, false, 0 }

constexpr vex_tlv_def vex_tlv_registry[] = {
	TLV_TEXT(1, "ProductName", 19, au1ProductName),
	TLV_TEXT(2, "SystemName", 19, au1SystemName),
	TLV_TEXT(3, nullptr, 19, au1Tlv3),
	TLV_IPV4(4, "IPAddress", au1IPAddress),
	TLV_IPV4(5, "SubnetMask", au1SubnetMask),
	TLV_IPV4(6, "Gateway", au1Gateway),
	TLV_U32(7, nullptr, u4Tlv7),
	TLV_TEXT(8, nullptr, 19, au1Tlv8),
	TLV_REQ(9, "Password", VEX_FMT_TEXT, 0),
	TLV_U16(10, "IPMode", u2IPMode),
	TLV_TEXT(11, "Version", 14, au1Version),
	TLV_U16(12, nullptr, u2Tlv12),
	TLV_U16(21, nullptr, u2Tlv21),
	TLV_U32(22, nullptr, u4Tlv22),
	TLV_U16(24, nullptr, u2Tlv24),
	TLV_U16(25, nullptr, u2Tlv25),
	TLV_U16(26, nullptr, u2Tlv26),
	TLV_U32(27, nullptr, u4Tlv27),
	TLV_U32(28, nullptr, u4Tlv28),
	TLV_U32(29, nullptr, u4Tlv29),
	TLV_REQ(32, nullptr, VEX_FMT_TEXT, 0),
	TLV_REQ(33, nullptr, VEX_FMT_TEXT, 0),
	TLV_REQ(34, nullptr, VEX_FMT_TEXT, 0),
	TLV_REQ(35, nullptr, VEX_FMT_U32, 4),
	TLV_IPV4(41, "PriDNS", au1PriDNS),
	TLV_IPV4(42, "SecDNS", au1SecDNS),
	TLV_U16(43, "VLANID", u2VLANID),
	TLV_TEXT(44, "NTPInfo", 9, au1NTPInfo),
	TLV_U8(100, "2.4GEnabled", u1Enabled24G),
	TLV_TEXT(101, "2.4GSSID", 49, au1SSID24G),
	TLV_TEXT(102, "2.4GKey", 99, au1Key24G),
	TLV_TEXT(103, "2.4GSecurity", 29, au1Security24G),
	TLV_U8(104, "2.4GChannel_set", u1ChannelSet24G),
	TLV_TEXT(105, "2.4G802.11Mode", 14, au1Mode24G),
	TLV_TEXT(106, "2.4GChannel_Width", 14, au1ChannelWidth24G),
	TLV_U8(107, "2.4GVisible", u1Visible24G),
	TLV_TEXT(108, "WifiBand", 14, au1WifiBand),
	TLV_U8(109, "2.4GChannel", u1Channel24G),
	TLV_TEXT(110, nullptr, 99, au1Tlv110),
	TLV_IPV4(111, "2.4GRadiusIp", au1RadiusIp24G),
	TLV_U16(112, "2.4GRadiusPort", u2RadiusPort24G),
	TLV_TEXT(113, "2.4GSharedSecret", 64, au1SharedSecret24G),
	TLV_U8(114, nullptr, u1Tlv114),
	TLV_U8(115, nullptr, u1Tlv115),
	TLV_U8(116, "2.4GIsolation", u1Isolation24G),
	TLV_U16(117, "2.4GVLANID", u2VLANID24G),
	TLV_TEXT(118, "2.4GBandwidth_Control", 26, au1BandwidthControl24G),
	TLV_TEXT(119, "2.4GRSSI_Scanner", 9, au1RssiScanner24G),
	TLV_U8(120, "2.4GTransmit_Power", u1TransmitPower24G),
	TLV_TEXT(129, nullptr, 19, au1Tlv129),
	TLV_U8(130, "5GEnabled", u1Enabled5G),
	TLV_TEXT(131, "5GSSID", 49, au1SSID5G),
	TLV_TEXT(132, "5GKey", 99, au1Key5G),
	TLV_TEXT(133, "5GSecurity", 29, au1Security5G),
	TLV_U8(134, "5GChannel_set", u1ChannelSet5G),
	TLV_TEXT(135, "5G802.11Mode", 14, au1Mode5G),
	TLV_TEXT(136, "5GChannel_Width", 14, au1ChannelWidth5G),
	TLV_U8(137, "5GVisible", u1Visible5G),
	TLV_U8(138, "5GChannel", u1Channel5G),
	TLV_TEXT(139, nullptr, 99, au1Tlv139),
	TLV_IPV4(140, "5GRadiusIp", au1RadiusIp5G),
	TLV_U16(141, "5GRadiusPort", u2RadiusPort5G),
	TLV_TEXT(142, "5GSharedSecret", 64, au1SharedSecret5G),
	TLV_U8(143, nullptr, u1Tlv143),
	TLV_U8(144, nullptr, u1Tlv144),
	TLV_U8(145, "5GIsolation", u1Isolation5G),
	TLV_U16(146, "5GVLANID", u2VLANID5G),
	TLV_TEXT(147, "5GBandwidth_Control", 26, au1BandwidthControl5G),
	TLV_TEXT(148, "5GRSSI_Scanner", 9, au1RssiScanner5G),
	TLV_U8(149, "5GTransmit_Power", u1TransmitPower5G),
	TLV_TEXT(161, nullptr, 4, au1Tlv161),
	TLV_TEXT(162, nullptr, 9, au1Tlv162),
	TLV_U8(163, "WifiBandSteer", u1WifiBandSteer),
	TLV_U8(164, "WifiRoaming", u1WifiRoaming),
};
constexpr size_t vex_tlv_count = sizeof vex_tlv_registry / sizeof vex_tlv_registry[0];

constexpr bool vex_tlv_sorted()
{
	for (size_t i = 1; i < vex_tlv_count; i++)
		if (vex_tlv_registry[i - 1].type >= vex_tlv_registry[i].type)
			return false;
	return true;
}
static_assert(vex_tlv_sorted(), "the registry is searched in type order");

uint8_t *field_ptr(ap_settings *s, const vex_tlv_def *def)
{
	return reinterpret_cast<uint8_t *>(s) + def->offset;
}

const uint8_t *field_ptr(const ap_settings *s, const vex_tlv_def *def)
{
	return reinterpret_cast<const uint8_t *>(s) + def->offset;
}
} // namespace

const vex_tlv_def *vex_tlv_table(size_t *count)
{
	if (count)
		*count = vex_tlv_count;
	return vex_tlv_registry;
}

const vex_tlv_def *vex_tlv_lookup(uint16_t type)
{
	size_t lo = 0, hi = vex_tlv_count;
	while (lo < hi) {
		size_t mid = (lo + hi) / 2;
		if (vex_tlv_registry[mid].type == type)
			return &vex_tlv_registry[mid];
		if (vex_tlv_registry[mid].type < type)
			lo = mid + 1;
		else
			hi = mid;
	}
	return nullptr;
}

const vex_tlv_def *vex_tlv_lookup_key(const char *key)
{
	if (!key)
		return nullptr;
	for (const auto &d : vex_tlv_registry)
		if (d.key && !strcmp(d.key, key))
			return &d;
	return nullptr;
}

void vex_tlv_store(ap_settings *s, const vex_tlv_def *def, const uint8_t *value, uint16_t len)
{
	if (!def || !def->stored)
		return;
	if (!value)
		len = 0;
	uint8_t *field = field_ptr(s, def);
	if (def->format == VEX_FMT_TEXT) {
		size_t n = len < def->size ? len : def->size;
		if (n)
			memcpy(field, value, n);
		field[n] = 0;
		return;
	}
	// Numbers: never read past a short value; its missing bytes are zero.
	uint8_t wire[4] = {};
	if (len)
		memcpy(wire, value, len < def->size ? len : def->size);
	switch (def->format) {
	case VEX_FMT_U8:
		*field = wire[0];
		break;
	case VEX_FMT_U16: {
		uint16_t v = uint16_t(wire[0] << 8 | wire[1]);
		memcpy(field, &v, sizeof v);
		break;
	}
	case VEX_FMT_U32: {
		uint32_t v = uint32_t(wire[0]) << 24 | uint32_t(wire[1]) << 16 | uint32_t(wire[2]) << 8 |
			     wire[3];
		memcpy(field, &v, sizeof v);
		break;
	}
	case VEX_FMT_IPV4:
		memcpy(field, wire, 4);
		break;
	}
}

const char *vex_tlv_text(const ap_settings *s, const vex_tlv_def *def)
{
	return reinterpret_cast<const char *>(field_ptr(s, def));
}

uint32_t vex_tlv_number(const ap_settings *s, const vex_tlv_def *def)
{
	const uint8_t *field = field_ptr(s, def);
	switch (def->format) {
	case VEX_FMT_U8:
		return *field;
	case VEX_FMT_U16: {
		uint16_t v;
		memcpy(&v, field, sizeof v);
		return v;
	}
	case VEX_FMT_U32: {
		uint32_t v;
		memcpy(&v, field, sizeof v);
		return v;
	}
	default:
		return 0;
	}
}

void vex_tlv_set_number(ap_settings *s, const vex_tlv_def *def, uint32_t v)
{
	uint8_t *field = field_ptr(s, def);
	switch (def->format) {
	case VEX_FMT_U8:
		*field = uint8_t(v);
		break;
	case VEX_FMT_U16: {
		uint16_t n = uint16_t(v);
		memcpy(field, &n, sizeof n);
		break;
	}
	case VEX_FMT_U32:
		memcpy(field, &v, sizeof v);
		break;
	default:
		break;
	}
}

const uint8_t *vex_tlv_ipv4(const ap_settings *s, const vex_tlv_def *def)
{
	return field_ptr(s, def);
}

void vex_format_ipv4(char out[16], const uint8_t addr[4])
{
	snprintf(out, 16, "%d.%d.%d.%d", addr[0], addr[1], addr[2], addr[3]);
}
