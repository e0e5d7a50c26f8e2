#include "http_response.hpp"

#include <cstring>
#include <strings.h>

namespace achttp {
namespace {

enum : uint8_t {
	st_status,
	st_headers,
	st_length,
	st_chunk_size,
	st_chunk_data,
	st_chunk_crlf,
	st_trailer,
	st_close,
	st_end,
	st_error,
};

enum : uint8_t { hdr_other, hdr_length, hdr_te, hdr_location, hdr_none };

enum class line_res : uint8_t { ok, more, too_long };

// A line ends in LF or CR LF; it must fit in limit bytes with its end.
line_res resp_take_line(const char *d, size_t len, size_t limit, size_t *line_len, size_t *total)
{
	if (!len)
		return line_res::more;
	size_t n = len < limit ? len : limit;
	const char *nl = static_cast<const char *>(memchr(d, '\n', n));
	if (!nl)
		return len >= limit ? line_res::too_long : line_res::more;
	*total = nl - d + 1;
	*line_len = nl - d;
	if (*line_len && d[*line_len - 1] == '\r')
		(*line_len)--;
	return line_res::ok;
}

bool resp_digit(char c)
{
	return c >= '0' && c <= '9';
}

bool resp_blank(char c)
{
	return c == ' ' || c == '\t';
}

// Visible text, blanks and bytes above ASCII; no control bytes (a bare CR included).
bool resp_text_ok(const char *s, size_t n)
{
	for (size_t i = 0; i < n; i++) {
		unsigned char c = s[i];
		if ((c < 0x20 && c != '\t') || c == 0x7f)
			return false;
	}
	return true;
}

bool resp_token_char(unsigned char c)
{
	return c > 0x20 && c < 0x7f && !strchr("()<>@,;:\\\"/[]?={}", c);
}

// "HTTP/d.d ddd" followed by the end or a blank and a reason text.
bool resp_parse_status(const char *l, size_t n, int *status)
{
	if (n < 12 || memcmp(l, "HTTP/", 5) != 0 || !resp_digit(l[5]) || l[6] != '.' || !resp_digit(l[7]) ||
	    l[8] != ' ' || l[9] < '1' || l[9] > '5' || !resp_digit(l[10]) || !resp_digit(l[11]))
		return false;
	if (n > 12 && l[12] != ' ')
		return false;
	if (!resp_text_ok(l + 12, n - 12))
		return false;
	*status = (l[9] - '0') * 100 + (l[10] - '0') * 10 + (l[11] - '0');
	return true;
}

bool resp_name_is(const char *name, size_t n, const char *want)
{
	return strlen(want) == n && strncasecmp(name, want, n) == 0;
}

// Splits "name: value" (value without surrounding blanks); false when malformed.
bool resp_split_header(const char *l, size_t n, const char **name, size_t *nlen, const char **value,
		       size_t *vlen)
{
	const char *colon = static_cast<const char *>(memchr(l, ':', n));
	if (!colon || colon == l)
		return false;
	for (const char *p = l; p < colon; p++)
		if (!resp_token_char(static_cast<unsigned char>(*p)))
			return false;
	const char *v = colon + 1, *e = l + n;
	while (v < e && resp_blank(*v))
		v++;
	while (e > v && resp_blank(e[-1]))
		e--;
	if (!resp_text_ok(v, e - v))
		return false;
	*name = l;
	*nlen = colon - l;
	*value = v;
	*vlen = e - v;
	return true;
}

bool resp_header(response *r, const char *l, size_t n)
{
	if (resp_blank(l[0])) {
		// a folded line continues the previous header: harmless unless it
		// would change one that frames the body or names a redirect
		if (r->last_header != hdr_other)
			return false;
		return resp_text_ok(l, n);
	}
	const char *name, *value;
	size_t nlen, vlen;
	if (!resp_split_header(l, n, &name, &nlen, &value, &vlen))
		return false;
	r->last_header = hdr_other;
	if (resp_name_is(name, nlen, "Content-Length")) {
		r->last_header = hdr_length;
		if (vlen == 0 || vlen > 18)
			return false;
		uint64_t v = 0;
		for (size_t i = 0; i < vlen; i++) {
			if (!resp_digit(value[i]))
				return false;
			v = v * 10 + (value[i] - '0');
		}
		if (r->have_length && r->length != v)
			return false;
		r->have_length = true;
		r->length = v;
	} else if (resp_name_is(name, nlen, "Transfer-Encoding")) {
		r->last_header = hdr_te;
		// only the last coding decides whether the body is chunked
		const char *last = value;
		size_t llen = vlen;
		const char *comma;
		while ((comma = static_cast<const char *>(memchr(last, ',', llen)))) {
			llen -= comma + 1 - last;
			last = comma + 1;
		}
		while (llen && resp_blank(*last)) {
			last++;
			llen--;
		}
		r->te_present = true;
		r->te_chunked = resp_name_is(last, llen, "chunked");
	} else if (resp_name_is(name, nlen, "Location")) {
		r->last_header = hdr_location;
		if (!r->has_location && vlen <= response_location_max) {
			memcpy(r->location, value, vlen);
			r->location[vlen] = 0;
			r->has_location = true;
		}
	}
	return true;
}

void resp_next_answer(response *r)
{
	r->status = 0;
	r->have_length = false;
	r->te_present = false;
	r->te_chunked = false;
	r->has_location = false;
	r->location[0] = 0;
	r->last_header = hdr_none;
	r->state = st_status;
}

void resp_choose_body(response *r)
{
	if (r->head_request || r->status == 204 || r->status == 304)
		r->kind = body_kind::none;
	else if (r->te_present)
		r->kind = r->te_chunked ? body_kind::chunked : body_kind::close;
	else if (r->have_length)
		r->kind = r->length ? body_kind::length : body_kind::none;
	else
		r->kind = body_kind::close;

	switch (r->kind) {
	case body_kind::none:
		r->state = st_end;
		break;
	case body_kind::length:
		r->remaining = r->length;
		r->state = st_length;
		break;
	case body_kind::chunked:
		r->state = st_chunk_size;
		break;
	case body_kind::close:
		r->state = st_close;
		break;
	}
}

// "<hex>[ext]": at least one digit, at most 15 significant ones.
bool resp_parse_chunk_size(const char *l, size_t n, uint64_t *size)
{
	size_t i = 0, digits = 0;
	uint64_t v = 0;
	for (; i < n; i++) {
		char c = l[i];
		int d;
		if (resp_digit(c))
			d = c - '0';
		else if (c >= 'a' && c <= 'f')
			d = c - 'a' + 10;
		else if (c >= 'A' && c <= 'F')
			d = c - 'A' + 10;
		else
			break;
		if (v || d)
			digits++;
		if (digits > 15)
			return false;
		v = v * 16 + d;
	}
	if (i == 0)
		return false;
	while (i < n && resp_blank(l[i]))
		i++;
	if (i < n && l[i] != ';')
		return false;
	if (!resp_text_ok(l + i, n - i))
		return false;
	*size = v;
	return true;
}

} // namespace

void response_init(response *r, bool head_request)
{
	*r = response{};
	r->head_request = head_request;
	resp_next_answer(r);
}

bool response_headers_done(const response *r)
{
	return r->state != st_status && r->state != st_headers && r->state != st_error;
}

bool response_body_done(const response *r)
{
	return r->state == st_trailer || r->state == st_end;
}

step response_step(response *r, const char *data, size_t len, size_t *used, const char **body,
		   size_t *body_len)
{
	size_t pos = 0;
	*body = nullptr;
	*body_len = 0;
	for (;;) {
		const char *d = data + pos;
		size_t avail = len - pos;
		size_t line, total;
		*used = pos;
		switch (r->state) {
		case st_status:
		case st_headers: {
			if (avail)
				r->started = true;
			line_res lr = resp_take_line(d, avail, response_header_max - r->section_bytes, &line, &total);
			if (lr == line_res::more)
				return step::more;
			if (lr == line_res::too_long)
				break;
			r->section_bytes += total;
			pos += total;
			if (r->state == st_status) {
				if (line == 0)
					continue; // blank lines before the status line
				if (!resp_parse_status(d, line, &r->status))
					break;
				r->state = st_headers;
				continue;
			}
			if (line) {
				if (!resp_header(r, d, line))
					break;
				continue;
			}
			if (r->status < 200) {
				resp_next_answer(r); // an interim answer: the real one follows
				continue;
			}
			resp_choose_body(r);
			*used = pos;
			return step::headers;
		}
		case st_length:
		case st_chunk_data: {
			if (!avail)
				return step::more;
			size_t n = avail < r->remaining ? avail : static_cast<size_t>(r->remaining);
			r->remaining -= n;
			if (!r->remaining)
				r->state = r->state == st_length ? st_end : st_chunk_crlf;
			*body = d;
			*body_len = n;
			*used = pos + n;
			return step::body;
		}
		case st_close:
			if (!avail)
				return step::more;
			*body = d;
			*body_len = avail;
			*used = len;
			return step::body;
		case st_chunk_crlf:
			if (!avail)
				return step::more;
			if (d[0] == '\n') {
				pos += 1;
			} else if (d[0] == '\r') {
				if (avail < 2)
					return step::more;
				if (d[1] != '\n')
					break;
				pos += 2;
			} else {
				break;
			}
			r->state = st_chunk_size;
			continue;
		case st_chunk_size: {
			line_res lr = resp_take_line(d, avail, response_chunk_line_max, &line, &total);
			if (lr == line_res::more)
				return step::more;
			uint64_t size;
			if (lr == line_res::too_long || !resp_parse_chunk_size(d, line, &size))
				break;
			pos += total;
			if (size) {
				r->remaining = size;
				r->state = st_chunk_data;
			} else {
				r->section_bytes = 0;
				r->state = st_trailer;
			}
			continue;
		}
		case st_trailer: {
			line_res lr =
				resp_take_line(d, avail, response_trailer_max - r->section_bytes, &line, &total);
			if (lr == line_res::more)
				return step::more;
			if (lr == line_res::too_long)
				break;
			const char *name, *value;
			size_t nlen, vlen;
			if (line && !resp_split_header(d, line, &name, &nlen, &value, &vlen))
				break;
			r->section_bytes += total;
			pos += total;
			if (line)
				continue;
			r->state = st_end;
			*used = pos;
			return step::end;
		}
		case st_end:
			*used = pos;
			return step::end;
		default:
			break;
		}
		// every malformed case lands here
		r->state = st_error;
		*used = pos;
		return step::error;
	}
}

} // namespace achttp
