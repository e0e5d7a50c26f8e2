#pragma once
// Bus messages as bytes: framing, attribute tables and a message writer.
// Pure code: no sockets, no globals; shared by the daemon, the library and tests.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "ubusmsg.h"

namespace ubus_wire {

constexpr size_t kHeaderLen = 8;   // version, type, seq, peer
constexpr size_t kBlobHeadLen = 4; // id/length word of a blob attribute
constexpr size_t kPrefixLen = kHeaderLen + kBlobHeadLen;
static_assert(sizeof(struct ubus_msghdr) == kHeaderLen, "bus header is 8 bytes");

constexpr uint32_t kExtended = 0x80000000u;
constexpr uint32_t kIdMask = 0x7f000000u;
constexpr unsigned kIdShift = 24;
constexpr uint32_t kLenMask = 0x00ffffffu;

// blobmsg type numbers, as used inside signatures
enum : unsigned { kBlobmsgArray = 1, kBlobmsgTable = 2, kBlobmsgString = 3, kBlobmsgInt64 = 4,
                  kBlobmsgInt32 = 5, kBlobmsgInt16 = 6, kBlobmsgInt8 = 7, kBlobmsgDouble = 8,
                  kBlobmsgLast = 8 };

inline uint16_t get_be16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t get_be32(const uint8_t *p)
{
	return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void put_be16(uint8_t *p, uint16_t v)
{
	p[0] = uint8_t(v >> 8);
	p[1] = uint8_t(v);
}
inline void put_be32(uint8_t *p, uint32_t v)
{
	p[0] = uint8_t(v >> 24);
	p[1] = uint8_t(v >> 16);
	p[2] = uint8_t(v >> 8);
	p[3] = uint8_t(v);
}
constexpr size_t pad4(size_t n) { return (n + 3) & ~size_t(3); }

// Blob attribute head fields, from the attribute's first byte.
inline unsigned attr_id(const uint8_t *a) { return (get_be32(a) & kIdMask) >> kIdShift; }
inline bool attr_extended(const uint8_t *a) { return get_be32(a) & kExtended; }
inline size_t attr_raw_len(const uint8_t *a) { return get_be32(a) & kLenMask; }
inline size_t attr_pad_len(const uint8_t *a) { return pad4(attr_raw_len(a)); }
inline const uint8_t *attr_payload(const uint8_t *a) { return a + kBlobHeadLen; }
inline size_t attr_payload_len(const uint8_t *a) { return attr_raw_len(a) - kBlobHeadLen; }
inline uint32_t attr_u32(const uint8_t *a) { return get_be32(a + kBlobHeadLen); }
inline uint8_t attr_u8(const uint8_t *a) { return a[kBlobHeadLen]; }
inline const char *attr_string(const uint8_t *a)
{
	return reinterpret_cast<const char *>(a + kBlobHeadLen);
}

// Walks the attributes packed in [p, p + len) the way the platform does: it
// stops at the first one whose length is short or runs past the end.
class AttrWalk {
public:
	AttrWalk(const uint8_t *p, size_t len) : p_(p), rem_(len) {}
	// next attribute or nullptr
	const uint8_t *next();
	// true when the walk used up every byte (nothing malformed at the end)
	bool exhausted() const { return rem_ == 0; }

private:
	const uint8_t *p_;
	size_t rem_;
};

struct Header {
	uint8_t version = 0;
	uint8_t type = 0;
	uint16_t seq = 0;
	uint32_t peer = 0;
};
Header get_header(const uint8_t *p);
void put_header(uint8_t *p, const Header &h);

enum class Frame { Incomplete, Invalid, Complete };

// Checks the start of a byte stream for one message. On Complete, *total is
// its size; Invalid means the peer broke the framing (bad version, length).
Frame check_frame(const uint8_t *p, size_t avail, size_t *total);

// One received message with its attributes located by id. An attribute of
// the wrong kind or length counts as absent; the last of an id wins.
struct Message {
	Header hdr;
	const uint8_t *blob = nullptr; // message blob (its head)
	std::array<const uint8_t *, UBUS_ATTR_MAX> attr{};

	const uint8_t *get(unsigned id) const { return id < attr.size() ? attr[id] : nullptr; }
	size_t size() const { return kHeaderLen + attr_raw_len(blob); }
};

// p/len: one complete frame (see check_frame). False if it is not one.
bool parse_message(const uint8_t *p, size_t len, Message &m);
// Locates the attributes of a message blob whose length was checked before.
void parse_attrs(const uint8_t *blob, std::array<const uint8_t *, UBUS_ATTR_MAX> &attr);

// Builds one message: header, then attributes nested in the message blob.
class Writer {
public:
	explicit Writer(uint8_t type = 0, uint16_t seq = 0, uint32_t peer = 0) { begin(type, seq, peer); }

	void begin(uint8_t type, uint16_t seq, uint32_t peer);

	void put_u32(unsigned id, uint32_t v);
	void put_u8(unsigned id, uint8_t v);
	void put_string(unsigned id, std::string_view s);
	// raw attribute whose payload is given bytes (e.g. a nested blob's content)
	void put_raw(unsigned id, const void *payload, size_t len);
	// copies a complete attribute (head and payload) as it stands
	void put_attr(const uint8_t *attr);
	// appends attributes that are already encoded (each padded)
	void put_bytes(const uint8_t *p, size_t len);

	// raw (non-extended) nested attribute; returns its offset for nest_end
	size_t nest_start(unsigned id);
	// blobmsg table (extended, named); returns its offset for nest_end
	size_t table_start(std::string_view name);
	void nest_end(size_t at);
	void put_blobmsg_u32(std::string_view name, uint32_t v);
	void put_blobmsg_string(std::string_view name, std::string_view v);

	// Sets the message blob's length; returns the finished bytes.
	const std::vector<uint8_t> &finish();
	std::vector<uint8_t> take()
	{
		finish();
		return std::move(buf_);
	}

	size_t blob_len() const { return buf_.size() - kHeaderLen; }

private:
	size_t put_head(unsigned id, bool extended, std::string_view name);
	void close_attr(size_t at);

	std::vector<uint8_t> buf_;
};

// blobmsg name header length for a name of n bytes
constexpr size_t blobmsg_hdrlen(size_t n) { return pad4(2 + n + 1); }

// Checks one blobmsg attribute [a, a + raw len): extended with a named header
// (name must be non-empty when `named`), a known type and a value of the right
// size. Children of containers are checked when `deep` (up to kMaxDepth
// levels, deeper counts as invalid: untrusted input must not exhaust the stack).
bool blobmsg_valid(const uint8_t *a, bool named, bool deep, int depth = 0);
constexpr int kMaxDepth = 32;

// A registered signature: each element a named blobmsg table (one per method)
// whose members are named blobmsg values, and nothing malformed anywhere.
bool signature_valid(const uint8_t *payload, size_t len);

} // namespace ubus_wire
