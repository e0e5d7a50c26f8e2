#include "http_request.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace achttp {
namespace {

bool request_puts(bytes *out, const char *s)
{
	return bytes_append(out, s, strlen(s));
}

} // namespace

bool bytes_append(bytes *b, const void *p, size_t n)
{
	if (n == 0)
		return true;
	if (n > SIZE_MAX / 2 - b->len)
		return false;
	if (b->len + n > b->cap) {
		size_t cap = b->cap ? b->cap : 64;
		while (cap < b->len + n)
			cap *= 2;
		char *data = static_cast<char *>(realloc(b->data, cap));
		if (!data)
			return false;
		b->data = data;
		b->cap = cap;
	}
	memcpy(b->data + b->len, p, n);
	b->len += n;
	return true;
}

void bytes_free(bytes *b)
{
	free(b->data);
	*b = bytes{};
}

bool method_known(const char *method)
{
	static const char *const known[] = {"GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS"};
	for (const char *m : known)
		if (strcmp(method, m) == 0)
			return true;
	return false;
}

bool header_name_ok(const char *name)
{
	if (!*name)
		return false;
	for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; p++) {
		if (*p <= 0x20 || *p >= 0x7f || strchr("()<>@,;:\\\"/[]?={}", *p))
			return false;
	}
	return true;
}

bool header_value_ok(const char *value)
{
	for (const unsigned char *p = reinterpret_cast<const unsigned char *>(value); *p; p++)
		if ((*p < 0x20 && *p != '\t') || *p == 0x7f)
			return false;
	return true;
}

bool request_compose(bytes *out, const char *method, const achttp_url *url, const bytes *headers,
		     bool headers_have_length, const bytes *body)
{
	bool literal6 = strchr(url->host, ':') != nullptr;
	bool ok = request_puts(out, method) && request_puts(out, " ") && request_puts(out, url->location) &&
		  request_puts(out, " HTTP/1.1\r\nHost: ") && (!literal6 || request_puts(out, "[")) &&
		  request_puts(out, url->host) && (!literal6 || request_puts(out, "]")) &&
		  request_puts(out, "\r\n") && bytes_append(out, headers->data, headers->len);
	if (ok && body->len && !headers_have_length) {
		char line[64];
		snprintf(line, sizeof(line), "Content-Length: %zu\r\n", body->len);
		ok = request_puts(out, line);
	}
	ok = ok && request_puts(out, "\r\n");
	if (ok && body->len)
		ok = bytes_append(out, body->data, body->len) && request_puts(out, "\r\n");
	return ok;
}

} // namespace achttp
