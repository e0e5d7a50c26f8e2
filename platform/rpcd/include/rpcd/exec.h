/*
 * rpcd's process runner as plug-ins reach it through rpc_daemon_ops.exec (host
 * stand-in): the hook types and the runner's time limit.
 */
#ifndef RPCD_HOST_EXEC_H
#define RPCD_HOST_EXEC_H

#include <libubox/blobmsg.h>
#include <libubox/ustream.h>

/* default of the -t option, in ms */
#define RPC_EXEC_DEFAULT_TIMEOUT (120 * 1000)

/* feeds the child's stdin */
typedef int (*rpc_exec_write_cb_t)(struct ustream *s, void *priv);
/* sees stdout or stderr text; returns the bytes it used */
typedef int (*rpc_exec_read_cb_t)(struct blob_buf *blob, char *data, int len, void *priv);
/* the child ended; the result replaces the request's status */
typedef int (*rpc_exec_done_cb_t)(struct blob_buf *blob, int wait_status, void *priv);

#endif
