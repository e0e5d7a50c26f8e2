// The daemon's bus objects, one file each (core/obj_*.cpp): the method
// enums, argument policies, method table, type and object together, with
// handlers that check the arguments and call the side that does the work.
#pragma once

#include "gw/ubus.hpp"

// An object's name and type; the object dispatches with the method table its
// type advertises. Registration fills the bus's object from it.
struct ac_object_def {
	const char *name;
	struct ubus_object_type *type;
};

// In registration order.
extern const ac_object_def ac_get_apinfo_object;
extern const ac_object_def ac_set_config_object;
extern const ac_object_def ac_get_config_object;
extern const ac_object_def ac_exec_config_object;
extern const ac_object_def ac_upgrade_object;
extern const ac_object_def ac_apfw_check_object;
extern const ac_object_def ac_apcfg_check_object;
// An extra: the controller works without it.
extern const ac_object_def ac_diag_object;
