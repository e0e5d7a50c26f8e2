#include "corvel.hpp"
#include "window.hpp"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/sysinfo.h>
#include <unistd.h>

namespace
{

constexpr char corvel_ifname[] = "br-lan";
constexpr char corvel_group[] = "239.255.255.100";
constexpr unsigned short corvel_port = 64516;
constexpr std::size_t corvel_buf_size = 1024;

// Progress lines carry the routine name and line number the field tools look for.
__attribute__((format(printf, 3, 4))) void corvel_log(const char *fn, int line, const char *fmt, ...)
{
	printf("corvel(%s@%d): ", fn, line);
	va_list ap;
	va_start(ap, fmt);
	vprintf(fmt, ap);
	va_end(ap);
	// Scripts started with system() write to the same output: keep the order.
	fflush(stdout);
}

void corvel_now(struct timespec *ts)
{
	clock_gettime(CLOCK_MONOTONIC, ts);
}

} // namespace

int create_socket()
{
	// Close-on-exec: the DHCP client started later must not keep the port.
	int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (sock < 0) {
		perror("socket");
		return -1;
	}
	int on = 1;
	if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) < 0) {
		perror("setsockopt");
		close(sock);
		return -1;
	}

	int query = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (query < 0) {
		perror("socket");
		corvel_log("create_socket", 139, "get local ip failed.");
		close(sock);
		return -1;
	}
	struct ifreq ifr;
	memset(&ifr, 0, sizeof(ifr));
	strncpy(ifr.ifr_name, corvel_ifname, IFNAMSIZ - 1);
	ifr.ifr_addr.sa_family = AF_INET;
	if (ioctl(query, SIOCGIFADDR, &ifr) < 0) {
		perror("ioctl");
		close(query);
		corvel_log("create_socket", 139, "get local ip failed.");
		close(sock);
		return -1;
	}
	close(query);
	struct sockaddr_in local;
	memcpy(&local, &ifr.ifr_addr, sizeof(local));
	corvel_log("create_socket", 143, "Local IP: %s\n", inet_ntoa(local.sin_addr));

	struct ip_mreq mreq;
	memset(&mreq, 0, sizeof(mreq));
	inet_pton(AF_INET, corvel_group, &mreq.imr_multiaddr);
	mreq.imr_interface = local.sin_addr;
	if (setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) < 0) {
		perror("setsockopt");
		close(sock);
		return -1;
	}
	return sock;
}

int wait_and_kill(int sock)
{
	close(sock);
	struct sysinfo si;
	if (sysinfo(&si) == 0) {
		corvel_log("wait_and_kill", 51, "uptime=%ld\n", static_cast<long>(si.uptime));
		unsigned left = static_cast<unsigned>(corvel_wait_left(static_cast<long>(si.uptime)));
		while (left > 0)
			left = sleep(left);
	}
	system("/usr/bin/mp.timeout.kill.sh &");
	corvel_log("main", 252, "corvel exit!\n");
	return 0;
}

int corvel_main()
{
	system("ln -s /apps/web/httpd/html/default_info.html /tmp/default_info.shtml");
	corvel_log("main", 183, "corvel start...\n");

	int sock = create_socket();
	if (sock < 0)
		return -1;
	struct sockaddr_in any;
	memset(&any, 0, sizeof(any));
	any.sin_family = AF_INET;
	any.sin_addr.s_addr = htonl(INADDR_ANY);
	any.sin_port = htons(corvel_port);
	if (bind(sock, reinterpret_cast<struct sockaddr *>(&any), sizeof(any)) < 0) {
		perror("bind");
		close(sock);
		return -1;
	}

	// One window for all waits: each wait (and the handling after it) is taken off it, so datagrams
	// never stretch it past 600 s.
	struct timeval window = {corvel_window_seconds, 0};
	struct timespec mark;
	corvel_now(&mark);
	auto take_elapsed = [&window, &mark] {
		struct timespec now;
		corvel_now(&now);
		window = corvel_window_reduce(window, corvel_elapsed(mark, now));
		mark = now;
	};
	std::array<char, corvel_buf_size> buf;
	for (;;) {
		corvel_log("main", 210, "select...\n");
		take_elapsed();
		// A used-up window ends the loop even while datagrams keep arriving.
		if (corvel_window_over(window)) {
			corvel_log("main", 219, "Timeout!\n");
			break;
		}
		fd_set rd;
		FD_ZERO(&rd);
		FD_SET(sock, &rd);
		struct timeval wait = window;
		int ready = select(sock + 1, &rd, nullptr, nullptr, &wait);
		take_elapsed();
		if (ready < 0) {
			perror("select");
			break;
		}
		if (ready == 0) {
			corvel_log("main", 219, "Timeout!\n");
			break;
		}

		buf.fill(0);
		struct sockaddr_in from;
		socklen_t fromlen = sizeof(from);
		ssize_t n = recvfrom(sock, buf.data(), buf.size(), 0,
		                     reinterpret_cast<struct sockaddr *>(&from), &fromlen);
		if (n < 0) {
			perror("recvfrom");
			close(sock);
			return -1;
		}
		// Shown as text: at most 1023 characters, up to the first zero byte.
		corvel_log("main", 236, "From %s:\n'%.*s'\n", inet_ntoa(from.sin_addr),
		           static_cast<int>(strnlen(buf.data(), buf.size() - 1)), buf.data());
		if (corvel_is_hello(buf.data(), static_cast<std::size_t>(n))) {
			corvel_log("main", 243, "Got signal, launch dhcpc...\n");
			system("udhcpc -i br-lan -p /tmp/dhcpc.pid -s /usr/bin/mp.up.bulkagent.sh &");
			break;
		}
		take_elapsed();
		corvel_log("main", 239, "Rest time: (%ld)s + (%ld)us\n", static_cast<long>(window.tv_sec),
		           static_cast<long>(window.tv_usec));
	}
	return wait_and_kill(sock);
}
