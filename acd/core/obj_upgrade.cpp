// ac.upgrade: offers firmware or a configuration file to chosen APs; each AP
// that accepts gets it by TFTP.
#include "apconfig/apconfig.hpp"
#include "bus/ac_handler.hpp"
#include "core/ac_objects.hpp"

namespace {
enum { FIRMWARE_IPLIST, FIRMWARE_PASSWORD, __FIRMWARE_MAX };
const struct blobmsg_policy firmware_policy[__FIRMWARE_MAX] = {
	[FIRMWARE_IPLIST] = {"iplist", BLOBMSG_TYPE_ARRAY},
	[FIRMWARE_PASSWORD] = {"password", BLOBMSG_TYPE_STRING},
};

enum { CONFIG_IPLIST, CONFIG_KEY, CONFIG_PASSWORD, __CONFIG_MAX };
const struct blobmsg_policy config_policy[__CONFIG_MAX] = {
	[CONFIG_IPLIST] = {"iplist", BLOBMSG_TYPE_ARRAY},
	[CONFIG_KEY] = {"key", BLOBMSG_TYPE_STRING},
	[CONFIG_PASSWORD] = {"password", BLOBMSG_TYPE_STRING},
};

bool arg_is(struct blob_attr *attr, int type)
{
	return attr && blobmsg_type(attr) == type;
}

AC_UBUS_HANDLER(firmware)
{
	struct blob_attr *tb[__FIRMWARE_MAX];
	blobmsg_parse(firmware_policy, __FIRMWARE_MAX, tb, blob_data(msg), blob_len(msg));
	if (!arg_is(tb[FIRMWARE_IPLIST], BLOBMSG_TYPE_ARRAY) || !arg_is(tb[FIRMWARE_PASSWORD], BLOBMSG_TYPE_STRING))
		return UBUS_STATUS_INVALID_ARGUMENT;
	return ac_upload_offer("firmware", tb[FIRMWARE_IPLIST], blobmsg_get_string(tb[FIRMWARE_PASSWORD]),
			       nullptr);
}

AC_UBUS_HANDLER(config)
{
	struct blob_attr *tb[__CONFIG_MAX];
	blobmsg_parse(config_policy, __CONFIG_MAX, tb, blob_data(msg), blob_len(msg));
	if (!arg_is(tb[CONFIG_IPLIST], BLOBMSG_TYPE_ARRAY) || !arg_is(tb[CONFIG_KEY], BLOBMSG_TYPE_STRING) ||
	    !arg_is(tb[CONFIG_PASSWORD], BLOBMSG_TYPE_STRING))
		return UBUS_STATUS_INVALID_ARGUMENT;
	return ac_upload_offer("config", tb[CONFIG_IPLIST], blobmsg_get_string(tb[CONFIG_PASSWORD]),
			       blobmsg_get_string(tb[CONFIG_KEY]));
}

struct ubus_method methods[] = {
	UBUS_METHOD("firmware", firmware, firmware_policy),
	UBUS_METHOD("config", config, config_policy),
};

struct ubus_object_type type = GW_UBUS_OBJECT_TYPE("ac-upgrade", methods);
} // namespace

const ac_object_def ac_upgrade_object = {"ac.upgrade", &type};
