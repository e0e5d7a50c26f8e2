// ac.get.config: every AP's settings, and the export table as "/tmp/cfg.csv"
// (gen_export_config) and back (get_export_config).
#include "apconfig/apconfig.hpp"
#include "bus/ac_handler.hpp"
#include "bus/ac_reply.hpp"
#include "core/ac_objects.hpp"
#include "stats/ap_config.hpp"
#include "stats/wireless_view.hpp"

namespace {
enum { IPLIST_IPLIST, __IPLIST_MAX };
const struct blobmsg_policy iplist_policy[__IPLIST_MAX] = {
	[IPLIST_IPLIST] = {"iplist", BLOBMSG_TYPE_ARRAY},
};

AC_UBUS_HANDLER(get_config)
{
	refresh_wireless_view();
	ac_config_reply(&ac_reply_buf, &aps);
	ac_reply_send(ctx, req);
	return UBUS_STATUS_OK;
}

AC_UBUS_HANDLER(get_export_config)
{
	if (!ac_export_read(&ac_reply_buf))
		return UBUS_STATUS_OK; // no reply at all
	return ac_reply_send(ctx, req);
}

AC_UBUS_HANDLER(gen_export_config)
{
	struct blob_attr *tb[__IPLIST_MAX];
	blobmsg_parse(iplist_policy, __IPLIST_MAX, tb, blob_data(msg), blob_len(msg));
	if (!tb[IPLIST_IPLIST])
		return UBUS_STATUS_INVALID_ARGUMENT;
	ac_export_write(tb[IPLIST_IPLIST]);
	return UBUS_STATUS_OK;
}

struct ubus_method methods[] = {
	UBUS_METHOD_NOARG("get_config", get_config),
	UBUS_METHOD_NOARG("get_export_config", get_export_config),
	UBUS_METHOD("gen_export_config", gen_export_config, iplist_policy),
};

struct ubus_object_type type = GW_UBUS_OBJECT_TYPE("ac-get-config", methods);
} // namespace

const ac_object_def ac_get_config_object = {"ac.get.config", &type};
