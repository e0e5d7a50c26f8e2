// ubus handlers of the configuration and firmware methods.
#pragma once

#include "core/ac_handler.hpp"

// ac.set.config
AC_UBUS_HANDLER(ac_set_config);
AC_UBUS_HANDLER(ac_pwd_status);
// ac.get.config (get_config itself is with the statistics)
AC_UBUS_HANDLER(ac_get_export_config);
AC_UBUS_HANDLER(ac_gen_export_config);
// ac.exec.config
AC_UBUS_HANDLER(ac_exec_config);
// ac.upgrade
AC_UBUS_HANDLER(ac_firmware);
AC_UBUS_HANDLER(ac_config);
// ac.apfw.check
AC_UBUS_HANDLER(ac_apfw_check);
AC_UBUS_HANDLER(ac_apfw_upload_status);
AC_UBUS_HANDLER(ac_apfw_pwd_status);
// ac.apcfg.check
AC_UBUS_HANDLER(ac_apcfg_valid_check);
AC_UBUS_HANDLER(ac_apcfg_enc_key_check);
AC_UBUS_HANDLER(ac_apcfg_upload_status);
AC_UBUS_HANDLER(ac_apcfg_pwd_status);
