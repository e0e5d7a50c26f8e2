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

// The member order comes from the get_config column of the TLV table.
struct config_slot {
	uint8_t position; // 0: not shown
	config_member member;
	const char *name; // checked at compile time only
};

constexpr config_slot config_slots[] = {
#define TLV(t, k, fmt, n, f, push, cfg) { cfg, { nullptr, CFG_FIELD, t, nullptr }, k },
#define CONFIG_ONLY(cfg, name, source, text) { cfg, { name, CFG_##source, 0, text }, name },
#include "vex/codec/vex_tlv_table.def"
};

constexpr size_t config_count()
{
	size_t n = 0;
	for (const config_slot &s : config_slots)
		n += s.position != 0;
	return n;
}

struct config_order {
	config_member members[config_count()];
};

constexpr config_order config_in_order()
{
	config_order o{};
	for (const config_slot &s : config_slots)
		if (s.position)
			o.members[s.position - 1] = s.member;
	return o;
}

constexpr bool config_positions_valid()
{
	for (size_t i = 0; i < sizeof config_slots / sizeof config_slots[0]; i++) {
		if (config_slots[i].position > config_count() ||
		    (config_slots[i].position && !config_slots[i].name))
			return false;
		for (size_t j = i + 1; j < sizeof config_slots / sizeof config_slots[0]; j++)
			if (config_slots[i].position && config_slots[i].position == config_slots[j].position)
				return false;
	}
	return true;
}
static_assert(config_positions_valid(),
	      "get_config positions run from 1 without gaps or twins, each with a name");

constexpr config_order ac_config = config_in_order();

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
	for (const config_member &m : ac_config.members) {
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
