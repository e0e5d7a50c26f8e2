// The controller's two vex sockets and the three ways of sending a message.
#pragma once

#include <cstdint>

#include "vex/codec/vex_codec.hpp"

struct sockaddr_in;

#define VEX_LAN_IFNAME "br-lan"
#define VEX_MCAST_GROUP "239.255.255.100"
#define VEX_BROADCAST_ADDR "255.255.255.255"
constexpr uint16_t VEX_AC_PORT = 64519;    // vex socket: everything from the APs
constexpr uint16_t VEX_BROAD_PORT = 64513; // broadcast socket: send only
constexpr uint16_t VEX_AP_PORT = 64515;    // destination of every message we send
constexpr int VEX_MCAST_REFRESH = 60;      // seconds between membership refreshes
// Room for a burst of responses: every AP on the LAN answers a discovery
// request twice (multicast and broadcast) at about the same moment.
constexpr int VEX_RCVBUF_BYTES = 8 << 20;

extern int vex_sock;
extern int vex_broad_sock;

// What every datagram of the vex socket is handed to (the daemon's dispatcher).
typedef int (*vex_rx_fn)(const uint8_t *buf, uint32_t length, const struct sockaddr_in *from);

int vex_socket_init(vex_rx_fn rx);
int vex_socketbroad_init();
void igmp_adddrop_membership(int sock, int add);

int vex_send_unicast_pkt(const uint8_t *data, int length, const char *address);
int vex_send_broadcast_pkt(const uint8_t *data, int length);
int vex_send_multicast_pkt(const uint8_t *data, int length);

// Discovery requests: to all APs (multicast, then broadcast), or to one AP.
int call_send(vex_msg *msg);
int call_send_unicast(vex_msg *msg, const char *address);
int get_aplist_from_vex();
int get_aplist_unicast();
