/*
 * rpcd sessions as plug-ins see them (host stand-in): only the hook record a
 * plug-in hands to session_create_cb / session_destroy_cb.
 */
#ifndef RPCD_HOST_SESSION_H
#define RPCD_HOST_SESSION_H

#include <libubox/list.h>

struct rpc_session;

struct rpc_session_cb {
	struct list_head list;
	void (*cb)(struct rpc_session *ses, void *priv);
	void *priv;
};

#endif
