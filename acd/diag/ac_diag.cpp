// What ac.diag reports: counters, the fixed tables and the replies. See ac_diag.hpp.
#include "diag/ac_diag.hpp"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>

#include "vex/codec/ac_device.hpp"
#include "stats/jsonrpc.hpp"
#include "stats/poll_run.hpp"
#include "vex/codec/vex_tlv.hpp"

#ifndef AC_VERSION
#define AC_VERSION "unknown"
#endif

namespace {
// Counters, in reply order; the groups below cut this list.
enum : unsigned {
	C_RX,
	C_RESPONSES,
	C_PUSH_RESULTS,
	C_DROP, // one per check up to AC_CHK_ADDRESS
	C_OFFERS = C_DROP + AC_CHK_ADDRESS,
	C_ACCEPTED,
	C_REFUSED,
	C_STARTED,
	C_SKIPPED,
	C_HTTP_STATUS,
	C_OUT, // one per outcome from AC_HTTP_STORED on
	C_COUNT = C_OUT + AC_HTTP_OUTCOMES - 1
};

const char *const check_names[AC_CHECKS] = {"short", "tlv",  "version",      "revision",       "maclen",
                                            "magic", "type", "push_address", "upload_unknown", "address"};
const char *const check_texts[AC_CHECKS] = {"shorter than a header",
                                            "data cut short",
                                            "header version above 2",
                                            "header revision above 2",
                                            "MAC length above 6",
                                            "wrong magic number",
                                            "unknown message type",
                                            "push result without an address",
                                            "upload response while not listed",
                                            "responses name another address"};
const char *const outcome_names[AC_HTTP_OUTCOMES] = {"none",           "stored",    "status_error", "no_data",
                                                     "rejected",       "not_json",  "oversized",    "reset",
                                                     "connect_failed", "timed_out", "failed"};
const char *const vex_names[] = {"received", "responses", "push_results"};
const char *const upload_names[] = {"offers", "accepted", "refused"};
const char *const http_names[] = {"started", "skipped", "http_error"};
const char *const upload_kinds[] = {"none", "firmware", "config"};

struct sender {
	uint32_t addr;  // network order; 0: free
	uint32_t named; // AC_CHK_ADDRESS: the address its responses name
	uint32_t count;
	int32_t first, last;
	uint16_t checks; // one bit per check seen
	uint8_t check;   // the latest
	uint8_t hasMac;
	uint8_t mac[6];
};

struct dropped {
	int32_t when, silent;
	char ip[16];
	uint8_t mac[6];
	uint8_t how; // 0: free
};

struct diag_state {
	uint32_t counters[C_COUNT];
	sender senders[AC_DIAG_SENDERS];
	dropped drops[AC_DIAG_DROPPED];
	uint32_t forgotten;
	unsigned nextDrop;
	int32_t start;
	// the last statistics poll run that completed, and when
	poll_run_totals lastRun;
	int32_t lastRunEnd;
	bool stored, statusError; // set while one answer is handled
};
diag_state st;

int request_index(int32_t id)
{
	for (unsigned i = 0; i < JSONRPC_REQUESTS; i++)
		if (jsonrpc_requests[i].id == id)
			return int(i);
	return -1;
}

void note_sender(uint32_t addr, const uint8_t *mac, uint8_t check, int32_t now, uint32_t named)
{
	sender *s = nullptr, *oldest = &st.senders[0];
	for (sender &e : st.senders) {
		if (e.addr == addr) {
			s = &e;
			break;
		}
		if (e.last < oldest->last)
			oldest = &e; // free entries have last 0
	}
	if (!s) {
		s = oldest;
		if (s->addr)
			st.forgotten++;
		memset(s, 0, sizeof *s);
		s->addr = addr;
		s->first = now;
	}
	if (mac) {
		memcpy(s->mac, mac, 6);
		s->hasMac = 1;
	}
	// Failures are what the entry tells: the first one restarts the count
	// that notes about the address made, and later notes do not add to it.
	bool failed = s->checks & ~(1u << AC_CHK_ADDRESS);
	if (check == AC_CHK_ADDRESS) {
		s->named = named;
		if (failed)
			return;
	} else if (!failed) {
		s->count = 0;
		s->first = now;
	}
	s->check = check;
	s->checks |= uint16_t(1u << check);
	s->count++;
	s->last = now;
}

// The first (or the last) TLV 4 before an entry of type 0, as the handlers
// read it. False when there is none.
bool find_address(const uint8_t *buf, uint32_t len, bool last, uint32_t *addr)
{
	bool found = false;
	uint32_t off = VEX_HDR_LEN;
	for (unsigned n = 0; n < VEX_MAX_TLV && len - off >= VEX_TLV_HEAD_LEN; n++) {
		uint16_t type = vex_get_u16(buf + off), tlen = vex_get_u16(buf + off + 2);
		if (tlen < VEX_TLV_HEAD_LEN || tlen > len - off || !type)
			break;
		if (type == 4) {
			uint8_t a[4] = {};
			memcpy(a, buf + off + VEX_TLV_HEAD_LEN,
			       tlen - VEX_TLV_HEAD_LEN < 4 ? tlen - VEX_TLV_HEAD_LEN : 4);
			memcpy(addr, a, 4);
			found = true;
			if (!last)
				break;
		}
		off += tlen;
	}
	return found;
}

void add_counters(struct blob_buf *b, unsigned first, unsigned count, const char *const *names)
{
	for (unsigned i = 0; i < count; i++)
		blobmsg_add_u64(b, names[i], st.counters[first + i]);
}

void add_ip(struct blob_buf *b, const char *name, uint32_t addr)
{
	char text[16];
	vex_format_ipv4(text, reinterpret_cast<const uint8_t *>(&addr));
	blobmsg_add_string(b, name, text);
}

void add_mac(struct blob_buf *b, const char *name, const uint8_t *mac)
{
	char text[18];
	snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
	         mac[5]);
	blobmsg_add_string(b, name, text);
}

