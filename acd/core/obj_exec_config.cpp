// ac.exec.config: exec_config pushes the pending settings document to the APs
// named in "iplist".
#include "apconfig/apconfig.hpp"
#include "bus/ac_handler.hpp"
#include "core/ac_objects.hpp"

namespace {
enum { IPLIST_IPLIST, __IPLIST_MAX };
const struct blobmsg_policy iplist_policy[__IPLIST_MAX] = {
	[IPLIST_IPLIST] = {"iplist", BLOBMSG_TYPE_ARRAY},
};

AC_UBUS_HANDLER(exec_config)
{
	struct blob_attr *tb[__IPLIST_MAX];
	blobmsg_parse(iplist_policy, __IPLIST_MAX, tb, blob_data(msg), blob_len(msg));
	if (!tb[IPLIST_IPLIST])
		return UBUS_STATUS_INVALID_ARGUMENT;
	ac_exec_push(tb[IPLIST_IPLIST]);
	return UBUS_STATUS_OK;
}

struct ubus_method methods[] = {
	UBUS_METHOD("exec_config", exec_config, iplist_policy),
};

struct ubus_object_type type = GW_UBUS_OBJECT_TYPE("ac-exec-config", methods);
} // namespace

const ac_object_def ac_exec_config_object = {"ac.exec.config", &type};
