#include "vex/codec/ap_registry.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "vex/codec/vex_tlv.hpp"

LIST_HEAD(aps);

int32_t ap_clock_monotonic()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	// Shortly after boot the clock may read 0 s.
	return int32_t(ts.tv_sec) + 1;
}

int32_t (*ap_clock)() = ap_clock_monotonic;

namespace {
const vex_tlv_def *tlv_product_name()
{
	static const vex_tlv_def *d = vex_tlv_lookup(1);
	return d;
}

const vex_tlv_def *tlv_ip_address()
{
	static const vex_tlv_def *d = vex_tlv_lookup(4);
	return d;
}

void ap_set_address_text(ap_record *ap)
{
	vex_format_ipv4(ap->ip, ap->settings.au1IPAddress);
}
} // namespace

unsigned ap_registry_changes;

void ap_settings_from_response(ap_settings *s, const vex_msg *msg)
{
	memset(s, 0, sizeof *s);
	for (const vex_tlv &e : msg->tlv) {
		if (!e.u2Type)
			break;
		vex_tlv_store(s, vex_tlv_lookup(e.u2Type), e.pu1Value, e.u2Len);
	}
}

void ap_settings_from_agent(ap_settings *s, const vex_msg *msg)
{
	memset(s, 0, sizeof *s);
	for (const vex_tlv &e : msg->tlv) {
		if (!e.u2Type)
			break;
		if (e.u2Type == 1)
			vex_tlv_store(s, tlv_product_name(), e.pu1Value, e.u2Len);
		else if (e.u2Type == 4)
			vex_tlv_store(s, tlv_ip_address(), e.pu1Value, e.u2Len);
	}
}

ap_record *ap_registry_find_mac(struct list_head *aps, const uint8_t mac[6])
{
	ap_record *ap;
	list_for_each_entry(ap, aps, list)
		if (!memcmp(ap->mac, mac, sizeof ap->mac))
			return ap;
	return nullptr;
}

ap_record *ap_registry_find_ip(struct list_head *aps, const char *ip)
{
	ap_record *ap;
	list_for_each_entry(ap, aps, list)
		if (!strcmp(ap->ip, ip))
			return ap;
	return nullptr;
}

int ap_registry_save(struct list_head *aps, const ap_settings *s, const vex_hdr *hdr, int8_t mode,
		     int32_t now, ap_save_change *change)
{
	ap_save_change unused;
	if (!change)
		change = &unused;
	ap_record *ap = ap_registry_find_mac(aps, hdr->au1ApMac);
	change->ap = ap;
	change->created = !ap;
	if (ap) {
		memcpy(change->oldIp, ap->ip, sizeof change->oldIp);
		change->oldMode = ap->UbootMode;
		// A refresh replaces the whole block: fields the response lacks become zero.
		if (memcmp(ap->settings.au1IPAddress, s->au1IPAddress, sizeof s->au1IPAddress))
			ap_registry_changes++;
		ap->settings = *s;
		ap->lastSeen = now;
		ap_set_address_text(ap);
		ap->UbootMode = mode;
		return 0;
	}
	ap = static_cast<ap_record *>(calloc(1, sizeof *ap));
	if (!ap) {
		puts("malloc error ");
		return -1;
	}
	memcpy(ap->mac, hdr->au1ApMac, sizeof ap->mac);
	ap->settings = *s;
	ap_set_address_text(ap);
	ap->lastSeen = now;
	if (ap->settings.u2RadiusPort24G == 0)
		ap->settings.u2RadiusPort24G = AP_RADIUS_PORT_DEFAULT;
	if (ap->settings.u2RadiusPort5G == 0)
		ap->settings.u2RadiusPort5G = AP_RADIUS_PORT_DEFAULT;
	ap->uploadKind = AP_UPLOAD_NONE;
	ap->UbootMode = mode;
	ap_stats_init(&ap->stats);
	ap->lastPoll = 0;
	list_add_tail(&ap->list, aps);
	change->ap = ap;
	ap_registry_changes++;
	return 0;
}

bool ap_registry_expired(const ap_record *ap, int32_t now)
{
	return ap->lastPoll != 0 && now - ap->lastPoll > AP_EXPIRE_POLL_GAP &&
	       now - ap->lastSeen > AP_EXPIRE_SILENT;
}

void ap_record_release(ap_record *ap)
{
	ap_registry_changes++;
	list_del(&ap->list);
	ap_stats_release(&ap->stats);
	free(ap);
}

unsigned ap_registry_expire(struct list_head *aps, int32_t now, ap_drop_fn dropped_fn)
{
	unsigned dropped = 0;
	ap_record *ap, *tmp;
	list_for_each_entry_safe(ap, tmp, aps, list) {
		if (ap_registry_expired(ap, now)) {
			if (dropped_fn)
				dropped_fn(ap);
			ap_record_release(ap);
			dropped++;
		}
	}
	return dropped;
}

void ap_registry_clear(struct list_head *aps, ap_drop_fn dropped)
{
	ap_record *ap, *tmp;
	list_for_each_entry_safe(ap, tmp, aps, list) {
		if (dropped)
			dropped(ap);
		ap_record_release(ap);
	}
}
