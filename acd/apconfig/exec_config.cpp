// The pending settings document as a settings push to every AP named in
// "iplist", by multicast and by unicast.
#include <cstring>
#include <ctime>

#include "apconfig/apconfig.hpp"
#include "apconfig/iplist.hpp"
#include "apconfig/settings_codec.hpp"
#include "apconfig/tmp_file.hpp"
#include "vex/device_info.hpp"
#include "vex/ap_list.hpp"
#include "vex/vex_transport.hpp"

namespace {
uint8_t exec_pkt[VEX_MAX_MSG];
unsigned exec_pkt_len;

// Each AP gets the same data part behind a header of its own, with a fresh
// sequence number shared by its multicast and unicast copies.
void exec_config_send(ap_record *ap, void *)
{
	vex_hdr hdr;
	memset(&hdr, 0, sizeof hdr);
	KvVexFillVexHeaderTo(&hdr, VEX_MSG_SET_CONFIG, ap->mac, ac_device_info.mac, uint32_t(time(nullptr)));
	KvVexGenVexHdr(exec_pkt, sizeof exec_pkt, &hdr);
	char address[16];
	memcpy(address, ap->ip, sizeof address);
	vex_send_multicast_pkt(exec_pkt, int(exec_pkt_len));
	vex_send_unicast_pkt(exec_pkt, int(exec_pkt_len), address);
}
} // namespace

void ac_exec_push(struct blob_attr *iplist)
{
	memset(exec_pkt, 0, sizeof exec_pkt);
	// A missing or broken document still sends a push: the mask alone, all clear.
	struct blob_buf doc;
	memset(&doc, 0, sizeof doc);
	blob_buf_init(&doc, 0);
	// The library opens the file itself and would wait on a FIFO at the name.
	bool loaded = ac_file_regular(SETTINGS_DOC_PATH) && blobmsg_add_json_from_file(&doc, SETTINGS_DOC_PATH);
	struct blob_attr *members = loaded ? doc.head : nullptr;
	uint16_t dataLen = settings_push_data(exec_pkt + VEX_HDR_LEN, VEX_MAX_DATA, members);
	blob_buf_free(&doc);
	exec_pkt_len = VEX_HDR_LEN + dataLen;

	iplist_for_each_ap(iplist, &aps, exec_config_send, nullptr);
}
