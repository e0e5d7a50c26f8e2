// The process runner: runs an outside command for a ubus method without
// blocking the loop and answers the deferred request when the command is done.
#pragma once

#include "gw/ubus.hpp"

constexpr int AC_EXEC_TIMEOUT_MS = 30000;
constexpr int AC_EXEC_BUF_LEN = 4096; // per stream buffer
constexpr int AC_EXEC_BUF_MAX = 64;   // buffers per stream: 256 KiB
constexpr unsigned AC_EXEC_PATH_MAX = 4096;
#define AC_EXEC_DEFAULT_PATH "/bin:/usr/bin:/sbin:/usr/sbin"

// Feeds the command's standard input; > 0 while there is more to write.
typedef int (*ac_exec_write_cb)(struct ustream *s, void *priv);
// Takes standard output (or error) bytes; returns how many it consumed, <= 0 to stop for now.
typedef int (*ac_exec_read_cb)(struct blob_buf *reply, char *buf, int len, void *priv);
// Called once at a successful end with the raw wait status; 0 sends the reply.
typedef int (*ac_exec_finish_cb)(struct blob_buf *reply, int status, void *priv);

// For a child before it runs something else: closes every descriptor from
// first up, so no child keeps the daemon's sockets or another run's pipes.
void ac_exec_close_from(int first);
constexpr int AC_EXEC_CLOSE_MAX = 1024; // without /proc: the descriptors tried

// The path of a program the way a shell finds it: the name itself when it
// names a regular file, else the first regular file along PATH (or the
// default list). The result may live in a static buffer that the next lookup
// overwrites. nullptr when nothing is found.
const char *ac_exec_lookup(const char *cmd);

// Starts argv (ending with nullptr) with its standard streams on pipes and
// defers req. Without any hook the reply is { "code", "stdout", "stderr" }.
// Returns 0 when started: the run then owns priv (malloc'd) and frees it when
// it ends. Otherwise the ubus status of the failed start; nothing is left
// behind and priv stays the caller's.
int ac_exec(const char *const *argv, ac_exec_write_cb in, ac_exec_read_cb out, ac_exec_read_cb err,
            ac_exec_finish_cb finish, void *priv, struct ubus_context *ctx, struct ubus_request_data *req);
