// The bus connection and the registration of every object, in order.
#include "core/ac_ubus.hpp"

#include <cstdio>

#include "core/ac_objects.hpp"
#include "diag/ac_diag.hpp"

namespace {
const ac_object_def *const ac_object_defs[] = {
	&ac_get_apinfo_object, &ac_set_config_object, &ac_get_config_object, &ac_exec_config_object,
	&ac_upgrade_object,    &ac_apfw_check_object, &ac_apcfg_check_object, &ac_diag_object,
};
// The bus links them by address.
struct ubus_object ac_objects[ARRAY_SIZE(ac_object_defs)];

int ac_object_add(size_t i)
{
	struct ubus_object *obj = &ac_objects[i];
	obj->name = ac_object_defs[i]->name;
	obj->type = ac_object_defs[i]->type;
	obj->methods = obj->type->methods;
	obj->n_methods = obj->type->n_methods;
	return ubus_add_object(ac_ubus_ctx, obj);
}
} // namespace

int ac_ubus_init()
{
	ac_ubus_ctx = ubus_connect(AC_UBUS_SOCKET);
	if (!ac_ubus_ctx) {
		fputs("Failed to connect to ubus\n", stderr);
		return -1;
	}
	int rc = 0;
	size_t diag = ARRAY_SIZE(ac_object_defs) - 1;
	for (size_t i = 0; i < diag; i++)
		rc |= ac_object_add(i);
	ac_diag_start();
	if (ac_object_add(diag) != 0)
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
