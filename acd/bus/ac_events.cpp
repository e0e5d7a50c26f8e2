#include "bus/ac_events.hpp"

#include <cstdio>
#include <cstring>

#include "bus/ac_reply.hpp"
#include "bus/ac_bus.hpp"
#include "stats/poll_run.hpp"

namespace {
// Starts an event's table with the AP's MAC (as get_config writes it) and its
// address text. The reply buffer is free here: events are never sent while a
// reply is being built.
void ac_event_open(const uint8_t mac[6], const char *ip)
{
	blob_buf_init(&ac_reply_buf, 0);
	if (!mac)
		return;
	char text[18];
	snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
		 mac[5]);
	blobmsg_add_string(&ac_reply_buf, "mac", text);
	blobmsg_add_string(&ac_reply_buf, "ip", ip);
}

void ac_event_send(const char *id)
{
	if (ac_ubus_ctx)
		ubus_send_event(ac_ubus_ctx, id, ac_reply_buf.head);
}

void ac_event_ap_drop(const ap_record *ap, const char *reason)
{
	if (!ac_ubus_ctx)
		return;
	ac_event_open(ap->mac, ap->ip);
	blobmsg_add_string(&ac_reply_buf, "reason", reason);
	ac_event_send("ac.ap.drop");
}
} // namespace

void ac_event_ap_saved(const ap_save_change *change)
{
	const ap_record *ap = change->ap;
	if (!ac_ubus_ctx || !ap)
		return;
	bool moved = strcmp(change->oldIp, ap->ip) != 0 || change->oldMode != ap->UbootMode;
	if (!change->created && !moved)
		return;
	ac_event_open(ap->mac, ap->ip);
	blobmsg_add_u32(&ac_reply_buf, "UbootMode", uint32_t(ap->UbootMode));
	if (!change->created) {
		blobmsg_add_string(&ac_reply_buf, "old_ip", change->oldIp);
		blobmsg_add_u32(&ac_reply_buf, "old_UbootMode", uint32_t(change->oldMode));
	}
	ac_event_send(change->created ? "ac.ap.add" : "ac.ap.change");
}

void ac_event_ap_expired(const ap_record *ap)
{
	ac_event_ap_drop(ap, "expired");
}

void ac_event_ap_cleared(const ap_record *ap)
{
	ac_event_ap_drop(ap, "all_clear");
}

void ac_event_push_result(const vex_hdr *hdr, const ap_status_entry *entry)
{
	if (!ac_ubus_ctx || !entry)
		return;
	ac_event_open(hdr->au1ApMac, entry->ip);
	blobmsg_add_u32(&ac_reply_buf, "status", uint32_t(entry->status));
	ac_event_send("ac.push.result");
}

void ac_event_upload(const uint8_t mac[6], const char *ip, uint8_t kind, const char *stage, int32_t result)
{
	if (!ac_ubus_ctx)
		return;
	ac_event_open(mac, ip);
	blobmsg_add_string(&ac_reply_buf, "kind",
			   kind == AP_UPLOAD_FIRMWARE ? "firmware" : kind == AP_UPLOAD_CONFIG ? "config" : "none");
	blobmsg_add_string(&ac_reply_buf, "stage", stage);
	blobmsg_add_u32(&ac_reply_buf, "result", uint32_t(result));
	ac_event_send("ac.upload");
}

void ac_event_poll_run(const poll_run_totals *t)
{
	if (!ac_ubus_ctx)
		return;
	ac_event_open(nullptr, nullptr);
	blobmsg_add_u32(&ac_reply_buf, "aps", t->aps);
	blobmsg_add_u32(&ac_reply_buf, "asked", t->asked);
	blobmsg_add_u32(&ac_reply_buf, "answered", t->answered);
	blobmsg_add_u32(&ac_reply_buf, "failed", t->failed);
	blobmsg_add_u32(&ac_reply_buf, "ms", t->ms);
	ac_event_send("ac.poll.run");
}
