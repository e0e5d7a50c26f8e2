// ubus handlers of the AP information and statistics methods.
#pragma once

#include "core/ac_handler.hpp"

// ac.get.apinfo
AC_UBUS_HANDLER(ac_wlan_profile);
AC_UBUS_HANDLER(ac_wlan_info);
AC_UBUS_HANDLER(ac_wlan_statistic);
AC_UBUS_HANDLER(ac_sta_statistic);
AC_UBUS_HANDLER(ac_statistic);
AC_UBUS_HANDLER(ac_all_clear);
// ac.get.config
AC_UBUS_HANDLER(ac_get_config);