void record_http(ap_record *ap, int idx, uint8_t outcome, int32_t now)
{
	ap->diag.http[idx] = outcome;
	ap->diag.httpTime[idx] = now;
}

int32_t ago(int32_t now, int32_t then)
{
	return then ? now - then : -1;
}

} // namespace

void ac_diag_start()
{
	if (!st.start)
		st.start = ac_diag_clock();
}

int32_t ac_diag_clock()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return int32_t(ts.tv_sec) + 1;
}

void ac_diag_datagram(const uint8_t *buf, uint32_t length, const struct sockaddr_in *from, int handled)
{
	st.counters[C_RX]++;
	ac_diag_datagram_at(buf, length, from ? from->sin_addr.s_addr : 0, handled, ac_diag_clock(), &aps);
}

void ac_diag_datagram_at(const uint8_t *buf, uint32_t length, uint32_t addr, int handled, int32_t now,
                         struct list_head *list)
{
	const uint8_t *mac = length >= VEX_OFF_MACLEN ? buf + VEX_OFF_APMAC : nullptr;
	int check = -1;
	uint32_t named = 0;
	vex_hdr h;
	uint16_t reason = 0;
	// In the order the receive path applies them.
	if (!KvVexParseVexHdr(buf, length, &h))
		check = AC_CHK_SHORT;
	else if (length > VEX_HDR_LEN && length - VEX_HDR_LEN < VEX_TLV_HEAD_LEN)
		check = AC_CHK_TLV;
	else if (!KvVexCheckDiscoverHeader(&h, &reason))
		check = reason == VEX_REJECT_VERSION    ? AC_CHK_VERSION
		        : reason == VEX_REJECT_REVISION ? AC_CHK_REVISION
		        : reason == VEX_REJECT_MACLEN   ? AC_CHK_MACLEN
		                                        : AC_CHK_MAGIC;
	else if (!handled)
		check = AC_CHK_TYPE;
	else if (h.u2MsgType == VEX_MSG_DISCOVER_RESP || h.u2MsgType == VEX_MSG_AGENT_RESP) {
		st.counters[C_RESPONSES]++;
		// Listed, but under the address it names: its sender's address alone
		// would not find it.
		if (!find_address(buf, length, true, &named) || named != addr) {
			note_sender(addr, mac, AC_CHK_ADDRESS, now, named);
			return;
		}
	} else if (h.u2MsgType == VEX_MSG_SET_RESULT) {
		if (find_address(buf, length, false, &named))
			st.counters[C_PUSH_RESULTS]++;
		else
			check = AC_CHK_PUSH_ADDRESS;
	} else if (h.u2MsgType == VEX_MSG_UPLOAD_RESP) {
		if (!ap_registry_find_mac(list, h.au1ApMac))
			check = AC_CHK_UPLOAD_UNKNOWN;
		else
			st.counters[h.u2Status ? C_REFUSED : C_ACCEPTED]++;
	}
	if (check < 0)
		return;
	st.counters[C_DROP + unsigned(check)]++;
	note_sender(addr, check > AC_CHK_SHORT ? mac : nullptr, uint8_t(check), now, 0);
}

