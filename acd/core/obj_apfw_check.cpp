// ac.apfw.check: the image check before a firmware upload, and the status
// records of firmware uploads and of pushes.
#include "apconfig/apconfig.hpp"
#include "apconfig/status_record.hpp"
#include "bus/ac_handler.hpp"
#include "bus/ac_reply.hpp"
#include "core/ac_objects.hpp"

namespace {
enum { APFW_CHECK_MODEL, __APFW_CHECK_MAX };
const struct blobmsg_policy apfw_check_policy[__APFW_CHECK_MAX] = {
	[APFW_CHECK_MODEL] = {"Model", BLOBMSG_TYPE_STRING},
};

enum { STATUS_IP, __STATUS_MAX };
const struct blobmsg_policy status_ip_policy[__STATUS_MAX] = {
	[STATUS_IP] = {"ip", BLOBMSG_TYPE_STRING},
};

int status_query(struct ubus_context *ctx, struct ubus_request_data *req, struct blob_attr *msg,
		 const char *path)
{
	const char *ip = ac_arg_string(status_ip_policy, msg);
	if (!ip)
		return UBUS_STATUS_INVALID_ARGUMENT;
	return ac_reply_status(ctx, req, ac_status_take(path, ip));
}

AC_UBUS_HANDLER(apfw_check)
{
	const char *model = ac_arg_string(apfw_check_policy, msg);
	if (!model)
		return UBUS_STATUS_INVALID_ARGUMENT;
	return ac_apfw_check_run(model, ctx, req);
}

AC_UBUS_HANDLER(apfw_upload_status)
{
	return status_query(ctx, req, msg, AC_FIRMWARE_STATUS_PATH);
}

AC_UBUS_HANDLER(apfw_pwd_status)
{
	return status_query(ctx, req, msg, AC_PWD_STATUS_PATH);
}

struct ubus_method methods[] = {
	UBUS_METHOD("apfw_check", apfw_check, apfw_check_policy),
	UBUS_METHOD("apfw_upload_status", apfw_upload_status, status_ip_policy),
	UBUS_METHOD("apfw_pwd_status", apfw_pwd_status, status_ip_policy),
};

struct ubus_object_type type = GW_UBUS_OBJECT_TYPE("ac-apfw-config", methods);
} // namespace

const ac_object_def ac_apfw_check_object = {"ac.apfw.check", &type};
