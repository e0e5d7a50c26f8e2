// The wireless view of the daemon's own AP list.
#include "stats/wireless_view.hpp"
#include "vex/codec/ap_registry.hpp"

void clear_vap_sta_info()
{
	wireless_view_clear(&aps);
}

void refresh_wireless_view()
{
	wireless_view_refresh(&aps);
}
