// ac.diag: what acd has seen, for the person on call (status, ap, why).
#include <cctype>
#include <cstdio>

#include <arpa/inet.h>

#include "bus/ac_handler.hpp"
#include "bus/ac_reply.hpp"
#include "core/ac_objects.hpp"
#include "diag/ac_diag.hpp"
#include "vex/codec/vex_tlv.hpp"

namespace {
// "mac" as six hex pairs joined by ':' or '-'.
bool parse_mac(const char *s, uint8_t mac[6])
{
	for (int i = 0; i < 6; i++, s += 3) {
		unsigned v;
		if (!isxdigit(uint8_t(s[0])) || !isxdigit(uint8_t(s[1])) || sscanf(s, "%2x", &v) != 1)
			return false;
		mac[i] = uint8_t(v);
		if (s[2] != (i == 5 ? '\0' : ':') && (i == 5 || s[2] != '-'))
			return false;
	}
	return true;
}

enum { Q_MAC, Q_IP, __Q_MAX };
const struct blobmsg_policy query_policy[__Q_MAX] = {
    [Q_MAC] = {"mac", BLOBMSG_TYPE_STRING},
    [Q_IP] = {"ip", BLOBMSG_TYPE_STRING},
};

// What "ap" and "why" ask about: a MAC (mac set) or an address (network order).
struct diag_query {
	uint8_t buf[6];
	const uint8_t *mac;
	uint32_t addr;
};

// 0 when the message names a MAC or an address; else a ubus status.
int parse_query(struct blob_attr *msg, diag_query *q)
{
	struct blob_attr *tb[__Q_MAX];
	blobmsg_parse(query_policy, __Q_MAX, tb, blob_data(msg), blob_len(msg));
	q->mac = nullptr;
	q->addr = 0;
	if (tb[Q_MAC]) {
		q->mac = q->buf;
		return parse_mac(blobmsg_get_string(tb[Q_MAC]), q->buf) ? 0 : UBUS_STATUS_INVALID_ARGUMENT;
	}
	if (tb[Q_IP] && inet_pton(AF_INET, blobmsg_get_string(tb[Q_IP]), &q->addr) == 1)
		return 0;
	return UBUS_STATUS_INVALID_ARGUMENT;
}

AC_UBUS_HANDLER(status)
{
	ac_diag_status_reply(&ac_reply_buf, &aps, ac_diag_clock());
	return ac_reply_send(ctx, req);
}

AC_UBUS_HANDLER(ap_query)
{
	diag_query q;
	if (int rc = parse_query(msg, &q))
		return rc;
	ap_record *ap = ac_diag_find_ap(&aps, q.mac, q.addr);
	if (!ap)
		return UBUS_STATUS_NOT_FOUND;
	ac_diag_ap_reply(&ac_reply_buf, ap, ac_diag_clock(), ap_clock());
	return ac_reply_send(ctx, req);
}

AC_UBUS_HANDLER(why)
{
	diag_query q;
	if (int rc = parse_query(msg, &q))
		return rc;
	ac_diag_why_reply(&ac_reply_buf, &aps, q.mac, q.addr, ac_diag_clock(), ap_clock());
	return ac_reply_send(ctx, req);
}

struct ubus_method methods[] = {
    UBUS_METHOD_NOARG("status", status),
    UBUS_METHOD("ap", ap_query, query_policy),
    UBUS_METHOD("why", why, query_policy),
};
struct ubus_object_type type = GW_UBUS_OBJECT_TYPE("ac-diag", methods);
} // namespace

const ac_object_def ac_diag_object = {"ac.diag", &type};
