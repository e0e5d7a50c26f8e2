#include "stats/wireless_view.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "stats/jsonrpc.hpp"
#include "stats/stats_text.hpp"

namespace {
// Finds the first entry, in list order, whose text begins with a given text in
// time that does not grow with the list: every prefix of every entry's text is
// a key, held by the first entry that has it. One index per AP and refresh; the
// owner tells the VAPs of one AP (null) and the stations of each VAP apart.
struct view_key {
	const char *text;
	void *entry;
	const void *owner;
	uint32_t hash;
	uint32_t len;
};

struct view_index {
	view_key *keys;
	unsigned cap; // a power of two, or 0
	unsigned used;
};

// Set while a refresh works on one AP.
view_index *view_vaps, *view_stas;
unsigned view_vap_count, view_sta_count;
// A short list is walked; an index is made once an AP has more entries.
constexpr unsigned VIEW_INDEX_FROM = 16;

uint32_t view_hash_start(const void *owner)
{
	return (2166136261u ^ uint32_t(uintptr_t(owner) >> 4)) * 16777619u;
}

uint32_t view_hash_step(uint32_t h, char c)
{
	return (h ^ uint8_t(c)) * 16777619u;
}

view_key *view_probe(view_index *ix, const void *owner, const char *text, uint32_t len, uint32_t h)
{
	for (unsigned i = h & (ix->cap - 1);; i = (i + 1) & (ix->cap - 1)) {
		view_key *k = &ix->keys[i];
		if (!k->text || (k->hash == h && k->owner == owner && k->len == len &&
				 !memcmp(k->text, text, len)))
			return k;
	}
}

bool view_index_grow(view_index *ix)
{
	unsigned cap = ix->cap ? ix->cap * 2 : 64;
	auto *keys = static_cast<view_key *>(calloc(cap, sizeof(view_key)));
	if (!keys)
		return false;
	view_index old = *ix;
	ix->keys = keys;
	ix->cap = cap;
	for (unsigned i = 0; i < old.cap; i++)
		if (old.keys[i].text)
			*view_probe(ix, old.keys[i].owner, old.keys[i].text, old.keys[i].len,
				    old.keys[i].hash) = old.keys[i];
	free(old.keys);
	return true;
}

// Adds the prefixes of a new entry's text (a field of `size` bytes).
void view_index_add(view_index *ix, const void *owner, const char *text, size_t size, void *entry)
{
	size_t len = strnlen(text, size);
	uint32_t h = view_hash_start(owner);
	for (size_t l = 0;; l++) {
		if (2 * (ix->used + 1) > ix->cap && !view_index_grow(ix))
			return; // lookups fall back to the list walk's answer for what is missing
		view_key *k = view_probe(ix, owner, text, uint32_t(l), h);
		if (!k->text) {
			*k = {text, entry, owner, h, uint32_t(l)};
			ix->used++;
		}
		if (l == len)
			break;
		h = view_hash_step(h, text[l]);
	}
}

// The entry for a given text, or nullptr.
void *view_index_find(view_index *ix, const void *owner, const char *given, size_t size)
{
	if (!ix->cap)
		return nullptr;
	size_t len = stats_text_fit(given, size);
	uint32_t h = view_hash_start(owner);
	for (size_t l = 0; l < len; l++)
		h = view_hash_step(h, given[l]);
	view_key *k = view_probe(ix, owner, given, uint32_t(len), h);
	return k->text ? k->entry : nullptr;
}

void view_index_reset(view_index *ix)
{
	free(ix->keys);
	*ix = {};
}

bool view_is_list(const struct blob_attr *attr)
{
	int type = blobmsg_type(attr);
	return type == BLOBMSG_TYPE_ARRAY || type == BLOBMSG_TYPE_TABLE;
}

bool view_is_table(const struct blob_attr *attr)
{
	return blobmsg_type(attr) == BLOBMSG_TYPE_TABLE;
}

bool view_name_is(const struct blob_attr *attr, const char *name)
{
	return !strcmp(blobmsg_name(attr), name);
}

// A number the AP sent as a JSON integer of 32 bits; anything else counts as 0.
int32_t view_int32(const struct blob_attr *attr)
{
	if (blobmsg_type(attr) != BLOBMSG_TYPE_INT32 || blobmsg_data_len(attr) < 4)
		return 0;
	return int32_t(blobmsg_get_u32(const_cast<struct blob_attr *>(attr)));
}

// "rx_bytes" and "tx_bytes" of a "statistics" table.
void view_counters(struct blob_attr *stats, const char **rx, const char **tx)
{
	struct blob_attr *cur;
	size_t rem;
	blobmsg_for_each_attr(cur, stats, rem) {
		if (view_name_is(cur, "rx_bytes"))
			*rx = stats_blob_text(cur);
		else if (view_name_is(cur, "tx_bytes"))
			*tx = stats_blob_text(cur);
	}
}

void vap_describe(ap_record *ap, const char *bssid, const char *ssid)
{
	vap_entry *vap = vap_find(ap, bssid);
	if (vap) {
		stats_text_copy(vap->ssid, sizeof vap->ssid, ssid);
		return;
	}
	if (view_vaps && view_vap_count >= VIEW_VAPS_MAX)
		return; // said when the answer was stored
	vap = static_cast<vap_entry *>(calloc(1, sizeof *vap));
	if (!vap) {
		puts("malloc error ");
		return;
	}
	vap->band = VAP_BAND_2G;
	stats_text_copy(vap->bssid, sizeof vap->bssid, bssid);
	stats_text_copy(vap->ssid, sizeof vap->ssid, ssid);
	INIT_LIST_HEAD(&vap->stas);
	list_add_tail(&vap->list, &ap->stats.vaps);
	if (view_vaps && ++view_vap_count == VIEW_INDEX_FROM + 1) {
		vap_entry *v;
		list_for_each_entry(v, &ap->stats.vaps, list)
			view_index_add(view_vaps, nullptr, v->bssid, sizeof v->bssid, v);
	} else if (view_vaps && view_vap_count > VIEW_INDEX_FROM) {
		view_index_add(view_vaps, nullptr, vap->bssid, sizeof vap->bssid, vap);
	}
}

// One "config..." member of a profile table: a VAP description.
void view_profile_config(ap_record *ap, struct blob_attr *config)
{
	const char *ssid = nullptr, *bssid = nullptr;
	struct blob_attr *cur;
	size_t rem;
	blobmsg_for_each_attr(cur, config, rem) {
		if (view_name_is(cur, "ssid"))
			ssid = stats_blob_text(cur);
		else if (view_name_is(cur, "bssid"))
			bssid = stats_blob_text(cur);
	}
	if (ssid && bssid)
		vap_describe(ap, bssid, ssid);
}

// One element of "radio2g" or "radio5g" in the statistics answer.
void view_vap_statistics(ap_record *ap, struct blob_attr *elem, int8_t band)
{
	const char *bssid = nullptr, *rx = nullptr, *tx = nullptr;
	struct blob_attr *cur;
	size_t rem;
	blobmsg_for_each_attr(cur, elem, rem) {
		if (view_name_is(cur, "bssid"))
			bssid = stats_blob_text(cur);
		else if (view_name_is(cur, "statistics") && view_is_table(cur))
			view_counters(cur, &rx, &tx);
	}
	if (bssid && rx && tx)
		vap_set_statistics(ap, bssid, rx, tx, band);
}

// One client of a station answer's VAP element; count counts the clients with a "mac".
void view_client(ap_record *ap, const char *bssid, struct blob_attr *client, int32_t *count)
{
	const char *mac = nullptr, *rx = nullptr, *tx = nullptr;
	int32_t signal = 0, up_time = 0;
	struct blob_attr *cur;
	size_t rem;
	blobmsg_for_each_attr(cur, client, rem) {
		if (view_name_is(cur, "mac")) {
			// Every "mac" member counts; only a text one names a station.
			mac = stats_blob_text(cur);
			(*count)++;
		} else if (view_name_is(cur, "signal")) {
			signal = view_int32(cur);
		} else if (view_name_is(cur, "up_time")) {
			up_time = view_int32(cur);
		} else if (view_name_is(cur, "statistics") && view_is_table(cur)) {
			view_counters(cur, &rx, &tx);
		}
	}
	if (bssid && mac && rx && tx)
		sta_info_upsert(ap, bssid, mac, rx, tx, signal, up_time, *count);
}

// One VAP element of the station answer: its "bssid" counts only for the
// "clients" that come after it.
void view_vap_clients(ap_record *ap, struct blob_attr *elem)
{
	const char *bssid = nullptr;
	int32_t count = 0;
	struct blob_attr *cur;
	size_t rem;
	blobmsg_for_each_attr(cur, elem, rem) {
		if (view_name_is(cur, "bssid")) {
			bssid = stats_blob_text(cur);
		} else if (view_name_is(cur, "clients") && view_is_list(cur)) {
			struct blob_attr *client;
			size_t crem;
			blobmsg_for_each_attr(client, cur, crem)
				if (view_is_table(client))
					view_client(ap, bssid, client, &count);
		}
	}
}

// The "radio2g" (band 0) or "radio5g" (band 1) member, or -1.
int view_radio_band(const struct blob_attr *attr)
{
	if (!view_is_list(attr))
		return -1;
	if (view_name_is(attr, "radio2g"))
		return VAP_BAND_2G;
	if (view_name_is(attr, "radio5g"))
		return VAP_BAND_5G;
	return -1;
}
} // namespace

