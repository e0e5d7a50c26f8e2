#pragma once
// The request bytes the client sends. The body goes out as given, never in
// chunked coding: the APs only take a plain body framed by Content-Length.
#include <cstddef>

#include "achttp.hpp"

namespace achttp {

// A growable byte buffer on malloc (failures are results, never aborts).
struct bytes {
	char *data;
	size_t len;
	size_t cap;
};
bool bytes_append(bytes *b, const void *p, size_t n);
void bytes_free(bytes *b);

bool method_known(const char *method);
// A token, as header names must be.
bool header_name_ok(const char *name);
// No byte that would end the header line early.
bool header_value_ok(const char *value);

// "<method> <location> HTTP/1.1\r\nHost: <host>\r\n", the caller's header lines
// as added, "Content-Length: <n>\r\n" only when there is a body and the caller
// gave no length, the empty line, then the body and a CR LF after it.
bool request_compose(bytes *out, const char *method, const achttp_url *url, const bytes *headers,
		     bool headers_have_length, const bytes *body);

} // namespace achttp
