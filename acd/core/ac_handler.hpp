// The libubus handler signature, for declaring method handlers.
#pragma once

#include "gw/ubus.hpp"

#define AC_UBUS_HANDLER(name)                                                                      \
	int name(struct ubus_context *ctx, struct ubus_object *obj, struct ubus_request_data *req, \
		 const char *method, struct blob_attr *msg)
