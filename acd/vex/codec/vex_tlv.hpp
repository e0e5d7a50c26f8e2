// The registry of TLV types, derived from vex_tlv_table.def: key, value
// format, where a discovery response stores the value in the AP settings
// block, and what a settings push marks in the field mask.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vex/codec/ap_settings.hpp"

enum vex_tlv_format : uint8_t {
	VEX_FMT_TEXT,
	VEX_FMT_U8,
	VEX_FMT_U16,
	VEX_FMT_U32,
	VEX_FMT_IPV4,
};

constexpr uint8_t VEX_PUSH_NO_MASK = 0xFF; // pushed, sets no mask bit
constexpr uint8_t VEX_NOT_PUSHED = 0xFE;   // a settings push never carries it

struct vex_tlv_def {
	uint16_t type;
	uint8_t format;    // vex_tlv_format
	uint8_t size;      // text: characters kept; numbers: bytes
	const char *key;   // name shown and set by the ubus methods; nullptr when none
	uint16_t offset;   // the field in ap_settings (stored types only)
	bool stored;       // a discovery response fills a settings field with it
	uint8_t maskWord;  // the field mask word a push marks, or VEX_PUSH_NO_MASK, VEX_NOT_PUSHED
	uint16_t maskBits; // the bits it sets in that word
};

// Registry entries in ascending type order.
const vex_tlv_def *vex_tlv_table(size_t *count);
const vex_tlv_def *vex_tlv_lookup(uint16_t type);
const vex_tlv_def *vex_tlv_lookup_key(const char *key);

// Stores one received value in its settings field: text is cut to its size and
// terminated; numbers take the value's first bytes in network order (missing
// bytes count as zero); IPv4 keeps the bytes as they are.
void vex_tlv_store(ap_settings *s, const vex_tlv_def *def, const uint8_t *value, uint16_t len);

// Field access through the registry.
const char *vex_tlv_text(const ap_settings *s, const vex_tlv_def *def);
uint32_t vex_tlv_number(const ap_settings *s, const vex_tlv_def *def);
const uint8_t *vex_tlv_ipv4(const ap_settings *s, const vex_tlv_def *def);
void vex_tlv_set_number(ap_settings *s, const vex_tlv_def *def, uint32_t v);

// "%d.%d.%d.%d" into a 16-byte buffer.
void vex_format_ipv4(char out[16], const uint8_t addr[4]);
