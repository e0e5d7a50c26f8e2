#include "vex/codec/vex_codec.hpp"

#include "vex/codec/ac_device.hpp"

#include <cstdlib>
#include <cstring>

namespace {
uint16_t vex_seq_counter;

// Field mask of a discovery request: 0x00000180 then three zero words.
constexpr uint32_t VEX_DISCOVER_MASK0 = 0x00000180;
} // namespace

uint16_t KvVexNextSeqNum(uint32_t now)
{
	uint16_t prev = vex_seq_counter;
	if (vex_seq_counter == 0 || vex_seq_counter == 0xFFFF)
		vex_seq_counter = uint16_t(now & 0xFFFF);
	vex_seq_counter++;
	if (vex_seq_counter == prev)
		vex_seq_counter++;
	return vex_seq_counter;
}

uint16_t vex_seq_peek() { return vex_seq_counter; }

void vex_seq_set(uint16_t value) { vex_seq_counter = value; }

int KvVexFillVexHeader(vex_hdr *hdr, uint16_t msgType, uint16_t status, const uint8_t acMac[6],
		       uint32_t now)
{
	hdr->u2Version = VEX_VERSION;
	hdr->u2Revision = 0;
	memset(hdr->au1ApMac, 0, sizeof hdr->au1ApMac);
	hdr->u2MacLen = VEX_MAC_LEN;
	hdr->u2MsgType = msgType;
	hdr->u2Status = status;
	hdr->u4Magic = VEX_MAGIC;
	memcpy(hdr->au1AcMac, acMac, sizeof hdr->au1AcMac);
	hdr->u2SeqNum = KvVexNextSeqNum(now);
	return 1;
}

int KvVexFillVexHeaderTo(vex_hdr *hdr, uint16_t msgType, const uint8_t apMac[6],
			 const uint8_t acMac[6], uint32_t now)
{
	KvVexFillVexHeader(hdr, msgType, 0, acMac, now);
	memcpy(hdr->au1ApMac, apMac, sizeof hdr->au1ApMac);
	memset(hdr->au1Reserved, 0, sizeof hdr->au1Reserved);
	return 1;
}

int KvVexGenVexHdr(uint8_t *buf, uint32_t capacity, const vex_hdr *hdr)
{
	if (!buf || !hdr || capacity < VEX_HDR_LEN)
		return 0;
	vex_put_u16(buf + VEX_OFF_VERSION, hdr->u2Version);
	vex_put_u16(buf + VEX_OFF_REVISION, hdr->u2Revision);
	memcpy(buf + VEX_OFF_APMAC, hdr->au1ApMac, 6);
	vex_put_u16(buf + VEX_OFF_MACLEN, hdr->u2MacLen);
	vex_put_u16(buf + VEX_OFF_MSGTYPE, hdr->u2MsgType);
	vex_put_u16(buf + VEX_OFF_STATUS, hdr->u2Status);
	vex_put_u32(buf + VEX_OFF_MAGIC, hdr->u4Magic);
	memcpy(buf + VEX_OFF_ACMAC, hdr->au1AcMac, 6);
	vex_put_u16(buf + VEX_OFF_SEQNUM, hdr->u2SeqNum);
	memset(buf + VEX_OFF_RESERVED, 0, 12);
	return 1;
}

int KvVexParseVexHdr(const uint8_t *buf, uint32_t length, vex_hdr *hdr)
{
	if (!buf || !hdr || length < VEX_HDR_LEN)
		return 0;
	hdr->u2Version = vex_get_u16(buf + VEX_OFF_VERSION);
	hdr->u2Revision = vex_get_u16(buf + VEX_OFF_REVISION);
	memcpy(hdr->au1ApMac, buf + VEX_OFF_APMAC, 6);
	hdr->u2MacLen = vex_get_u16(buf + VEX_OFF_MACLEN);
	hdr->u2MsgType = vex_get_u16(buf + VEX_OFF_MSGTYPE);
	hdr->u2Status = vex_get_u16(buf + VEX_OFF_STATUS);
	hdr->u4Magic = vex_get_u32(buf + VEX_OFF_MAGIC);
	memcpy(hdr->au1AcMac, buf + VEX_OFF_ACMAC, 6);
	hdr->u2SeqNum = vex_get_u16(buf + VEX_OFF_SEQNUM);
	return 1;
}

int KvVexCheckDiscoverHeader(const vex_hdr *hdr, uint16_t *reason)
{
	uint16_t why = 0;
	if (hdr->u2Version > VEX_VERSION)
		why = VEX_REJECT_VERSION;
	else if (hdr->u2Revision > 2)
		why = VEX_REJECT_REVISION;
	else if (hdr->u2MacLen > VEX_MAC_LEN)
		why = VEX_REJECT_MACLEN;
	else if (hdr->u4Magic != VEX_MAGIC)
		why = VEX_REJECT_MAGIC;
	if (!why)
		return 1;
	if (reason)
		*reason = why;
	return 0;
}

