#include "vex/device_info.hpp"

#include <cstdio>
#include <cstring>

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vex/vex_transport.hpp"

int ac_device_info_init()
{
	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	if (fd < 0)
		return -1;
	struct ifreq ifr;
	memset(&ifr, 0, sizeof ifr);
	strncpy(ifr.ifr_name, VEX_LAN_IFNAME, IFNAMSIZ - 1);
	ifr.ifr_addr.sa_family = AF_INET;
	if (ioctl(fd, SIOCGIFADDR, &ifr) < 0) {
		fputs("get ip error \n", stderr);
		close(fd);
		return -1;
	}
	const auto *sin = reinterpret_cast<const struct sockaddr_in *>(&ifr.ifr_addr);
	memcpy(ac_device_info.ip, &sin->sin_addr, 4);
	if (ioctl(fd, SIOCGIFHWADDR, &ifr) < 0) {
		fputs("get mac error \n", stderr);
		close(fd);
		return -1;
	}
	memcpy(ac_device_info.mac, ifr.ifr_hwaddr.sa_data, 6);
	close(fd);
	return 0;
}
