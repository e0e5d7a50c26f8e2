// Raw blob buffers: building, nesting, raw parsing.
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libubox/blob.h>
#include <libubox/utils.h>
}

#include "blob_internal.hpp"

namespace
{

void blob_set_raw_len(struct blob_attr *attr, size_t len)
{
	uint32_t id_len = be32_to_cpu(attr->id_len);
	id_len = (id_len & ~static_cast<uint32_t>(BLOB_ATTR_LEN_MASK)) |
	         (static_cast<uint32_t>(len) & BLOB_ATTR_LEN_MASK);
	attr->id_len = cpu_to_be32(id_len);
}

void blob_fill_pad(struct blob_attr *attr)
{
	char *buf = reinterpret_cast<char *>(attr);
	size_t len = blob_raw_len(attr);
	size_t pad = blob_pad_len(attr) - len;
	if (pad)
		memset(buf + len, 0, pad);
}

// Default growth: whole 256-byte steps, zero-filled.
bool blob_buffer_grow(struct blob_buf *buf, int minlen)
{
	int delta = ((minlen / 256) + 1) * 256;
	void *n = realloc(buf->buf, static_cast<size_t>(buf->buflen) + delta);
	if (!n)
		return false;
	buf->buf = n;
	memset(static_cast<char *>(buf->buf) + buf->buflen, 0, delta);
	buf->buflen += delta;
	return true;
}

// Cookies are offsets (plus BLOB_COOKIE) so they survive a realloc.
uintptr_t attr_to_offset(const struct blob_buf *buf, const struct blob_attr *attr)
{
	return static_cast<uintptr_t>(reinterpret_cast<const char *>(attr) -
	                              static_cast<const char *>(buf->buf)) +
	       BLOB_COOKIE;
}

struct blob_attr *offset_to_attr(const struct blob_buf *buf, uintptr_t offset)
{
	return reinterpret_cast<struct blob_attr *>(static_cast<char *>(buf->buf) + (offset - BLOB_COOKIE));
}

void blob_init_attr(struct blob_attr *attr, int id, size_t len)
{
	uint32_t v = (static_cast<uint32_t>(id) << BLOB_ATTR_ID_SHIFT) & BLOB_ATTR_ID_MASK;
	v |= static_cast<uint32_t>(len) & BLOB_ATTR_LEN_MASK;
	attr->id_len = cpu_to_be32(v);
}

// Writes a header for an attribute with `payload` bytes at byte offset `off`
// (growing the buffer as needed) and zeroes its padding; the payload itself is
// left to the caller.
struct blob_attr *blob_add_at(struct blob_buf *buf, size_t off, int id, size_t payload)
{
	if (payload > BLOB_ATTR_LEN_MASK - sizeof(struct blob_attr))
		return nullptr;
	size_t raw = sizeof(struct blob_attr) + payload;
	size_t end = off + ((raw + BLOB_ATTR_ALIGN - 1) & ~static_cast<size_t>(BLOB_ATTR_ALIGN - 1));
	if (end > static_cast<size_t>(buf->buflen) &&
	    !blob_buf_grow_by(buf, static_cast<int>(end - buf->buflen)))
		return nullptr;
	auto *attr = reinterpret_cast<struct blob_attr *>(static_cast<char *>(buf->buf) + off);
	blob_init_attr(attr, id, raw);
	blob_fill_pad(attr);
	return attr;
}

} // namespace

bool blob_buf_grow_by(struct blob_buf *buf, int required)
{
	if (required <= 0)
		return true;
	if (static_cast<long long>(buf->buflen) + required > BLOB_ATTR_LEN_MASK)
		return false;
	size_t head = buf->head ? reinterpret_cast<char *>(buf->head) - static_cast<char *>(buf->buf) : 0;
	bool had_head = buf->head != nullptr;
	if (!buf->grow || !buf->grow(buf, required))
		return false;
	if (had_head)
		buf->head = reinterpret_cast<struct blob_attr *>(static_cast<char *>(buf->buf) + head);
	return true;
}

