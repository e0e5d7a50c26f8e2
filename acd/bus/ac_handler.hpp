// The libubus handler signature, for defining method handlers. A handler uses
// what it needs of it.
#pragma once

#include "gw/ubus.hpp"

#define AC_UBUS_HANDLER(name)                                                                       \
	int name([[maybe_unused]] struct ubus_context *ctx, [[maybe_unused]] struct ubus_object *obj,  \
		 [[maybe_unused]] struct ubus_request_data *req, [[maybe_unused]] const char *method, \
		 [[maybe_unused]] struct blob_attr *msg)

// The message's one string argument under a one-member policy, or null when
// missing or not a string.
const char *ac_arg_string(const struct blobmsg_policy *policy, struct blob_attr *msg);
