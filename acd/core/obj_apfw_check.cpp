// ac.apfw.check: the image check before a firmware upload, and the status
// records of firmware uploads and of pushes.
#include "apconfig/apconfig.hpp"
#include "apconfig/status_record.hpp"
#include "bus/ac_handler.hpp"
#include "core/ac_objects.hpp"

namespace {
enum { APFW_CHECK_MODEL, __APFW_CHECK_MAX };
const struct blobmsg_policy apfw_check_policy[__APFW_CHECK_MAX] = {
	[APFW_CHECK_MODEL] = {"Model", BLOBMSG_TYPE_STRING},
};

AC_UBUS_HANDLER(apfw_check)
{
	const char *model = ac_arg_string(apfw_check_policy, msg);
	if (!model)
		return UBUS_STATUS_INVALID_ARGUMENT;
	return ac_apfw_check_run(model, ctx, req);
}

AC_UBUS_HANDLER(apfw_upload_status)
{
	return ac_status_reply(ctx, req, msg, AC_FIRMWARE_STATUS_PATH);
}

AC_UBUS_HANDLER(apfw_pwd_status)
{
	return ac_status_reply(ctx, req, msg, AC_PWD_STATUS_PATH);
}

struct ubus_method methods[] = {
	UBUS_METHOD("apfw_check", apfw_check, apfw_check_policy),
	UBUS_METHOD("apfw_upload_status", apfw_upload_status, ac_status_ip_policy),
	UBUS_METHOD("apfw_pwd_status", apfw_pwd_status, ac_status_ip_policy),
};

struct ubus_object_type type = GW_UBUS_OBJECT_TYPE("ac-apfw-config", methods);
} // namespace

const ac_object_def ac_apfw_check_object = {"ac.apfw.check", &type};
