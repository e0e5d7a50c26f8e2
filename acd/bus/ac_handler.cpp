#include "bus/ac_handler.hpp"

const char *ac_arg_string(const struct blobmsg_policy *policy, struct blob_attr *msg)
{
	struct blob_attr *tb[1];
	blobmsg_parse(policy, 1, tb, blob_data(msg), blob_len(msg));
	if (!tb[0] || blobmsg_type(tb[0]) != BLOBMSG_TYPE_STRING)
		return nullptr;
	return blobmsg_get_string(tb[0]);
}
