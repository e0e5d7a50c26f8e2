#include "vex/ap_list.hpp"

#include <ctime>

#include "diag/ac_diag.hpp"
#include "bus/ac_events.hpp"
#include "stats/wireless_view.hpp"

int savediscoverinfo(const ap_settings *block, const vex_hdr *hdr, int8_t mode)
{
	ap_save_change change;
	int rc = ap_registry_save(&aps, block, hdr, mode, ap_clock(), &change);
	ac_event_ap_saved(&change);
	return rc;
}

int KvVexHandleDiscoverResponseData(const vex_msg *msg)
{
	ap_settings block;
	ap_settings_from_response(&block, msg);
	savediscoverinfo(&block, &msg->hdr, AP_MODE_FIRMWARE);
	return 0;
}

int KvVexHandleAgentLoaderResponseData(const vex_msg *msg)
{
	ap_settings block;
	ap_settings_from_agent(&block, msg);
	savediscoverinfo(&block, &msg->hdr, AP_MODE_AGENT);
	return 0;
}

int discover_expire_check()
{
	int32_t now = ap_clock();
	clear_vap_sta_info();
	ac_diag_expiring(&aps, now);
	ap_registry_expire(&aps, now, ac_event_ap_expired);
	return 0;
}
