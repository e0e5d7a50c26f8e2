#include "core/ac_diag.hpp"
#include "core/ac_events.hpp"
#include "stats/stats_methods.hpp"
#include "stats/wireless_view.hpp"
#include "vex/ap_list.hpp"

int ac_all_clear(struct ubus_context *, struct ubus_object *, struct ubus_request_data *,
		 const char *, struct blob_attr *)
{
	clear_vap_sta_info();
	ac_diag_clearing(&aps);
	ap_registry_clear(&aps, ac_event_ap_cleared);
	return UBUS_STATUS_OK;
}
