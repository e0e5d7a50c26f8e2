// blobmsg <-> JSON text: formatting and loading through json-c.
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <json-c/json.h>

extern "C" {
#include <libubox/blobmsg_json.h>
}

namespace
{

// Both walks recurse once per level. The real library sets no bound and a deep
// enough document overflows the caller's stack; this one gives up past
// json_depth_max levels (the formatter returns NULL, the loader false), so a
// test can never crash inside it. Callers taking outside input check the depth
// before they call, as they must with the real library.
constexpr int json_depth_max = 64;

// ---- JSON into blobmsg ----

bool json_add_element(struct blob_buf *b, const char *name, struct json_object *obj, int depth);

bool json_add_members(struct blob_buf *b, struct json_object *obj, int depth)
{
	if (!obj || !json_object_is_type(obj, json_type_object))
		return false;

	struct json_object_iterator it = json_object_iter_begin(obj);
	struct json_object_iterator end = json_object_iter_end(obj);
	for (; !json_object_iter_equal(&it, &end); json_object_iter_next(&it)) {
		if (!json_add_element(b, json_object_iter_peek_name(&it), json_object_iter_peek_value(&it),
		                      depth))
			return false;
	}
	return true;
}

bool blobmsg_add_json_array(struct blob_buf *b, struct json_object *arr, int depth)
{
	size_t n = json_object_array_length(arr);
	for (size_t i = 0; i < n; i++) {
		if (!json_add_element(b, nullptr, json_object_array_get_idx(arr, i), depth))
			return false;
	}
	return true;
}

// depth: containers around obj.
bool json_add_element(struct blob_buf *b, const char *name, struct json_object *obj, int depth)
{
	void *c;
	bool ret;

	// json-c represents a JSON null as a NULL object.
	switch (json_object_get_type(obj)) {
	case json_type_object:
		if (depth >= json_depth_max)
			return false;
		c = blobmsg_open_table(b, name);
		if (!c)
			return false;
		ret = json_add_members(b, obj, depth + 1);
		blobmsg_close_table(b, c);
		return ret;
	case json_type_array:
		if (depth >= json_depth_max)
			return false;
		c = blobmsg_open_array(b, name);
		if (!c)
			return false;
		ret = blobmsg_add_json_array(b, obj, depth + 1);
		blobmsg_close_array(b, c);
		return ret;
	case json_type_string:
		return blobmsg_add_string(b, name, json_object_get_string(obj)) == 0;
	case json_type_boolean:
		return blobmsg_add_u8(b, name, json_object_get_boolean(obj) ? 1 : 0) == 0;
	case json_type_int: {
		int64_t v = json_object_get_int64(obj);
		if (v >= INT32_MIN && v <= INT32_MAX)
			return blobmsg_add_u32(b, name, static_cast<uint32_t>(static_cast<int32_t>(v))) == 0;
		return blobmsg_add_u64(b, name, static_cast<uint64_t>(v)) == 0;
	}
	case json_type_double:
		return blobmsg_add_double(b, name, json_object_get_double(obj)) == 0;
	case json_type_null:
		return blobmsg_add_field(b, BLOBMSG_TYPE_UNSPEC, name, nullptr, 0) == 0;
	default:
		return false;
	}
}

bool blobmsg_add_json_top(struct blob_buf *b, struct json_object *obj)
{
	if (!obj)
		return false;
	bool ret = json_object_is_type(obj, json_type_object) && blobmsg_add_object(b, obj);
	json_object_put(obj);
	return ret;
}

// ---- blobmsg to JSON text ----

struct json_strbuf {
	char *buf;
	size_t len;
	size_t size;
	bool failed;
	bool indent;
	int level;
	int depth; // containers open
	blobmsg_json_format_t cb;
	void *priv;
};

void json_puts(json_strbuf *s, const char *str, size_t len)
{
	if (s->failed)
		return;
	if (s->len + len + 1 > s->size) {
		size_t size = s->size ? s->size : 256;
		while (s->len + len + 1 > size)
			size *= 2;
		char *n = static_cast<char *>(realloc(s->buf, size));
		if (!n) {
			s->failed = true;
			return;
		}
		s->buf = n;
		s->size = size;
	}
	memcpy(s->buf + s->len, str, len);
	s->len += len;
	s->buf[s->len] = 0;
}

void json_puts(json_strbuf *s, const char *str)
{
	json_puts(s, str, strlen(str));
}

// Newline and one tab per level (at most 16), only when indenting.
void json_separator(json_strbuf *s)
{
	static const char chars[] = "\n\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t";
	if (!s->indent)
		return;
	size_t tabs = s->level < 0 ? 0 : static_cast<size_t>(s->level);
	if (tabs > sizeof(chars) - 2)
		tabs = sizeof(chars) - 2;
	json_puts(s, chars, tabs + 1);
}

void json_format_string(json_strbuf *s, const char *str)
{
	json_puts(s, "\"", 1);
	const char *run = str;
	for (const char *p = str; *p; p++) {
		unsigned char c = static_cast<unsigned char>(*p);
		const char *esc = nullptr;
		char hex[8];
		switch (c) {
		case '"':
			esc = "\\\"";
			break;
		case '\\':
			esc = "\\\\";
			break;
		case '\b':
			esc = "\\b";
			break;
		case '\n':
			esc = "\\n";
			break;
		case '\t':
			esc = "\\t";
			break;
		case '\r':
			esc = "\\r";
			break;
		default:
			if (c < 0x20) {
				snprintf(hex, sizeof(hex), "\\u%04x", c);
				esc = hex;
			}
			break;
		}
		if (!esc)
			continue;
		json_puts(s, run, static_cast<size_t>(p - run));
		json_puts(s, esc);
		run = p + 1;
	}
	json_puts(s, run);
	json_puts(s, "\"", 1);
}

void json_format_list(json_strbuf *s, const void *data, size_t len, bool array);

// A raw (not extended) element passes the attribute check whatever its value;
// it is printed by its id, so that value must have the type's size.
bool json_raw_value_fits(const struct blob_attr *attr)
{
	if (blob_is_extended(attr))
		return true;
	int type;
	switch (blob_id(attr)) {
	case BLOBMSG_TYPE_STRING:
		type = BLOB_ATTR_STRING;
		break;
	case BLOBMSG_TYPE_INT8:
		type = BLOB_ATTR_INT8;
		break;
	case BLOBMSG_TYPE_INT16:
		type = BLOB_ATTR_INT16;
		break;
	case BLOBMSG_TYPE_INT32:
		type = BLOB_ATTR_INT32;
		break;
	case BLOBMSG_TYPE_INT64:
		type = BLOB_ATTR_INT64;
		break;
	case BLOBMSG_TYPE_DOUBLE:
		type = BLOB_ATTR_DOUBLE;
		break;
	default:
		return true;
	}
	return blob_check_type(blob_data(attr), static_cast<unsigned int>(blob_len(attr)), type);
}

void json_format_element(json_strbuf *s, const struct blob_attr *attr, size_t avail, bool without_name)
{
	// Invalid elements are skipped; the comma before them stays.
	if (!blobmsg_check_attr_len(attr, false, avail) || !json_raw_value_fits(attr))
		return;

	if (!without_name && blob_is_extended(attr) && blobmsg_name(attr)[0]) {
		json_format_string(s, blobmsg_name(attr));
		json_puts(s, s->indent ? ": " : ":");
	}

	auto *a = const_cast<struct blob_attr *>(attr);
	if (s->cb) {
		const char *str = s->cb(s->priv, a);
		if (str) {
			json_puts(s, str);
			return;
		}
	}

	char num[512];
	const char *out = num;
	switch (blobmsg_type(attr)) {
	case BLOBMSG_TYPE_UNSPEC:
		out = "null";
		break;
	case BLOBMSG_TYPE_INT8:
		out = blobmsg_get_u8(a) ? "true" : "false";
		break;
	case BLOBMSG_TYPE_INT16:
		snprintf(num, sizeof(num), "%d", static_cast<int16_t>(blobmsg_get_u16(a)));
		break;
	case BLOBMSG_TYPE_INT32:
		snprintf(num, sizeof(num), "%d", static_cast<int32_t>(blobmsg_get_u32(a)));
		break;
	case BLOBMSG_TYPE_INT64:
		snprintf(num, sizeof(num), "%" PRId64, static_cast<int64_t>(blobmsg_get_u64(a)));
		break;
	case BLOBMSG_TYPE_DOUBLE:
		snprintf(num, sizeof(num), "%lf", blobmsg_get_double(a));
		break;
	case BLOBMSG_TYPE_STRING:
		json_format_string(s, blobmsg_get_string(a));
		return;
	case BLOBMSG_TYPE_ARRAY:
	case BLOBMSG_TYPE_TABLE:
		json_format_list(s, blobmsg_data(attr), blobmsg_data_len(attr),
		                 blobmsg_type(attr) == BLOBMSG_TYPE_ARRAY);
		return;
	default:
		return;
	}
	json_puts(s, out);
}

void json_format_list(json_strbuf *s, const void *data, size_t len, bool array)
{
	if (s->depth >= json_depth_max) {
		s->failed = true;
		return;
	}
	s->depth++;
	json_puts(s, array ? "[" : "{", 1);
	s->level++;
	json_separator(s);

	const struct blob_attr *pos;
	size_t rem = len;
	bool first = true;
	__blob_for_each_attr(pos, data, rem)
	{
		if (!first) {
			json_puts(s, ",", 1);
			json_separator(s);
		}
		json_format_element(s, pos, rem, array);
		first = false;
	}

	s->level--;
	json_separator(s);
	json_puts(s, array ? "]" : "}", 1);
	s->depth--;
}

json_strbuf json_strbuf_new(blobmsg_json_format_t cb, void *priv, int indent)
{
	json_strbuf s{};
	s.indent = indent >= 0;
	s.level = indent >= 0 ? indent : 0;
	s.cb = cb;
	s.priv = priv;
	json_puts(&s, "", 0);
	return s;
}

char *json_strbuf_finish(json_strbuf *s)
{
	if (s->failed) {
		free(s->buf);
		return nullptr;
	}
	return s->buf;
}

} // namespace

