// Argument policies of the ubus methods (defined with the method tables in
// ac_ubus.cpp); handlers parse their message with them.
#pragma once

#include "gw/ubus.hpp"

enum { SET_CONFIG_CONFIG, __SET_CONFIG_MAX };
extern const struct blobmsg_policy set_config_policy[__SET_CONFIG_MAX];

// gen_export_config and exec_config
enum { IPLIST_IPLIST, __IPLIST_MAX };
extern const struct blobmsg_policy iplist_policy[__IPLIST_MAX];

enum { FIRMWARE_IPLIST, FIRMWARE_PASSWORD, __FIRMWARE_MAX };
extern const struct blobmsg_policy firmware_policy[__FIRMWARE_MAX];

enum { CONFIG_IPLIST, CONFIG_KEY, CONFIG_PASSWORD, __CONFIG_MAX };
extern const struct blobmsg_policy config_policy[__CONFIG_MAX];

enum { APFW_CHECK_MODEL, __APFW_CHECK_MAX };
extern const struct blobmsg_policy apfw_check_policy[__APFW_CHECK_MAX];

// apfw_upload_status, apfw_pwd_status, apcfg_upload_status, apcfg_pwd_status
enum { STATUS_IP, __STATUS_MAX };
extern const struct blobmsg_policy status_ip_policy[__STATUS_MAX];
