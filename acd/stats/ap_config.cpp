#include "stats/ap_config.hpp"

#include <cstdio>
#include <cstring>

#include "stats/wireless_view.hpp"
#include "vex/codec/vex_tlv.hpp"

namespace {
enum config_source : uint8_t {
	CFG_FIELD,   // the settings field of the registry type
	CFG_UBOOT,   // the record's UbootMode, signed
	CFG_ADDRESS, // the record's address text
	CFG_MAC,     // the record's MAC as text
	CFG_TEXT,    // a fixed text
};

struct config_member {
	const char *name;
	uint8_t source;
	uint16_t tlv;      // CFG_FIELD: the type whose key is the member's name
	const char *text;  // CFG_TEXT
};

#define CFG(t) { nullptr, CFG_FIELD, t, nullptr }

const config_member ac_config_members[] = {
	{"UbootMode", CFG_UBOOT, 0, nullptr},
	CFG(1),   // ProductName
	CFG(44),  // NTPInfo
	CFG(10),  // IPMode
	{"IPAddress", CFG_ADDRESS, 0, nullptr},
	CFG(5),   // SubnetMask
	CFG(6),   // Gateway
	CFG(41),  // PriDNS
	CFG(42),  // SecDNS
	{"MACAddress", CFG_MAC, 0, nullptr},
	CFG(11),  // Version
	CFG(2),   // SystemName
	CFG(43),  // VLANID
	{"Status", CFG_TEXT, 0, "Ready"},
	{"Password", CFG_TEXT, 0, ""},
	{"EncryptKey", CFG_TEXT, 0, ""},
	CFG(163), // WifiBandSteer
	CFG(105), CFG(111), CFG(112), CFG(113), CFG(109), CFG(104), CFG(106), CFG(117), CFG(116),
	CFG(100), CFG(107), CFG(101), CFG(103), CFG(102), CFG(118), CFG(119), CFG(120), // 2.4G...
	CFG(135), CFG(140), CFG(141), CFG(142), CFG(138), CFG(134), CFG(136), CFG(146), CFG(145),
	CFG(130), CFG(137), CFG(131), CFG(133), CFG(132), CFG(147), CFG(148), CFG(149), // 5G...
	CFG(108), // WifiBand
	CFG(164), // WifiRoaming
};
static_assert(sizeof ac_config_members / sizeof ac_config_members[0] == AC_CONFIG_MEMBERS,
	      "get_config lists 53 members before the radios");

void ac_config_add_field(struct blob_buf *b, const ap_record *ap, const vex_tlv_def *d)
{
	switch (d->format) {
	case VEX_FMT_TEXT:
		blobmsg_add_string(b, d->key, vex_tlv_text(&ap->settings, d));
		break;
	case VEX_FMT_IPV4: {
		char text[16] = {};
		vex_format_ipv4(text, vex_tlv_ipv4(&ap->settings, d));
		blobmsg_add_string(b, d->key, text);
		break;
	}
	default:
		blobmsg_add_u32(b, d->key, vex_tlv_number(&ap->settings, d));
		break;
	}
}
} // namespace

void ac_config_add_ap(struct blob_buf *b, const ap_record *ap)
{
	for (const config_member &m : ac_config_members) {
		switch (m.source) {
		case CFG_FIELD:
			ac_config_add_field(b, ap, vex_tlv_lookup(m.tlv));
			break;
		case CFG_UBOOT:
			blobmsg_add_u32(b, m.name, uint32_t(int32_t(ap->UbootMode)));
			break;
		case CFG_ADDRESS:
			blobmsg_add_string(b, m.name, ap->ip);
			break;
		case CFG_MAC: {
			char mac[18];
			snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", ap->mac[0], ap->mac[1],
				 ap->mac[2], ap->mac[3], ap->mac[4], ap->mac[5]);
			blobmsg_add_string(b, m.name, mac);
			break;
		}
		case CFG_TEXT:
			blobmsg_add_string(b, m.name, m.text);
			break;
		}
	}
}

void ac_config_reply(struct blob_buf *b, struct list_head *list)
{
	blob_buf_init(b, 0);
	void *items = blobmsg_open_array(b, "Device_List");
	ap_record *ap;
	list_for_each_entry(ap, list, list) {
		void *table = blobmsg_open_table(b, nullptr);
		ac_config_add_ap(b, ap);
		ac_config_add_radios(b, ap);
		blobmsg_close_table(b, table);
	}
	blobmsg_close_array(b, items);
}