vap_entry *vap_find(const ap_record *ap, const char *bssid)
{
	if (view_vaps && view_vap_count > VIEW_INDEX_FROM)
		return static_cast<vap_entry *>(view_index_find(view_vaps, nullptr, bssid, VIEW_TEXT_SIZE));
	vap_entry *vap;
	list_for_each_entry(vap, &ap->stats.vaps, list)
		if (stats_text_match(vap->bssid, sizeof vap->bssid, bssid))
			return vap;
	return nullptr;
}

void vap_set_statistics(ap_record *ap, const char *bssid, const char *rx, const char *tx, int8_t band)
{
	vap_entry *vap = vap_find(ap, bssid);
	if (!vap)
		return;
	stats_text_copy(vap->rx_bytes, sizeof vap->rx_bytes, rx);
	stats_text_copy(vap->tx_bytes, sizeof vap->tx_bytes, tx);
	vap->band = band;
}

void sta_info_upsert(ap_record *ap, const char *bssid, const char *mac, const char *rx,
		     const char *tx, int32_t signal, int32_t up_time, int32_t count)
{
	vap_entry *vap = vap_find(ap, bssid);
	if (!vap)
		return;
	sta_entry *sta, *found = nullptr;
	if (view_stas && view_sta_count > VIEW_INDEX_FROM) {
		found = static_cast<sta_entry *>(view_index_find(view_stas, vap, mac, VIEW_TEXT_SIZE));
	} else {
		list_for_each_entry(sta, &vap->stas, list) {
			if (stats_text_match(sta->mac, sizeof sta->mac, mac)) {
				found = sta;
				break;
			}
		}
	}
	if (!found) {
		if (view_stas && view_sta_count >= VIEW_STAS_MAX)
			return; // said when the answer was stored
		found = static_cast<sta_entry *>(calloc(1, sizeof *found));
		if (!found) {
			puts("malloc error ");
			return;
		}
		stats_text_copy(found->mac, sizeof found->mac, mac);
		list_add_tail(&found->list, &vap->stas);
		if (view_stas && ++view_sta_count == VIEW_INDEX_FROM + 1) {
			vap_entry *v;
			list_for_each_entry(v, &ap->stats.vaps, list)
				list_for_each_entry(sta, &v->stas, list)
					view_index_add(view_stas, v, sta->mac, sizeof sta->mac, sta);
		} else if (view_stas && view_sta_count > VIEW_INDEX_FROM) {
			view_index_add(view_stas, vap, found->mac, sizeof found->mac, found);
		}
	}
	stats_text_copy(found->tx_bytes, sizeof found->tx_bytes, tx);
	stats_text_copy(found->rx_bytes, sizeof found->rx_bytes, rx);
	found->signal = signal;
	found->up_time = up_time;
	vap->sta_count = count;
}

