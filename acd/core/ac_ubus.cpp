// The ubus surface: every object, method and argument policy, in registration
// and declaration order. Handlers live with their subsystems.
#include "core/ac_ubus.hpp"

#include <cstdio>

#include "apconfig/apconfig_methods.hpp"
#include "core/ac_diag.hpp"
#include "core/ac_ubus_policy.hpp"
#include "stats/stats_methods.hpp"
#include "vex/vex_handle.hpp"

struct ubus_context *ac_ubus_ctx;

const struct blobmsg_policy set_config_policy[__SET_CONFIG_MAX] = {
	[SET_CONFIG_CONFIG] = {"config", BLOBMSG_TYPE_TABLE},
};

const struct blobmsg_policy iplist_policy[__IPLIST_MAX] = {
	[IPLIST_IPLIST] = {"iplist", BLOBMSG_TYPE_ARRAY},
};

const struct blobmsg_policy firmware_policy[__FIRMWARE_MAX] = {
	[FIRMWARE_IPLIST] = {"iplist", BLOBMSG_TYPE_ARRAY},
	[FIRMWARE_PASSWORD] = {"password", BLOBMSG_TYPE_STRING},
};

const struct blobmsg_policy config_policy[__CONFIG_MAX] = {
	[CONFIG_IPLIST] = {"iplist", BLOBMSG_TYPE_ARRAY},
	[CONFIG_KEY] = {"key", BLOBMSG_TYPE_STRING},
	[CONFIG_PASSWORD] = {"password", BLOBMSG_TYPE_STRING},
};

const struct blobmsg_policy apfw_check_policy[__APFW_CHECK_MAX] = {
	[APFW_CHECK_MODEL] = {"Model", BLOBMSG_TYPE_STRING},
};

const struct blobmsg_policy status_ip_policy[__STATUS_MAX] = {
	[STATUS_IP] = {"ip", BLOBMSG_TYPE_STRING},
};

namespace {
struct ubus_method ac_get_apinfo_methods[] = {
	UBUS_METHOD_NOARG("wlan_profile", ac_wlan_profile),
	UBUS_METHOD_NOARG("wlan_info", ac_wlan_info),
	UBUS_METHOD_NOARG("wlan_statistic", ac_wlan_statistic),
	UBUS_METHOD_NOARG("sta_statistic", ac_sta_statistic),
	UBUS_METHOD_NOARG("statistic", ac_statistic),
	UBUS_METHOD_NOARG("ap_discover", ac_ap_discover),
	UBUS_METHOD_NOARG("all_clear", ac_all_clear),
};

struct ubus_method ac_set_config_methods[] = {
	UBUS_METHOD("set_config", ac_set_config, set_config_policy),
	UBUS_METHOD_NOARG("pwd_status", ac_pwd_status),
};

struct ubus_method ac_get_config_methods[] = {
	UBUS_METHOD_NOARG("get_config", ac_get_config),
	UBUS_METHOD_NOARG("get_export_config", ac_get_export_config),
	UBUS_METHOD("gen_export_config", ac_gen_export_config, iplist_policy),
};

struct ubus_method ac_exec_config_methods[] = {
	UBUS_METHOD("exec_config", ac_exec_config, iplist_policy),
};

struct ubus_method ac_upgrade_methods[] = {
	UBUS_METHOD("firmware", ac_firmware, firmware_policy),
	UBUS_METHOD("config", ac_config, config_policy),
};

struct ubus_method ac_apfw_check_methods[] = {
	UBUS_METHOD("apfw_check", ac_apfw_check, apfw_check_policy),
	UBUS_METHOD("apfw_upload_status", ac_apfw_upload_status, status_ip_policy),
	UBUS_METHOD("apfw_pwd_status", ac_apfw_pwd_status, status_ip_policy),
};

// apcfg_enc_key_check declares no policy; the handler requires "key" itself.
struct ubus_method ac_apcfg_check_methods[] = {
	UBUS_METHOD_NOARG("apcfg_valid_check", ac_apcfg_valid_check),
	UBUS_METHOD_NOARG("apcfg_enc_key_check", ac_apcfg_enc_key_check),
	UBUS_METHOD("apcfg_upload_status", ac_apcfg_upload_status, status_ip_policy),
	UBUS_METHOD("apcfg_pwd_status", ac_apcfg_pwd_status, status_ip_policy),
};

struct ubus_object_type ac_get_apinfo_type = GW_UBUS_OBJECT_TYPE("ac-get-apinfo", ac_get_apinfo_methods);
struct ubus_object_type ac_set_config_type = GW_UBUS_OBJECT_TYPE("ac-set-config", ac_set_config_methods);
struct ubus_object_type ac_get_config_type = GW_UBUS_OBJECT_TYPE("ac-get-config", ac_get_config_methods);
struct ubus_object_type ac_exec_config_type =
	GW_UBUS_OBJECT_TYPE("ac-exec-config", ac_exec_config_methods);
struct ubus_object_type ac_upgrade_type = GW_UBUS_OBJECT_TYPE("ac-upgrade", ac_upgrade_methods);
struct ubus_object_type ac_apfw_check_type = GW_UBUS_OBJECT_TYPE("ac-apfw-config", ac_apfw_check_methods);
struct ubus_object_type ac_apcfg_check_type =
	GW_UBUS_OBJECT_TYPE("ac-apcfg-config", ac_apcfg_check_methods);

struct ac_object_def {
	const char *name;
	struct ubus_object_type *type;
};

const ac_object_def ac_object_defs[] = {
	{"ac.get.apinfo", &ac_get_apinfo_type},
	{"ac.set.config", &ac_set_config_type},
	{"ac.get.config", &ac_get_config_type},
	{"ac.exec.config", &ac_exec_config_type},
	{"ac.upgrade", &ac_upgrade_type},
	{"ac.apfw.check", &ac_apfw_check_type},
	{"ac.apcfg.check", &ac_apcfg_check_type},
};

// Filled from the table at registration; the bus links them by address.
struct ubus_object ac_objects[ARRAY_SIZE(ac_object_defs)];
} // namespace

int ac_ubus_init()
{
	ac_ubus_ctx = ubus_connect(AC_UBUS_SOCKET);
	if (!ac_ubus_ctx) {
		fputs("Failed to connect to ubus\n", stderr);
		return -1;
	}
	int rc = 0;
	for (size_t i = 0; i < ARRAY_SIZE(ac_object_defs); i++) {
		struct ubus_object *obj = &ac_objects[i];
		// An object dispatches with the same method table its type advertises.
		obj->name = ac_object_defs[i].name;
		obj->type = ac_object_defs[i].type;
		obj->methods = obj->type->methods;
		obj->n_methods = obj->type->n_methods;
		rc |= ubus_add_object(ac_ubus_ctx, obj);
	}
	// An extra: the controller works without it.
	if (ac_diag_register(ac_ubus_ctx) != 0)
		fputs("ac.diag not registered\n", stderr);
	// What libubus's own loop hook does: level-triggered, socket left as it is.
	uloop_fd_add(&ac_ubus_ctx->sock, ULOOP_BLOCKING | ULOOP_READ);
	return rc;
}

void ac_ubus_free()
{
	if (ac_ubus_ctx)
		ubus_free(ac_ubus_ctx);
	ac_ubus_ctx = nullptr;
}