extern "C" {

bool blobmsg_add_json_element(struct blob_buf *b, const char *name, struct json_object *obj)
{
	return json_add_element(b, name, obj, 0);
}

// The object's members go into b directly: the object itself is the first level.
bool blobmsg_add_object(struct blob_buf *b, struct json_object *obj)
{
	return json_add_members(b, obj, 1);
}

bool blobmsg_add_json_from_string(struct blob_buf *b, const char *str)
{
	if (!str)
		return false;
	return blobmsg_add_json_top(b, json_tokener_parse(str));
}

bool blobmsg_add_json_from_file(struct blob_buf *b, const char *file)
{
	if (!file)
		return false;
	return blobmsg_add_json_top(b, json_object_from_file(file));
}

char *blobmsg_format_json_with_cb(struct blob_attr *attr, bool list, blobmsg_json_format_t cb, void *priv,
                                  int indent)
{
	json_strbuf s = json_strbuf_new(cb, priv, indent);

	if (list) {
		// The buffer root (not extended) always prints as an object.
		bool ok = attr && blobmsg_check_attr(attr, false);
		bool array = ok && blob_is_extended(attr) && blobmsg_type(attr) == BLOBMSG_TYPE_ARRAY;
		json_format_list(&s, ok ? blobmsg_data(attr) : nullptr, ok ? blobmsg_data_len(attr) : 0,
		                 array);
	} else if (attr) {
		json_format_element(&s, attr, blob_raw_len(attr), false);
	} else {
		json_puts(&s, "null");
	}

	return json_strbuf_finish(&s);
}

char *blobmsg_format_json_value_with_cb(struct blob_attr *attr, blobmsg_json_format_t cb, void *priv,
                                        int indent)
{
	json_strbuf s = json_strbuf_new(cb, priv, indent);

	if (attr)
		json_format_element(&s, attr, blob_raw_len(attr), true);
	else
		json_puts(&s, "null");

	return json_strbuf_finish(&s);
}

} // extern "C"
