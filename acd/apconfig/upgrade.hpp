// Upload of firmware or configuration files to APs.
#pragma once

#include "vex/codec/vex_codec.hpp"

// The acceptance handling of an upload response (message type 11); reads the
// header only.
void ac_upgrade_handle_response(const vex_msg *msg);
