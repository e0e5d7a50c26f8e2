// blobmsg: named attributes, nesting, string buffers, validation, parsing.
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libubox/blobmsg.h>
}

#include "blob_internal.hpp"

namespace
{

constexpr size_t blob_align4(size_t n)
{
	return (n + BLOB_ATTR_ALIGN - 1) & ~static_cast<size_t>(BLOB_ATTR_ALIGN - 1);
}

size_t blobmsg_buf_offset(const struct blob_buf *buf, const void *p)
{
	return static_cast<size_t>(static_cast<const char *>(p) - static_cast<const char *>(buf->buf));
}

// Appends an extended attribute with its name header; *data points at the
// (uninitialised) value of `payload_len` bytes.
struct blob_attr *blobmsg_new(struct blob_buf *buf, int type, const char *name, size_t payload_len,
                              void **data)
{
	if (!name)
		name = "";
	size_t namelen = strlen(name);
	if (namelen > 0xffff)
		return nullptr;
	size_t hdrlen = static_cast<size_t>(blobmsg_hdrlen(static_cast<unsigned int>(namelen)));
	if (payload_len > BLOB_ATTR_LEN_MASK)
		return nullptr;

	struct blob_attr *attr = blob_new_attr(buf, type, hdrlen + payload_len);
	if (!attr)
		return nullptr;

	attr->id_len |= cpu_to_be32(BLOB_ATTR_EXTENDED);
	auto *hdr = static_cast<struct blobmsg_hdr *>(blob_data(attr));
	hdr->namelen = cpu_to_be16(static_cast<uint16_t>(namelen));
	memcpy(hdr->name, name, namelen);
	// NUL terminator and the zero padding of the name header.
	memset(hdr->name + namelen, 0, hdrlen - sizeof(struct blobmsg_hdr) - namelen);
	*data = static_cast<char *>(blob_data(attr)) + hdrlen;
	return attr;
}

int blobmsg_blob_type(int type)
{
	switch (type) {
	case BLOBMSG_TYPE_STRING:
		return BLOB_ATTR_STRING;
	case BLOBMSG_TYPE_INT8:
		return BLOB_ATTR_INT8;
	case BLOBMSG_TYPE_INT16:
		return BLOB_ATTR_INT16;
	case BLOBMSG_TYPE_INT32:
		return BLOB_ATTR_INT32;
	case BLOBMSG_TYPE_INT64:
		return BLOB_ATTR_INT64;
	case BLOBMSG_TYPE_DOUBLE:
		return BLOB_ATTR_DOUBLE;
	default:
		return BLOB_ATTR_UNSPEC;
	}
}

bool blobmsg_policy_accepts(int policy_type, int type)
{
	if (policy_type == BLOBMSG_TYPE_UNSPEC)
		return true;
	if (policy_type == BLOBMSG_CAST_INT64)
		return type == BLOBMSG_TYPE_INT64 || type == BLOBMSG_TYPE_INT32 ||
		       type == BLOBMSG_TYPE_INT16 || type == BLOBMSG_TYPE_INT8;
	return policy_type == type;
}

// Strict walk for validation and parsing: every byte of the range must belong
// to an element whose raw length fits. Returns false at the end; sets `bad`
// for a malformed element. `avail` is what was left from the element's start.
bool blobmsg_strict_next(const char *&pos, size_t &rem, const struct blob_attr *&attr, size_t &avail,
                         bool &bad)
{
	if (rem == 0)
		return false;
	if (rem < sizeof(struct blob_attr)) {
		bad = true;
		return false;
	}
	attr = reinterpret_cast<const struct blob_attr *>(pos);
	size_t raw = blob_raw_len(attr);
	if (raw < sizeof(struct blob_attr) || raw > rem) {
		bad = true;
		return false;
	}
	avail = rem;
	size_t step = blob_align4(raw);
	if (step > rem)
		step = rem; // last element without its padding
	pos += step;
	rem -= step;
	return true;
}

} // namespace

