// The report replies, built into a restarted blob_buf from an AP list whose
// wireless view is already refreshed (for the reports that show it).
#pragma once

#include "gw/blob.hpp"
#include "vex/codec/ap_registry.hpp"

// The profile tables of every AP's "result", unnamed, one AP after the other.
void stats_reply_wlan_profile(struct blob_buf *b, struct list_head *list);
// The members of every AP's statistics table, one AP after the other.
void stats_reply_wlan_statistic(struct blob_buf *b, struct list_head *list);
// {"statistic": [ {"radio2g": [...], "radio5g": [...]}, ... ]}
void stats_reply_statistic(struct blob_buf *b, struct list_head *list);
// {"Clients": [ {"bssid", "hw_mode", "ssid", "clients": [...]}, ... ]}
void stats_reply_sta_statistic(struct blob_buf *b, struct list_head *list);
// "radio2g" and "radio5g" of one AP into the open table of b, when its
// statistics answer is stored; with_mac adds "ap_mac" to each VAP.
void stats_add_radios(struct blob_buf *b, const ap_record *ap, bool with_mac);