void ac_diag_dropped_at(const ap_record *ap, uint8_t how, int32_t now, int32_t silent)
{
	dropped &d = st.drops[st.nextDrop++ % AC_DIAG_DROPPED];
	if (d.how)
		st.forgotten++;
	d.when = now;
	d.silent = silent;
	memcpy(d.ip, ap->ip, sizeof d.ip);
	memcpy(d.mac, ap->mac, sizeof d.mac);
	d.how = how;
}

void ac_diag_expiring(struct list_head *list, int32_t now)
{
	ap_record *ap;
	list_for_each_entry(ap, list, list)
		if (ap_registry_expired(ap, now))
			ac_diag_dropped_at(ap, AC_DROP_EXPIRED, ac_diag_clock(), now - ap->lastSeen);
}

void ac_diag_clearing(struct list_head *list)
{
	ap_record *ap;
	int32_t now = ap_clock(); // the registry's clock, as lastSeen
	list_for_each_entry(ap, list, list)
		ac_diag_dropped_at(ap, AC_DROP_CLEARED, ac_diag_clock(), now - ap->lastSeen);
}

void ac_diag_upload_offer()
{
	st.counters[C_OFFERS]++;
}

void ac_diag_poll_run(const poll_run_totals *t)
{
	st.lastRun = *t;
	st.lastRunEnd = ac_diag_clock();
}

void ac_diag_http_start(bool skipped)
{
	st.counters[skipped ? C_SKIPPED : C_STARTED]++;
}

void ac_diag_http_status(int code)
{
	if (code != 200 && code != 204)
		st.counters[C_HTTP_STATUS]++;
}

void ac_diag_http_end(const char *ip, int32_t id, uint8_t outcome)
{
	if (outcome == AC_HTTP_NONE || outcome >= AC_HTTP_OUTCOMES)
		return;
	st.counters[C_OUT + outcome - 1]++;
	int idx = request_index(id);
	if (idx < 0 || outcome == AC_HTTP_STORED)
		return; // the slot hook marks stored answers on their records
	int32_t now = ac_diag_clock();
	ap_record *ap;
	list_for_each_entry(ap, &aps, list)
		if (!strcmp(ap->ip, ip))
			record_http(ap, idx, outcome, now);
}

void ac_diag_answer(const char *ip, int32_t id, int rc)
{
	uint8_t o = rc < 0           ? AC_HTTP_NOT_JSON
	            : rc == 0        ? AC_HTTP_REJECTED
	            : st.stored      ? AC_HTTP_STORED
	            : st.statusError ? AC_HTTP_STATUS_ERROR
	                             : AC_HTTP_NO_DATA;
	st.stored = st.statusError = false;
	ac_diag_http_end(ip, id, o);
}

void ac_diag_status_error()
{
	st.statusError = true;
}

void ac_diag_slot(ap_record *ap, int32_t id)
{
	int32_t now = ac_diag_clock();
	unsigned slot = unsigned(id) - AP_REPLY_FIRST_ID;
	if (slot < AP_REPLY_SLOTS)
		ap->diag.slotTime[slot] = now;
	int idx = request_index(id);
	if (idx >= 0)
		record_http(ap, idx, AC_HTTP_STORED, now);
	st.stored = true;
}

