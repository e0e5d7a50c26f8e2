#include "vex/codec/push_status.hpp"

#include <cstdlib>
#include <cstring>

#include "vex/codec/vex_tlv.hpp"

LIST_HEAD(aps_status);

ap_status_entry *ap_status_record(struct list_head *list, const vex_msg *msg)
{
	const vex_tlv *addr = nullptr;
	for (const vex_tlv &e : msg->tlv) {
		if (!e.u2Type)
			break;
		if (e.u2Type == 4) {
			addr = &e;
			break;
		}
	}
	if (!addr)
		return nullptr;
	uint8_t ip[4] = {};
	if (addr->pu1Value)
		memcpy(ip, addr->pu1Value, addr->u2Len < 4 ? addr->u2Len : 4);
	char text[16];
	vex_format_ipv4(text, ip);

	ap_status_entry *e;
	list_for_each_entry(e, list, list) {
		if (!strcmp(e->ip, text)) {
			e->status = msg->hdr.u2Status;
			return e;
		}
	}
	e = static_cast<ap_status_entry *>(calloc(1, sizeof *e));
	if (!e)
		return nullptr;
	memcpy(e->ip, text, sizeof e->ip);
	e->status = msg->hdr.u2Status;
	list_add_tail(&e->list, list);
	return e;
}

void ap_status_clear(struct list_head *list)
{
	ap_status_entry *e, *tmp;
	list_for_each_entry_safe(e, tmp, list, list) {
		list_del(&e->list);
		free(e);
	}
}

void ap_status_reply(struct blob_buf *b, struct list_head *list)
{
	blob_buf_init(b, 0);
	void *items = blobmsg_open_array(b, "apsStatus");
	ap_status_entry *e;
	list_for_each_entry(e, list, list) {
		if (e->status == AP_STATUS_REPORTED)
			continue;
		void *item = blobmsg_open_table(b, nullptr);
		blobmsg_add_string(b, "ip", e->ip);
		blobmsg_add_u32(b, "status", uint32_t(e->status));
		blobmsg_close_table(b, item);
		e->status = AP_STATUS_REPORTED;
	}
	blobmsg_close_array(b, items);
}
