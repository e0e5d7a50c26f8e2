// The statistics side's part of an AP record: the latest poll answers and the
// wireless view made from them. Only the stats side writes it; the record's
// release hands it back with one call.
#pragma once

#include <cstdint>

#include "gw/blob.hpp"

constexpr unsigned AP_REPLY_SLOTS = 8; // JSON-RPC answers with ids 102 to 109
constexpr unsigned AP_REPLY_FIRST_ID = 102;

struct ap_stats {
	struct list_head vaps;                   // vap_entry, rebuilt by each report
	struct blob_attr *slots[AP_REPLY_SLOTS]; // owned copies of the latest answers, or null
};

// A zero-filled part made ready (no answers, no view).
inline void ap_stats_init(ap_stats *s) { INIT_LIST_HEAD(&s->vaps); }
// Drops the view: every VAP entry with its stations.
void ap_stats_clear_view(ap_stats *s);
// Drops the view and the stored answers.
void ap_stats_release(ap_stats *s);
