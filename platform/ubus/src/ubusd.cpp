// ubusd: the bus daemon's sockets around the Bus logic.
#include "ubusd.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "bus.hpp"
#include "ubus_common.h"

namespace ubusd {

namespace {

// a client's queue in the daemon; further messages to it are dropped
constexpr size_t kMaxQueued = 1u << 20;
constexpr size_t kReadChunk = 65536;

volatile sig_atomic_t stop_signal = 0;
int wake_pipe[2] = {-1, -1};

void on_stop_signal(int sig)
{
	stop_signal = sig;
	int e = errno;
	if (write(wake_pipe[1], "x", 1) < 0) {
	}
	errno = e;
}

uint32_t random_u32(void *)
{
	uint32_t v = 0;
	while (getrandom(&v, sizeof v, 0) != sizeof v) {
	}
	return v;
}

struct Conn {
	int fd = -1;
	uint32_t id = 0;
	std::vector<uint8_t> in;
	std::deque<std::vector<uint8_t>> out;
	size_t out_off = 0;  // bytes of out.front() already written
	size_t out_bytes = 0;
	bool dead = false;
};

std::string name_of_user(uid_t uid)
{
	struct passwd pw, *res = nullptr;
	char buf[1024];
	if (getpwuid_r(uid, &pw, buf, sizeof buf, &res) == 0 && res)
		return res->pw_name;
	return std::to_string(uid);
}

std::string name_of_group(gid_t gid)
{
	struct group gr, *res = nullptr;
	char buf[1024];
	if (getgrgid_r(gid, &gr, buf, sizeof buf, &res) == 0 && res)
		return res->gr_name;
	return std::to_string(gid);
}

class Daemon {
public:
	explicit Daemon(int listen_fd) : lfd_(listen_fd), bus_(random_u32, nullptr) {}
	void run();

private:
	void accept_clients();
	void read_client(Conn &c);
	void write_client(Conn &c);
	void drop(Conn &c);
	void deliver();