struct blob_attr *blob_new_attr(struct blob_buf *buf, int id, size_t payload)
{
	if (!buf->head)
		return nullptr;
	size_t off = reinterpret_cast<char *>(blob_next(buf->head)) - static_cast<char *>(buf->buf);
	struct blob_attr *attr = blob_add_at(buf, off, id, payload);
	if (!attr)
		return nullptr;
	blob_set_raw_len(buf->head, blob_pad_len(buf->head) + blob_pad_len(attr));
	return attr;
}

void blob_set_raw_length(struct blob_attr *attr, size_t len)
{
	blob_set_raw_len(attr, len);
}

void blob_zero_pad(struct blob_attr *attr)
{
	blob_fill_pad(attr);
}

bool blob_walk_next(const char *&pos, size_t &rem, const struct blob_attr *&attr)
{
	if (rem < sizeof(struct blob_attr))
		return false;
	attr = reinterpret_cast<const struct blob_attr *>(pos);
	size_t pad = blob_pad_len(attr);
	if (pad < sizeof(struct blob_attr) || pad > rem)
		return false;
	pos += pad;
	rem -= pad;
	return true;
}

extern "C" {

int blob_buf_init(struct blob_buf *buf, int id)
{
	if (!buf->grow)
		buf->grow = blob_buffer_grow;

	buf->head = nullptr;
	if (!blob_add_at(buf, 0, id, 0))
		return -ENOMEM;
	buf->head = static_cast<struct blob_attr *>(buf->buf);
	return 0;
}

void blob_buf_free(struct blob_buf *buf)
{
	free(buf->buf);
	buf->buf = nullptr;
	buf->head = nullptr;
	buf->buflen = 0;
}

void *blob_nest_start(struct blob_buf *buf, int id)
{
	if (!buf->head)
		return nullptr;
	uintptr_t offset = attr_to_offset(buf, buf->head);
	struct blob_attr *attr = blob_new_attr(buf, id, 0);
	if (!attr)
		return nullptr;
	buf->head = attr;
	return reinterpret_cast<void *>(offset);
}

void blob_nest_end(struct blob_buf *buf, void *cookie)
{
	uintptr_t offset = reinterpret_cast<uintptr_t>(cookie);
	// A NULL cookie comes from a failed open: nothing to close.
	if (!buf->head || offset < BLOB_COOKIE ||
	    offset - BLOB_COOKIE + sizeof(struct blob_attr) > static_cast<size_t>(buf->buflen))
		return;
	struct blob_attr *attr = offset_to_attr(buf, offset);
	blob_set_raw_len(attr, blob_pad_len(attr) + blob_len(buf->head));
	buf->head = attr;
}

struct blob_attr *blob_put(struct blob_buf *buf, int id, const void *ptr, unsigned int len)
{
	struct blob_attr *attr = blob_new_attr(buf, id, len);
	if (!attr)
		return nullptr;
	if (len) {
		if (ptr)
			memcpy(blob_data(attr), ptr, len);
		else
			memset(blob_data(attr), 0, len);
	}
	return attr;
}

struct blob_attr *blob_put_raw(struct blob_buf *buf, const void *ptr, unsigned int len)
{
	if (len < sizeof(struct blob_attr) || !ptr || !buf->head)
		return nullptr;
	size_t off = reinterpret_cast<char *>(blob_next(buf->head)) - static_cast<char *>(buf->buf);
	struct blob_attr *attr = blob_add_at(buf, off, 0, len - sizeof(struct blob_attr));
	if (!attr)
		return nullptr;
	blob_set_raw_len(buf->head, blob_pad_len(buf->head) + len);
	memcpy(attr, ptr, len);
	return attr;
}

bool blob_check_type(const void *ptr, unsigned int len, int type)
{
	const char *data = static_cast<const char *>(ptr);

	switch (type) {
	case BLOB_ATTR_INT8:
		return len == 1;
	case BLOB_ATTR_INT16:
		return len == 2;
	case BLOB_ATTR_INT32:
		return len == 4;
	case BLOB_ATTR_INT64:
		return len == 8;
	case BLOB_ATTR_DOUBLE:
		return len >= 8;
	case BLOB_ATTR_STRING:
		return len >= 1 && data[len - 1] == 0;
	default:
		return true;
	}
}

} // extern "C"

