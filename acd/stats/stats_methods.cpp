#include "stats/stats_methods.hpp"

#include "core/ac_reply.hpp"
#include "stats/stats_reply.hpp"
#include "stats/wireless_view.hpp"
#include "vex/ap_list.hpp"

// Every report answers at once from what is stored.

int ac_wlan_profile(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
		    const char *, struct blob_attr *)
{
	stats_reply_wlan_profile(&ac_reply_buf, &aps);
	return ac_reply_send(ctx, req);
}

int ac_wlan_info(struct ubus_context *, struct ubus_object *, struct ubus_request_data *,
		 const char *, struct blob_attr *)
{
	refresh_wireless_view();
	return UBUS_STATUS_OK;
}

int ac_wlan_statistic(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
		      const char *, struct blob_attr *)
{
	stats_reply_wlan_statistic(&ac_reply_buf, &aps);
	return ac_reply_send(ctx, req);
}

int ac_sta_statistic(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
		     const char *, struct blob_attr *)
{
	refresh_wireless_view();
	stats_reply_sta_statistic(&ac_reply_buf, &aps);
	return ac_reply_send(ctx, req);
}

int ac_statistic(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
		 const char *, struct blob_attr *)
{
	refresh_wireless_view();
	stats_reply_statistic(&ac_reply_buf, &aps);
	return ac_reply_send(ctx, req);
}
