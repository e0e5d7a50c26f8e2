#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "apconfig/iplist.hpp"

namespace {
struct ap_list {
	explicit ap_list(std::vector<const char *> ips) : records(ips.size())
	{
		INIT_LIST_HEAD(&head);
		for (size_t i = 0; i < ips.size(); i++) {
			memset(&records[i], 0, sizeof records[i]);
			strcpy(records[i].ip, ips[i]);
			records[i].mac[5] = uint8_t(i);
			list_add_tail(&records[i].list, &head);
		}
	}
	struct list_head head;
	std::vector<ap_record> records;
};

void collect(ap_record *ap, void *ctx)
{
	static_cast<std::vector<int> *>(ctx)->push_back(ap->mac[5]);
}

std::vector<int> chosen(ap_list &aps, struct blob_attr *iplist)
{
	std::vector<int> out;
	unsigned calls = iplist_for_each_ap(iplist, &aps.head, collect, &out);
	EXPECT_EQ(calls, out.size());
	return out;
}

TEST(Iplist, WholeAddressTextOnly)
{
	// Two records share an address (an AP that moved, or a second without one).
	ap_list aps({"10.0.0.1", "10.0.0.12", "10.0.0.123", "10.0.0.12", "0.0.0.0"});
	struct blob_buf b;
	memset(&b, 0, sizeof b);
	blob_buf_init(&b, 0);
	void *a = blobmsg_open_array(&b, "iplist");
	for (const char *ip :
	     {"10.0.0.12", "10.0.0.1", "10.0.0.1 ", "10.0.0.", "10.0.0.1234", "", "10.0.0.123"})
		blobmsg_add_string(&b, nullptr, ip);
	blobmsg_add_u32(&b, nullptr, 7);      // not a string: skipped
	blobmsg_add_string(&b, nullptr, "10.0.0.1"); // listed again: chosen again
	blobmsg_close_array(&b, a);
	struct blob_attr *iplist = static_cast<struct blob_attr *>(blob_data(b.head));
	EXPECT_EQ(chosen(aps, iplist), (std::vector<int>{1, 3, 0, 2, 0}));

	// A malformed element ends the walk; what came before it stands.
	auto *first = static_cast<struct blob_attr *>(blobmsg_data(iplist));
	auto *second = blob_next(first);
	second->id_len = cpu_to_be32((be32_to_cpu(second->id_len) & ~BLOB_ATTR_LEN_MASK) | 2);
	EXPECT_EQ(chosen(aps, iplist), (std::vector<int>{1, 3}));
	EXPECT_EQ(chosen(aps, nullptr), std::vector<int>{});
	blob_buf_free(&b);
}
} // namespace
