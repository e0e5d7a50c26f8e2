// The wireless view: VAP and station entries rebuilt from the stored answers.
// Each AP record's statistics part holds vap_entry records in its `vaps` list;
// they are thrown away and rebuilt by every report that shows them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gw/blob.hpp"
#include "vex/codec/ap_registry.hpp"

constexpr size_t VIEW_TEXT_SIZE = 32;  // BSSID, MAC and counter fields
constexpr size_t VIEW_SSID_SIZE = 128;
// What one AP may hold in the view; an answer over it is stored, says so, and
// shows the first ones.
constexpr unsigned VIEW_VAPS_MAX = 4096;
constexpr unsigned VIEW_STAS_MAX = 4096;

enum vap_band : int8_t {
	VAP_BAND_2G = 0, // "radio2g"
	VAP_BAND_5G = 1, // "radio5g"
};

struct sta_entry {
	struct list_head list;
	char mac[VIEW_TEXT_SIZE];
	char tx_bytes[VIEW_TEXT_SIZE];
	char rx_bytes[VIEW_TEXT_SIZE];
	int32_t signal;
	int32_t up_time;
};

struct vap_entry {
	struct list_head list;
	int8_t band; // vap_band
	char bssid[VIEW_TEXT_SIZE];
	char ssid[VIEW_SSID_SIZE];
	char tx_bytes[VIEW_TEXT_SIZE];
	char rx_bytes[VIEW_TEXT_SIZE];
	// Clients with a "mac" up to the last one recorded. Wider than a byte so a
	// VAP with more than 127 clients does not show a negative count.
	int32_t sta_count;
	struct list_head stas; // sta_entry
};

// Empties every AP's VAP entry list (the daemon's AP list).
void clear_vap_sta_info();
// Rebuilds the VAP and station entries of every AP from its reply slots.
void refresh_wireless_view();
// get_config's "radio2g" and "radio5g" members of one AP (only when its
// statistics answer is stored).
void ac_config_add_radios(struct blob_buf *b, const ap_record *ap);

// The same on any AP list.
void wireless_view_clear(struct list_head *list);
void wireless_view_refresh(struct list_head *list);

// The steps of a refresh, each over the whole list, reading one slot per AP.
void build_vap_list(struct list_head *list);      // slot 104
void fill_vap_statistics(struct list_head *list); // slot 108
void fill_sta_info(struct list_head *list);       // slot 109

// Sets the counters and band of the first VAP entry matching bssid, if any.
void vap_set_statistics(ap_record *ap, const char *bssid, const char *rx, const char *tx, int8_t band);
// Updates or adds the station entry of the first VAP matching bssid, then sets
// that VAP's station count.
void sta_info_upsert(ap_record *ap, const char *bssid, const char *mac, const char *rx,
		     const char *tx, int32_t signal, int32_t up_time, int32_t count);

// VAP descriptions in a profile answer, clients in a station answer.
unsigned view_count_vaps(struct blob_attr *profile);
unsigned view_count_stations(struct blob_attr *data);

// The first VAP entry of the AP matching bssid, or nullptr.
vap_entry *vap_find(const ap_record *ap, const char *bssid);
