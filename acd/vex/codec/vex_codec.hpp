// Vex message codec: the 40-byte header, TLV parse and generation, the sequence
// counter. Works on byte buffers only; fields are read and written big-endian
// byte by byte so the same code runs on the big-endian router and on the host.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t VEX_MAGIC = 0x01945AE0;
constexpr uint16_t VEX_VERSION = 2;
constexpr uint16_t VEX_MAC_LEN = 6;
constexpr unsigned VEX_HDR_LEN = 40;
constexpr unsigned VEX_TLV_HEAD_LEN = 4;
constexpr unsigned VEX_MAX_TLV = 160;
constexpr unsigned VEX_MAX_MSG = 10240;
constexpr unsigned VEX_MAX_DATA = VEX_MAX_MSG - VEX_HDR_LEN;
constexpr unsigned VEX_MASK_LEN = 16;
constexpr uint16_t VEX_TLV_MASK = 129;
constexpr unsigned VEX_DISCOVER_REQ_LEN = VEX_HDR_LEN + VEX_TLV_HEAD_LEN + VEX_MASK_LEN;
static_assert(VEX_MAX_DATA == 10200, "senders generate TLVs into 10200 bytes");
static_assert(VEX_DISCOVER_REQ_LEN == 60, "a discovery request is 60 bytes");
static_assert(VEX_MAX_TLV <= 255, "counts of entries travel as 8-bit numbers");

enum vex_msg_type : uint16_t {
	VEX_MSG_DISCOVER_REQ = 1,
	VEX_MSG_DISCOVER_RESP = 2,
	VEX_MSG_SET_CONFIG = 3,
	VEX_MSG_SET_RESULT = 4,
	VEX_MSG_UPLOAD_REQ = 10,
	VEX_MSG_UPLOAD_RESP = 11,
	VEX_MSG_AGENT_RESP = 12,
};

// Reasons given by KvVexCheckDiscoverHeader, in check order.
enum vex_reject_reason : uint16_t {
	VEX_REJECT_VERSION = 7,
	VEX_REJECT_REVISION = 8,
	VEX_REJECT_MACLEN = 1,
	VEX_REJECT_MAGIC = 9,
};

// Wire offsets of the header fields.
enum vex_hdr_offset : unsigned {
	VEX_OFF_VERSION = 0,
	VEX_OFF_REVISION = 2,
	VEX_OFF_APMAC = 4,
	VEX_OFF_MACLEN = 10,
	VEX_OFF_MSGTYPE = 12,
	VEX_OFF_STATUS = 14,
	VEX_OFF_MAGIC = 16,
	VEX_OFF_ACMAC = 20,
	VEX_OFF_SEQNUM = 26,
	VEX_OFF_RESERVED = 28,
};
static_assert(VEX_OFF_RESERVED + 12 == VEX_HDR_LEN, "the header is 40 bytes");

// In-memory header: host-order numbers (never copied to the wire as a struct).
struct vex_hdr {
	uint16_t u2Version;
	uint16_t u2Revision;
	uint8_t au1ApMac[6];
	uint16_t u2MacLen;
	uint16_t u2MsgType;
	uint16_t u2Status;
	uint32_t u4Magic;
	uint8_t au1AcMac[6];
	uint16_t u2SeqNum;
	uint8_t au1Reserved[12];
};

// One TLV in memory. Parsed entries carry the value length in u2Len; entries
// handed to the generator carry the whole TLV length (value + 4). The entry
// owns pu1Value (malloc'd). Type 0 ends a list.
struct vex_tlv {
	uint16_t u2Type;
	uint16_t u2Len;
	uint8_t *pu1Value;
};

// A parsed message: zero-filled before use, entries released with KvVexFreeVexData.
struct vex_msg {
	vex_hdr hdr;
	vex_tlv tlv[VEX_MAX_TLV];
};

// Big-endian field access by bytes.
inline uint16_t vex_get_u16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t vex_get_u32(const uint8_t *p)
{
	return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void vex_put_u16(uint8_t *p, uint16_t v)
{
	p[0] = uint8_t(v >> 8);
	p[1] = uint8_t(v);
}
inline void vex_put_u32(uint8_t *p, uint32_t v)
{
	p[0] = uint8_t(v >> 24);
	p[1] = uint8_t(v >> 16);
	p[2] = uint8_t(v >> 8);
	p[3] = uint8_t(v);
}

// Sequence numbers: one counter for every header built. `now` is the time in
// seconds; its low 16 bits reseed the counter when it stands at 0 or 0xFFFF.
uint16_t KvVexNextSeqNum(uint32_t now);
uint16_t vex_seq_peek();
void vex_seq_set(uint16_t value);

// Header for a message to all APs: AP MAC zero, reserved bytes untouched. Returns 1.
int KvVexFillVexHeader(vex_hdr *hdr, uint16_t msgType, uint16_t status, const uint8_t acMac[6],
		       uint32_t now);
// Header for a message to one AP: its MAC, status 0, reserved bytes cleared. Returns 1.
int KvVexFillVexHeaderTo(vex_hdr *hdr, uint16_t msgType, const uint8_t apMac[6],
			 const uint8_t acMac[6], uint32_t now);

int KvVexGenVexHdr(uint8_t *buf, uint32_t capacity, const vex_hdr *hdr);
int KvVexParseVexHdr(const uint8_t *buf, uint32_t length, vex_hdr *hdr);
int KvVexCheckDiscoverHeader(const vex_hdr *hdr, uint16_t *reason);
int KvVexParseVexData(const uint8_t *data, uint32_t length, vex_tlv *entries);
int KvVexPasrsePacket(const uint8_t *buf, uint32_t length, vex_msg *msg);
int KvVexGenVexData(uint8_t *buf, uint32_t capacity, uint16_t *outLength, const vex_tlv *entries,
		    unsigned maxCount);
int KvVexFreeVexData(vex_tlv *entries, uint8_t count);
int KvVexHandleGenRequestData(vex_tlv *entries);

// A whole discovery request (header + field mask TLV) into buf (at least 60
// bytes). Returns its length, 0 on failure.
unsigned vex_build_discover_request(uint8_t *buf, uint32_t capacity, vex_msg *msg,
				    const uint8_t acMac[6], uint32_t now);
