#include "stats/stats_poll.hpp"

#include "bus/ac_events.hpp"
#include "diag/ac_diag.hpp"
#include "stats/wireless_view.hpp"

void stats_all_clear()
{
	clear_vap_sta_info();
	ac_diag_clearing(&aps);
	ap_registry_clear(&aps, ac_event_ap_cleared);
}