namespace
{

bool blob_attr_fits(const struct blob_attr *pos, const struct blob_attr_info *info)
{
	if (!info)
		return true;
	size_t len = blob_len(pos);
	if (info->type != BLOB_ATTR_UNSPEC && !blob_check_type(blob_data(pos), len, info->type))
		return false;
	if (info->minlen && len < info->minlen)
		return false;
	if (info->maxlen && len > info->maxlen)
		return false;
	if (info->validate && !info->validate(info, const_cast<struct blob_attr *>(pos)))
		return false;
	return true;
}

int blob_parse_range(const char *start, size_t len, struct blob_attr **data,
                     const struct blob_attr_info *info, int max)
{
	int found = 0;
	const char *pos = start;
	size_t rem = len;
	const struct blob_attr *attr;

	while (blob_walk_next(pos, rem, attr)) {
		// The last byte of the raw length is inside the walked range, so the
		// checks below never look past it.
		int id = static_cast<int>(blob_id(attr));
		if (id >= max)
			continue;
		if (!blob_attr_fits(attr, info ? &info[id] : nullptr))
			continue;
		if (!data[id])
			found++;
		data[id] = const_cast<struct blob_attr *>(attr);
	}
	return found;
}

} // namespace

extern "C" {

int blob_parse(struct blob_attr *attr, struct blob_attr **data, const struct blob_attr_info *info, int max)
{
	memset(data, 0, sizeof(struct blob_attr *) * max);
	if (!attr || blob_raw_len(attr) < sizeof(struct blob_attr))
		return 0;
	return blob_parse_range(static_cast<const char *>(blob_data(attr)), blob_len(attr), data, info, max);
}

int blob_parse_untrusted(struct blob_attr *attr, size_t attr_len, struct blob_attr **data,
                         const struct blob_attr_info *info, int max)
{
	memset(data, 0, sizeof(struct blob_attr *) * max);
	if (!attr || attr_len < sizeof(struct blob_attr))
		return 0;
	size_t raw = blob_raw_len(attr);
	if (raw < sizeof(struct blob_attr) || raw > attr_len)
		return 0;
	return blob_parse_range(static_cast<const char *>(blob_data(attr)), blob_len(attr), data, info, max);
}

struct blob_attr *blob_memdup(const struct blob_attr *attr)
{
	size_t size = blob_pad_len(attr);
	auto *ret = static_cast<struct blob_attr *>(malloc(size));
	if (!ret)
		return nullptr;
	memcpy(ret, attr, size);
	return ret;
}

bool blob_attr_equal(const struct blob_attr *a1, const struct blob_attr *a2)
{
	if (!a1 && !a2)
		return true;
	if (!a1 || !a2)
		return false;
	if (blob_pad_len(a1) != blob_pad_len(a2))
		return false;
	return !memcmp(a1, a2, blob_pad_len(a1));
}

void *__calloc_a(size_t len, ...)
{
	const size_t align = alignof(max_align_t);
	auto pad = [align](size_t n) { return (n + align - 1) & ~(align - 1); };
	va_list ap;

	size_t total = pad(len);
	va_start(ap, len);
	while (va_arg(ap, void **))
		total += pad(va_arg(ap, size_t));
	va_end(ap);

	char *ret = static_cast<char *>(calloc(1, total));
	if (!ret)
		return nullptr;

	char *p = ret + pad(len);
	va_start(ap, len);
	void **slot;
	while ((slot = va_arg(ap, void **))) {
		*slot = p;
		p += pad(va_arg(ap, size_t));
	}
	va_end(ap);
	return ret;
}

} // extern "C"
