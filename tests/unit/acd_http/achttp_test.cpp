// The HTTP client against a scripted server on 127.0.0.1 in a private network
// namespace, on the real uloop: wire bytes of the request, framing of answers
// arriving in small pieces, redirects, failures. Every exchange must end in
// exactly one data_eof or error callback, which frees the client the way acd
// does; the memcheck run of this program catches a second callback or a leak.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "achttp.hpp"
#include "gw/loop.hpp"
#include "http_server.hpp"

using namespace test_http;

namespace {

bool g_netns;

class netns_env : public ::testing::Environment {
public:
	void SetUp() override { g_netns = private_network(); }
};
const auto *g_env = ::testing::AddGlobalTestEnvironment(new netns_env);

#define NEED_NETNS()                                                                                   \
	do {                                                                                           \
		if (!g_netns)                                                                          \
			GTEST_SKIP() << "needs a private network namespace (run as root)";             \
	} while (0)

struct options {
	std::string url;
	const char *method = "GET";
	std::vector<std::pair<std::string, std::string>> headers;
	std::string body;
	int read_size = 8192;
	int timeout_ms = 0;
	int max_redirects = 0;
	bool free_in_header_done = false;
	int guard_ms = 4000; // the test's own limit on the loop
};

struct outcome {
	int header_done = 0;
	int data_read = 0;
	int eofs = 0;
	int errors = 0;
	int error_code = -1;
	bool data_eof = false; // at the end callback
	bool data_eof_seen_in_read = false;
	int status = 0;
	std::vector<int> statuses;
	std::string body;
	std::vector<std::string> redirects; // "host location" after each followed one
	int refused_names = 0;              // redirects to a host name (never looked up)
	std::string local, remote;
	int remote_port = 0;
	bool fd_open_in_read = false;
	bool guard_fired = false;
};

struct run_ctx {
	const options *o;
	outcome *r;
	achttp_client *cl;
	uloop_timeout settle;
	uloop_timeout guard;
};

run_ctx *ctx_of(achttp_client *cl)
{
	return static_cast<run_ctx *>(cl->priv);
}

void end_exchange(run_ctx *x)
{
	x->r->data_eof = x->cl->data_eof;
	achttp_disconnect(x->cl);
	achttp_free(x->cl);
	x->cl = nullptr;
	// a little longer in the loop: a second end callback would touch freed memory
	uloop_timeout_set(&x->settle, 30);
}

void on_read(achttp_client *cl)
{
	run_ctx *x = ctx_of(cl);
	x->r->data_read++;
	x->r->fd_open_in_read = achttp_fd(cl) >= 0;
	std::vector<char> buf(x->o->read_size);
	int n;
	while ((n = achttp_read(cl, buf.data(), buf.size())) > 0)
		x->r->body.append(buf.data(), n);
	if (cl->data_eof)
		x->r->data_eof_seen_in_read = true;
}

void on_eof(achttp_client *cl)
{
	run_ctx *x = ctx_of(cl);
	x->r->eofs++;
	end_exchange(x);
}

void on_header(achttp_client *cl)
{
	run_ctx *x = ctx_of(cl);
	x->r->header_done++;
	x->r->statuses.push_back(cl->status_code);
	x->r->status = cl->status_code;
	int followed = static_cast<int>(x->r->redirects.size()) < x->o->max_redirects ? achttp_redirect(cl) : 0;
	if (followed > 0) {
		x->r->redirects.push_back(std::string(cl->url->host) + " " + cl->url->location);
		return;
	}
	if (followed < 0)
		x->r->refused_names++;
	char text[INET6_ADDRSTRLEN];
	x->r->local = achttp_get_addr(text, nullptr, &cl->local_addr);
	x->r->remote = achttp_get_addr(text, &x->r->remote_port, &cl->remote_addr);
	if (x->o->free_in_header_done) {
		achttp_disconnect(cl);
		achttp_free(cl);
		x->cl = nullptr;
		uloop_timeout_set(&x->settle, 30);
	}
}

void on_error(achttp_client *cl, int code)
{
	run_ctx *x = ctx_of(cl);
	x->r->errors++;
	x->r->error_code = code;
	end_exchange(x);
}

const achttp_cb test_cb = {on_read, nullptr, on_eof, on_header, on_error};

outcome run_exchange(const options &o)
{
	outcome r;
	run_ctx x = {};
	x.o = &o;
	x.r = &r;
	x.settle.cb = [](uloop_timeout *) { uloop_end(); };
	x.guard.cb = [](uloop_timeout *t) {
		container_of(t, run_ctx, guard)->r->guard_fired = true;
		uloop_end();
	};
	uloop_init();
	x.cl = achttp_new(o.url.c_str(), &test_cb);
	EXPECT_NE(x.cl, nullptr) << o.url;
	if (!x.cl)
		return r;
	x.cl->priv = &x;
	if (o.timeout_ms)
		achttp_set_timeout(x.cl, o.timeout_ms);
	EXPECT_EQ(achttp_connect(x.cl), 0);
	EXPECT_EQ(achttp_set_request_type(x.cl, o.method), 0);
	for (const auto &h : o.headers) {
		EXPECT_EQ(achttp_set_header(x.cl, h.first.c_str(), h.second.c_str()), 0);
	}
	if (!o.body.empty()) {
		EXPECT_EQ(achttp_write(x.cl, o.body.data(), o.body.size()), static_cast<int>(o.body.size()));
	}
	EXPECT_EQ(achttp_request(x.cl), 0);
	uloop_timeout_set(&x.guard, o.guard_ms);
	uloop_run();
	uloop_timeout_cancel(&x.guard);
	uloop_timeout_cancel(&x.settle);
	if (x.cl) {
		achttp_disconnect(x.cl);
		achttp_free(x.cl);
	}
	uloop_done();
	return r;
}

std::string url_at(int port, const char *path)
{
	return "http://127.0.0.1:" + std::to_string(port) + path;
}

const char k_json[] = "{\"jsonrpc\":\"2.0\",\"id\":108,\"method\":\"wlan_statistic\",\"params\":"
		      "[\"00000000000000000000000000000000\"]}";

} // namespace

