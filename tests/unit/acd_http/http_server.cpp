#include "http_server.hpp"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace test_http {
namespace {

bool wait_readable(int fd, int ms)
{
	pollfd p = {fd, POLLIN, 0};
	return poll(&p, 1, ms) > 0;
}

// Reads one request: the header block, the Content-Length body and the CR LF
// the client puts after a body. Gives up after 3 s of silence.
std::string read_request(int fd)
{
	std::string req;
	size_t need = std::string::npos;
	char buf[4096];
	for (;;) {
		if (need == std::string::npos) {
			size_t end = req.find("\r\n\r\n");
			if (end != std::string::npos) {
				size_t length = 0;
				std::string head = req.substr(0, end + 2);
				for (size_t pos = 0; pos < head.size();) {
					size_t eol = head.find("\r\n", pos);
					std::string line = head.substr(pos, eol - pos);
					if (strncasecmp(line.c_str(), "Content-Length:", 15) == 0)
						length = strtoul(line.c_str() + 15, nullptr, 10);
					pos = eol + 2;
				}
				need = end + 4 + length + (length ? 2 : 0);
			}
		}
		if (need != std::string::npos && req.size() >= need)
			return req;
		if (!wait_readable(fd, 3000))
			return req;
		ssize_t n = recv(fd, buf, sizeof(buf), 0);
		if (n <= 0)
			return req;
		req.append(buf, n);
	}
}

} // namespace

void append_pieces(script &s, const std::string &text, size_t n, int ms)
{
	for (size_t i = 0; i < text.size(); i += n) {
		if (i)
			s.push_back(pause_ms(ms));
		s.push_back(send_bytes(text.substr(i, n)));
	}
}

server::server(std::vector<script> scripts) : scripts_(std::move(scripts))
{
	listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	int one = 1;
	setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
	sockaddr_in a = {};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	bind(listen_fd_, reinterpret_cast<sockaddr *>(&a), sizeof(a));
	listen(listen_fd_, 8);
	socklen_t len = sizeof(a);
	getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&a), &len);
	port_ = ntohs(a.sin_port);
	thread_ = std::thread([this] { run(); });
}

server::~server()
{
	finish();
	close(listen_fd_);
}

std::vector<std::string> server::finish()
{
	if (!joined_) {
		thread_.join();
		joined_ = true;
	}
	return requests_;
}

void server::run()
{
	for (const script &s : scripts_) {
		if (!wait_readable(listen_fd_, 5000))
			return;
		int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
		if (fd < 0)
			return;
		requests_.push_back(read_request(fd));
		bool closed = false;
		for (const action &a : s) {
			switch (a.k) {
			case action::send:
				::send(fd, a.data.data(), a.data.size(), MSG_NOSIGNAL);
				break;
			case action::pause:
				std::this_thread::sleep_for(std::chrono::milliseconds(a.ms));
				break;
			case action::reset: {
				linger l = {1, 0};
				setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
				close(fd);
				closed = true;
				break;
			}
			case action::hold: {
				char buf[256];
				while (wait_readable(fd, 5000) && recv(fd, buf, sizeof(buf), 0) > 0) {
				}
				break;
			}
			}
			if (closed)
				break;
		}
		if (!closed)
			close(fd);
	}
}

int closed_port()
{
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in a = {};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
	socklen_t len = sizeof(a);
	getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
	close(fd);
	return ntohs(a.sin_port);
}

bool private_network()
{
	if (unshare(CLONE_NEWNET) != 0)
		return false;
	int s = socket(AF_INET, SOCK_DGRAM, 0);
	ifreq ifr = {};
	strcpy(ifr.ifr_name, "lo");
	bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
	ifr.ifr_flags |= IFF_UP;
	ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
	close(s);
	return ok;
}

} // namespace test_http
