#include "apconfig/iplist.hpp"

#include <cstring>

unsigned iplist_for_each_ap(struct blob_attr *iplist, struct list_head *aps, iplist_fn fn, void *ctx)
{
	unsigned calls = 0;
	struct blob_attr *cur;
	size_t rem;
	blobmsg_for_each_attr(cur, iplist, rem) {
		if (blobmsg_type(cur) != BLOBMSG_TYPE_STRING)
			continue;
		// Element contents come from the caller: a string must be terminated.
		if (!blobmsg_check_attr(cur, false))
			break;
		const char *ip = blobmsg_get_string(cur);
		ap_record *ap;
		// The whole text must agree: 10.0.0.12 does not name the AP at 10.0.0.1.
		list_for_each_entry(ap, aps, list) {
			if (strcmp(ap->ip, ip))
				continue;
			fn(ap, ctx);
			calls++;
		}
	}
	return calls;
}
