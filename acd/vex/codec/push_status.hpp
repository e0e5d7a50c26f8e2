// The push-status list: one entry per AP address that answered a settings push.
#pragma once

#include <cstdint>

#include "gw/blob.hpp"
#include "vex/codec/vex_codec.hpp"

constexpr int32_t AP_STATUS_REPORTED = -2; // the entry's result was handed out already

struct ap_status_entry {
	struct list_head list;
	char ip[16];
	int32_t status;
};

// The daemon's push results, in order of first answer.
extern struct list_head aps_status;

// Records a push result: the address from its first TLV 4, the header's status.
// An address already listed is updated in place; a new one is appended.
// Returns the entry, or nullptr (no TLV 4, or no memory).
ap_status_entry *ap_status_record(struct list_head *list, const vex_msg *msg);
void ap_status_clear(struct list_head *list);
// pwd_status's reply into b (restarted): {"apsStatus": [{"ip", "status"}...]}
// with every result not handed out yet, each then marked handed out.
void ap_status_reply(struct blob_buf *b, struct list_head *list);