// The request exactly as the APs must see it: no chunking, the caller's
// headers in order, the body as given and a CR LF after it. The answer comes
// in 3-byte pieces and is read 5 bytes at a time.
TEST(AchttpExchange, PostGoesOutPlainAndLengthFramedAnswerCompletes)
{
	NEED_NETNS();
	std::string answer = "{\"jsonrpc\":\"2.0\",\"id\":108,\"result\":[0,{}]}";
	script s;
	append_pieces(s, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
				 std::to_string(answer.size()) + "\r\n\r\n" + answer,
		      3);
	server srv({s});
	options o;
	o.url = url_at(srv.port(), "/nox/nox_info.cgi");
	o.method = "POST";
	o.body = k_json;
	o.headers = {{"Content-Type", "application/json"}, {"Content-Length", std::to_string(o.body.size())}};
	o.read_size = 5;
	outcome r = run_exchange(o);
	auto reqs = srv.finish();

	ASSERT_EQ(reqs.size(), 1u);
	EXPECT_EQ(reqs[0], "POST /nox/nox_info.cgi HTTP/1.1\r\n"
			   "Host: 127.0.0.1\r\n"
			   "Content-Type: application/json\r\n"
			   "Content-Length: 98\r\n"
			   "\r\n" +
				   std::string(k_json) + "\r\n");
	EXPECT_EQ(r.header_done, 1);
	EXPECT_EQ(r.status, 200);
	EXPECT_EQ(r.body, answer);
	EXPECT_GT(r.data_read, 1);
	EXPECT_EQ(r.eofs, 1);
	EXPECT_EQ(r.errors, 0);
	EXPECT_TRUE(r.data_eof);
	EXPECT_TRUE(r.data_eof_seen_in_read);
	EXPECT_TRUE(r.fd_open_in_read); // the peer address can still be asked for
	EXPECT_EQ(r.remote, "127.0.0.1");
	EXPECT_EQ(r.remote_port, srv.port());
	EXPECT_EQ(r.local, "127.0.0.1");
}

