// What the library sends, built from declarations the way system code writes them.
#include <gtest/gtest.h>

#include "gw/ubus.hpp"

#include "client_msg.hpp"
#include "hexbytes.hpp"

using namespace ubus_client;

namespace {

int noop_handler(struct ubus_context *, struct ubus_object *, struct ubus_request_data *, const char *,
		 struct blob_attr *)
{
	return 0;
}

enum { ARG_CONFIG, ARG_IPLIST, ARG_S, ARG_N, __ARG_MAX };
const struct blobmsg_policy witharg_policy[__ARG_MAX] = {
	[ARG_CONFIG] = {"config", BLOBMSG_TYPE_TABLE},
	[ARG_IPLIST] = {"iplist", BLOBMSG_TYPE_ARRAY},
	[ARG_S] = {"s", BLOBMSG_TYPE_STRING},
	[ARG_N] = {"n", BLOBMSG_TYPE_INT32},
};

const struct ubus_method test_methods[] = {
	UBUS_METHOD_NOARG("noarg", noop_handler),
	UBUS_METHOD("witharg", noop_handler, witharg_policy),
};

TEST(ClientMsg, AddObjectWithPolicyAsDocumented)
{
	struct ubus_object_type type = UBUS_OBJECT_TYPE("test-obj", test_methods);
	struct ubus_object obj = {};
	obj.name = "test.obj";
	obj.type = &type;
	obj.methods = test_methods;
	obj.n_methods = ARRAY_SIZE(test_methods);
	EXPECT_EQ(type.n_methods, 2);
	EXPECT_EQ(test_methods[1].n_policy, 4);

	bool sig = false;
	EXPECT_EQ(hexstr(msg_add_object(1, &obj, &sig)),
		  hexstr(hexbytes(std::string("00 06 00 01 00 00 00 00 00 00 00 74 ") + golden::kPath + " " +
				  golden::kSignature)));
	EXPECT_TRUE(sig);

	// a type known to the daemon goes by its id
	type.id = 0x00c0ffee;
	EXPECT_EQ(hexstr(msg_add_object(2, &obj, &sig)),
		  hexstr(hexbytes(std::string("00 06 00 02 00 00 00 00 00 00 00 1c ") + golden::kPath +
				  " 05 00 00 08 00 c0 ff ee")));
	EXPECT_FALSE(sig);

	// anonymous: neither path nor type
	obj.name = nullptr;
	EXPECT_EQ(hexstr(msg_add_object(3, &obj, &sig)), "00 06 00 03 00 00 00 00 00 00 00 04");
}

TEST(ClientMsg, MaskLimitsTheAdvertisedArguments)
{
	const struct ubus_method masked[] = {
		UBUS_METHOD_MASK("m", noop_handler, witharg_policy, (1 << ARG_S) | (1 << ARG_N)),
	};
	struct ubus_object_type type = UBUS_OBJECT_TYPE("t", masked);
	struct ubus_object obj = {};
	obj.name = "o";
	obj.type = &type;
	bool sig = false;
	EXPECT_EQ(hexstr(msg_add_object(1, &obj, &sig)),
		  hexstr(hexbytes("00 06 00 01 00 00 00 00 00 00 00 30"
				  "| 02 00 00 06 6f 00 00 00"
				  "| 06 00 00 24 82 00 00 20 00 01 6d 00"
				  "  85 00 00 0c 00 01 73 00 00 00 00 03"
				  "  85 00 00 0c 00 01 6e 00 00 00 00 05")));
}

TEST(ClientMsg, LookupInvokeReplyStatus)
{
	EXPECT_EQ(hexstr(msg_lookup(1, "test.obj")),
		  hexstr(hexbytes(std::string("00 04 00 01 00 00 00 00 00 00 00 14 ") + golden::kPath)));
	EXPECT_EQ(hexstr(msg_lookup(2, nullptr)), "00 04 00 02 00 00 00 00 00 00 00 04");

	// a buffer holding {"s": "ab"}, as blob_buf_init(b, 0) + blobmsg_add_string makes it
	alignas(4) uint8_t buf[] = {0x00, 0x00, 0x00, 0x10, 0x83, 0x00, 0x00, 0x0b,
				    0x00, 0x01, 's',  0x00, 'a',  'b',  0x00, 0x00};
	auto *msg = reinterpret_cast<struct blob_attr *>(buf);
	EXPECT_EQ(hexstr(msg_invoke(2, 0xb45c7dd5, "witharg", msg)),
		  hexstr(hexbytes(std::string("00 05 00 02 b4 5c 7d d5 00 00 00 28"
					      "| 03 00 00 08 b4 5c 7d d5"
					      "| 04 00 00 0c 77 69 74 68 61 72 67 00 ") +
				  golden::kDataSab)));
	// no arguments: an empty DATA all the same
	EXPECT_EQ(hexstr(msg_invoke(3, 0xb45c7dd5, "noarg", nullptr)),
		  hexstr(hexbytes("00 05 00 03 b4 5c 7d d5 00 00 00 1c | 03 00 00 08 b4 5c 7d d5"
				  "| 04 00 00 0a 6e 6f 61 72 67 00 00 00 | 07 00 00 04")));

	struct ubus_request_data req = {};
	req.object = 0xb45c7dd5;
	req.peer = 0x22a30a75;
	req.seq = 2;
	EXPECT_EQ(hexstr(msg_reply(&req, msg)),
		  hexstr(hexbytes(std::string("00 02 00 02 22 a3 0a 75 00 00 00 1c 03 00 00 08 b4 5c 7d d5 ") +
				  golden::kDataSab)));
	EXPECT_EQ(hexstr(msg_status(req.seq, req.peer, req.object, UBUS_STATUS_METHOD_NOT_FOUND)),
		  "00 01 00 02 22 a3 0a 75 00 00 00 14 01 00 00 08 00 00 00 03 03 00 00 08 b4 5c 7d d5");
}

// The event and subscription messages, as captured from the platform's library.
TEST(ClientMsg, EventsAndSubscriptions)
{
	EXPECT_EQ(hexstr(msg_register_event(2, 0x33333333, "test.ev")),
		  hexstr(hexbytes("00 05 00 02 00 00 00 01 00 00 00 4c"
				  "| 03 00 00 08 00 00 00 01 | 04 00 00 0d 72 65 67 69 73 74 65 72 00 00 00 00"
				  "| 07 00 00 30 85 00 00 14 00 06 6f 62 6a 65 63 74 00 00 00 00 33 33 33 33"
				  "  83 00 00 18 00 07 70 61 74 74 65 72 6e 00 00 00 74 65 73 74 2e 65 76 00")));

	// {"a": 1}, as blob_buf_init(b, 0) + blobmsg_add_u32 makes it
	alignas(4) uint8_t buf[] = {0x00, 0x00, 0x00, 0x10, 0x85, 0x00, 0x00, 0x0c,
				    0x00, 0x01, 'a',  0x00, 0x00, 0x00, 0x00, 0x01};
	auto *msg = reinterpret_cast<struct blob_attr *>(buf);
	const std::string send_head = "| 03 00 00 08 00 00 00 01 | 04 00 00 09 73 65 6e 64 00 00 00 00";
	const std::string id = "83 00 00 14 00 02 69 64 00 00 00 00 74 65 73 74 2e 65 76 00";
	EXPECT_EQ(hexstr(msg_send_event(1, "test.ev", msg)),
		  hexstr(hexbytes("00 05 00 01 00 00 00 01 00 00 00 48" + send_head + "| 07 00 00 30 " + id +
				  "| 82 00 00 18 00 04 64 61 74 61 00 00 85 00 00 0c 00 01 61 00 00 00 00 01")));
	// an empty table when there is no data
	alignas(4) uint8_t empty[] = {0x00, 0x00, 0x00, 0x04};
	EXPECT_EQ(hexstr(msg_send_event(1, "test.ev", reinterpret_cast<struct blob_attr *>(empty))),
		  hexstr(hexbytes("00 05 00 01 00 00 00 01 00 00 00 3c" + send_head + "| 07 00 00 24 " + id +
				  "| 82 00 00 0c 00 04 64 61 74 61 00 00")));

	EXPECT_EQ(hexstr(msg_subscribe(UBUS_MSG_SUBSCRIBE, 3, 0x44444444, 0x33333333)),
		  "00 08 00 03 00 00 00 00 00 00 00 14 03 00 00 08 44 44 44 44 08 00 00 08 33 33 33 33");
	EXPECT_EQ(hexstr(msg_subscribe(UBUS_MSG_UNSUBSCRIBE, 7, 0x44444444, 0x33333333)),
		  "00 09 00 07 00 00 00 00 00 00 00 14 03 00 00 08 44 44 44 44 08 00 00 08 33 33 33 33");
	EXPECT_EQ(hexstr(msg_notify(4, 0x33333333, "note", msg, false)),
		  hexstr(hexbytes("00 0a 00 04 33 33 33 33 00 00 00 28 | 03 00 00 08 33 33 33 33"
				  "| 04 00 00 09 6e 6f 74 65 00 00 00 00"
				  "| 07 00 00 10 85 00 00 0c 00 01 61 00 00 00 00 01")));
	EXPECT_EQ(hexstr(msg_notify(5, 0x33333333, "note", nullptr, true)),
		  hexstr(hexbytes("00 0a 00 05 33 33 33 33 00 00 00 24 | 03 00 00 08 33 33 33 33"
				  "| 04 00 00 09 6e 6f 74 65 00 00 00 00 | 07 00 00 04 | 0a 00 00 05 01 00 00 00")));
}

TEST(ClientMsg, StatusTexts)
{
	EXPECT_STREQ(ubus_strerror(UBUS_STATUS_OK), "Success");
	EXPECT_STREQ(ubus_strerror(UBUS_STATUS_NOT_FOUND), "Not found");
	EXPECT_STREQ(ubus_strerror(UBUS_STATUS_TIMEOUT), "Request timed out");
	EXPECT_STREQ(ubus_strerror(UBUS_STATUS_PARSE_ERROR), "Parsing message data failed");
	EXPECT_STREQ(ubus_strerror(UBUS_STATUS_SYSTEM_ERROR), "System error");
	EXPECT_STREQ(ubus_strerror(__UBUS_STATUS_LAST), "Unknown error: 14");
	EXPECT_STREQ(ubus_strerror(-1), "Unknown error: -1");
}

} // namespace
