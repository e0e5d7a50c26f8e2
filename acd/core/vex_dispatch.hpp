// Every datagram of the vex socket: parse, check, dispatch on the message type.
#pragma once

#include <cstdint>

#include <netinet/in.h>

#include "vex/codec/vex_codec.hpp"

int KvVexHandleRxData(const uint8_t *buf, uint32_t length, const struct sockaddr_in *sender);
int KvVexHandleRequest(const vex_msg *msg);
