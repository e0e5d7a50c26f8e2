#include "http_url.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace achttp {
namespace {

constexpr size_t url_host_max = 255;

bool url_alnum(unsigned char c)
{
	return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool url_host_char(unsigned char c, bool literal6)
{
	if (url_alnum(c) || c == '-' || c == '.' || c == '_')
		return true;
	return literal6 && (c == ':' || c == '%');
}

// Anything visible may stand in a path; blanks and control bytes would break
// the request line.
bool url_path_char(unsigned char c)
{
	return c > 0x20 && c != 0x7f;
}

size_t url_path_len(const char *s)
{
	size_t n = strcspn(s, "#");
	for (size_t i = 0; i < n; i++)
		if (!url_path_char(static_cast<unsigned char>(s[i])))
			return SIZE_MAX;
	return n;
}

// Builds the record with location = loc1 + loc2 ("/" when both are empty, a
// leading "/" when it would start with the query).
achttp_url *url_make(const char *host, size_t hlen, const char *port, size_t plen, const char *loc1,
		     size_t l1len, const char *loc2, size_t l2len)
{
	bool root = l1len + l2len == 0 || (l1len ? loc1[0] : loc2[0]) == '?';
	size_t llen = l1len + l2len + (root ? 1 : 0);
	size_t total = sizeof(achttp_url) + hlen + 1 + (port ? plen + 1 : 0) + llen + 1;
	auto *url = static_cast<achttp_url *>(calloc(1, total));
	if (!url)
		return nullptr;
	char *p = reinterpret_cast<char *>(url + 1);
	url->host = p;
	memcpy(p, host, hlen);
	p += hlen + 1;
	if (port) {
		url->port = p;
		memcpy(p, port, plen);
		p += plen + 1;
	}
	url->location = p;
	if (root)
		*p++ = '/';
	memcpy(p, loc1, l1len);
	memcpy(p + l1len, loc2, l2len);
	return url;
}

bool url_has_scheme(const char *s)
{
	if (!((*s >= 'a' && *s <= 'z') || (*s >= 'A' && *s <= 'Z')))
		return false;
	for (s++; *s; s++) {
		if (*s == ':')
			return true;
		if (!url_alnum(static_cast<unsigned char>(*s)) && *s != '+' && *s != '-' && *s != '.')
			return false;
	}
	return false;
}

} // namespace

achttp_url *url_parse(const char *text)
{
	if (!text || strncasecmp(text, "http://", 7) != 0)
		return nullptr;
	const char *auth = text + 7;
	size_t alen = strcspn(auth, "/?#");
	const char *rest = auth + alen;

	const char *host = auth, *port = nullptr;
	size_t hlen, plen = 0;
	bool literal6 = false;
	if (alen && auth[0] == '[') {
		const char *close = static_cast<const char *>(memchr(auth, ']', alen));
		if (!close)
			return nullptr;
		host = auth + 1;
		hlen = close - host;
		literal6 = true;
		if (close + 1 < rest) {
			if (close[1] != ':')
				return nullptr;
			port = close + 2;
			plen = rest - port;
		}
	} else {
		const char *colon = static_cast<const char *>(memchr(auth, ':', alen));
		hlen = colon ? static_cast<size_t>(colon - auth) : alen;
		if (colon) {
			port = colon + 1;
			plen = rest - port;
		}
	}
	if (hlen == 0 || hlen > url_host_max)
		return nullptr;
	for (size_t i = 0; i < hlen; i++)
		if (!url_host_char(static_cast<unsigned char>(host[i]), literal6))
			return nullptr;
	if (port) {
		if (plen == 0 || plen > 5)
			return nullptr;
		unsigned long value = 0;
		for (size_t i = 0; i < plen; i++) {
			if (port[i] < '0' || port[i] > '9')
				return nullptr;
			value = value * 10 + (port[i] - '0');
		}
		if (value == 0 || value > 65535)
			return nullptr;
	}
	size_t llen = url_path_len(rest);
	if (llen == SIZE_MAX)
		return nullptr;
	return url_make(host, hlen, port, plen, rest, llen, "", 0);
}

achttp_url *url_resolve(const achttp_url *base, const char *location)
{
	if (!base || !location || !location[0] || location[0] == '#')
		return nullptr;
	if (url_has_scheme(location))
		return url_parse(location);
	if (location[0] == '/' && location[1] == '/') {
		size_t n = strlen(location);
		char *text = static_cast<char *>(malloc(n + 6));
		if (!text)
			return nullptr;
		memcpy(text, "http:", 5);
		memcpy(text + 5, location, n + 1);
		achttp_url *url = url_parse(text);
		free(text);
		return url;
	}

	size_t llen = url_path_len(location);
	if (llen == SIZE_MAX)
		return nullptr;
	const char *bpath = base->location;
	size_t keep;
	if (location[0] == '/')
		keep = 0;
	else if (location[0] == '?')
		keep = strcspn(bpath, "?");
	else {
		// relative path: replaces the last segment of the current path
		size_t plen = strcspn(bpath, "?");
		keep = plen;
		while (keep > 0 && bpath[keep - 1] != '/')
			keep--;
	}
	return url_make(base->host, strlen(base->host), base->port, base->port ? strlen(base->port) : 0, bpath,
			keep, location, llen);
}

void url_free(achttp_url *url)
{
	free(url);
}

} // namespace achttp
