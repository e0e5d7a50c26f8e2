// The daemon's event object and subscriptions, fed with messages as bytes.
#include <deque>

#include <gtest/gtest.h>

#include "bus.hpp"
#include "hexbytes.hpp"

using namespace ubus_wire;
using ubusd::Bus;
using ubusd::Outgoing;

namespace {

uint32_t queued_ids(void *p)
{
	auto *q = static_cast<std::deque<uint32_t> *>(p);
	uint32_t v = q->front();
	q->pop_front();
	q->push_back(v + 0x100); // never runs dry
	return v;
}

// golden fragments of the event exchanges
// OBJID 1, METHOD "register"
constexpr const char *kRegisterHead = "03 00 00 08 00 00 00 01 | 04 00 00 0d 72 65 67 69 73 74 65 72 00 00 00 00";
// OBJID 1, METHOD "send"
constexpr const char *kSendHead = "03 00 00 08 00 00 00 01 | 04 00 00 09 73 65 6e 64 00 00 00 00";
// blobmsg INT32 "object" (value follows)
constexpr const char *kObjectMember = "85 00 00 14 00 06 6f 62 6a 65 63 74 00 00 00 00";
// blobmsg STRING "pattern" = "test.ev"
constexpr const char *kPatternTestEv = "83 00 00 18 00 07 70 61 74 74 65 72 6e 00 00 00 74 65 73 74 2e 65 76 00";
// DATA {"a": 1}
constexpr const char *kDataA1 = "07 00 00 10 85 00 00 0c 00 01 61 00 00 00 00 01";

class BusEventTest : public ::testing::Test {
protected:
	std::deque<uint32_t> ids{0x11111111, 0x22222222, 0x33333333, 0x44444444, 0x55555555, 0x66666666};
	Bus bus{queued_ids, &ids};

	uint32_t connect()
	{
		uint32_t id = bus.connect("root", "root");
		bus.take();
		return id;
	}
	std::vector<Outgoing> feed(uint32_t client, const std::vector<uint8_t> &b)
	{
		EXPECT_TRUE(bus.receive(client, b.data(), b.size()));
		return bus.take();
	}
	std::vector<Outgoing> feed(uint32_t client, Writer &w) { return feed(client, w.take()); }
	std::vector<Outgoing> feed_hex(uint32_t client, const std::string &hex) { return feed(client, hexbytes(hex)); }

	uint32_t add_anonymous(uint32_t client)
	{
		auto out = feed(client, Writer(UBUS_MSG_ADD_OBJECT, 1, 0).take());
		EXPECT_EQ(out.size(), 2u);
		return attr_u32(parsed(out[0]).get(UBUS_ATTR_OBJID));
	}
	uint32_t add_named(uint32_t client, const char *path)
	{
		Writer w(UBUS_MSG_ADD_OBJECT, 1, 0);
		w.put_string(UBUS_ATTR_OBJPATH, path);
		auto out = feed(client, w);
		for (const auto &o : out)
			if (o.client == client && parsed(o).hdr.type == UBUS_MSG_DATA)
				return attr_u32(parsed(o).get(UBUS_ATTR_OBJID));
		ADD_FAILURE() << "no object id";
		return 0;
	}
	// "register" of obj for pattern (nullptr: no pattern member); the status
	int do_register(uint32_t client, uint32_t obj, const char *pattern)
	{
		Writer w(UBUS_MSG_INVOKE, 2, UBUS_SYSTEM_OBJECT_EVENT);
		w.put_u32(UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_EVENT);
		w.put_string(UBUS_ATTR_METHOD, "register");
		size_t d = w.nest_start(UBUS_ATTR_DATA);
		w.put_blobmsg_u32("object", obj);
		if (pattern)
			w.put_blobmsg_string("pattern", pattern);
		w.nest_end(d);
		auto out = feed(client, w);
		EXPECT_EQ(out.size(), 1u);
		return status_of(out.back());
	}
	// "send" of an event without data; what the daemon sent
	std::vector<Outgoing> send_event(uint32_t client, const char *id)
	{
		Writer w(UBUS_MSG_INVOKE, 5, UBUS_SYSTEM_OBJECT_EVENT);
		w.put_u32(UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_EVENT);
		w.put_string(UBUS_ATTR_METHOD, "send");
		size_t d = w.nest_start(UBUS_ATTR_DATA);
		w.put_blobmsg_string("id", id);
		w.nest_end(d);
		return feed(client, w);
	}