namespace {
// Every "config..." table of a wlan_profile answer: counted, and added to ap's
// view when ap is given.
unsigned view_walk_configs(struct blob_attr *profile, ap_record *ap)
{
	unsigned n = 0;
	struct blob_attr *elem;
	size_t rem;
	blobmsg_for_each_attr(elem, profile, rem) {
		if (!view_is_table(elem))
			continue;
		struct blob_attr *cur;
		size_t mrem;
		blobmsg_for_each_attr(cur, elem, mrem) {
			if (strncmp(blobmsg_name(cur), "config", 6) || !view_is_table(cur))
				continue;
			n++;
			if (ap)
				view_profile_config(ap, cur);
		}
	}
	return n;
}

void view_build_ap(ap_record *ap)
{
	struct blob_attr *profile = ap_slot(ap, JSONRPC_ID_PROFILE);
	if (profile)
		view_walk_configs(profile, ap);
}

// Every VAP element (a table) of each radio with a known band in the AP's
// answer to request id, with its band.
void view_for_each_vap(ap_record *ap, int32_t id, void (*fn)(ap_record *, struct blob_attr *, int8_t))
{
	struct blob_attr *data = ap_slot(ap, id);
	if (!data)
		return;
	struct blob_attr *radio;
	size_t rem;
	blobmsg_for_each_attr(radio, data, rem) {
		int band = view_radio_band(radio);
		if (band < 0)
			continue;
		struct blob_attr *elem;
		size_t erem;
		blobmsg_for_each_attr(elem, radio, erem)
			if (view_is_table(elem))
				fn(ap, elem, int8_t(band));
	}
}

void view_fill_statistics_ap(ap_record *ap)
{
	view_for_each_vap(ap, JSONRPC_ID_WLAN_STATS, view_vap_statistics);
}

void view_fill_stations_ap(ap_record *ap)
{
	view_for_each_vap(ap, JSONRPC_ID_STA_STATS,
			  [](ap_record *a, struct blob_attr *elem, int8_t) { view_vap_clients(a, elem); });
}

} // namespace

