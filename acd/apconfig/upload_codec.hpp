// The upload request (vex message type 10): what the controller offers an AP.
// Pure: builds TLV entries and bytes, knows no socket and no AP list.
#pragma once

#include <cstdint>

#include "vex/codec/vex_codec.hpp"

enum ac_upload_tlv_type : uint16_t {
	AC_UPLOAD_TLV_PASSWORD = 9,
	AC_UPLOAD_TLV_OFFER = 32, // "firmware" or "config"
	AC_UPLOAD_TLV_KEY = 33,   // configuration only
	AC_UPLOAD_TLV_FILE = 34,  // file name on the AP's TFTP server
	AC_UPLOAD_TLV_SIZE = 35,  // 32-bit size of the file
};

constexpr uint32_t AC_UPLOAD_MASK0 = 0x100;
constexpr unsigned AC_UPLOAD_MAX_TLVS = 6;

#define AC_FIRMWARE_FILE "firmware.bin"
#define AC_CONFIG_FILE "config.bin"
#define AC_FIRMWARE_PATH "/tmp/firmware.bin"
#define AC_CONFIG_PATH "/tmp/config.bin"

// Anything but "config" is a firmware offer.
bool ac_upload_is_config(const char *what);
const char *ac_upload_path(const char *what);

// Fills entries (zeroed, room for AC_UPLOAD_MAX_TLVS and a terminating zero
// entry) with the request's TLVs in order: 9 password, 32 what, 33 key (config
// only), 34 file name, 35 size, 129 mask. Returns 1, or 0 when a value buffer
// cannot be allocated. Release the entries with KvVexFreeVexData either way.
int ac_upload_request_tlvs(vex_tlv *entries, const char *what, const char *password, const char *key,
                           uint32_t size);

// Generates the entries behind the 40 header bytes of buf (capacity at least
// 40; the data part gets at most 10200 bytes). Returns the packet length,
// 0 on failure. The header itself is written per AP by the caller.
unsigned ac_upload_request_data(uint8_t *buf, uint32_t capacity, const vex_tlv *entries);