	int lfd_;
	Bus bus_;
	std::unordered_map<uint32_t, std::unique_ptr<Conn>> conns_;
};

void Daemon::accept_clients()
{
	for (;;) {
		int fd = accept4(lfd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
		if (fd < 0)
			return;
		struct ucred cred {};
		socklen_t len = sizeof cred;
		std::string user = "root", group = "root";
		if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) {
			user = name_of_user(cred.uid);
			group = name_of_group(cred.gid);
		}
		auto c = std::make_unique<Conn>();
		c->fd = fd;
		c->id = bus_.connect(user, group);
		conns_[c->id] = std::move(c);
		deliver();
	}
}

void Daemon::drop(Conn &c)
{
	if (c.dead)
		return;
	c.dead = true;
	bus_.disconnect(c.id);
	deliver();
}

void Daemon::read_client(Conn &c)
{
	uint8_t buf[kReadChunk];
	union {
		struct cmsghdr align;
		char data[CMSG_SPACE(sizeof(int) * 16)];
	} ctl;
	struct iovec iov = {buf, sizeof buf};
	struct msghdr mh {};
	mh.msg_iov = &iov;
	mh.msg_iovlen = 1;
	mh.msg_control = ctl.data;
	mh.msg_controllen = sizeof ctl.data;
	ssize_t n = recvmsg(c.fd, &mh, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
	if (n < 0 && (errno == EAGAIN || errno == EINTR))
		return;
	// descriptors passed along are not forwarded by this daemon
	for (struct cmsghdr *cm = CMSG_FIRSTHDR(&mh); cm; cm = CMSG_NXTHDR(&mh, cm)) {
		if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_RIGHTS)
			continue;
		size_t nfd = (cm->cmsg_len - CMSG_LEN(0)) / sizeof(int);
		for (size_t i = 0; i < nfd; i++) {
			int fd;
			memcpy(&fd, CMSG_DATA(cm) + i * sizeof(int), sizeof fd);
			close(fd);
		}
	}
	if (n <= 0) {
		drop(c);
		return;
	}
	c.in.insert(c.in.end(), buf, buf + n);
	size_t off = 0;
	while (!c.dead) {
		size_t total = 0;
		auto f = ubus_wire::check_frame(c.in.data() + off, c.in.size() - off, &total);
		if (f == ubus_wire::Frame::Incomplete)
			break;
		if (f == ubus_wire::Frame::Invalid || !bus_.receive(c.id, c.in.data() + off, total)) {
			drop(c);
			return;
		}
		off += total;
		deliver();
	}
	c.in.erase(c.in.begin(), c.in.begin() + off);
}

void Daemon::write_client(Conn &c)
{
	while (!c.dead && !c.out.empty()) {
		const auto &m = c.out.front();
		ssize_t n = send(c.fd, m.data() + c.out_off, m.size() - c.out_off, MSG_NOSIGNAL | MSG_DONTWAIT);
		if (n < 0) {
			if (errno == EAGAIN || errno == EINTR)
				return;
			drop(c);
			return;
		}
		c.out_off += size_t(n);
		if (c.out_off == m.size()) {
			c.out_bytes -= m.size();
			c.out.pop_front();
			c.out_off = 0;
		}
	}
}

// Hands the Bus's messages to their connections' queues.
void Daemon::deliver()
{
	for (auto &o : bus_.take()) {
		auto it = conns_.find(o.client);
		if (it == conns_.end() || it->second->dead)
			continue;
		Conn &c = *it->second;
		if (c.out_bytes + o.bytes.size() > kMaxQueued)
			continue;
		c.out_bytes += o.bytes.size();
		c.out.push_back(std::move(o.bytes));
	}
}

void Daemon::run()
{
	std::vector<struct pollfd> fds;
	std::vector<uint32_t> ids;
	while (!stop_signal) {
		fds.clear();
		ids.clear();
		fds.push_back({wake_pipe[0], POLLIN, 0});
		fds.push_back({lfd_, POLLIN, 0});
		for (auto &kv : conns_) {
			Conn &c = *kv.second;
			fds.push_back({c.fd, short(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
			ids.push_back(kv.first);
		}
		int n = poll(fds.data(), fds.size(), -1);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			perror("poll");
			return;
		}
		if (fds[1].revents & POLLIN)
			accept_clients();
		for (size_t i = 0; i < ids.size(); i++) {
			short ev = fds[i + 2].revents;
			auto it = conns_.find(ids[i]);
			if (it == conns_.end())
				continue;
			Conn &c = *it->second;
			if (ev & (POLLIN | POLLHUP | POLLERR))
				read_client(c);
			if (!c.dead && (ev & POLLNVAL))
				drop(c);
		}
		// flush every queue, then forget closed connections
		for (auto it = conns_.begin(); it != conns_.end();) {
			Conn &c = *it->second;
			write_client(c);
			if (c.dead) {
				close(c.fd);
				it = conns_.erase(it);
			} else {
				++it;
			}
		}
	}
}

void usage(const char *prog)
{
	fprintf(stderr,
		"Usage: %s [<options>]\n"
		"Options:\n"
		"  -s <socket>   listen on this socket (default %s)\n"
		"  -A <dir>      access control directory (accepted, every client is trusted)\n",
		prog, UBUS_UNIX_SOCKET);
}

} // namespace

int ubusd_main(int argc, char **argv)
{
	const char *path = UBUS_UNIX_SOCKET;
	int ch;
	while ((ch = getopt(argc, argv, "s:A:")) != -1) {
		switch (ch) {
		case 's':
			path = optarg;
			break;
		case 'A':
			break;
		default:
			usage(argv[0]);
			return 1;
		}
	}

	struct sockaddr_un sun {};
	sun.sun_family = AF_UNIX;
	if (strlen(path) >= sizeof sun.sun_path) {
		fprintf(stderr, "ubusd: socket path too long: %s\n", path);
		return 1;
	}
	strcpy(sun.sun_path, path);

	if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) < 0) {
		perror("pipe");
		return 1;
	}
	signal(SIGPIPE, SIG_IGN);
	signal(SIGHUP, SIG_IGN);
	struct sigaction sa {};
	sa.sa_handler = on_stop_signal;
	sigemptyset(&sa.sa_mask);
	sigaction(SIGTERM, &sa, nullptr);
	sigaction(SIGINT, &sa, nullptr);

	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	if (fd < 0) {
		perror("socket");
		return 1;
	}
	unlink(path);
	mode_t old = umask(0111);
	int rc = bind(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof sun);
	umask(old);
	if (rc < 0 || listen(fd, SOMAXCONN) < 0) {
		fprintf(stderr, "ubusd: cannot listen on %s: %s\n", path, strerror(errno));
		return 1;
	}

	Daemon d(fd);
	d.run();
	close(fd);
	unlink(path);
	return 0;
}

} // namespace ubusd