void ac_diag_status_reply(struct blob_buf *b, struct list_head *list, int32_t now)
{
	blob_buf_init(b, 0);
	blobmsg_add_string(b, "version", AC_VERSION);
	blobmsg_add_u32(b, "uptime", uint32_t(now - st.start));
	void *t = blobmsg_open_table(b, "lan");
	uint32_t lan;
	memcpy(&lan, ac_device_info.ip, 4); // bytes: no alignment to rely on
	add_ip(b, "ip", lan);
	add_mac(b, "mac", ac_device_info.mac);
	blobmsg_close_table(b, t);
	uint32_t n = 0;
	struct list_head *p;
	list_for_each(p, list)
		n++;
	blobmsg_add_u32(b, "aps", n);
	t = blobmsg_open_table(b, "vex");
	add_counters(b, C_RX, 3, vex_names);
	void *d = blobmsg_open_table(b, "dropped");
	add_counters(b, C_DROP, AC_CHK_ADDRESS, check_names);
	blobmsg_close_table(b, d);
	blobmsg_close_table(b, t);
	t = blobmsg_open_table(b, "upload");
	add_counters(b, C_OFFERS, 3, upload_names);
	blobmsg_close_table(b, t);
	t = blobmsg_open_table(b, "http");
	add_counters(b, C_STARTED, 3, http_names);
	add_counters(b, C_OUT, AC_HTTP_OUTCOMES - 1, outcome_names + 1);
	blobmsg_close_table(b, t);
	if (st.lastRunEnd) {
		// as the "ac.poll.run" event tells it
		t = blobmsg_open_table(b, "last_poll");
		blobmsg_add_u32(b, "ago", uint32_t(now - st.lastRunEnd));
		blobmsg_add_u32(b, "took_ms", st.lastRun.ms);
		blobmsg_add_u32(b, "aps", st.lastRun.aps);
		blobmsg_add_u32(b, "asked", st.lastRun.asked);
		blobmsg_add_u32(b, "answered", st.lastRun.answered);
		blobmsg_add_u32(b, "failed", st.lastRun.failed);
		blobmsg_close_table(b, t);
	}
	blobmsg_add_u32(b, "forgotten", st.forgotten);
}

void ac_diag_ap_reply(struct blob_buf *b, const ap_record *ap, int32_t now, int32_t registryNow)
{
	blob_buf_init(b, 0);
	add_mac(b, "mac", ap->mac);
	blobmsg_add_string(b, "ip", ap->ip);
	blobmsg_add_u32(b, "UbootMode", uint32_t(int32_t(ap->UbootMode)));
	blobmsg_add_u32(b, "last_seen", uint32_t(registryNow - ap->lastSeen));
	blobmsg_add_u32(b, "last_polled", uint32_t(ap->lastPoll ? registryNow - ap->lastPoll : -1));
	blobmsg_add_string(b, "upload", upload_kinds[ap->uploadKind < 3 ? ap->uploadKind : 0]);
	void *t = blobmsg_open_table(b, "slots");
	for (unsigned i = 0; i < AP_REPLY_SLOTS; i++) {
		if (!ap->stats.slots[i])
			continue;
		char id[8];
		snprintf(id, sizeof id, "%u", AP_REPLY_FIRST_ID + i);
		blobmsg_add_u32(b, id, uint32_t(ago(now, ap->diag.slotTime[i])));
	}
	blobmsg_close_table(b, t);
	t = blobmsg_open_table(b, "requests");
	for (unsigned i = 0; i < JSONRPC_REQUESTS; i++) {
		void *r = blobmsg_open_table(b, jsonrpc_requests[i].method);
		uint8_t o = ap->diag.http[i];
		blobmsg_add_string(b, "outcome", outcome_names[o < AC_HTTP_OUTCOMES ? o : 0]);
		blobmsg_add_u32(b, "ago", uint32_t(ago(now, ap->diag.httpTime[i])));
		blobmsg_close_table(b, r);
	}
	blobmsg_close_table(b, t);
}

ap_record *ac_diag_find_ap(struct list_head *list, const uint8_t *mac, uint32_t addr)
{
	char ip[16];
	vex_format_ipv4(ip, reinterpret_cast<const uint8_t *>(&addr));
	return mac ? ap_registry_find_mac(list, mac) : ap_registry_find_ip(list, ip);
}

