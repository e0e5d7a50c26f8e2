#include "wire.hpp"

#include <cstring>

namespace ubus_wire {

namespace {

enum class Kind { Any, Int8, Int32, String };

// What each message attribute must look like to count.
Kind wire_attr_kind(unsigned id)
{
	switch (id) {
	case UBUS_ATTR_STATUS:
	case UBUS_ATTR_OBJID:
	case UBUS_ATTR_OBJTYPE:
	case UBUS_ATTR_TARGET:
		return Kind::Int32;
	case UBUS_ATTR_OBJPATH:
	case UBUS_ATTR_METHOD:
	case UBUS_ATTR_USER:
	case UBUS_ATTR_GROUP:
		return Kind::String;
	case UBUS_ATTR_ACTIVE:
	case UBUS_ATTR_NO_REPLY:
		return Kind::Int8;
	default:
		return Kind::Any;
	}
}

bool wire_attr_fits(const uint8_t *a)
{
	size_t n = attr_payload_len(a);
	switch (wire_attr_kind(attr_id(a))) {
	case Kind::Int8:
		return n == 1;
	case Kind::Int32:
		return n == 4;
	case Kind::String:
		return n >= 1 && a[kBlobHeadLen + n - 1] == 0;
	case Kind::Any:
		break;
	}
	return true;
}

} // namespace

const uint8_t *AttrWalk::next()
{
	if (rem_ < kBlobHeadLen)
		return nullptr;
	size_t raw = attr_raw_len(p_);
	size_t pad = pad4(raw);
	if (raw < kBlobHeadLen || pad > rem_)
		return nullptr;
	const uint8_t *cur = p_;
	p_ += pad;
	rem_ -= pad;
	return cur;
}

Header get_header(const uint8_t *p)
{
	Header h;
	h.version = p[0];
	h.type = p[1];
	h.seq = get_be16(p + 2);
	h.peer = get_be32(p + 4);
	return h;
}

void put_header(uint8_t *p, const Header &h)
{
	p[0] = h.version;
	p[1] = h.type;
	put_be16(p + 2, h.seq);
	put_be32(p + 4, h.peer);
}

Frame check_frame(const uint8_t *p, size_t avail, size_t *total)
{
	if (avail >= 1 && p[0] != 0)
		return Frame::Invalid;
	if (avail < kPrefixLen)
		return Frame::Incomplete;
	size_t raw = attr_raw_len(p + kHeaderLen);
	if (raw < kBlobHeadLen || pad4(raw) > UBUS_MAX_MSGLEN)
		return Frame::Invalid;
	size_t need = kHeaderLen + raw;
	if (avail < need)
		return Frame::Incomplete;
	*total = need;
	return Frame::Complete;
}

bool parse_message(const uint8_t *p, size_t len, Message &m)
{
	size_t total = 0;
	if (check_frame(p, len, &total) != Frame::Complete || total != len)
		return false;
	m = Message();
	m.hdr = get_header(p);
	m.blob = p + kHeaderLen;
	parse_attrs(m.blob, m.attr);
	return true;
}

void parse_attrs(const uint8_t *blob, std::array<const uint8_t *, UBUS_ATTR_MAX> &attr)
{
	attr.fill(nullptr);
	AttrWalk w(attr_payload(blob), attr_payload_len(blob));
	while (const uint8_t *a = w.next()) {
		unsigned id = attr_id(a);
		if (id >= attr.size() || id == UBUS_ATTR_UNSPEC || !wire_attr_fits(a))
			continue;
		attr[id] = a;
	}
}

void Writer::begin(uint8_t type, uint16_t seq, uint32_t peer)
{
	buf_.assign(kPrefixLen, 0);
	Header h;
	h.type = type;
	h.seq = seq;
	h.peer = peer;
	put_header(buf_.data(), h);
}

size_t Writer::put_head(unsigned id, bool extended, std::string_view name)
{
	size_t at = buf_.size();
	buf_.resize(at + kBlobHeadLen);
	put_be32(&buf_[at], (extended ? kExtended : 0) | (uint32_t(id) << kIdShift & kIdMask));
	if (extended) {
		size_t hl = blobmsg_hdrlen(name.size());
		size_t n = buf_.size();
		buf_.resize(n + hl, 0);
		put_be16(&buf_[n], uint16_t(name.size()));
		if (!name.empty())
			std::memcpy(&buf_[n + 2], name.data(), name.size());
	}
	return at;
}

// Stores the attribute's raw length and pads it to the next 4-byte boundary.
void Writer::close_attr(size_t at)
{
	size_t raw = buf_.size() - at;
	uint32_t word = get_be32(&buf_[at]) & (kExtended | kIdMask);
	put_be32(&buf_[at], word | uint32_t(raw & kLenMask));
	buf_.resize(at + pad4(raw), 0);
}

void Writer::put_raw(unsigned id, const void *payload, size_t len)
{
	size_t at = put_head(id, false, {});
	if (len)
		buf_.insert(buf_.end(), static_cast<const uint8_t *>(payload),
			    static_cast<const uint8_t *>(payload) + len);
	close_attr(at);
}

void Writer::put_u32(unsigned id, uint32_t v)
{
	uint8_t b[4];
	put_be32(b, v);
	put_raw(id, b, sizeof b);
}

void Writer::put_u8(unsigned id, uint8_t v) { put_raw(id, &v, 1); }

void Writer::put_string(unsigned id, std::string_view s)
{
	size_t at = put_head(id, false, {});
	buf_.insert(buf_.end(), s.begin(), s.end());
	buf_.push_back(0);
	close_attr(at);
}

void Writer::put_attr(const uint8_t *attr)
{
	size_t raw = attr_raw_len(attr);
	size_t at = buf_.size();
	buf_.insert(buf_.end(), attr, attr + raw);
	buf_.resize(at + pad4(raw), 0);
}

void Writer::put_bytes(const uint8_t *p, size_t len)
{
	buf_.insert(buf_.end(), p, p + len);
	buf_.resize(pad4(buf_.size()), 0);
}

size_t Writer::nest_start(unsigned id) { return put_head(id, false, {}); }

size_t Writer::table_start(std::string_view name) { return put_head(kBlobmsgTable, true, name); }

void Writer::nest_end(size_t at) { close_attr(at); }

void Writer::put_blobmsg_u32(std::string_view name, uint32_t v)
{
	size_t at = put_head(kBlobmsgInt32, true, name);
	size_t n = buf_.size();
	buf_.resize(n + 4);
	put_be32(&buf_[n], v);
	close_attr(at);
}

void Writer::put_blobmsg_string(std::string_view name, std::string_view v)
{
	size_t at = put_head(kBlobmsgString, true, name);
	buf_.insert(buf_.end(), v.begin(), v.end());
	buf_.push_back(0);
	close_attr(at);
}

const std::vector<uint8_t> &Writer::finish()
{
	// the message blob: id 0, not extended, length = head + content
	put_be32(&buf_[kHeaderLen], uint32_t((buf_.size() - kHeaderLen) & kLenMask));
	return buf_;
}

bool blobmsg_valid(const uint8_t *a, bool named, bool deep, int depth)
{
	size_t raw = attr_raw_len(a);
	if (raw < kBlobHeadLen || !attr_extended(a))
		return false;
	const uint8_t *pl = attr_payload(a);
	size_t plen = raw - kBlobHeadLen;
	if (plen < 2)
		return false;
	size_t nlen = get_be16(pl);
	size_t hl = blobmsg_hdrlen(nlen);
	if (hl > plen || pl[2 + nlen] != 0)
		return false;
	if (named && nlen == 0)
		return false;
	unsigned type = attr_id(a);
	const uint8_t *v = pl + hl;
	size_t vlen = plen - hl;
	switch (type) {
	case 0:
		return true;
	case kBlobmsgString:
		return vlen >= 1 && v[vlen - 1] == 0;
	case kBlobmsgInt8:
		return vlen == 1;
	case kBlobmsgInt16:
		return vlen == 2;
	case kBlobmsgInt32:
		return vlen == 4;
	case kBlobmsgInt64:
		return vlen == 8;
	case kBlobmsgDouble:
		return vlen >= 8;
	case kBlobmsgArray:
	case kBlobmsgTable:
		break;
	default:
		return false;
	}
	if (!deep)
		return true;
	if (depth >= kMaxDepth)
		return false;
	AttrWalk w(v, vlen);
	while (const uint8_t *c = w.next())
		if (!blobmsg_valid(c, type == kBlobmsgTable, true, depth + 1))
			return false;
	return w.exhausted();
}

bool signature_valid(const uint8_t *payload, size_t len)
{
	AttrWalk w(payload, len);
	while (const uint8_t *m = w.next())
		if (attr_id(m) != kBlobmsgTable || !blobmsg_valid(m, true, true))
			return false;
	return w.exhausted();
}

} // namespace ubus_wire
