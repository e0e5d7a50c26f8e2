// Discovery: a request (type 1) by multicast, broadcast or unicast gets a
// discovery response (type 2) with the AP's settings, or, while the AP runs its
// boot agent, an agent-loader response (type 12) with name and address only.
#include <cstdio>

#include "apsim.hpp"

namespace apsim {
namespace {
void on_discovery_request(Sim &sim, Ap &ap, const VexRx &rx)
{
	std::vector<Tlv> tlvs;
	std::string err;
	if (!ap.discovery_tlvs(tlvs, err)) {
		fprintf(stderr, "apsim: AP %d: %s\n", ap.index, err.c_str());
		return;
	}
	uint16_t type = VEX_MSG_DISCOVER_RESP;
	if (ap.boot) {
		std::vector<Tlv> keep;
		for (auto &t : tlvs)
			if (t.type == 1 || t.type == 4)
				keep.push_back(std::move(t));
		tlvs.swap(keep);
		type = VEX_MSG_AGENT_RESP;
	}
	sim.reply(ap, rx, encode_message(ap.header(type, 0, &rx.msg->hdr), tlvs));
}
} // namespace

APSIM_VEX_HANDLER(VEX_MSG_DISCOVER_REQ, on_discovery_request);
} // namespace apsim
