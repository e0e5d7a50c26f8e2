// The AP settings block: one field per stored TLV type of a discovery
// response. Text fields have room for their characters plus a terminator;
// numbers are host order; IPv4 fields hold the four address bytes as sent.
#pragma once

#include <cstdint>

// Wide numbers first, then 16-bit ones, then bytes: no padding between fields.
#define AP_SETTINGS_WIDE_U32(field, size) uint32_t field;
#define AP_SETTINGS_WIDE_U16(field, size)
#define AP_SETTINGS_WIDE_U8(field, size)
#define AP_SETTINGS_WIDE_IPV4(field, size)
#define AP_SETTINGS_WIDE_TEXT(field, size)
#define AP_SETTINGS_HALF_U32(field, size)
#define AP_SETTINGS_HALF_U16(field, size) uint16_t field;
#define AP_SETTINGS_HALF_U8(field, size)
#define AP_SETTINGS_HALF_IPV4(field, size)
#define AP_SETTINGS_HALF_TEXT(field, size)
#define AP_SETTINGS_BYTE_U32(field, size)
#define AP_SETTINGS_BYTE_U16(field, size)
#define AP_SETTINGS_BYTE_U8(field, size) uint8_t field;
#define AP_SETTINGS_BYTE_IPV4(field, size) uint8_t field[4];
#define AP_SETTINGS_BYTE_TEXT(field, size) char field[(size) + 1];

struct ap_settings {
#define TLV(type, key, format, size, field, push, get_config) AP_SETTINGS_WIDE_##format(field, size)
#include "vex/codec/vex_tlv_table.def"
#define TLV(type, key, format, size, field, push, get_config) AP_SETTINGS_HALF_##format(field, size)
#include "vex/codec/vex_tlv_table.def"
#define TLV(type, key, format, size, field, push, get_config) AP_SETTINGS_BYTE_##format(field, size)
#include "vex/codec/vex_tlv_table.def"
};
