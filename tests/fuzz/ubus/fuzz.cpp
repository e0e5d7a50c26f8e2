// Bus messages through the bus daemon's logic, as its connections hand them
// over: three clients, each record of the input a selector byte, a 16-bit
// big-endian length and that client's stream bytes, framed and received the
// way the daemon does it (a broken frame drops the client, which then comes
// back as a new one). Every message the bus sends must itself be a sound frame
// addressed to a connected client.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

#include "bus.hpp"
#include "wire.hpp"

namespace {
// Ids are drawn from a counter, so seeds can name objects the bus will create.
uint32_t next_id(void *ctx)
{
	return (*static_cast<uint32_t *>(ctx))++;
}

[[noreturn]] void broken(const char *what)
{
	fprintf(stderr, "fuzz_ubus: %s\n", what);
	abort();
}

void check_out(ubusd::Bus &bus, const std::set<uint32_t> &live)
{
	for (const ubusd::Outgoing &o : bus.take()) {
		ubus_wire::Message m;
		if (!ubus_wire::parse_message(o.bytes.data(), o.bytes.size(), m))
			broken("the bus sent a malformed message");
		if (!live.count(o.client))
			broken("the bus sent to a client that is gone");
	}
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	uint32_t counter = 0x1000;
	ubusd::Bus bus(next_id, &counter);
	uint32_t clients[3];
	std::set<uint32_t> live;
	for (uint32_t &c : clients) {
		c = bus.connect("root", "root");
		live.insert(c);
	}
	check_out(bus, live);

	size_t pos = 0;
	while (pos + 3 <= size) {
		unsigned sel = data[pos] % 4;
		size_t n = size_t(data[pos + 1]) << 8 | data[pos + 2];
		pos += 3;
		if (n > size - pos)
			n = size - pos;
		if (sel == 3) {
			// a client hangs up and a new one connects
			uint32_t &c = clients[n % 3];
			bus.disconnect(c);
			live.erase(c);
			c = bus.connect("nobody", "nogroup");
			live.insert(c);
			check_out(bus, live);
			pos += n;
			continue;
		}
		std::vector<uint8_t> stream(data + pos, data + pos + n);
		pos += n;
		size_t off = 0;
		while (off < stream.size()) {
			size_t total = 0;
			auto f = ubus_wire::check_frame(stream.data() + off, stream.size() - off, &total);
			if (f == ubus_wire::Frame::Incomplete)
				break;
			// An exact copy of the frame, so a read past it is caught.
			std::vector<uint8_t> frame;
			if (f == ubus_wire::Frame::Complete)
				frame.assign(stream.begin() + off, stream.begin() + off + total);
			if (f == ubus_wire::Frame::Invalid || !bus.receive(clients[sel], frame.data(), frame.size())) {
				bus.disconnect(clients[sel]);
				live.erase(clients[sel]);
				clients[sel] = bus.connect("root", "root");
				live.insert(clients[sel]);
				check_out(bus, live);
				break;
			}
			check_out(bus, live);
			off += total;
		}
	}
	for (uint32_t c : clients)
		bus.disconnect(c);
	if (bus.object_count() || bus.inflight_count())
		broken("objects or calls left after every client went");
	return 0;
}