	static Message parsed(const Outgoing &o)
	{
		Message m;
		EXPECT_TRUE(parse_message(o.bytes.data(), o.bytes.size(), m));
		return m;
	}
	static int status_of(const Outgoing &o)
	{
		Message m = parsed(o);
		if (m.hdr.type != UBUS_MSG_STATUS || !m.get(UBUS_ATTR_STATUS))
			return -1;
		return int(attr_u32(m.get(UBUS_ATTR_STATUS)));
	}
};

void expect_out(const Outgoing &o, uint32_t client, const std::string &hex)
{
	EXPECT_EQ(o.client, client);
	EXPECT_EQ(hexstr(o.bytes), hexstr(hexbytes(hex)));
}

// A listener registers, a sender sends: every byte as captured on the platform.
TEST_F(BusEventTest, GoldenListenAndSend)
{
	uint32_t listener = connect(); // 0x11111111
	uint32_t sender = connect();   // 0x22222222

	auto out = feed_hex(listener, "00 06 00 01 00 00 00 00 00 00 00 04");
	ASSERT_EQ(out.size(), 2u);
	expect_out(out[0], listener, "00 02 00 01 00 00 00 00 00 00 00 0c | 03 00 00 08 33 33 33 33");
	expect_out(out[1], listener, "00 01 00 01 00 00 00 00 00 00 00 0c | 01 00 00 08 00 00 00 00");

	out = feed_hex(listener, std::string("00 05 00 02 00 00 00 01 00 00 00 4c | ") + kRegisterHead +
					 "| 07 00 00 30 " + kObjectMember + " 33 33 33 33 " + kPatternTestEv);
	ASSERT_EQ(out.size(), 1u);
	expect_out(out[0], listener, "00 01 00 02 00 00 00 01 00 00 00 0c | 01 00 00 08 00 00 00 00");

	// ubus send test.ev '{"a":1}'
	out = feed_hex(sender, std::string("00 05 00 01 00 00 00 01 00 00 00 48 | ") + kSendHead +
				       "| 07 00 00 30"
				       "| 83 00 00 14 00 02 69 64 00 00 00 00 74 65 73 74 2e 65 76 00"
				       "| 82 00 00 18 00 04 64 61 74 61 00 00 85 00 00 0c 00 01 61 00 00 00 00 01");
	ASSERT_EQ(out.size(), 2u);
	expect_out(out[0], listener,
		   std::string("00 05 00 01 00 00 00 00 00 00 00 28 | 03 00 00 08 33 33 33 33"
			       "| 04 00 00 0c 74 65 73 74 2e 65 76 00 | ") +
			   kDataA1);
	expect_out(out[1], sender, "00 01 00 01 00 00 00 01 00 00 00 0c | 01 00 00 08 00 00 00 00");

	// the listener's acknowledgement goes nowhere
	EXPECT_TRUE(feed_hex(listener, "00 01 00 01 00 00 00 00 00 00 00 14 | 01 00 00 08 00 00 00 00"
				       "| 03 00 00 08 33 33 33 33")
			    .empty());

	// a second event counts on
	out = send_event(sender, "test.ev");
	ASSERT_EQ(out.size(), 2u);
	expect_out(out[0], listener,
		   "00 05 00 02 00 00 00 00 00 00 00 1c | 03 00 00 08 33 33 33 33"
		   "| 04 00 00 0c 74 65 73 74 2e 65 76 00 | 07 00 00 04");
}

TEST_F(BusEventTest, PatternsMatchExactlyOrByPrefix)
{
	uint32_t sender = connect();
	struct Case {
		const char *pattern;
		std::vector<const char *> hears;
	} cases[] = {
		{"test.ev", {"test.ev"}},
		{"test.*", {"test.ev", "test.ev2", "test."}},
		{"test*", {"test.ev", "test.ev2", "test.", "testing"}},
		{"*", {"test.ev", "test.ev2", "test.", "testing", "other"}},
		{"", {"test.ev", "test.ev2", "test.", "testing", "other"}},
		{"test.e", {}},
	};
	for (const auto &k : cases) {
		SCOPED_TRACE(k.pattern);
		uint32_t c = connect();
		uint32_t obj = add_anonymous(c);
		ASSERT_EQ(do_register(c, obj, k.pattern), 0);
		std::vector<const char *> heard;
		for (const char *id : {"test.ev", "test.ev2", "test.", "testing", "other"}) {
			auto out = send_event(sender, id);
			ASSERT_EQ(status_of(out.back()), 0);
			for (const auto &o : out)
				if (o.client == c)
					heard.push_back(id);
		}
		EXPECT_EQ(heard.size(), k.hears.size());
		for (size_t i = 0; i < heard.size() && i < k.hears.size(); i++)
			EXPECT_STREQ(heard[i], k.hears[i]);
		bus.disconnect(c);
		bus.take();
	}
	EXPECT_EQ(bus.pattern_count(), 0u);
}

TEST_F(BusEventTest, RegisterAndSendErrors)
{
	uint32_t c = connect();
	uint32_t other = connect();
	uint32_t obj = add_anonymous(c);
	uint32_t foreign = add_anonymous(other);
	EXPECT_EQ(do_register(c, obj, nullptr), UBUS_STATUS_INVALID_ARGUMENT);
	EXPECT_EQ(do_register(c, 0x7777, "x"), UBUS_STATUS_NOT_FOUND);
	EXPECT_EQ(do_register(c, UBUS_SYSTEM_OBJECT_EVENT, "x"), UBUS_STATUS_PERMISSION_DENIED);
	EXPECT_EQ(do_register(c, foreign, "x"), UBUS_STATUS_PERMISSION_DENIED);
	EXPECT_EQ(bus.pattern_count(), 0u);

	// two patterns that both match: one event per object
	ASSERT_EQ(do_register(c, obj, "a.*"), 0);
	ASSERT_EQ(do_register(c, obj, "a.b"), 0);
	auto out = send_event(other, "a.b");
	ASSERT_EQ(out.size(), 2u);
	EXPECT_EQ(out[0].client, c);

	// the daemon's own events cannot be sent by clients
	out = send_event(other, "ubus.object.add");
	ASSERT_EQ(out.size(), 1u);
	expect_out(out[0], other, "00 01 00 05 00 00 00 01 00 00 00 0c | 01 00 00 08 00 00 00 06");
	// no id: invalid
	Writer w(UBUS_MSG_INVOKE, 6, UBUS_SYSTEM_OBJECT_EVENT);
	w.put_u32(UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_EVENT);
	w.put_string(UBUS_ATTR_METHOD, "send");
	w.put_raw(UBUS_ATTR_DATA, nullptr, 0);
	out = feed(other, w);
	ASSERT_EQ(out.size(), 1u);
	EXPECT_EQ(status_of(out[0]), UBUS_STATUS_INVALID_ARGUMENT);

	// removing the listener object ends its patterns
	w.begin(UBUS_MSG_REMOVE_OBJECT, 7, 0);
	w.put_u32(UBUS_ATTR_OBJID, obj);
	feed(c, w);
	EXPECT_EQ(bus.pattern_count(), 0u);
	EXPECT_EQ(send_event(other, "a.b").size(), 1u);
}

// Named objects coming and going are announced as ubus.object.add/remove.
TEST_F(BusEventTest, GoldenObjectAddAndRemove)
{
	uint32_t listener = connect(); // 0x11111111
	uint32_t owner = connect();    // 0x22222222
	uint32_t obj = add_anonymous(listener); // 0x33333333
	ASSERT_EQ(do_register(listener, obj, "ubus.object.*"), 0);
	add_anonymous(owner); // anonymous objects are not announced: 0x44444444

	Writer w(UBUS_MSG_ADD_OBJECT, 3, 0);
	w.put_string(UBUS_ATTR_OBJPATH, "svc");
	auto out = feed(owner, w);
	ASSERT_EQ(out.size(), 3u);
	// {"id": 0x55555555, "path": "svc"}
	const std::string data = "07 00 00 24 | 85 00 00 10 00 02 69 64 00 00 00 00 55 55 55 55"
				 "| 83 00 00 10 00 04 70 61 74 68 00 00 73 76 63 00";
	expect_out(out[0], listener,
		   "00 05 00 01 00 00 00 00 00 00 00 44 | 03 00 00 08 33 33 33 33"
		   "| 04 00 00 14 75 62 75 73 2e 6f 62 6a 65 63 74 2e 61 64 64 00 | " +
			   data);
	EXPECT_EQ(out[1].client, owner);
	EXPECT_EQ(status_of(out[2]), 0);

	// the owner goes: the object's removal is announced
	bus.disconnect(owner);
	out = bus.take();
	ASSERT_EQ(out.size(), 1u);
	expect_out(out[0], listener,
		   "00 05 00 02 00 00 00 00 00 00 00 48 | 03 00 00 08 33 33 33 33"
		   "| 04 00 00 17 75 62 75 73 2e 6f 62 6a 65 63 74 2e 72 65 6d 6f 76 65 00 00 | " +
			   data);
}

// Subscribe, notify, the target going away, and unsubscribe.
TEST_F(BusEventTest, GoldenSubscribeAndNotify)
{
	uint32_t owner = connect(); // 0x11111111
	uint32_t watcher = connect(); // 0x22222222
	uint32_t target = add_named(owner, "svc"); // 0x33333333
	uint32_t sub = add_anonymous(watcher); // 0x44444444

	// SUBSCRIBE: the owner learns it has a subscriber, the watcher gets STATUS 0
	auto out = feed_hex(watcher, "00 08 00 03 00 00 00 00 00 00 00 14 | 03 00 00 08 44 44 44 44"
				     "| 08 00 00 08 33 33 33 33");
	ASSERT_EQ(out.size(), 2u);
	expect_out(out[0], owner, "00 0a 00 01 00 00 00 00 00 00 00 14 | 03 00 00 08 33 33 33 33"
				  "| 09 00 00 05 01 00 00 00");
	expect_out(out[1], watcher, "00 01 00 03 00 00 00 00 00 00 00 0c | 01 00 00 08 00 00 00 00");
	EXPECT_EQ(bus.subscription_count(), 1u);

	// NOTIFY "note" {"a": 1}: the owner's status names the subscribers, the
	// subscriber gets an INVOKE from the owner's connection
	out = feed_hex(owner, std::string("00 0a 00 04 33 33 33 33 00 00 00 28 | 03 00 00 08 33 33 33 33"
					  "| 04 00 00 09 6e 6f 74 65 00 00 00 00 | ") +
				      kDataA1);
	ASSERT_EQ(out.size(), 2u);
	expect_out(out[0], owner, "00 01 00 04 33 33 33 33 00 00 00 18 | 01 00 00 08 00 00 00 00"
				  "| 0b 00 00 0c 00 00 00 08 44 44 44 44");
	expect_out(out[1], watcher,
		   std::string("00 05 00 04 11 11 11 11 00 00 00 40 | 03 00 00 08 44 44 44 44"
			       "| 04 00 00 09 6e 6f 74 65 00 00 00 00"
			       "| 0c 00 00 09 72 6f 6f 74 00 00 00 00"
			       "| 0d 00 00 09 72 6f 6f 74 00 00 00 00 | ") +
			   kDataA1);
	// the subscriber's answer goes back with its object as peer
	out = feed_hex(watcher, "00 01 00 04 11 11 11 11 00 00 00 14 | 01 00 00 08 00 00 00 00"
				"| 03 00 00 08 44 44 44 44");
	ASSERT_EQ(out.size(), 1u);
	expect_out(out[0], owner, "00 01 00 04 44 44 44 44 00 00 00 14 | 01 00 00 08 00 00 00 00"
				  "| 03 00 00 08 44 44 44 44");
	// without an answer wanted, nothing comes back to the owner
	Writer w(UBUS_MSG_NOTIFY, 5, target);
	w.put_u32(UBUS_ATTR_OBJID, target);
	w.put_string(UBUS_ATTR_METHOD, "note");
	w.put_u8(UBUS_ATTR_NO_REPLY, 1);
	out = feed(owner, w);
	ASSERT_EQ(out.size(), 1u);
	EXPECT_EQ(out[0].client, watcher);
	// another client's object cannot notify
	w.begin(UBUS_MSG_NOTIFY, 6, target);
	w.put_u32(UBUS_ATTR_OBJID, target);
	w.put_string(UBUS_ATTR_METHOD, "note");
	out = feed(watcher, w);
	ASSERT_EQ(out.size(), 1u);
	EXPECT_EQ(status_of(out[0]), UBUS_STATUS_PERMISSION_DENIED);

	// UNSUBSCRIBE: the owner learns it has none left
	out = feed_hex(watcher, "00 09 00 07 00 00 00 00 00 00 00 14 | 03 00 00 08 44 44 44 44"
				"| 08 00 00 08 33 33 33 33");
	ASSERT_EQ(out.size(), 2u);
	expect_out(out[0], owner, "00 0a 00 02 00 00 00 00 00 00 00 14 | 03 00 00 08 33 33 33 33"
				  "| 09 00 00 05 00 00 00 00");
	EXPECT_EQ(status_of(out[1]), 0);
	EXPECT_EQ(bus.subscription_count(), 0u);

	// subscribed again, the target goes: the subscriber is told
	feed_hex(watcher, "00 08 00 08 00 00 00 00 00 00 00 14 | 03 00 00 08 44 44 44 44 | 08 00 00 08 33 33 33 33");
	w.begin(UBUS_MSG_REMOVE_OBJECT, 9, 0);
	w.put_u32(UBUS_ATTR_OBJID, target);
	out = feed(owner, w);
	ASSERT_EQ(out.size(), 3u);
	expect_out(out[0], watcher, "00 09 00 00 00 00 00 00 00 00 00 14 | 03 00 00 08 44 44 44 44"
				    "| 08 00 00 08 33 33 33 33");
	EXPECT_EQ(bus.subscription_count(), 0u);

	// errors: unknown objects, a subscriber of another client, missing target
	struct Case {
		uint32_t sub, target;
		int status;
	} cases[] = {
		{sub, 0x7777, UBUS_STATUS_NOT_FOUND},
		{0x7777, sub, UBUS_STATUS_NOT_FOUND},
	};
	for (const auto &k : cases) {
		w.begin(UBUS_MSG_SUBSCRIBE, 10, 0);
		w.put_u32(UBUS_ATTR_OBJID, k.sub);
		w.put_u32(UBUS_ATTR_TARGET, k.target);
		out = feed(watcher, w);
		ASSERT_EQ(out.size(), 1u);
		EXPECT_EQ(status_of(out[0]), k.status);
	}
	uint32_t svc2 = add_named(owner, "svc2");
	w.begin(UBUS_MSG_SUBSCRIBE, 11, 0);
	w.put_u32(UBUS_ATTR_OBJID, sub);
	w.put_u32(UBUS_ATTR_TARGET, svc2);
	out = feed(owner, w);
	ASSERT_EQ(out.size(), 1u);
	EXPECT_EQ(status_of(out[0]), UBUS_STATUS_PERMISSION_DENIED);
}

} // namespace
