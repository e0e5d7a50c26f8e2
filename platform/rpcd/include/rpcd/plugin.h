/*
 * The interface between rpcd and its shared-object plug-ins (host stand-in).
 * A plug-in exports one writable data symbol, struct rpc_plugin rpc_plugin;
 * rpcd links it into its plug-in list and calls init once, before its loop runs.
 * No extern "C" guards, as on the router: C++ plug-ins wrap the include.
 */
#ifndef RPCD_HOST_PLUGIN_H
#define RPCD_HOST_PLUGIN_H

#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include <stdbool.h>

#include <libubox/blobmsg_json.h>
#include <libubus.h>
#include <json-c/json.h>

#include "exec.h"
#include "session.h"

struct ubus_context;
struct ubus_request_data;

/* rpcd's services for plug-ins; fields are only ever appended */
struct rpc_daemon_ops {
	bool (*session_access)(const char *sid, const char *scope, const char *object,
			       const char *function);
	void (*session_create_cb)(struct rpc_session_cb *cb);
	void (*session_destroy_cb)(struct rpc_session_cb *cb);
	int (*exec)(const char **args, rpc_exec_write_cb_t in, rpc_exec_read_cb_t out,
		    rpc_exec_read_cb_t err, rpc_exec_done_cb_t end, void *priv,
		    struct ubus_context *ctx, struct ubus_request_data *req);
	int *exec_timeout;
};

struct rpc_plugin {
	struct list_head list; /* rpcd's */
	int (*init)(const struct rpc_daemon_ops *ops, struct ubus_context *ctx);
};

#endif