void build_vap_list(struct list_head *list)
{
	ap_record *ap;
	list_for_each_entry(ap, list, list)
		view_build_ap(ap);
}

void fill_vap_statistics(struct list_head *list)
{
	ap_record *ap;
	list_for_each_entry(ap, list, list)
		view_fill_statistics_ap(ap);
}

void fill_sta_info(struct list_head *list)
{
	ap_record *ap;
	list_for_each_entry(ap, list, list)
		view_fill_stations_ap(ap);
}

unsigned view_count_vaps(struct blob_attr *profile)
{
	return view_walk_configs(profile, nullptr);
}

unsigned view_count_stations(struct blob_attr *data)
{
	unsigned n = 0;
	struct blob_attr *radio;
	size_t rem;
	blobmsg_for_each_attr(radio, data, rem) {
		if (view_radio_band(radio) < 0)
			continue;
		struct blob_attr *elem;
		size_t erem;
		blobmsg_for_each_attr(elem, radio, erem) {
			if (!view_is_table(elem))
				continue;
			struct blob_attr *cur;
			size_t crem;
			blobmsg_for_each_attr(cur, elem, crem) {
				if (!view_name_is(cur, "clients") || !view_is_list(cur))
					continue;
				struct blob_attr *client;
				size_t k;
				blobmsg_for_each_attr(client, cur, k)
					n += view_is_table(client);
			}
		}
	}
	return n;
}

void wireless_view_clear(struct list_head *list)
{
	ap_record *ap;
	list_for_each_entry(ap, list, list)
		ap_stats_clear_view(&ap->stats);
}

void wireless_view_refresh(struct list_head *list)
{
	wireless_view_clear(list);
	// One AP at a time with its own indexes: an AP's view depends on its own
	// slots only, so this is the same as each step over the whole list.
	view_index vaps = {}, stas = {};
	view_vaps = &vaps;
	view_stas = &stas;
	ap_record *ap;
	list_for_each_entry(ap, list, list) {
		view_vap_count = view_sta_count = 0;
		view_build_ap(ap);
		view_fill_statistics_ap(ap);
		view_fill_stations_ap(ap);
		view_index_reset(&vaps);
		view_index_reset(&stas);
	}
	view_vaps = view_stas = nullptr;
}