// A body without a length header of the caller's still goes out plain.
TEST(AchttpExchange, BodyWithoutCallersLengthGetsOne)
{
	NEED_NETNS();
	server srv({{send_bytes("HTTP/1.1 204 No Content\r\n\r\n")}});
	options o;
	o.url = url_at(srv.port(), "");
	o.method = "PUT";
	o.body = "abc";
	outcome r = run_exchange(o);
	auto reqs = srv.finish();
	ASSERT_EQ(reqs.size(), 1u);
	EXPECT_EQ(reqs[0], "PUT / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n\r\nabc\r\n");
	EXPECT_EQ(r.eofs, 1);
}

struct framing_case {
	const char *name;
	std::vector<std::string> pieces; // sent with short pauses, then the server closes
	size_t split;                    // pieces go out in sends of this size (0: whole)
	const char *method;
	int status;        // 0: no header_done expected
	const char *body;  // what the reader gets
	bool complete;     // data_eof at the end
	int error;         // -1: ends with data_eof callback
};

static void PrintTo(const framing_case &c, std::ostream *os)
{
	*os << c.name;
}

class AchttpFraming : public ::testing::TestWithParam<framing_case> {};

TEST_P(AchttpFraming, EndsOnceAsExpected)
{
	NEED_NETNS();
	const framing_case &c = GetParam();
	script s;
	for (const auto &p : c.pieces) {
		if (!s.empty())
			s.push_back(pause_ms(5));
		if (c.split)
			append_pieces(s, p, c.split);
		else
			s.push_back(send_bytes(p));
	}
	server srv({s});
	options o;
	o.url = url_at(srv.port(), "/x");
	o.method = c.method;
	o.read_size = 4;
	outcome r = run_exchange(o);
	srv.finish();

	EXPECT_FALSE(r.guard_fired);
	EXPECT_EQ(r.eofs + r.errors, 1);
	if (c.error < 0) {
		EXPECT_EQ(r.eofs, 1);
		EXPECT_EQ(r.data_eof, c.complete);
	} else {
		EXPECT_EQ(r.errors, 1);
		EXPECT_EQ(r.error_code, c.error);
	}
	if (c.status) {
		EXPECT_EQ(r.header_done, 1);
		EXPECT_EQ(r.status, c.status);
	} else {
		EXPECT_EQ(r.header_done, 0);
	}
	EXPECT_EQ(r.body, c.body);
}

const std::string k_big(20000, 'z');

