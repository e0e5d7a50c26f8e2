// The daemon's logic, fed with messages as bytes.
#include <deque>

#include <gtest/gtest.h>

#include "bus.hpp"
#include "hexbytes.hpp"

using namespace ubus_wire;
using ubusd::Bus;
using ubusd::Outgoing;

namespace {

// Ids come from a list the test gives, then from a counter.
struct Ids {
	std::deque<uint32_t> q;
	uint32_t next = 0x1000;
};

uint32_t test_ids(void *p)
{
	auto *ids = static_cast<Ids *>(p);
	if (ids->q.empty())
		return ids->next++;
	uint32_t v = ids->q.front();
	ids->q.pop_front();
	return v;
}

class BusTest : public ::testing::Test {
protected:
	Ids ids;
	Bus bus{test_ids, &ids};

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

	// registers `path` with the documented signature; returns the object id
	uint32_t add(uint32_t client, const std::string &path, uint16_t seq = 1)
	{
		Writer w(UBUS_MSG_ADD_OBJECT, seq, 0);
		w.put_string(UBUS_ATTR_OBJPATH, path);
		auto sig = hexbytes(golden::kSignatureBody);
		w.put_raw(UBUS_ATTR_SIGNATURE, sig.data(), sig.size());
		auto out = feed(client, w);
		EXPECT_EQ(out.size(), 2u);
		EXPECT_EQ(status_of(out.back()), 0);
		Message m = parsed(out.front());
		return m.get(UBUS_ATTR_OBJID) ? attr_u32(m.get(UBUS_ATTR_OBJID)) : 0;
	}
	std::vector<Outgoing> invoke(uint32_t client, uint32_t obj, uint16_t seq, const char *method = "witharg")
	{
		Writer w(UBUS_MSG_INVOKE, seq, obj);
		w.put_u32(UBUS_ATTR_OBJID, obj);
		w.put_string(UBUS_ATTR_METHOD, method);
		w.put_raw(UBUS_ATTR_DATA, nullptr, 0);
		return feed(client, w);
	}
	std::vector<Outgoing> lookup(uint32_t client, const char *path)
	{
		Writer w(UBUS_MSG_LOOKUP, 9, 0);
		if (path)
			w.put_string(UBUS_ATTR_OBJPATH, path);
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
	static std::vector<std::string> paths(const std::vector<Outgoing> &out)
	{
		std::vector<std::string> v;
		for (const auto &o : out) {
			Message m = parsed(o);
			if (m.hdr.type == UBUS_MSG_DATA && m.get(UBUS_ATTR_OBJPATH))
				v.push_back(attr_string(m.get(UBUS_ATTR_OBJPATH)));
		}
		return v;
	}
};

void expect_out(const Outgoing &o, uint32_t client, const std::string &hex)
{
	EXPECT_EQ(o.client, client);
	EXPECT_EQ(hexstr(o.bytes), hexstr(hexbytes(hex)));
}

// Connect, register with a policy, look up, call, reply: every byte as documented.
TEST_F(BusTest, GoldenExchange)
{
	// 0x3ff is reserved, the second 0x9f831cea is taken: both are drawn again
	ids.q = {0x3ff, 0x9f831cea, 0x9f831cea, 0x22a30a75, 0x00c0ffee, 0xb45c7dd5};
	uint32_t owner = bus.connect("root", "root");
	auto out = bus.take();
	ASSERT_EQ(out.size(), 1u);
	expect_out(out[0], owner, "00 00 00 00 9f 83 1c ea 00 00 00 04");
	uint32_t caller = bus.connect("root", "root");
	out = bus.take();
	ASSERT_EQ(out.size(), 1u);
	expect_out(out[0], caller, "00 00 00 00 22 a3 0a 75 00 00 00 04");

	out = feed(owner, hexbytes(std::string("00 06 00 01 00 00 00 00 00 00 00 74 ") + golden::kPath + " " +
				   golden::kSignature));
	ASSERT_EQ(out.size(), 2u);
	expect_out(out[0], owner, "00 02 00 01 00 00 00 00 00 00 00 14 | 03 00 00 08 b4 5c 7d d5 | 05 00 00 08 00 c0 ff ee");
	expect_out(out[1], owner, "00 01 00 01 00 00 00 00 00 00 00 0c | 01 00 00 08 00 00 00 00");

	out = feed(caller, hexbytes(std::string("00 04 00 01 00 00 00 00 00 00 00 14 ") + golden::kPath));
	ASSERT_EQ(out.size(), 2u);
	expect_out(out[0], caller,
		   std::string("00 02 00 01 00 00 00 00 00 00 00 84 ") + golden::kPath +
			   " 03 00 00 08 b4 5c 7d d5 05 00 00 08 00 c0 ff ee " + golden::kSignature);
	expect_out(out[1], caller, "00 01 00 01 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 00");

	// the call goes to the owner with the caller's id as peer, user and group added
	out = feed(caller, hexbytes(std::string("00 05 00 02 b4 5c 7d d5 00 00 00 28"
						"| 03 00 00 08 b4 5c 7d d5"
						"| 04 00 00 0c 77 69 74 68 61 72 67 00 ") +
				    golden::kDataSab));
	ASSERT_EQ(out.size(), 1u);
	expect_out(out[0], owner,
		   std::string("00 05 00 02 22 a3 0a 75 00 00 00 40"
			       "| 03 00 00 08 b4 5c 7d d5"
			       "| 04 00 00 0c 77 69 74 68 61 72 67 00"
			       "| 0c 00 00 09 72 6f 6f 74 00 00 00 00"
			       "| 0d 00 00 09 72 6f 6f 74 00 00 00 00 ") +
			   golden::kDataSab);
	EXPECT_EQ(bus.inflight_count(), 1u);

	// replies come back with the object id as peer
	out = feed(owner, hexbytes(std::string("00 02 00 02 22 a3 0a 75 00 00 00 1c 03 00 00 08 b4 5c 7d d5 ") +
				   golden::kDataSab));
	ASSERT_EQ(out.size(), 1u);
	expect_out(out[0], caller,
		   std::string("00 02 00 02 b4 5c 7d d5 00 00 00 1c 03 00 00 08 b4 5c 7d d5 ") + golden::kDataSab);
	out = feed(owner, hexbytes("00 01 00 02 22 a3 0a 75 00 00 00 14 01 00 00 08 00 00 00 00 03 00 00 08 b4 5c 7d d5"));
	ASSERT_EQ(out.size(), 1u);
	expect_out(out[0], caller,
		   "00 01 00 02 b4 5c 7d d5 00 00 00 14 01 00 00 08 00 00 00 00 03 00 00 08 b4 5c 7d d5");
	EXPECT_EQ(bus.inflight_count(), 0u);
}

TEST_F(BusTest, LookupForms)
{
	uint32_t c = connect();
	for (const char *p : {"test.obj2", "test.obj", "b", "B", "test"})
		add(c, p);

	EXPECT_EQ(paths(lookup(c, nullptr)), (std::vector<std::string>{"B", "b", "test", "test.obj", "test.obj2"}));

	struct Case {
		const char *path;
		std::vector<std::string> found;
		int status;
	} cases[] = {
		{"test.obj", {"test.obj"}, 0},
		{"test.", {}, 4},
		{"test.*", {"test.obj", "test.obj2"}, 0},
		{"test*", {"test", "test.obj", "test.obj2"}, 0},
		{"*", {"B", "b", "test", "test.obj", "test.obj2"}, 0},
		{"nothing*", {}, 4},
		{"", {}, 2},
	};
	for (const auto &k : cases) {
		SCOPED_TRACE(k.path);
		auto out = lookup(c, k.path);
		ASSERT_FALSE(out.empty());
		EXPECT_EQ(paths(out), k.found);
		EXPECT_EQ(status_of(out.back()), k.status);
		// every answer echoes the request's seq and peer
		EXPECT_EQ(parsed(out.back()).hdr.seq, 9);
	}
}

TEST_F(BusTest, CommandErrors)
{
	uint32_t c = connect();
	uint32_t obj = add(c, "test.obj");
	uint32_t other = connect();

	auto one_status = [&](uint32_t client, Writer &w) {
		auto out = feed(client, w);
		EXPECT_EQ(out.size(), 1u);
		return out.empty() ? -1 : status_of(out.back());
	};
	Writer w(UBUS_MSG_INVOKE, 3, 0x7777);
	w.put_u32(UBUS_ATTR_OBJID, 0x7777);
	w.put_string(UBUS_ATTR_METHOD, "m");
	auto out = feed(c, w);
	ASSERT_EQ(out.size(), 1u);
	// unknown object: STATUS 4 with the request's seq and peer
	expect_out(out[0], c, "00 01 00 03 00 00 77 77 00 00 00 0c 01 00 00 08 00 00 00 04");

	w.begin(UBUS_MSG_INVOKE, 3, obj);
	w.put_u32(UBUS_ATTR_OBJID, obj);
	EXPECT_EQ(one_status(c, w), UBUS_STATUS_INVALID_ARGUMENT);
	w.begin(UBUS_MSG_INVOKE, 3, obj);
	w.put_string(UBUS_ATTR_METHOD, "m");
	EXPECT_EQ(one_status(c, w), UBUS_STATUS_INVALID_ARGUMENT);
	// the event object wants arguments and knows two methods; the other
	// reserved ids are not objects here
	w.begin(UBUS_MSG_INVOKE, 3, UBUS_SYSTEM_OBJECT_EVENT);
	w.put_u32(UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_EVENT);
	w.put_string(UBUS_ATTR_METHOD, "send");
	EXPECT_EQ(one_status(c, w), UBUS_STATUS_INVALID_ARGUMENT);
	w.begin(UBUS_MSG_INVOKE, 3, UBUS_SYSTEM_OBJECT_EVENT);
	w.put_u32(UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_EVENT);
	w.put_string(UBUS_ATTR_METHOD, "frob");
	w.put_raw(UBUS_ATTR_DATA, nullptr, 0);
	EXPECT_EQ(one_status(c, w), UBUS_STATUS_METHOD_NOT_FOUND);
	w.begin(UBUS_MSG_INVOKE, 3, UBUS_SYSTEM_OBJECT_MONITOR);
	w.put_u32(UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_MONITOR);
	w.put_string(UBUS_ATTR_METHOD, "send");
	EXPECT_EQ(one_status(c, w), UBUS_STATUS_NOT_FOUND);

	w.begin(UBUS_MSG_HELLO, 1, 0);
	EXPECT_EQ(one_status(c, w), UBUS_STATUS_INVALID_COMMAND);
	w.begin(99, 1, 0);
	EXPECT_EQ(one_status(c, w), UBUS_STATUS_INVALID_COMMAND);
	w.begin(UBUS_MSG_SUBSCRIBE, 1, 0);
	EXPECT_EQ(one_status(c, w), UBUS_STATUS_INVALID_ARGUMENT);

	w.begin(UBUS_MSG_REMOVE_OBJECT, 1, 0);
	EXPECT_EQ(one_status(c, w), UBUS_STATUS_INVALID_ARGUMENT);
	w.begin(UBUS_MSG_REMOVE_OBJECT, 1, 0);
	w.put_u32(UBUS_ATTR_OBJID, 0x7777);
	EXPECT_EQ(one_status(c, w), UBUS_STATUS_NOT_FOUND);
	w.begin(UBUS_MSG_REMOVE_OBJECT, 1, 0);
	w.put_u32(UBUS_ATTR_OBJID, obj);
	EXPECT_EQ(one_status(other, w), UBUS_STATUS_PERMISSION_DENIED);

	// a taken name and an empty one are refused; the first owner keeps its object
	for (const char *name : {"test.obj", ""}) {
		w.begin(UBUS_MSG_ADD_OBJECT, 4, 0);
		w.put_string(UBUS_ATTR_OBJPATH, name);
		EXPECT_EQ(one_status(other, w), UBUS_STATUS_INVALID_ARGUMENT);
	}
	out = invoke(other, obj, 5);
	ASSERT_EQ(out.size(), 1u);
	EXPECT_EQ(out[0].client, c);

	// PING comes back as DATA, then STATUS 0
	w.begin(UBUS_MSG_PING, 6, 0);
	w.put_string(UBUS_ATTR_OBJPATH, "x");
	out = feed(c, w);
	ASSERT_EQ(out.size(), 2u);
	expect_out(out[0], c, "00 02 00 06 00 00 00 00 00 00 00 0c 02 00 00 06 78 00 00 00");
	EXPECT_EQ(status_of(out[1]), 0);

	EXPECT_FALSE(bus.receive(c, out[0].bytes.data(), out[0].bytes.size() - 1));
}

TEST_F(BusTest, RemoveObjectAndSharedType)
{
	uint32_t c = connect();
	uint32_t first = add(c, "a");
	// a second object naming the first one's type by id
	uint32_t type = attr_u32(parsed(lookup(c, "a").front()).get(UBUS_ATTR_OBJTYPE));
	Writer w(UBUS_MSG_ADD_OBJECT, 2, 0);
	w.put_string(UBUS_ATTR_OBJPATH, "b");
	w.put_u32(UBUS_ATTR_OBJTYPE, type);
	auto out = feed(c, w);
	ASSERT_EQ(out.size(), 2u);
	// no new type: no OBJTYPE in the answer
	EXPECT_FALSE(parsed(out[0]).get(UBUS_ATTR_OBJTYPE));
	uint32_t second = attr_u32(parsed(out[0]).get(UBUS_ATTR_OBJID));
	auto found = lookup(c, "b");
	ASSERT_EQ(found.size(), 2u);
	EXPECT_EQ(attr_u32(parsed(found[0]).get(UBUS_ATTR_OBJTYPE)), type);
	EXPECT_EQ(hexstr(std::vector<uint8_t>(parsed(found[0]).get(UBUS_ATTR_SIGNATURE),
					      parsed(found[0]).get(UBUS_ATTR_SIGNATURE) + 0x60)),
		  hexstr(hexbytes(golden::kSignature)));

	// the type stays while "b" uses it, and goes (named in the answer) with "b"
	for (uint32_t id : {first, second}) {
		w.begin(UBUS_MSG_REMOVE_OBJECT, 3, 0);
		w.put_u32(UBUS_ATTR_OBJID, id);
		out = feed(c, w);
		ASSERT_EQ(out.size(), 2u);
		EXPECT_EQ(status_of(out[1]), 0);
		const uint8_t *t = parsed(out[0]).get(UBUS_ATTR_OBJTYPE);
		EXPECT_EQ(t != nullptr, id == second);
	}
	EXPECT_EQ(bus.object_count(), 0u);
	EXPECT_EQ(status_of(lookup(c, "a").back()), UBUS_STATUS_NOT_FOUND);
}

TEST_F(BusTest, ObjectWithoutTypeIsNeverListed)
{
	uint32_t c = connect();
	add(c, "typed");
	Writer w(UBUS_MSG_ADD_OBJECT, 1, 0);
	w.put_string(UBUS_ATTR_OBJPATH, "typeless");
	auto bad = hexbytes("82 00 00 08 00 00 00 00"); // unnamed method table
	w.put_raw(UBUS_ATTR_SIGNATURE, bad.data(), bad.size());
	auto out = feed(c, w);
	ASSERT_EQ(out.size(), 2u);
	EXPECT_TRUE(parsed(out[0]).get(UBUS_ATTR_OBJID));
	EXPECT_FALSE(parsed(out[0]).get(UBUS_ATTR_OBJTYPE));
	EXPECT_EQ(status_of(out[1]), 0);
	// unknown type id: same
	w.begin(UBUS_MSG_ADD_OBJECT, 1, 0);
	w.put_string(UBUS_ATTR_OBJPATH, "typeless2");
	w.put_u32(UBUS_ATTR_OBJTYPE, 0x5555);
	EXPECT_EQ(status_of(feed(c, w).back()), 0);

	EXPECT_EQ(paths(lookup(c, nullptr)), std::vector<std::string>{"typed"});
	out = lookup(c, "typeless");
	ASSERT_EQ(out.size(), 1u);
	EXPECT_EQ(status_of(out[0]), 0);
}

// As on the platform, a caller whose callee went away mid-call gets no answer
// from the daemon: it times out.
TEST_F(BusTest, CallsToAGoneOwnerAreNotAnswered)
{
	uint32_t owner = connect();
	uint32_t obj = add(owner, "svc");
	uint32_t obj2 = add(owner, "svc2");
	uint32_t caller = connect();
	uint32_t bystander = connect();

	// removing the object leaves the call made to it unanswered
	ASSERT_EQ(invoke(caller, obj2, 40).size(), 1u);
	Writer w(UBUS_MSG_REMOVE_OBJECT, 2, 0);
	w.put_u32(UBUS_ATTR_OBJID, obj2);
	auto out = feed(owner, w);
	ASSERT_EQ(out.size(), 2u);
	for (const auto &o : out)
		EXPECT_EQ(o.client, owner);

	ASSERT_EQ(invoke(caller, obj, 41).size(), 1u);
	ASSERT_EQ(invoke(caller, obj, 42).size(), 1u);
	ASSERT_EQ(invoke(bystander, obj, 7).size(), 1u);
	bus.disconnect(bystander);
	EXPECT_EQ(bus.inflight_count(), 2u);

	bus.disconnect(owner);
	EXPECT_TRUE(bus.take().empty());
	EXPECT_EQ(bus.inflight_count(), 0u);
	EXPECT_EQ(bus.object_count(), 0u);
	EXPECT_EQ(status_of(lookup(caller, "svc").back()), UBUS_STATUS_NOT_FOUND);
}

TEST_F(BusTest, RepliesFromOthersOrToNobodyAreDropped)
{
	uint32_t owner = connect();
	uint32_t obj = add(owner, "svc");
	uint32_t caller = connect();
	uint32_t intruder = connect();
	ASSERT_EQ(invoke(caller, obj, 1).size(), 1u);

	auto status = [&](uint16_t seq, uint32_t peer, bool with_status) {
		Writer w(UBUS_MSG_STATUS, seq, peer);
		if (with_status)
			w.put_u32(UBUS_ATTR_STATUS, 0);
		w.put_u32(UBUS_ATTR_OBJID, obj);
		return w.take();
	};
	// not the owner, no STATUS attribute, DATA without DATA
	EXPECT_TRUE(feed(intruder, status(1, caller, true)).empty());
	EXPECT_TRUE(feed(owner, status(1, caller, false)).empty());
	Writer d(UBUS_MSG_DATA, 1, caller);
	d.put_u32(UBUS_ATTR_OBJID, obj);
	EXPECT_TRUE(feed(owner, d).empty());
	// to a caller that does not exist
	EXPECT_TRUE(feed(owner, status(1, 0x4242, true)).empty());
	EXPECT_EQ(feed(owner, status(1, caller, true)).size(), 1u);
}

} // namespace

namespace {

// Damaged copies of real messages: the daemon answers or ignores them, never
// crashes, and its books stay consistent.
TEST_F(BusTest, DamagedMessagesAreHandledSafely)
{
	uint32_t owner = connect();
	uint32_t obj = add(owner, "svc");
	uint32_t caller = connect();

	std::vector<std::vector<uint8_t>> seeds;
	Writer w(UBUS_MSG_ADD_OBJECT, 1, 0);
	w.put_string(UBUS_ATTR_OBJPATH, "fuzz");
	auto sig = hexbytes(golden::kSignatureBody);
	w.put_raw(UBUS_ATTR_SIGNATURE, sig.data(), sig.size());
	seeds.push_back(w.take());
	w.begin(UBUS_MSG_INVOKE, 2, obj);
	w.put_u32(UBUS_ATTR_OBJID, obj);
	w.put_string(UBUS_ATTR_METHOD, "witharg");
	auto data = hexbytes(golden::kDataSab);
	w.put_attr(data.data());
	seeds.push_back(w.take());
	w.begin(UBUS_MSG_LOOKUP, 3, 0);
	w.put_string(UBUS_ATTR_OBJPATH, "s*");
	seeds.push_back(w.take());
	w.begin(UBUS_MSG_REMOVE_OBJECT, 3, 0);
	w.put_u32(UBUS_ATTR_OBJID, obj);
	seeds.push_back(w.take());

	uint32_t rng = 12345;
	auto next = [&rng]() {
		rng = rng * 1103515245u + 12345u;
		return rng >> 8;
	};
	for (int i = 0; i < 20000; i++) {
		std::vector<uint8_t> m = seeds[next() % seeds.size()];
		int flips = 1 + next() % 4;
		for (int f = 0; f < flips; f++) {
			// keep version and blob length so the frame itself holds
			size_t at = kPrefixLen + next() % (m.size() - kPrefixLen);
			m[at] = uint8_t(next());
		}
		if (next() % 4 == 0)
			m[1] = uint8_t(next() % 12);
		bus.receive(next() % 2 ? owner : caller, m.data(), m.size());
		for (const auto &o : bus.take()) {
			Message pm;
			ASSERT_TRUE(parse_message(o.bytes.data(), o.bytes.size(), pm));
		}
	}
	bus.disconnect(owner);
	bus.disconnect(caller);
	bus.take();
	EXPECT_EQ(bus.object_count(), 0u);
	EXPECT_EQ(bus.inflight_count(), 0u);
}

} // namespace
