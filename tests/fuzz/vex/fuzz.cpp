// Vex datagrams through the daemon's receive path: parse, header check, and the
// handling of discovery responses, agent-loader responses and push results
// (the AP list, the push-status list, get_config's table of an AP). An input
// holds several datagrams, each a 16-bit big-endian length and its bytes, so
// refreshes of a known AP and repeated push results are reached too.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "gw/blob.hpp"
#include "stats/ap_config.hpp"
#include "stats/wireless_view.hpp"
#include "vex/ap_list.hpp"
#include "vex/codec/ap_registry.hpp"
#include "vex/codec/push_status.hpp"
#include "vex/codec/vex_tlv.hpp"
#include "core/vex_dispatch.hpp"

namespace {
[[noreturn]] void broken(const char *what)
{
	fprintf(stderr, "fuzz_vex: %s\n", what);
	abort();
}

// What was parsed, generated again, gives the bytes it came from: the header's
// fields and every TLV up to the first of type 0.
void check_round_trip(const uint8_t *d, size_t n)
{
	auto *m = static_cast<vex_msg *>(calloc(1, sizeof(vex_msg)));
	if (!KvVexPasrsePacket(d, uint32_t(n), m)) {
		// Only a data part too short for one TLV head is refused with a whole header.
		if (n >= VEX_HDR_LEN && (n == VEX_HDR_LEN || n >= VEX_HDR_LEN + VEX_TLV_HEAD_LEN))
			broken("a datagram with a whole header was refused");
		free(m);
		return;
	}
	uint8_t hdr[VEX_HDR_LEN];
	KvVexGenVexHdr(hdr, sizeof hdr, &m->hdr);
	if (memcmp(hdr, d, VEX_OFF_RESERVED) != 0)
		broken("header fields differ after parse and generate");

	std::vector<vex_tlv> gen(VEX_MAX_TLV + 1, vex_tlv{});
	uint32_t total = 0;
	unsigned count = 0;
	for (; count < VEX_MAX_TLV && m->tlv[count].pu1Value && m->tlv[count].u2Type; count++) {
		gen[count] = m->tlv[count];
		gen[count].u2Len = uint16_t(m->tlv[count].u2Len + VEX_TLV_HEAD_LEN);
		total += gen[count].u2Len;
	}
	if (total < VEX_MAX_DATA) {
		std::vector<uint8_t> out(VEX_MAX_DATA);
		uint16_t outLen = 0;
		if (!KvVexGenVexData(out.data(), VEX_MAX_DATA, &outLen, gen.data(), count))
			broken("generation failed");
		if (outLen != total || n < VEX_HDR_LEN + total || memcmp(out.data(), d + VEX_HDR_LEN, total) != 0)
			broken("TLVs differ after parse and generate");
	}
	KvVexFreeVexData(m->tlv, VEX_MAX_TLV);
	free(m);
}

// The AP list's invariants and everything a report reads from a record.
void check_records()
{
	size_t count;
	const vex_tlv_def *defs = vex_tlv_table(&count);
	static struct blob_buf b;
	blob_buf_init(&b, 0);
	ap_record *ap;
	list_for_each_entry(ap, &aps, list) {
		if (ap_registry_find_mac(&aps, ap->mac) != ap)
			broken("two records for one MAC");
		if (strnlen(ap->ip, sizeof ap->ip) >= sizeof ap->ip || !ap_registry_find_ip(&aps, ap->ip))
			broken("address text of a record");
		for (size_t i = 0; i < count; i++)
			if (defs[i].stored && defs[i].format == VEX_FMT_TEXT &&
			    strlen(vex_tlv_text(&ap->settings, &defs[i])) > defs[i].size)
				broken("a text field overran its size");
		void *t = blobmsg_open_table(&b, nullptr);
		ac_config_add_ap(&b, ap);
		blobmsg_close_table(&b, t);
	}
	ap_status_entry *e;
	list_for_each_entry(e, &aps_status, list)
		if (strnlen(e->ip, sizeof e->ip) >= sizeof e->ip)
			broken("address text of a push result");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	size_t pos = 0;
	while (pos + 2 <= size) {
		size_t n = size_t(data[pos]) << 8 | data[pos + 1];
		pos += 2;
		if (n > size - pos)
			n = size - pos;
		// An exact copy, so a read past the datagram is a read past a heap block.
		std::vector<uint8_t> dgram(data + pos, data + pos + n);
		pos += n;
		check_round_trip(dgram.data(), dgram.size());
		// An upload response starts a TFTP child: it is parsed and checked above only.
		if (n >= VEX_OFF_MSGTYPE + 2 && vex_get_u16(dgram.data() + VEX_OFF_MSGTYPE) == VEX_MSG_UPLOAD_RESP)
			continue;
		KvVexHandleRxData(dgram.data(), uint32_t(dgram.size()), nullptr);
	}
	check_records();

	// Every polled record expires once silent long enough; then nothing is left.
	ap_record *ap;
	list_for_each_entry(ap, &aps, list)
		ap->lastPoll = ap->lastSeen;
	ap_registry_expire(&aps, int32_t(time(nullptr)) + AP_EXPIRE_SILENT + AP_EXPIRE_POLL_GAP + 10);
	if (!list_empty(&aps))
		broken("a silent record did not expire");
	ap_status_clear(&aps_status);
	return 0;
}
