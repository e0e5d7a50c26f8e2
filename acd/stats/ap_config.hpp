// get_config's reply: one table per AP.
#pragma once

#include "gw/blob.hpp"
#include "vex/codec/ap_registry.hpp"

constexpr unsigned AC_CONFIG_MEMBERS = 53;

// Adds members 1 to 53 of the AP's table (no radios) to the open container of b.
void ac_config_add_ap(struct blob_buf *b, const ap_record *ap);
// The whole reply into b (restarted): {"Device_List": [...]} over list.
void ac_config_reply(struct blob_buf *b, struct list_head *list);
