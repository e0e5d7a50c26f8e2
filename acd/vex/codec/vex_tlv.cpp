#include "vex/codec/vex_tlv.hpp"

#include <cstdio>
#include <cstring>

namespace {
#define MASK(word, bits) word, bits
#define NO_MASK VEX_PUSH_NO_MASK, 0
#define NO_PUSH VEX_NOT_PUSHED, 0
constexpr vex_tlv_def vex_tlv_registry[] = {
#define TLV(t, k, fmt, n, f, push, cfg) \
	{ t, VEX_FMT_##fmt, n, k, uint16_t(offsetof(ap_settings, f)), true, push },
#define TLV_REQ(t, k, fmt, n, push) { t, VEX_FMT_##fmt, n, k, 0, false, push },
#include "vex/codec/vex_tlv_table.def"
};
#undef MASK
#undef NO_MASK
#undef NO_PUSH
constexpr size_t vex_tlv_count = sizeof vex_tlv_registry / sizeof vex_tlv_registry[0];

constexpr bool vex_tlv_sorted()
{
	for (size_t i = 1; i < vex_tlv_count; i++)
		if (vex_tlv_registry[i - 1].type >= vex_tlv_registry[i].type)
			return false;
	return true;
}
static_assert(vex_tlv_sorted(), "the registry is searched in type order");

constexpr bool vex_tlv_sizes_valid()
{
	for (const auto &d : vex_tlv_registry) {
		bool four = d.format == VEX_FMT_U32 || d.format == VEX_FMT_IPV4;
		if ((d.format == VEX_FMT_U8 && d.size != 1) || (d.format == VEX_FMT_U16 && d.size != 2) ||
		    (four && d.size != 4))
			return false;
	}
	return true;
}
static_assert(vex_tlv_sizes_valid(), "a number's size is its format's width");

constexpr bool vex_tlv_same(const char *a, const char *b)
{
	while (*a && *a == *b)
		a++, b++;
	return *a == *b;
}

constexpr bool vex_tlv_keys_unique()
{
	for (size_t i = 0; i < vex_tlv_count; i++)
		for (size_t j = i + 1; j < vex_tlv_count; j++)
			if (vex_tlv_registry[i].key && vex_tlv_registry[j].key &&
			    vex_tlv_same(vex_tlv_registry[i].key, vex_tlv_registry[j].key))
				return false;
	return true;
}
static_assert(vex_tlv_keys_unique(), "a key names one type");

constexpr bool vex_tlv_masks_valid()
{
	for (const auto &d : vex_tlv_registry) {
		if (d.maskWord == VEX_NOT_PUSHED)
			continue;
		// A push names it by key and carries text, addresses and numbers
		// up to 16 bits; it sets bits in mask words 0 and 1 only.
		if (!d.key || d.format == VEX_FMT_U32)
			return false;
		if (d.maskWord != VEX_PUSH_NO_MASK && (d.maskWord >= 2 || !d.maskBits))
			return false;
	}
	return true;
}
static_assert(vex_tlv_masks_valid(), "field mask bits of the settings push");

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
