// JSON text into blobmsg for the cross build, whose target has no json-c: the
// tests that write their documents as JSON read them through this. Same types
// as the host's libblobmsg_json: integers as int32 when they fit, else int64;
// fractions as double; true/false as bool; null as an empty field.
// Formatting to JSON is not part of the cross build: it gives no text.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gw/blob.hpp"

namespace {
struct reader {
	const char *p;

	void blanks()
	{
		while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')
			p++;
	}

	static void utf8(std::string &out, uint32_t c)
	{
		if (c < 0x80) {
			out += char(c);
		} else if (c < 0x800) {
			out += char(0xC0 | c >> 6);
			out += char(0x80 | (c & 0x3F));
		} else if (c < 0x10000) {
			out += char(0xE0 | c >> 12);
			out += char(0x80 | (c >> 6 & 0x3F));
			out += char(0x80 | (c & 0x3F));
		} else {
			out += char(0xF0 | c >> 18);
			out += char(0x80 | (c >> 12 & 0x3F));
			out += char(0x80 | (c >> 6 & 0x3F));
			out += char(0x80 | (c & 0x3F));
		}
	}

	bool hex4(uint32_t *v)
	{
		*v = 0;
		for (int i = 0; i < 4; i++, p++) {
			char c = *p;
			int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
				: c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
			if (d < 0)
				return false;
			*v = *v << 4 | uint32_t(d);
		}
		return true;
	}

	bool string(std::string &out)
	{
		if (*p != '"')
			return false;
		p++;
		while (*p && *p != '"') {
			if (*p != '\\') {
				out += *p++;
				continue;
			}
			p++;
			char e = *p++;
			switch (e) {
			case '"': case '\\': case '/': out += e; break;
			case 'b': out += '\b'; break;
			case 'f': out += '\f'; break;
			case 'n': out += '\n'; break;
			case 'r': out += '\r'; break;
			case 't': out += '\t'; break;
			case 'u': {
				uint32_t c, lo;
				if (!hex4(&c))
					return false;
				if (c >= 0xD800 && c < 0xDC00 && p[0] == '\\' && p[1] == 'u') {
					p += 2;
					if (!hex4(&lo))
						return false;
					c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
				}
				utf8(out, c);
				break;
			}
			default:
				return false;
			}
		}
		if (*p != '"')
			return false;
		p++;
		return true;
	}

	bool value(struct blob_buf *b, const char *name)
	{
		blanks();
		if (*p == '{') {
			void *c = blobmsg_open_table(b, name);
			bool ok = members(b);
			blobmsg_close_table(b, c);
			return ok;
		}
		if (*p == '[') {
			p++;
			void *c = blobmsg_open_array(b, name);
			blanks();
			bool ok = true;
			if (*p == ']')
				p++;
			else
				for (;;) {
					if (!value(b, nullptr)) {
						ok = false;
						break;
					}
					blanks();
					if (*p == ',') {
						p++;
						continue;
					}
					ok = *p++ == ']';
					break;
				}
			blobmsg_close_array(b, c);
			return ok;
		}
		if (*p == '"') {
			std::string s;
			return string(s) && blobmsg_add_string(b, name, s.c_str()) == 0;
		}
		if (!strncmp(p, "true", 4) || !strncmp(p, "false", 5)) {
			bool t = *p == 't';
			p += t ? 4 : 5;
			return blobmsg_add_u8(b, name, t) == 0;
		}
		if (!strncmp(p, "null", 4)) {
			p += 4;
			return blobmsg_add_field(b, BLOBMSG_TYPE_UNSPEC, name, nullptr, 0) == 0;
		}
		const char *start = p;
		if (*p == '-')
			p++;
		bool fraction = false;
		while ((*p >= '0' && *p <= '9') || *p == '.' || *p == 'e' || *p == 'E' || *p == '+' || *p == '-') {
			fraction |= *p == '.' || *p == 'e' || *p == 'E';
			p++;
		}
		if (p == start)
			return false;
		std::string num(start, p);
		if (fraction)
			return blobmsg_add_double(b, name, strtod(num.c_str(), nullptr)) == 0;
		errno = 0;
		long long v = strtoll(num.c_str(), nullptr, 10);
		if (v >= INT32_MIN && v <= INT32_MAX)
			return blobmsg_add_u32(b, name, uint32_t(int32_t(v))) == 0;
		return blobmsg_add_u64(b, name, uint64_t(v)) == 0;
	}

	// '{' members '}' into the open container of b.
	bool members(struct blob_buf *b)
	{
		if (*p != '{')
			return false;
		p++;
		blanks();
		if (*p == '}') {
			p++;
			return true;
		}
		for (;;) {
			blanks();
			std::string name;
			if (!string(name))
				return false;
			blanks();
			if (*p++ != ':')
				return false;
			if (!value(b, name.c_str()))
				return false;
			blanks();
			if (*p == ',') {
				p++;
				continue;
			}
			return *p++ == '}';
		}
	}
};
} // namespace

extern "C" {
bool blobmsg_add_json_from_string(struct blob_buf *b, const char *str)
{
	if (!str)
		return false;
	reader r{str};
	r.blanks();
	if (!r.members(b))
		return false;
	r.blanks();
	return *r.p == 0;
}

char *blobmsg_format_json_with_cb(struct blob_attr *, bool, blobmsg_json_format_t, void *, int)
{
	return nullptr;
}

char *blobmsg_format_json_value_with_cb(struct blob_attr *, blobmsg_json_format_t, void *, int)
{
	return nullptr;
}
}
