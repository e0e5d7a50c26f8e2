#pragma once
// A scripted HTTP server for the client tests: listens on 127.0.0.1 (inside the
// test's own network namespace), takes one connection per script in order,
// records each request's bytes and plays the script's sends, pauses and closes.
#include <string>
#include <thread>
#include <vector>

namespace test_http {

struct action {
	enum kind { send, pause, reset, hold } k;
	std::string data;
	int ms;
};
using script = std::vector<action>;

inline action send_bytes(std::string s)
{
	return {action::send, std::move(s), 0};
}
inline action pause_ms(int ms)
{
	return {action::pause, {}, ms};
}
// Close with a reset instead of an orderly close.
inline action reset_conn()
{
	return {action::reset, {}, 0};
}
// Keep the connection open without a word until the client closes it.
inline action hold_open()
{
	return {action::hold, {}, 0};
}
// The text sent in pieces of n bytes with a short pause between them.
void append_pieces(script &s, const std::string &text, size_t n, int ms = 2);

class server {
public:
	explicit server(std::vector<script> scripts);
	~server();
	int port() const { return port_; }
	// Waits for the server thread; the requests as received, one per connection.
	std::vector<std::string> finish();

private:
	void run();
	int listen_fd_ = -1;
	int port_ = 0;
	std::vector<script> scripts_;
	std::vector<std::string> requests_;
	std::thread thread_;
	bool joined_ = false;
};

// A port on 127.0.0.1 where nothing listens.
int closed_port();
// Moves the process into a new network namespace with lo up; false when that is
// not allowed (not root), and then the socket tests are skipped.
bool private_network();

} // namespace test_http
