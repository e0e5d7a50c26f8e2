// ac.apcfg.check: checks of the configuration file before an upload, and the
// status records of configuration uploads and of pushes.
#include "apconfig/apconfig.hpp"
#include "apconfig/status_record.hpp"
#include "bus/ac_handler.hpp"
#include "bus/ac_reply.hpp"
#include "core/ac_objects.hpp"

namespace {
// apcfg_enc_key_check advertises no arguments; "key" is required all the same.
enum { KEY_CHECK_KEY, __KEY_CHECK_MAX };
const struct blobmsg_policy key_check_policy[__KEY_CHECK_MAX] = {
	[KEY_CHECK_KEY] = {"key", BLOBMSG_TYPE_STRING},
};

AC_UBUS_HANDLER(apcfg_valid_check)
{
	return ac_reply_status(ctx, req, ac_apcfg_valid());
}

AC_UBUS_HANDLER(apcfg_enc_key_check)
{
	const char *key = ac_arg_string(key_check_policy, msg);
	if (!key)
		return UBUS_STATUS_INVALID_ARGUMENT;
	return ac_reply_status(ctx, req, ac_apcfg_key_check(key));
}

AC_UBUS_HANDLER(apcfg_upload_status)
{
	return ac_status_reply(ctx, req, msg, AC_CONFIG_STATUS_PATH);
}

AC_UBUS_HANDLER(apcfg_pwd_status)
{
	return ac_status_reply(ctx, req, msg, AC_PWD_STATUS_PATH);
}

struct ubus_method methods[] = {
	UBUS_METHOD_NOARG("apcfg_valid_check", apcfg_valid_check),
	UBUS_METHOD_NOARG("apcfg_enc_key_check", apcfg_enc_key_check),
	UBUS_METHOD("apcfg_upload_status", apcfg_upload_status, ac_status_ip_policy),
	UBUS_METHOD("apcfg_pwd_status", apcfg_pwd_status, ac_status_ip_policy),
};

struct ubus_object_type type = GW_UBUS_OBJECT_TYPE("ac-apcfg-config", methods);
} // namespace

const ac_object_def ac_apcfg_check_object = {"ac.apcfg.check", &type};
