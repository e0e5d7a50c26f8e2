#include "core/vex_dispatch.hpp"

#include <cstring>

#include "apconfig/upgrade.hpp"
#include "diag/ac_diag.hpp"
#include "bus/ac_events.hpp"
#include "vex/ap_list.hpp"
#include "vex/vex_transport.hpp"

namespace {
vex_msg vex_rx_msg;
} // namespace

int KvVexHandleRxData(const uint8_t *buf, uint32_t length, const struct sockaddr_in *sender)
{
	// APs are known by the MAC in the header and the address they report, not
	// by where a datagram came from. The message is freed here only: handlers
	// read it and never keep or release its values.
	memset(&vex_rx_msg, 0, sizeof vex_rx_msg);
	int handled = 0;
	if (KvVexPasrsePacket(buf, length, &vex_rx_msg))
		handled = KvVexHandleRequest(&vex_rx_msg);
	KvVexFreeVexData(vex_rx_msg.tlv, VEX_MAX_TLV);
	ac_diag_datagram(buf, length, sender, handled);
	return handled;
}

int KvVexHandleRequest(const vex_msg *msg)
{
	uint16_t reason = 0;
	if (!KvVexCheckDiscoverHeader(&msg->hdr, &reason))
		return 0;
	switch (msg->hdr.u2MsgType) {
	case VEX_MSG_DISCOVER_RESP:
		KvVexHandleDiscoverResponse(msg);
		return 1;
	case VEX_MSG_AGENT_RESP:
		KvVexHandleAgentLoaderResponse(msg);
		return 1;
	case VEX_MSG_SET_RESULT:
		ac_event_push_result(&msg->hdr, ap_status_record(&aps_status, msg));
		return 1;
	case VEX_MSG_UPLOAD_RESP:
		ac_upgrade_handle_response(msg);
		return 1;
	case 1:
	case 5:
	case 7:
	case 10:
	case 13:
	case 14:
		return 1;
	default:
		return 0;
	}
}
