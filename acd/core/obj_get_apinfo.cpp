// ac.get.apinfo: the statistics reports, all answered at once from what is
// stored, a discovery request to all APs, and forgetting every AP.
#include "bus/ac_handler.hpp"
#include "bus/ac_reply.hpp"
#include "core/ac_objects.hpp"
#include "stats/stats_poll.hpp"
#include "stats/stats_reply.hpp"
#include "stats/wireless_view.hpp"
#include "vex/vex_transport.hpp"

namespace {
AC_UBUS_HANDLER(wlan_profile)
{
	stats_reply_wlan_profile(&ac_reply_buf, &aps);
	return ac_reply_send(ctx, req);
}

AC_UBUS_HANDLER(wlan_info)
{
	refresh_wireless_view();
	return UBUS_STATUS_OK;
}

AC_UBUS_HANDLER(wlan_statistic)
{
	stats_reply_wlan_statistic(&ac_reply_buf, &aps);
	return ac_reply_send(ctx, req);
}

AC_UBUS_HANDLER(sta_statistic)
{
	refresh_wireless_view();
	stats_reply_sta_statistic(&ac_reply_buf, &aps);
	return ac_reply_send(ctx, req);
}

AC_UBUS_HANDLER(statistic)
{
	refresh_wireless_view();
	stats_reply_statistic(&ac_reply_buf, &aps);
	return ac_reply_send(ctx, req);
}

// No reply: the APs' responses fill the list.
AC_UBUS_HANDLER(ap_discover)
{
	get_aplist_from_vex();
	return UBUS_STATUS_OK;
}

AC_UBUS_HANDLER(all_clear)
{
	stats_all_clear();
	return UBUS_STATUS_OK;
}

struct ubus_method methods[] = {
	UBUS_METHOD_NOARG("wlan_profile", wlan_profile),
	UBUS_METHOD_NOARG("wlan_info", wlan_info),
	UBUS_METHOD_NOARG("wlan_statistic", wlan_statistic),
	UBUS_METHOD_NOARG("sta_statistic", sta_statistic),
	UBUS_METHOD_NOARG("statistic", statistic),
	UBUS_METHOD_NOARG("ap_discover", ap_discover),
	UBUS_METHOD_NOARG("all_clear", all_clear),
};

struct ubus_object_type type = GW_UBUS_OBJECT_TYPE("ac-get-apinfo", methods);
} // namespace

const ac_object_def ac_get_apinfo_object = {"ac.get.apinfo", &type};
