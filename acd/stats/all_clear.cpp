#include "stats/stats_methods.hpp"
#include "stats/wireless_view.hpp"
#include "vex/ap_list.hpp"

int ac_all_clear(struct ubus_context *, struct ubus_object *, struct ubus_request_data *,
		 const char *, struct blob_attr *)
{
	clear_vap_sta_info();
	ap_registry_clear(&aps);
	return UBUS_STATUS_OK;
}
