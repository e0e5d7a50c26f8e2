// Every datagram of the vex socket: parse, check, dispatch on the message type.
#pragma once

#include <cstdint>

#include <netinet/in.h>

#include "gw/ubus.hpp"
#include "vex/codec/push_status.hpp"
#include "vex/codec/vex_codec.hpp"

extern struct list_head aps_status;

int KvVexHandleRxData(const uint8_t *buf, uint32_t length, const struct sockaddr_in *sender);
int KvVexHandleRequest(vex_msg *msg);

// ac.get.apinfo ap_discover: a discovery request to all APs, no reply.
int ac_ap_discover(struct ubus_context *ctx, struct ubus_object *obj,
		   struct ubus_request_data *req, const char *method, struct blob_attr *msg);
