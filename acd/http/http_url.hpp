#pragma once
// URLs of the HTTP client: parsing "http://" URLs and resolving redirect targets.
// Every piece that ends up on the request line or in the Host header is checked
// here, so server text (a Location) cannot split or add request lines.
#include "achttp.hpp"

namespace achttp {

// One allocation; release with url_free. NULL for anything but a well-formed
// "http://host[:port][/path][?query]" (no credentials, no other scheme).
achttp_url *url_parse(const char *text);
// The target of a redirect: an absolute http URL, "//host/...", an absolute path
// or a path relative to base. NULL when it cannot be followed.
achttp_url *url_resolve(const achttp_url *base, const char *location);
void url_free(achttp_url *url);

} // namespace achttp
