/* The blob headers must also compile as plain GNU C. */
#include <libubox/utils.h>
#include <libubox/blob.h>
#include <libubox/blobmsg.h>
#include <libubox/blobmsg_json.h>

int blobtest_c_count(struct blob_attr *table);

int blobtest_c_count(struct blob_attr *table)
{
	struct blob_attr *cur;
	size_t rem;
	int n = 0;

	BUILD_BUG_ON(sizeof(struct blob_attr) != 4);
	blobmsg_for_each_attr(cur, table, rem)
		n++;
	return n;
}