INSTANTIATE_TEST_SUITE_P(
	Answers, AchttpFraming,
	::testing::Values(
		framing_case{"chunked",
			     {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
			      "5\r\nhello\r\n", "6;ext=1\r\n world\r\n0\r\nX-Trailer: 1\r\n\r\n"}, 7,
			     "GET", 200, "hello world", true, -1},
		framing_case{"chunked, last chunk alone and late",
			     {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n", "0\r\n\r\n"}, 7,
			     "GET", 200, "abc", true, -1},
		framing_case{"chunked, empty",
			     {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"}, 0,
			     "GET", 200, "", true, -1},
		framing_case{"length, larger than the receive buffer",
			     {"HTTP/1.1 200 OK\r\nContent-Length: 20000\r\n\r\n" + k_big}, 0,
			     "GET", 200, k_big.c_str(), true, -1},
		framing_case{"close-delimited is never complete",
			     {"HTTP/1.0 200 OK\r\n\r\n", "all of it"}, 7, "GET", 200, "all of it", false, -1},
		framing_case{"204 has no body", {"HTTP/1.1 204 No Content\r\n\r\n"}, 0, "GET", 204, "", true, -1},
		framing_case{"Content-Length 0", {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}, 0, "GET", 200,
			     "", true, -1},
		framing_case{"HEAD answer announces a length but has no body",
			     {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n"}, 0, "HEAD", 200, "", true, -1},
		framing_case{"interim 100 answer is skipped",
			     {"HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}, 7,
			     "GET", 200, "ok", true, -1},
		framing_case{"404 body is read like any other",
			     {"HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nnope"}, 0, "GET", 404, "nope", true,
			     -1},
		framing_case{"LF-only lines", {"HTTP/1.1 200 OK\nContent-Length: 2\n\nok"}, 0, "GET", 200, "ok",
			     true, -1},
		framing_case{"closed mid-body", {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n", "0123456789"}, 7,
			     "GET", 200, "0123456789", false, -1},
		framing_case{"chunked, closed after a whole chunk",
			     {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n"}, 0, "GET", 200,
			     "abcd", false, -1},
		framing_case{"chunked, closed inside a chunk",
			     {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n8\r\nabcd"}, 0, "GET", 200, "abcd",
			     false, -1},
		framing_case{"closed before a word", {}, 0, "GET", 0, "", false, ACHTTP_ERROR_CONNECT},
		framing_case{"closed inside the headers", {"HTTP/1.1 200 OK\r\nContent-"}, 0, "GET", 0, "", false,
			     ACHTTP_ERROR_BAD_RESPONSE},
		framing_case{"malformed status line", {"HTTP/1.1 2OO OK\r\n\r\n"}, 0, "GET", 0, "", false,
			     ACHTTP_ERROR_BAD_RESPONSE},
		framing_case{"not HTTP at all", {"SSH-2.0-x\r\n\r\n"}, 0, "GET", 0, "", false,
			     ACHTTP_ERROR_BAD_RESPONSE},
		framing_case{"header line without a colon", {"HTTP/1.1 200 OK\r\nBroken header\r\n\r\n"}, 0, "GET",
			     0, "", false, ACHTTP_ERROR_BAD_RESPONSE},
		framing_case{"bad Content-Length", {"HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\n"}, 0, "GET", 0,
			     "", false, ACHTTP_ERROR_BAD_RESPONSE},
		framing_case{"conflicting Content-Length",
			     {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc"}, 0, "GET", 0, "",
			     false, ACHTTP_ERROR_BAD_RESPONSE},
		framing_case{"headers over the cap",
			     {"HTTP/1.1 200 OK\r\nX-Big: " + std::string(5000, 'a') + "\r\n\r\n"}, 0, "GET", 0, "",
			     false, ACHTTP_ERROR_BAD_RESPONSE},
		// Bytes past the announced end do not cost the answer, whether they come
		// with it or later.
		framing_case{"body longer than announced", {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcdef"}, 0,
			     "GET", 200, "abc", true, -1},
		framing_case{"line break after the body, in its own send",
			     {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc", "\r\n"}, 0, "GET", 200, "abc", true, -1},
		framing_case{"bytes after the last chunk",
			     {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\n\r\nextra"}, 0, "GET",
			     200, "a", true, -1},
		framing_case{"204 followed by a line break", {"HTTP/1.1 204 No Content\r\n\r\n\r\n"}, 0, "GET", 204, "",
			     true, -1},
		framing_case{"bad chunk size",
			     {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\nzz\r\n"}, 0, "GET", 200,
			     "", false, ACHTTP_ERROR_BAD_RESPONSE},
		framing_case{"chunk size too large",
			     {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10000000000000000\r\n"}, 0, "GET",
			     200, "", false, ACHTTP_ERROR_BAD_RESPONSE},
		framing_case{"chunk data not followed by CR LF",
			     {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabXY"}, 0, "GET", 200, "",
			     false, ACHTTP_ERROR_BAD_RESPONSE}),
	[](const ::testing::TestParamInfo<framing_case> &i) {
		std::string n;
		for (const char *p = i.param.name; *p; p++)
			n += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
		return n;
	});

// Absolute URL, absolute path and relative path targets; every hop re-sends the
// whole request, body included (its Content-Length promise must hold).
TEST(AchttpExchange, RedirectChainResendsTheRequest)
{
	NEED_NETNS();
	server other({{send_bytes("HTTP/1.1 301 Moved\r\nLocation: /c/d\r\nContent-Length: 0\r\n\r\n")},
		      {send_bytes("HTTP/1.1 307 Again\r\nLocation: e?x=1\r\nContent-Length: 3\r\n\r\nabc")},
		      {send_bytes("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\ndone")}});
	server first({{send_bytes("HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:" +
				  std::to_string(other.port()) + "/b\r\n\r\n")}});
	options o;
	o.url = url_at(first.port(), "/a");
	o.method = "POST";
	o.body = "{}";
	o.headers = {{"Content-Type", "application/json"}, {"Content-Length", "2"}};
	o.max_redirects = 10;
	outcome r = run_exchange(o);
	auto reqs1 = first.finish();
	auto reqs2 = other.finish();

	ASSERT_EQ(reqs1.size(), 1u);
	ASSERT_EQ(reqs2.size(), 3u);
	const char *paths[] = {"/b", "/c/d", "/c/e?x=1"};
	for (int i = 0; i < 3; i++)
		EXPECT_EQ(reqs2[i], std::string("POST ") + paths[i] +
					    " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
					    "Content-Length: 2\r\n\r\n{}\r\n");
	EXPECT_EQ(r.redirects, (std::vector<std::string>{"127.0.0.1 /b", "127.0.0.1 /c/d", "127.0.0.1 /c/e?x=1"}));
	EXPECT_EQ(r.statuses, (std::vector<int>{302, 301, 307, 200}));
	EXPECT_EQ(r.body, "done");
	EXPECT_EQ(r.eofs, 1);
	EXPECT_TRUE(r.data_eof);
}

// A redirect that is not followed (caller's choice, or a target this client
// cannot reach) leaves the 3xx answer to be read.
TEST(AchttpExchange, RedirectNotFollowedIsAnAnswer)
{
	NEED_NETNS();
	for (const char *loc : {"https://127.0.0.1/x", "/a b", ""}) {
		server srv({{send_bytes(std::string("HTTP/1.1 302 Found\r\nLocation: ") + loc +
					"\r\nContent-Length: 5\r\n\r\nmoved")}});
		options o;
		o.url = url_at(srv.port(), "/");
		o.max_redirects = 10;
		outcome r = run_exchange(o);
		srv.finish();
		EXPECT_TRUE(r.redirects.empty()) << loc;
		EXPECT_EQ(r.status, 302);
		EXPECT_EQ(r.body, "moved");
		EXPECT_EQ(r.eofs, 1);
	}
}

// A name would need the resolver, which blocks: such a redirect is refused
// (-1) and its 3xx answer is read; addresses of both families are followed.
TEST(AchttpExchange, RedirectToAHostNameIsRefused)
{
	NEED_NETNS();
	for (const char *host : {"ap.example", "localhost", "10.77.0.11.nip.io", "2130706433x"}) {
		server srv({{send_bytes(std::string("HTTP/1.1 302 Found\r\nLocation: http://") + host +
					"/x\r\nContent-Length: 5\r\n\r\nmoved")}});
		options o;
		o.url = url_at(srv.port(), "/");
		o.max_redirects = 10;
		outcome r = run_exchange(o);
		srv.finish();
		EXPECT_TRUE(r.redirects.empty()) << host;
		EXPECT_EQ(r.refused_names, 1) << host;
		EXPECT_EQ(r.status, 302) << host;
		EXPECT_EQ(r.body, "moved") << host;
		EXPECT_EQ(r.eofs, 1) << host;
	}
}

TEST(AchttpExchange, UrlWithAHostNameFailsToConnectWithoutALookup)
{
	NEED_NETNS();
	options o;
	o.url = "http://localhost:1/";
	outcome r = run_exchange(o);
	EXPECT_EQ(r.errors, 1);
	EXPECT_EQ(r.error_code, ACHTTP_ERROR_CONNECT);
	EXPECT_EQ(r.header_done, 0);
}

TEST(AchttpExchange, RefusedConnectionIsReportedThroughTheErrorCallback)
{
	NEED_NETNS();
	options o;
	o.url = url_at(closed_port(), "/nox/profile.cgi");
	o.method = "POST";
	o.body = "{}";
	o.headers = {{"Content-Length", "2"}};
	outcome r = run_exchange(o);
	EXPECT_EQ(r.errors, 1);
	EXPECT_EQ(r.error_code, ACHTTP_ERROR_CONNECT);
	EXPECT_EQ(r.eofs, 0);
	EXPECT_EQ(r.header_done, 0);
}

TEST(AchttpExchange, ResetMidBodyEndsIncomplete)
{
	NEED_NETNS();
	server srv({{send_bytes("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"), pause_ms(20), reset_conn()}});
	options o;
	o.url = url_at(srv.port(), "/");
	outcome r = run_exchange(o);
	srv.finish();
	EXPECT_EQ(r.eofs + r.errors, 1);
	EXPECT_FALSE(r.data_eof);
}

// Without a limit a silent server keeps the exchange open; with one the
// exchange ends in the error callback.
TEST(AchttpExchange, SilentServer)
{
	NEED_NETNS();
	{
		server srv({{hold_open()}});
		options o;
		o.url = url_at(srv.port(), "/");
		o.guard_ms = 300;
		outcome r = run_exchange(o);
		EXPECT_TRUE(r.guard_fired);
		EXPECT_EQ(r.eofs + r.errors, 0);
	}
	{
		server srv({{send_bytes("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"), hold_open()}});
		options o;
		o.url = url_at(srv.port(), "/");
		o.timeout_ms = 200;
		outcome r = run_exchange(o);
		EXPECT_FALSE(r.guard_fired);
		EXPECT_EQ(r.errors, 1);
		EXPECT_EQ(r.error_code, ACHTTP_ERROR_TIMEDOUT);
		EXPECT_EQ(r.eofs, 0);
	}
}

// The caller may drop the client from header_done: nothing follows.
TEST(AchttpExchange, FreedInsideHeaderDone)
{
	NEED_NETNS();
	server srv({{send_bytes("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc")}});
	options o;
	o.url = url_at(srv.port(), "/");
	o.free_in_header_done = true;
	outcome r = run_exchange(o);
	srv.finish();
	EXPECT_EQ(r.header_done, 1);
	EXPECT_EQ(r.data_read + r.eofs + r.errors, 0);
}

TEST(AchttpApi, RefusesWhatWouldBreakTheRequest)
{
	EXPECT_EQ(achttp_new("https://10.0.0.1/", nullptr), nullptr);
	EXPECT_EQ(achttp_new("ftp://10.0.0.1/", nullptr), nullptr);
	EXPECT_EQ(achttp_new("http:///x", nullptr), nullptr);

	achttp_client *cl = achttp_new("HTTP://10.0.0.1:8080", nullptr);
	ASSERT_NE(cl, nullptr);
	EXPECT_STREQ(cl->url->host, "10.0.0.1");
	EXPECT_STREQ(cl->url->port, "8080");
	EXPECT_STREQ(cl->url->location, "/");
	EXPECT_EQ(achttp_request(cl), -1); // not connected yet
	EXPECT_EQ(achttp_set_request_type(cl, "BREW"), -1);
	EXPECT_EQ(achttp_set_header(cl, "X-A", "1\r\nX-Injected: 1"), -1);
	EXPECT_EQ(achttp_set_header(cl, "Bad Name", "1"), -1);
	EXPECT_EQ(achttp_set_header(cl, "X-A", "1"), 0);
	EXPECT_EQ(achttp_write(cl, "x", -1), -1);
	achttp_free(cl);
}

TEST(AchttpApi, AddressText)
{
	char text[INET6_ADDRSTRLEN];
	int port = -1;
	achttp_addr a = {};
	EXPECT_STREQ(achttp_get_addr(text, &port, &a), "Unknown");
	EXPECT_EQ(port, 0);
	a.sin.sin_family = AF_INET;
	a.sin.sin_port = htons(80);
	inet_pton(AF_INET, "192.168.1.20", &a.sin.sin_addr);
	EXPECT_STREQ(achttp_get_addr(text, &port, &a), "192.168.1.20");
	EXPECT_EQ(port, 80);
	a = {};
	a.sin6.sin6_family = AF_INET6;
	inet_pton(AF_INET6, "fe80::1", &a.sin6.sin6_addr);
	EXPECT_STREQ(achttp_get_addr(text, nullptr, &a), "fe80::1");
}
