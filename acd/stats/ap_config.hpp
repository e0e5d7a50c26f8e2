// get_config's reply: one table per AP.
#pragma once

#include "gw/blob.hpp"
#include "vex/codec/ap_registry.hpp"

// Adds the members of the AP's table before its radios, in the order of the
// get_config column of the TLV table, to the open container of b.
void ac_config_add_ap(struct blob_buf *b, const ap_record *ap);
// The whole reply into b (restarted): {"Device_List": [...]} over list.
void ac_config_reply(struct blob_buf *b, struct list_head *list);
