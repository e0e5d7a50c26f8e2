// The controller's identity on the LAN: address and MAC of "br-lan", read
// once at start (vex/device_info.hpp).
#pragma once

#include <cstdint>

struct ac_device {
	uint8_t ip[4];  // network order
	uint8_t mac[6]; // copied into au1AcMac of every header we send
};

extern ac_device ac_device_info;