void ac_diag_why_reply(struct blob_buf *b, struct list_head *list, const uint8_t *mac, uint32_t addr,
                       int32_t now, int32_t registryNow)
{
	char ip[16];
	vex_format_ipv4(ip, reinterpret_cast<const uint8_t *>(&addr));
	const ap_record *ap = ac_diag_find_ap(list, mac, addr);
	const sender *s = nullptr;
	for (const sender &e : st.senders)
		if (e.addr && (mac ? e.hasMac && !memcmp(e.mac, mac, 6) : e.addr == addr) &&
		    (!s || e.last > s->last))
			s = &e;
	const dropped *d = nullptr;
	for (const dropped &e : st.drops)
		if (e.how && (mac ? !memcmp(e.mac, mac, 6) : !strcmp(e.ip, ip)) && (!d || e.when >= d->when))
			d = &e;
	bool failing = s && (s->checks & ~(1u << AC_CHK_ADDRESS));

	char text[200];
	const char *verdict;
	if (ap) {
		verdict = "listed";
		snprintf(text, sizeof text, "listed: last seen %d s ago at %s", registryNow - ap->lastSeen,
		         ap->ip);
	} else if (failing && (!d || s->last >= d->when)) {
		verdict = "failing";
		snprintf(text, sizeof text,
		         "heard, but its datagrams failed a check (%s): %u so far, the last %d s ago",
		         check_texts[s->check], s->count, now - s->last);
	} else if (d) {
		verdict = d->how == AC_DROP_EXPIRED ? "expired" : "cleared";
		if (d->how == AC_DROP_EXPIRED)
			snprintf(text, sizeof text,
			         "was listed; expired %d s ago after %d s without an answer", now - d->when,
			         d->silent);
		else
			snprintf(text, sizeof text, "was listed; removed by all_clear %d s ago",
			         now - d->when);
	} else if (s) {
		verdict = "elsewhere";
		char named[16];
		vex_format_ipv4(named, reinterpret_cast<const uint8_t *>(&s->named));
		const ap_record *there = s->hasMac ? ap_registry_find_mac(list, s->mac) : nullptr;
		snprintf(text, sizeof text, "heard, but its responses name the address %s%s", named,
		         there ? ", where it is listed" : "");
	} else {
		verdict = "unheard";
		snprintf(text, sizeof text, "never heard from since acd started %d s ago%s", now - st.start,
		         st.forgotten ? " (older records were forgotten)" : "");
	}
	blob_buf_init(b, 0);
	blobmsg_add_string(b, "verdict", verdict);
	blobmsg_add_string(b, "text", text);
	if (s) {
		void *t = blobmsg_open_table(b, "heard");
		add_ip(b, "from", s->addr);
		if (s->hasMac)
			add_mac(b, "mac", s->mac);
		blobmsg_add_string(b, "check", check_names[s->check]);
		void *a = blobmsg_open_array(b, "checks");
		for (unsigned i = 0; i < AC_CHECKS; i++)
			if (s->checks & (1u << i))
				blobmsg_add_string(b, nullptr, check_names[i]);
		blobmsg_close_array(b, a);
		blobmsg_add_u32(b, "count", s->count);
		blobmsg_add_u32(b, "first", uint32_t(now - s->first));
		blobmsg_add_u32(b, "last", uint32_t(now - s->last));
		blobmsg_close_table(b, t);
	}
	if (d) {
		void *t = blobmsg_open_table(b, "dropped");
		blobmsg_add_string(b, "how", d->how == AC_DROP_EXPIRED ? "expired" : "cleared");
		blobmsg_add_string(b, "ip", d->ip);
		add_mac(b, "mac", d->mac);
		blobmsg_add_u32(b, "ago", uint32_t(now - d->when));
		blobmsg_add_u32(b, "silent", uint32_t(d->silent));
		blobmsg_close_table(b, t);
	}
}

void ac_diag_reset(int32_t start)
{
	memset(&st, 0, sizeof st);
	st.start = start;
}

