// Upload of firmware or configuration files to APs.
#pragma once

#include "vex/codec/vex_codec.hpp"

// The acceptance handling of an upload response (message type 11).
void ac_upgrade_handle_response(vex_msg *msg);
