// ac.set.config: set_config stores the pending settings document that
// exec_config pushes; pwd_status hands out each AP's push result once.
#include "apconfig/apconfig.hpp"
#include "bus/ac_handler.hpp"
#include "bus/ac_reply.hpp"
#include "core/ac_objects.hpp"
#include "vex/codec/push_status.hpp"

namespace {
enum { SET_CONFIG_CONFIG, __SET_CONFIG_MAX };
const struct blobmsg_policy set_config_policy[__SET_CONFIG_MAX] = {
	[SET_CONFIG_CONFIG] = {"config", BLOBMSG_TYPE_TABLE},
};

AC_UBUS_HANDLER(set_config)
{
	struct blob_attr *tb[__SET_CONFIG_MAX];
	blobmsg_parse(set_config_policy, __SET_CONFIG_MAX, tb, blob_data(msg), blob_len(msg));
	if (!tb[SET_CONFIG_CONFIG])
		return UBUS_STATUS_INVALID_ARGUMENT;
	return ac_settings_store(tb[SET_CONFIG_CONFIG]);
}

AC_UBUS_HANDLER(pwd_status)
{
	ap_status_reply(&ac_reply_buf, &aps_status);
	return ac_reply_send(ctx, req);
}

struct ubus_method methods[] = {
	UBUS_METHOD("set_config", set_config, set_config_policy),
	UBUS_METHOD_NOARG("pwd_status", pwd_status),
};

struct ubus_object_type type = GW_UBUS_OBJECT_TYPE("ac-set-config", methods);
} // namespace

const ac_object_def ac_set_config_object = {"ac.set.config", &type};
