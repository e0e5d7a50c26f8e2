// Bus events: what changed, for front ends that follow acd without polling.
// Every id starts with "ac."; the data is one flat table built in the reply
// buffer. Nothing is sent before the bus connection exists.
#pragma once

#include <cstdint>

#include "vex/codec/ap_registry.hpp"
#include "vex/codec/push_status.hpp"

struct poll_run_totals;

// "ac.ap.add" for a new record, "ac.ap.change" when a refresh changed its
// address or UbootMode.
void ac_event_ap_saved(const ap_save_change *change);
// "ac.ap.drop", reason "expired" or "all_clear"
void ac_event_ap_expired(const ap_record *ap);
void ac_event_ap_cleared(const ap_record *ap);
// "ac.push.result": a settings-push result as recorded (nullptr: not recorded)
void ac_event_push_result(const vex_hdr *hdr, const ap_status_entry *entry);
// "ac.upload": stage "offer" (result: the AP's status) or "transfer" (result:
// the upload command's raw result, -1 when it could not run or gave none)
void ac_event_upload(const uint8_t mac[6], const char *ip, uint8_t kind, const char *stage, int32_t result);
// "ac.poll.run": a statistics poll run whose exchanges have all ended
void ac_event_poll_run(const poll_run_totals *t);
