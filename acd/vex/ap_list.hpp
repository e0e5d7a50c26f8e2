// The daemon's AP list and the handlers that keep it: responses create and
// refresh records, the 50 s expiry check drops silent APs.
#pragma once

#include "gw/blob.hpp"
#include "vex/codec/ap_registry.hpp"

int savediscoverinfo(const ap_settings *block, const vex_hdr *hdr, int8_t mode);
// Handlers of the dispatcher: they read the message, which the dispatcher frees.
int KvVexHandleDiscoverResponseData(const vex_msg *msg);
int KvVexHandleAgentLoaderResponseData(const vex_msg *msg);
inline int KvVexHandleDiscoverResponse(const vex_msg *msg)
{
	return KvVexHandleDiscoverResponseData(msg);
}
inline int KvVexHandleAgentLoaderResponse(const vex_msg *msg)
{
	return KvVexHandleAgentLoaderResponseData(msg);
}
int discover_expire_check();
