// The client's pure parts: redirect targets, and the answer parser fed at every
// possible split, which must give the same result as one piece.
#include <gtest/gtest.h>

#include <string>

#include "http_response.hpp"
#include "http_url.hpp"

namespace {

struct resolve_case {
	const char *base;
	const char *location;
	const char *want; // "host|port|location", or nullptr when not followed
};

std::string url_text(const achttp_url *u)
{
	if (!u)
		return "(none)";
	return std::string(u->host) + "|" + (u->port ? u->port : "-") + "|" + u->location;
}

TEST(HttpUrl, RedirectTargets)
{
	const resolve_case cases[] = {
		{"http://10.0.0.5/nox/profile.cgi", "http://10.0.0.6:81/x", "10.0.0.6|81|/x"},
		{"http://10.0.0.5/nox/profile.cgi", "HTTP://h.example/", "h.example|-|/"},
		{"http://10.0.0.5:8080/nox/profile.cgi", "/other?q=1", "10.0.0.5|8080|/other?q=1"},
		{"http://10.0.0.5/nox/profile.cgi", "info.cgi", "10.0.0.5|-|/nox/info.cgi"},
		{"http://10.0.0.5/nox/profile.cgi?a=1", "?b=2", "10.0.0.5|-|/nox/profile.cgi?b=2"},
		{"http://10.0.0.5/a", "//10.0.0.7/b#frag", "10.0.0.7|-|/b"},
		{"http://10.0.0.5/a", "http://[fe80::1]:8/v6", "fe80::1|8|/v6"},
		{"http://10.0.0.5/a", "https://10.0.0.5/a", nullptr},
		{"http://10.0.0.5/a", "ftp://10.0.0.5/a", nullptr},
		{"http://10.0.0.5/a", "/with space", nullptr},
		{"http://10.0.0.5/a", "/tab\there", nullptr},
		{"http://10.0.0.5/a", "http://user:pw@10.0.0.5/", nullptr},
		{"http://10.0.0.5/a", "http://10.0.0.5:0/", nullptr},
		{"http://10.0.0.5/a", "http://10.0.0.5:99999/", nullptr},
		{"http://10.0.0.5/a", "http://bad host/", nullptr},
		{"http://10.0.0.5/a", "", nullptr},
	};
	for (const auto &c : cases) {
		achttp_url *base = achttp::url_parse(c.base);
		ASSERT_NE(base, nullptr) << c.base;
		achttp_url *got = achttp::url_resolve(base, c.location);
		EXPECT_EQ(url_text(got), c.want ? c.want : "(none)") << c.location;
		achttp::url_free(got);
		achttp::url_free(base);
	}
}

struct parse_result {
	achttp::step last = achttp::step::more;
	int status = 0;
	std::string body;
	bool headers = false;
};

// Feeds the bytes in two parts, split at 'at', the way the client keeps unused
// bytes and appends what arrives next.
parse_result parse_split(const std::string &text, size_t at)
{
	parse_result r;
	achttp::response resp;
	achttp::response_init(&resp, false);
	std::string pending;
	for (const std::string &part : {text.substr(0, at), text.substr(at)}) {
		pending += part;
		for (;;) {
			size_t used, blen;
			const char *b;
			achttp::step s = achttp::response_step(&resp, pending.data(), pending.size(), &used, &b, &blen);
			if (s == achttp::step::body)
				r.body.append(b, blen);
			if (s == achttp::step::headers) {
				r.headers = true;
				r.status = resp.status;
			}
			pending.erase(0, used);
			r.last = s;
			if (s == achttp::step::more || s == achttp::step::error || s == achttp::step::end)
				break;
		}
		if (r.last == achttp::step::error || r.last == achttp::step::end)
			break;
	}
	return r;
}

TEST(HttpResponse, EverySplitGivesTheSameAnswer)
{
	const std::string chunked = "\r\nHTTP/1.1 100 Continue\r\nX: y\r\n\r\n"
				    "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\nX-Fold: a\r\n b\r\n\r\n"
				    "a\r\n0123456789\r\n1;name=value\r\n!\r\n0\r\nTrailer: 1\r\n\r\n";
	const std::string length = "HTTP/1.0 203 Whatever\nContent-Length: 5\nContent-Length: 5\n\nhello";
	for (size_t at = 0; at <= chunked.size(); at++) {
		parse_result r = parse_split(chunked, at);
		ASSERT_EQ(r.last, achttp::step::end) << at;
		EXPECT_EQ(r.status, 200);
		EXPECT_EQ(r.body, "0123456789!") << at;
	}
	for (size_t at = 0; at <= length.size(); at++) {
		parse_result r = parse_split(length, at);
		EXPECT_EQ(r.body, "hello") << at;
		EXPECT_EQ(r.status, 203);
	}
}

TEST(HttpResponse, FramingChoice)
{
	struct {
		const char *head;
		bool head_request;
		achttp::body_kind kind;
	} cases[] = {
		{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n", false,
		 achttp::body_kind::chunked},
		{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n\r\n", false, achttp::body_kind::close},
		{"HTTP/1.1 200 OK\r\n\r\n", false, achttp::body_kind::close},
		{"HTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\n", false, achttp::body_kind::none},
		{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", true, achttp::body_kind::none},
		{"HTTP/1.1 200 OK\r\ncontent-length:  7 \r\n\r\n", false, achttp::body_kind::length},
	};
	for (const auto &c : cases) {
		achttp::response resp;
		achttp::response_init(&resp, c.head_request);
		size_t used, blen;
		const char *b;
		EXPECT_EQ(achttp::response_step(&resp, c.head, strlen(c.head), &used, &b, &blen),
			  achttp::step::headers)
			<< c.head;
		EXPECT_EQ(resp.kind, c.kind) << c.head;
	}
}

TEST(HttpResponse, FoldedLineMayNotChangeFraming)
{
	const char *text = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n 6\r\n\r\n";
	achttp::response resp;
	achttp::response_init(&resp, false);
	size_t used, blen;
	const char *b;
	EXPECT_EQ(achttp::response_step(&resp, text, strlen(text), &used, &b, &blen), achttp::step::error);
}

} // namespace
