#include "vex/vex_transport.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vex/device_info.hpp"
#include "gw/loop.hpp"
#include "vex/ap_list.hpp"

int vex_sock = -1;
int vex_broad_sock = -1;

namespace {
struct uloop_fd vex_fd;
struct uloop_fd vex_broad_fd;
int32_t vex_mcast_refreshed; // on the registry's clock, like every interval
uint8_t vex_rx_buf[VEX_MAX_MSG];
uint8_t vex_tx_buf[VEX_MAX_MSG];
vex_rx_fn vex_rx;

void vex_route_add(const char *addr)
{
	char cmd[128];
	snprintf(cmd, sizeof cmd, "ip route add %s dev %s", addr, VEX_LAN_IFNAME);
	// The route may exist already (a second start); the result does not matter.
	int rc = system(cmd);
	(void)rc;
}

void vex_rcvbuf_size(int fd)
{
	int size = VEX_RCVBUF_BYTES;
	// The forced form passes the system-wide cap (root only); the plain one is
	// the fallback and gets what the cap allows.
	if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) < 0)
		setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

void vex_read_cb(struct uloop_fd *u, unsigned int)
{
	struct sockaddr_in from;
	socklen_t fromLen = sizeof from;
	memset(vex_rx_buf, 0, sizeof vex_rx_buf);
	memset(&from, 0, sizeof from);
	// The socket stays blocking for the sends; a read never waits.
	ssize_t n = recvfrom(u->fd, vex_rx_buf, sizeof vex_rx_buf, MSG_DONTWAIT,
			     reinterpret_cast<struct sockaddr *>(&from), &fromLen);
	if (n < 0)
		return;
	if (n > 0)
		printf("recv %d data from %s \n", int(n), inet_ntoa(from.sin_addr));
	vex_rx(vex_rx_buf, uint32_t(n), &from);
}

// Nothing sent to the broadcast port is for us, but a watched descriptor with
// data pending would wake the loop forever: read and drop.
void vex_broad_drain_cb(struct uloop_fd *u, unsigned int)
{
	uint8_t sink[64];
	while (recv(u->fd, sink, sizeof sink, MSG_DONTWAIT) >= 0)
		;
}

int vex_sendto(int fd, const uint8_t *data, int length, struct in_addr dst)
{
	struct sockaddr_in to;
	memset(&to, 0, sizeof to);
	to.sin_family = AF_INET;
	to.sin_port = htons(VEX_AP_PORT);
	to.sin_addr = dst;
	return int(sendto(fd, data, size_t(length), 0, reinterpret_cast<struct sockaddr *>(&to),
			  sizeof to));
}

int vex_socket_open(int option, const char *optionError, uint16_t port)
{
	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	if (fd < 0) {
		perror("socket");
		return -1;
	}
	int on = 1;
	if (setsockopt(fd, SOL_SOCKET, option, &on, sizeof on) < 0) {
		perror(optionError);
		close(fd);
		return -1;
	}
	struct sockaddr_in addr;
	memset(&addr, 0, sizeof addr);
	addr.sin_family = AF_INET;
	addr.sin_port = htons(port);
	addr.sin_addr.s_addr = htonl(INADDR_ANY);
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) < 0) {
		perror("bind error");
		close(fd);
		return -1;
	}
	return fd;
}
} // namespace

void igmp_adddrop_membership(int sock, int add)
{
	struct ip_mreq mreq;
	memset(&mreq, 0, sizeof mreq);
	inet_aton(VEX_MCAST_GROUP, &mreq.imr_multiaddr);
	memcpy(&mreq.imr_interface, ac_device_info.ip, 4);
	if (setsockopt(sock, IPPROTO_IP, add == 1 ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &mreq,
		       sizeof mreq) < 0)
		perror("setsockopt IP_ADD_MEMBERSHIP");
}

int vex_socket_init(vex_rx_fn rx)
{
	vex_rx = rx;
	int fd = vex_socket_open(SO_REUSEADDR, "setsockopt SO_REUSEADDR", VEX_AC_PORT);
	if (fd < 0)
		return -1;
	vex_rcvbuf_size(fd);
	vex_route_add(VEX_MCAST_GROUP);
	igmp_adddrop_membership(fd, 1);
	vex_sock = fd;
	vex_fd.fd = fd;
	vex_fd.cb = vex_read_cb;
	// Blocking: a burst of unicast polls must not be cut short by a full send queue.
	uloop_fd_add(&vex_fd, ULOOP_READ | ULOOP_BLOCKING);
	return 0;
}

int vex_socketbroad_init()
{
	int fd = vex_socket_open(SO_BROADCAST, "setsockopt SO_BROADCAST", VEX_BROAD_PORT);
	if (fd < 0)
		return -1;
	vex_route_add(VEX_BROADCAST_ADDR);
	vex_broad_sock = fd;
	vex_broad_fd.fd = fd;
	vex_broad_fd.cb = vex_broad_drain_cb;
	uloop_fd_add(&vex_broad_fd, ULOOP_READ | ULOOP_BLOCKING);
	return 0;
}

int vex_send_unicast_pkt(const uint8_t *data, int length, const char *address)
{
	struct in_addr dst;
	if (!inet_aton(address, &dst))
		return -1;
	return vex_sendto(vex_sock, data, length, dst);
}

int vex_send_broadcast_pkt(const uint8_t *data, int length)
{
	struct in_addr dst;
	inet_aton(VEX_BROADCAST_ADDR, &dst);
	return vex_sendto(vex_broad_sock, data, length, dst);
}

int vex_send_multicast_pkt(const uint8_t *data, int length)
{
	int32_t now = ap_clock();
	if (vex_mcast_refreshed == 0 || now - vex_mcast_refreshed > VEX_MCAST_REFRESH) {
		igmp_adddrop_membership(vex_sock, 0);
		vex_mcast_refreshed = now;
		usleep(1);
	}
	// Between refreshes we are a member already: this join fails and says so.
	igmp_adddrop_membership(vex_sock, 1);
	struct in_addr dst;
	inet_aton(VEX_MCAST_GROUP, &dst);
	return vex_sendto(vex_sock, data, length, dst);
}

int call_send(vex_msg *msg)
{
	unsigned n = vex_build_discover_request(vex_tx_buf, sizeof vex_tx_buf, msg, ac_device_info.mac,
						uint32_t(time(nullptr)));
	if (!n)
		return 0;
	vex_send_multicast_pkt(vex_tx_buf, int(n));
	vex_send_broadcast_pkt(vex_tx_buf, int(n));
	return 1;
}

int call_send_unicast(vex_msg *msg, const char *address)
{
	unsigned n = vex_build_discover_request(vex_tx_buf, sizeof vex_tx_buf, msg, ac_device_info.mac,
						uint32_t(time(nullptr)));
	if (!n)
		return 0;
	vex_send_unicast_pkt(vex_tx_buf, int(n), address);
	return 1;
}

int get_aplist_from_vex()
{
	static vex_msg msg;
	memset(&msg, 0, sizeof msg);
	call_send(&msg);
	return 0;
}

int get_aplist_unicast()
{
	static vex_msg msg;
	ap_record *ap;
	list_for_each_entry(ap, &aps, list) {
		char address[16];
		memcpy(address, ap->ip, sizeof address);
		memset(&msg, 0, sizeof msg);
		call_send_unicast(&msg, address);
		ap->lastPoll = ap_clock();
	}
	return 0;
}