extern "C" {

bool blobmsg_check_attr_len(const struct blob_attr *attr, bool name, size_t len)
{
	if (!attr || len < sizeof(struct blob_attr))
		return false;
	size_t raw = blob_raw_len(attr);
	if (raw < sizeof(struct blob_attr) || raw > len)
		return false;

	if (!blob_is_extended(attr))
		return !name;

	if (blob_len(attr) < sizeof(struct blobmsg_hdr))
		return false;
	auto *hdr = static_cast<const struct blobmsg_hdr *>(blob_data(attr));
	uint16_t namelen = blobmsg_namelen(hdr);
	if (name && !namelen)
		return false;
	if (static_cast<size_t>(blobmsg_hdrlen(namelen)) > blob_len(attr))
		return false;
	if (hdr->name[namelen] != 0)
		return false;

	int id = static_cast<int>(blob_id(attr));
	if (id > BLOBMSG_TYPE_LAST)
		return false;

	return blob_check_type(blobmsg_data(attr), static_cast<unsigned int>(blobmsg_data_len(attr)),
	                       blobmsg_blob_type(id));
}

bool blobmsg_check_attr(const struct blob_attr *attr, bool name)
{
	if (!attr)
		return false;
	return blobmsg_check_attr_len(attr, name, blob_raw_len(attr));
}

int blobmsg_check_array_len(const struct blob_attr *attr, int type, size_t len)
{
	if (type < BLOBMSG_TYPE_UNSPEC || type > BLOBMSG_TYPE_LAST)
		return -1;
	if (!blobmsg_check_attr_len(attr, false, len))
		return -1;

	bool name;
	switch (blobmsg_type(attr)) {
	case BLOBMSG_TYPE_TABLE:
		name = true;
		break;
	case BLOBMSG_TYPE_ARRAY:
		name = false;
		break;
	default:
		return -1;
	}

	const char *pos = static_cast<const char *>(blobmsg_data(attr));
	size_t rem = blobmsg_data_len(attr);
	const struct blob_attr *cur;
	size_t avail;
	bool bad = false;
	int size = 0;
	while (blobmsg_strict_next(pos, rem, cur, avail, bad)) {
		if (type != BLOBMSG_TYPE_UNSPEC && blobmsg_type(cur) != type)
			return -1;
		if (!blobmsg_check_attr_len(cur, name, avail))
			return -1;
		size++;
	}
	return bad ? -1 : size;
}

int blobmsg_check_array(const struct blob_attr *attr, int type)
{
	if (!attr)
		return -1;
	return blobmsg_check_array_len(attr, type, blob_raw_len(attr));
}

bool blobmsg_check_attr_list_len(const struct blob_attr *attr, int type, size_t len)
{
	return blobmsg_check_array_len(attr, type, len) >= 0;
}

bool blobmsg_check_attr_list(const struct blob_attr *attr, int type)
{
	return blobmsg_check_array(attr, type) >= 0;
}

int blobmsg_parse(const struct blobmsg_policy *policy, int policy_len, struct blob_attr **tb, void *data,
                  unsigned int len)
{
	if (policy_len > 0)
		memset(tb, 0, sizeof(*tb) * policy_len);
	if (!data || !len)
		return -EINVAL;

	const char *pos = static_cast<const char *>(data);
	size_t rem = len;
	const struct blob_attr *attr;
	size_t avail;
	bool bad = false;
	while (blobmsg_strict_next(pos, rem, attr, avail, bad)) {
		if (!blobmsg_check_attr_len(attr, false, avail))
			return -1;
		if (!blob_is_extended(attr))
			continue;

		auto *hdr = static_cast<const struct blobmsg_hdr *>(blob_data(attr));
		size_t namelen = blobmsg_namelen(hdr);
		for (int i = 0; i < policy_len; i++) {
			if (!policy[i].name || tb[i])
				continue;
			if (!blobmsg_policy_accepts(policy[i].type, blobmsg_type(attr)))
				continue;
			if (strlen(policy[i].name) != namelen ||
			    memcmp(policy[i].name, hdr->name, namelen) != 0)
				continue;
			tb[i] = const_cast<struct blob_attr *>(attr);
		}
	}
	return bad ? -1 : 0;
}

int blobmsg_parse_array(const struct blobmsg_policy *policy, int policy_len, struct blob_attr **tb,
                        void *data, unsigned int len)
{
	if (policy_len > 0)
		memset(tb, 0, sizeof(*tb) * policy_len);
	if (!data || !len)
		return -EINVAL;

	// Not positional: an element of the wrong type is skipped without using
	// up the slot, so the next element is tried against the same policy.
	const char *pos = static_cast<const char *>(data);
	size_t rem = len;
	const struct blob_attr *attr;
	size_t avail;
	bool bad = false;
	int i = 0;
	while (i < policy_len && blobmsg_strict_next(pos, rem, attr, avail, bad)) {
		if (!blobmsg_policy_accepts(policy[i].type, blobmsg_type(attr)))
			continue;
		if (!blobmsg_check_attr_len(attr, false, avail))
			return -1;
		tb[i++] = const_cast<struct blob_attr *>(attr);
	}
	return bad ? -1 : 0;
}

int blobmsg_add_field(struct blob_buf *buf, int type, const char *name, const void *data, unsigned int len)
{
	void *dest;
	struct blob_attr *attr = blobmsg_new(buf, type, name, len, &dest);
	if (!attr)
		return -1;
	if (len) {
		if (data)
			memcpy(dest, data, len);
		else
			memset(dest, 0, len);
	}
	return 0;
}

void *blobmsg_open_nested(struct blob_buf *buf, const char *name, bool array)
{
	if (!buf->head)
		return nullptr;
	if (!name)
		name = "";

	// The cookie is the parent's offset, valid across reallocation.
	uintptr_t cookie = blobmsg_buf_offset(buf, buf->head) + BLOB_COOKIE;
	void *data;
	struct blob_attr *attr =
	    blobmsg_new(buf, array ? BLOBMSG_TYPE_ARRAY : BLOBMSG_TYPE_TABLE, name, 0, &data);
	if (!attr)
		return nullptr;

	// The parent only takes the header now; the rest is added on close.
	blob_set_raw_length(buf->head,
	                    blob_pad_len(buf->head) -
	                        static_cast<size_t>(blobmsg_hdrlen(static_cast<unsigned int>(strlen(name)))));
	buf->head = attr;
	return reinterpret_cast<void *>(cookie);
}

void *blobmsg_alloc_string_buffer(struct blob_buf *buf, const char *name, unsigned int maxlen)
{
	if (maxlen >= BLOB_ATTR_LEN_MASK)
		return nullptr;
	size_t room = static_cast<size_t>(maxlen) + 1;
	void *data;
	struct blob_attr *attr = blobmsg_new(buf, BLOBMSG_TYPE_STRING, name, room, &data);
	if (!attr)
		return nullptr;

	// Reserved only: neither the parent nor the attribute count the value yet.
	blob_set_raw_length(buf->head, blob_pad_len(buf->head) - blob_pad_len(attr));
	blob_set_raw_length(attr, blob_raw_len(attr) - room);
	static_cast<char *>(data)[0] = 0;
	return data;
}

void *blobmsg_realloc_string_buffer(struct blob_buf *buf, unsigned int maxlen)
{
	if (!buf->head || maxlen >= BLOB_ATTR_LEN_MASK)
		return nullptr;
	struct blob_attr *attr = blob_next(buf->head);
	size_t data_off = blobmsg_buf_offset(buf, attr) + blob_pad_len(attr);
	long long required = static_cast<long long>(blob_align4(static_cast<size_t>(maxlen) + 1)) -
	                     (static_cast<long long>(buf->buflen) - static_cast<long long>(data_off));
	if (required > 0) {
		if (!blob_buf_grow_by(buf, static_cast<int>(required)))
			return nullptr;
		attr = blob_next(buf->head);
	}
	return blobmsg_data(attr);
}

void blobmsg_add_string_buffer(struct blob_buf *buf)
{
	if (!buf->head)
		return;
	struct blob_attr *attr = blob_next(buf->head);
	size_t attr_off = blobmsg_buf_offset(buf, attr);
	if (attr_off + sizeof(struct blob_attr) > static_cast<size_t>(buf->buflen))
		return;
	size_t data_off = attr_off + blob_pad_len(attr);
	if (data_off >= static_cast<size_t>(buf->buflen))
		return;

	// Never run past the buffer, even when the writer forgot the NUL.
	char *data = static_cast<char *>(buf->buf) + data_off;
	size_t limit =
	    (static_cast<size_t>(buf->buflen) - data_off) & ~static_cast<size_t>(BLOB_ATTR_ALIGN - 1);
	if (!limit)
		return;
	size_t len = strnlen(data, limit);
	if (len == limit) {
		len = limit - 1;
		data[len] = 0;
	}

	blob_set_raw_length(attr, blob_raw_len(attr) + len + 1);
	blob_zero_pad(attr);
	blob_set_raw_length(buf->head, blob_pad_len(buf->head) + blob_pad_len(attr));
}

int blobmsg_vprintf(struct blob_buf *buf, const char *name, const char *format, va_list arg)
{
	va_list arg2;
	char c;

	va_copy(arg2, arg);
	int len = vsnprintf(&c, sizeof(c), format, arg2);
	va_end(arg2);
	if (len < 0)
		return -1;

	char *sbuf =
	    static_cast<char *>(blobmsg_alloc_string_buffer(buf, name, static_cast<unsigned int>(len)));
	if (!sbuf)
		return -1;
	int ret = vsnprintf(sbuf, static_cast<size_t>(len) + 1, format, arg);
	if (ret < 0)
		return -1;
	blobmsg_add_string_buffer(buf);
	return ret;
}

int blobmsg_printf(struct blob_buf *buf, const char *name, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	int ret = blobmsg_vprintf(buf, name, format, ap);
	va_end(ap);
	return ret;
}

} // extern "C"
