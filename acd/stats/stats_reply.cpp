#include "stats/stats_reply.hpp"

#include "stats/jsonrpc.hpp"
#include "stats/stats_text.hpp"
#include "stats/wireless_view.hpp"

namespace {
void reply_counters(struct blob_buf *b, const char *tx, const char *rx)
{
	void *stats = blobmsg_open_table(b, "statistics");
	blobmsg_add_string(b, "tx_bytes", tx);
	blobmsg_add_string(b, "rx_bytes", rx);
	blobmsg_close_table(b, stats);
}

void reply_radio(struct blob_buf *b, const ap_record *ap, const char *name, int8_t band,
		 const char *mac)
{
	void *radio = blobmsg_open_array(b, name);
	const vap_entry *vap;
	list_for_each_entry(vap, &ap->stats.vaps, list) {
		if (vap->band != band)
			continue;
		void *t = blobmsg_open_table(b, nullptr);
		if (mac)
			blobmsg_add_string(b, "ap_mac", mac);
		blobmsg_add_string(b, "bssid", vap->bssid);
		blobmsg_add_string(b, "ssid", vap->ssid);
		blobmsg_add_u32(b, "stas_num", uint32_t(vap->sta_count));
		reply_counters(b, vap->tx_bytes, vap->rx_bytes);
		blobmsg_close_table(b, t);
	}
	blobmsg_close_array(b, radio);
}
} // namespace

void stats_add_radios(struct blob_buf *b, const ap_record *ap, bool with_mac)
{
	if (!ap_slot(ap, JSONRPC_ID_WLAN_STATS))
		return;
	char mac[18];
	stats_mac_text(mac, ap->mac);
	reply_radio(b, ap, "radio2g", VAP_BAND_2G, with_mac ? mac : nullptr);
	reply_radio(b, ap, "radio5g", VAP_BAND_5G, with_mac ? mac : nullptr);
}

void stats_reply_wlan_profile(struct blob_buf *b, struct list_head *list)
{
	blob_buf_init(b, 0);
	ap_record *ap;
	list_for_each_entry(ap, list, list) {
		struct blob_attr *profile = ap_slot(ap, JSONRPC_ID_PROFILE);
		struct blob_attr *elem;
		size_t rem;
		blobmsg_for_each_attr(elem, profile, rem)
			if (blobmsg_type(elem) == BLOBMSG_TYPE_TABLE)
				blobmsg_add_blob(b, elem);
	}
}

void stats_reply_wlan_statistic(struct blob_buf *b, struct list_head *list)
{
	blob_buf_init(b, 0);
	ap_record *ap;
	list_for_each_entry(ap, list, list) {
		struct blob_attr *data = ap_slot(ap, JSONRPC_ID_WLAN_STATS);
		struct blob_attr *cur;
		size_t rem;
		blobmsg_for_each_attr(cur, data, rem)
			blobmsg_add_blob(b, cur);
	}
}

void stats_reply_statistic(struct blob_buf *b, struct list_head *list)
{
	blob_buf_init(b, 0);
	void *arr = blobmsg_open_array(b, "statistic");
	ap_record *ap;
	list_for_each_entry(ap, list, list) {
		void *t = blobmsg_open_table(b, nullptr);
		stats_add_radios(b, ap, true);
		blobmsg_close_table(b, t);
	}
	blobmsg_close_array(b, arr);
}

void stats_reply_sta_statistic(struct blob_buf *b, struct list_head *list)
{
	blob_buf_init(b, 0);
	void *arr = blobmsg_open_array(b, "Clients");
	ap_record *ap;
	list_for_each_entry(ap, list, list) {
		if (!ap_slot(ap, JSONRPC_ID_STA_STATS))
			continue;
		char mac[18];
		stats_mac_text(mac, ap->mac);
		const vap_entry *vap;
		list_for_each_entry(vap, &ap->stats.vaps, list) {
			void *t = blobmsg_open_table(b, nullptr);
			blobmsg_add_string(b, "bssid", mac);
			blobmsg_add_string(b, "hw_mode", vap->band == VAP_BAND_5G ? ap->settings.au1Mode5G
										   : ap->settings.au1Mode24G);
			blobmsg_add_string(b, "ssid", vap->ssid);
			void *clients = blobmsg_open_array(b, "clients");
			const sta_entry *sta;
			list_for_each_entry(sta, &vap->stas, list) {
				void *c = blobmsg_open_table(b, nullptr);
				blobmsg_add_string(b, "mac", sta->mac);
				blobmsg_add_u32(b, "signal", uint32_t(sta->signal));
				reply_counters(b, sta->tx_bytes, sta->rx_bytes);
				blobmsg_add_u32(b, "up_time", uint32_t(sta->up_time));
				blobmsg_close_table(b, c);
			}
			blobmsg_close_array(b, clients);
			blobmsg_close_table(b, t);
		}
	}
	blobmsg_close_array(b, arr);
}

void ac_config_add_radios(struct blob_buf *b, const ap_record *ap)
{
	stats_add_radios(b, ap, false);
}
