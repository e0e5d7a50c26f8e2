// The statistics poll: every 10 s three JSON-RPC requests to every AP over HTTP;
// acceptable answers replace the AP's reply slots as their exchanges end.
#pragma once

#include <cstdint>

#include "achttp.hpp"

// An exchange that has not ended this long after its connect is dropped:
// quietly when the AP accepted the connection, with the connection error when
// it never did. With one open exchange per AP address and request id, an AP
// that accepts connections and never answers holds at most three, and is asked
// again at the first poll run after they ended (every third run).
constexpr int JSONRPC_EXCHANGE_LIMIT_MS = 25000;

// A poll run's requests go out as the window frees up: at most this many
// exchanges hold it, so a run needs few descriptors however many APs there are.
constexpr unsigned JSONRPC_WINDOW = 32;
// An exchange that has not ended this long after its start leaves the window
// (a slow or silent AP does not hold up the others) and goes on outside it...
constexpr int JSONRPC_WINDOW_HOLD_MS = 1000;
// ...where at most this many wait. With that many open no new one starts; the
// oldest outside the window is given up, as if its time limit had run out, once
// it has gone on this long.
constexpr unsigned JSONRPC_SLOW_MAX = 128;
constexpr int JSONRPC_SLOW_GIVE_UP_MS = 5000;

// The poll run of the timer (the timer re-arms itself): the run's requests go
// out through the window. When the timer fires while the last run is still
// being sent, the next run starts as soon as that one is.
void ac_stats_poll();
void apinfo_poll();

// ac.get.apinfo all_clear: forgets every AP and what was learnt of it.
void stats_all_clear();

// Starts one exchange with the AP at address text ip for request id; takes
// ownership of body (JSON text) and frees it on every path. Nothing is sent
// while an exchange for the same address and id is still open.
void jsonrpc_post(const char *url, char *body, const char *ip, int32_t id);

// Exchanges currently open.
unsigned jsonrpc_open_exchanges();

// The client's callbacks. The read callback only collects the body; the
// end-of-data and error callbacks both end the exchange in jsonrpc_finish.
void jsonrpc_read_cb(struct achttp_client *cl);
void jsonrpc_eof_cb(struct achttp_client *cl);
void jsonrpc_header_cb(struct achttp_client *cl);
void jsonrpc_error_cb(struct achttp_client *cl, int code);
// The one way out of an exchange: a whole answer is parsed and stored first,
// then how the exchange ended is told and recorded, and it is released. code is
// the client's error, or JSONRPC_END_EOF for the end of data.
constexpr int JSONRPC_END_EOF = -1;
void jsonrpc_finish(struct achttp_client *cl, int code);
// Checks one parsed answer of the client's exchange and stores it (1), or
// rejects it (0).
int jsonrpc_store_reply(struct achttp_client *cl, struct blob_attr *answer);
// Refreshes the client's local and remote addresses from its socket.
void get_remote_addr(struct achttp_client *cl);
