// The AP registry: one record per AP, keyed by the MAC of its responses, in
// order of first discovery. Pure list logic; the caller passes the list and the
// current time, so tests drive it with their own clock.
#pragma once

#include <cstdint>

#include "gw/blob.hpp"
#include "stats/ap_stats.hpp"
#include "vex/codec/ap_settings.hpp"
#include "vex/codec/vex_codec.hpp"

constexpr uint16_t AP_RADIUS_PORT_DEFAULT = 1812;
constexpr int32_t AP_EXPIRE_SILENT = 80;   // seconds without an answer
constexpr int32_t AP_EXPIRE_POLL_GAP = 3;  // seconds since the last unicast poll

enum ap_save_mode : int8_t {
	AP_MODE_FIRMWARE = 0, // discovery response
	AP_MODE_AGENT = 1,    // agent-loader response: the AP runs its boot agent
};

enum ap_upload_kind : uint8_t {
	AP_UPLOAD_NONE = 0,
	AP_UPLOAD_FIRMWARE = 1,
	AP_UPLOAD_CONFIG = 2,
};

// Stamps of a record for ac.diag, in its clock (0: never): when each reply
// slot was filled, and how each of the three poll requests ended last.
struct ap_diag {
	int32_t slotTime[AP_REPLY_SLOTS];
	int32_t httpTime[3];
	uint8_t http[3];
};

struct ap_record {
	struct list_head list;
	ap_settings settings;
	int32_t lastSeen;   // seconds on the caller's clock (the daemon's is monotonic)
	int32_t lastPoll;   // same clock; 0 until the first unicast poll
	char ip[16];        // address text from the latest response's TLV 4
	uint8_t mac[6];     // never changes while the record lives
	uint8_t uploadKind; // ap_upload_kind
	int8_t UbootMode;   // ap_save_mode of the latest response
	ap_stats stats;     // the statistics poll's part, released with the record
	ap_diag diag;
};

// What a save did, for those who announce it.
struct ap_save_change {
	ap_record *ap; // the record saved; nullptr when a new one could not be made
	bool created;
	char oldIp[16]; // a refreshed record's address text and mode before the save
	int8_t oldMode;
};

// Told about each record just before it is dropped.
typedef void (*ap_drop_fn)(const ap_record *ap);

// Settings block from every stored TLV of a discovery response.
void ap_settings_from_response(ap_settings *s, const vex_msg *msg);
// Settings block from an agent-loader response: product name and address only.
void ap_settings_from_agent(ap_settings *s, const vex_msg *msg);

// The daemon's AP list.
extern struct list_head aps;

// The registry's clock: whole seconds on the monotonic clock the loop runs on,
// so a step of the wall clock (NTP after boot) neither drops every AP nor keeps
// a silent one. Never 0, which marks a record never polled. Tests may point it
// at a clock of their own.
extern int32_t (*ap_clock)();
int32_t ap_clock_monotonic();

// Counts the records made and released and the address changes, so an index of
// the records by address knows when to rebuild.
extern unsigned ap_registry_changes;

ap_record *ap_registry_find_mac(struct list_head *aps, const uint8_t mac[6]);
ap_record *ap_registry_find_ip(struct list_head *aps, const char *ip);

// Creates or refreshes the record of the AP named by hdr->au1ApMac.
// Returns 0, or -1 when a new record cannot be allocated ("malloc error ").
int ap_registry_save(struct list_head *aps, const ap_settings *s, const vex_hdr *hdr, int8_t mode,
		     int32_t now, ap_save_change *change = nullptr);

// The expiry rule: polled at least once, the last poll more than 3 s ago and
// no answer for more than 80 s.
bool ap_registry_expired(const ap_record *ap, int32_t now);

// Unlinks and releases a record with its statistics part.
void ap_record_release(ap_record *ap);

// Drops every expired record; returns how many.
unsigned ap_registry_expire(struct list_head *aps, int32_t now, ap_drop_fn dropped = nullptr);
// Drops every record.
void ap_registry_clear(struct list_head *aps, ap_drop_fn dropped = nullptr);
