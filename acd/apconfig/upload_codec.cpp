#include "apconfig/upload_codec.hpp"

#include <cstdlib>
#include <cstring>

namespace
{
// A text value without its terminator. A text too long for any packet keeps
// a length that cannot fit, so generation ends there as with any oversized
// TLV, while the entry's buffer still holds every byte the length claims.
bool ac_upload_text(vex_tlv *e, uint16_t type, const char *text)
{
	size_t len = strlen(text);
	if (len > VEX_MAX_DATA - VEX_TLV_HEAD_LEN)
		len = VEX_MAX_DATA - VEX_TLV_HEAD_LEN;
	auto *value = static_cast<uint8_t *>(malloc(len ? len : 1));
	if (!value)
		return false;
	memcpy(value, text, len);
	e->u2Type = type;
	e->u2Len = uint16_t(len + VEX_TLV_HEAD_LEN);
	e->pu1Value = value;
	return true;
}

bool ac_upload_u32(vex_tlv *e, uint16_t type, uint32_t v)
{
	auto *value = static_cast<uint8_t *>(malloc(4));
	if (!value)
		return false;
	vex_put_u32(value, v);
	e->u2Type = type;
	e->u2Len = VEX_TLV_HEAD_LEN + 4;
	e->pu1Value = value;
	return true;
}

bool ac_upload_mask(vex_tlv *e)
{
	auto *value = static_cast<uint8_t *>(calloc(1, VEX_MASK_LEN));
	if (!value)
		return false;
	vex_put_u32(value, AC_UPLOAD_MASK0);
	e->u2Type = VEX_TLV_MASK;
	e->u2Len = VEX_TLV_HEAD_LEN + VEX_MASK_LEN;
	e->pu1Value = value;
	return true;
}
} // namespace

bool ac_upload_is_config(const char *what)
{
	return what && strcmp(what, "config") == 0;
}

const char *ac_upload_path(const char *what)
{
	return ac_upload_is_config(what) ? AC_CONFIG_PATH : AC_FIRMWARE_PATH;
}

int ac_upload_request_tlvs(vex_tlv *entries, const char *what, const char *password, const char *key,
                           uint32_t size)
{
	bool config = ac_upload_is_config(what);
	unsigned n = 0;
	if (!ac_upload_text(&entries[n++], AC_UPLOAD_TLV_PASSWORD, password ? password : "") ||
	    !ac_upload_text(&entries[n++], AC_UPLOAD_TLV_OFFER, what ? what : ""))
		return 0;
	if (config && !ac_upload_text(&entries[n++], AC_UPLOAD_TLV_KEY, key ? key : ""))
		return 0;
	if (!ac_upload_text(&entries[n++], AC_UPLOAD_TLV_FILE, config ? AC_CONFIG_FILE : AC_FIRMWARE_FILE) ||
	    !ac_upload_u32(&entries[n++], AC_UPLOAD_TLV_SIZE, size) || !ac_upload_mask(&entries[n++]))
		return 0;
	return 1;
}

unsigned ac_upload_request_data(uint8_t *buf, uint32_t capacity, const vex_tlv *entries)
{
	if (!buf || capacity < VEX_HDR_LEN)
		return 0;
	uint32_t room = capacity - VEX_HDR_LEN;
	if (room > VEX_MAX_DATA)
		room = VEX_MAX_DATA;
	uint16_t dataLen = 0;
	if (room && !KvVexGenVexData(buf + VEX_HDR_LEN, room, &dataLen, entries, VEX_MAX_TLV))
		return 0;
	return VEX_HDR_LEN + dataLen;
}