int KvVexParseVexData(const uint8_t *data, uint32_t length, vex_tlv *entries)
{
	if (!data || !entries || length < VEX_TLV_HEAD_LEN)
		return 0;
	uint32_t off = 0;
	unsigned n = 0;
	while (n < VEX_MAX_TLV) {
		uint32_t left = length - off;
		if (left < VEX_TLV_HEAD_LEN)
			break;
		uint16_t type = vex_get_u16(data + off);
		uint16_t len = vex_get_u16(data + off + 2);
		// A length below the head itself has no meaning: stop here rather than
		// step backwards or loop on it.
		if (len < VEX_TLV_HEAD_LEN || len > left)
			break;
		uint16_t vlen = uint16_t(len - VEX_TLV_HEAD_LEN);
		// An empty value still gets a buffer so it is told apart from a failure.
		auto *value = static_cast<uint8_t *>(malloc(vlen ? vlen : 1));
		if (!value)
			break;
		memcpy(value, data + off + VEX_TLV_HEAD_LEN, vlen);
		entries[n].u2Type = type;
		entries[n].u2Len = vlen;
		entries[n].pu1Value = value;
		n++;
		off += len;
	}
	return 1;
}

int KvVexPasrsePacket(const uint8_t *buf, uint32_t length, vex_msg *msg)
{
	if (!msg || !KvVexParseVexHdr(buf, length, &msg->hdr))
		return 0;
	if (length == VEX_HDR_LEN)
		return 1;
	return KvVexParseVexData(buf + VEX_HDR_LEN, length - VEX_HDR_LEN, msg->tlv);
}

int KvVexGenVexData(uint8_t *buf, uint32_t capacity, uint16_t *outLength, const vex_tlv *entries,
		    unsigned maxCount)
{
	if (!buf || !capacity || !outLength || !entries)
		return 0;
	uint32_t off = 0;
	for (unsigned i = 0; i < maxCount && entries[i].u2Type != 0; i++) {
		const vex_tlv &e = entries[i];
		// The generator's length is the whole TLV; anything shorter than its
		// head, or a value without a buffer, cannot be written.
		if (e.u2Len < VEX_TLV_HEAD_LEN || (e.u2Len > VEX_TLV_HEAD_LEN && !e.pu1Value))
			break;
		if (off + e.u2Len >= capacity)
			break;
		vex_put_u16(buf + off, e.u2Type);
		vex_put_u16(buf + off + 2, e.u2Len);
		if (e.u2Len > VEX_TLV_HEAD_LEN)
			memcpy(buf + off + VEX_TLV_HEAD_LEN, e.pu1Value, e.u2Len - VEX_TLV_HEAD_LEN);
		off += e.u2Len;
	}
	*outLength = uint16_t(off);
	return 1;
}

int KvVexFreeVexData(vex_tlv *entries, uint8_t count)
{
	if (!entries)
		return 1;
	for (unsigned i = 0; i < count; i++) {
		free(entries[i].pu1Value);
		entries[i] = vex_tlv{};
	}
	return 1;
}

int KvVexHandleGenRequestData(vex_tlv *entries)
{
	auto *mask = static_cast<uint8_t *>(calloc(1, VEX_MASK_LEN));
	if (!mask)
		return 0;
	vex_put_u32(mask, VEX_DISCOVER_MASK0);
	entries[0].u2Type = VEX_TLV_MASK;
	entries[0].u2Len = VEX_TLV_HEAD_LEN + VEX_MASK_LEN;
	entries[0].pu1Value = mask;
	return 1;
}

unsigned vex_build_discover_request(uint8_t *buf, uint32_t capacity, vex_msg *msg,
				    const uint8_t acMac[6], uint32_t now)
{
	// The mask TLV must end strictly below the data capacity.
	if (!buf || !msg || capacity <= VEX_DISCOVER_REQ_LEN)
		return 0;
	memset(buf, 0, capacity);
	KvVexFillVexHeader(&msg->hdr, VEX_MSG_DISCOVER_REQ, 0, acMac, now);
	KvVexGenVexHdr(buf, capacity, &msg->hdr);
	if (!KvVexHandleGenRequestData(msg->tlv))
		return 0;
	uint16_t dataLen = 0;
	uint32_t room = capacity - VEX_HDR_LEN;
	if (room > VEX_MAX_DATA)
		room = VEX_MAX_DATA;
	int ok = KvVexGenVexData(buf + VEX_HDR_LEN, room, &dataLen, msg->tlv, VEX_MAX_TLV);
	KvVexFreeVexData(msg->tlv, VEX_MAX_TLV);
	return ok ? VEX_HDR_LEN + dataLen : 0;
}

ac_device ac_device_info;
