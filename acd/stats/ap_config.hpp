// get_config's table of one AP.
#pragma once

#include "gw/ubox.hpp"
#include "vex/codec/ap_registry.hpp"

constexpr unsigned AC_CONFIG_MEMBERS = 53;

// Adds members 1 to 53 of the AP's table (no radios) to the open container of b.
void ac_config_add_ap(struct blob_buf *b, const ap_record *ap);
