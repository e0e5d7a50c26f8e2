// The APs' HTTP JSON-RPC service (http_server.cpp) and the answers they give
// (rpc_data.cpp).
//
// Per-AP configuration keys (set at start or with the control commands "set",
// "http" and "rpc"):
//   "http": switches, all optional:
//      "listen": false        no listener on port 80: connections are refused
//      "framing": "length" (default) | "chunked" | "close" (body ends at close)
//      "status": 200          HTTP status of the answer
//      "delay_ms": 0          wait before answering
//      "mode": "answer" (default) | "never" (read, never answer, keep open)
//              | "close_early" (headers and half the body, then close)
//              | "drop" (close without answering)
//      "redirect": "/path"    answer other paths with 302 to this path on the
//                             same AP, which answers any of the methods
//      "redirect_host": "name" the host the "redirect" Location names instead
//                             of the AP's address (a name: a misbehaving AP)
//      "body": "..."          send this text instead of the JSON-RPC answer
//      "nest": N              answer the request's id with a "result" of N
//                             nested arrays (deep input)
//      "jsonrpc": "2.0"       the answer's "jsonrpc" value (any JSON)
//      "id": <any JSON>       the answer's "id" instead of the request's
//      "status_element": 0    first element of "result" for wlan_statistic and
//                             sta_statistic (any JSON)
//   "rpc": the AP's data, each optional (generated from the AP when absent):
//      "wlan_profile": <the "result" array>,
//      "wlan_statistic": <data table>, "sta_statistic": <data table>
#pragma once

#include <string>

#include <json-c/json.h>

#include "apsim.hpp"

namespace apsim {

struct RpcAnswer {
	int status = 200;
	std::string body;
};

// The answer of the AP to one POST with the given path and body.
RpcAnswer rpc_answer(Ap &ap, const std::string &path, const std::string &body);

// The AP's data for a method (its "rpc" configuration, or generated); a new reference.
json_object *rpc_data(Ap &ap, const char *method);

} // namespace apsim
