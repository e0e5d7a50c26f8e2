// The daemon's AP list and the handlers that keep it: responses create and
// refresh records, the 50 s expiry check drops silent APs.
#pragma once

#include "gw/ubox.hpp"
#include "vex/codec/ap_registry.hpp"

extern struct list_head aps;

// The registry's clock: whole seconds on the monotonic clock the loop runs on,
// so a step of the wall clock (NTP after boot) neither drops every AP nor keeps
// a silent one. Never 0, which marks a record never polled. Tests may point it
// at a clock of their own.
extern int32_t (*ap_clock)();
int32_t ap_clock_monotonic();

int savediscoverinfo(const ap_settings *block, const vex_hdr *hdr, int8_t mode);
int KvVexHandleDiscoverResponse(vex_msg *msg);
int KvVexHandleDiscoverResponseData(vex_msg *msg);
int KvVexHandleAgentLoaderResponse(vex_msg *msg);
int KvVexHandleAgentLoaderResponseData(vex_msg *msg);
int discover_expire_check();
