#include "stats/ap_stats.hpp"

#include <cstdlib>

#include "stats/wireless_view.hpp"

void ap_stats_clear_view(ap_stats *s)
{
	vap_entry *vap, *next;
	list_for_each_entry_safe(vap, next, &s->vaps, list) {
		sta_entry *sta, *snext;
		list_for_each_entry_safe(sta, snext, &vap->stas, list) {
			list_del(&sta->list);
			free(sta);
		}
		list_del(&vap->list);
		free(vap);
	}
}

void ap_stats_release(ap_stats *s)
{
	ap_stats_clear_view(s);
	for (blob_attr *&slot : s->slots) {
		free(slot);
		slot = nullptr;
	}
}
