// HTTP answers through acd's response parser, the way the client feeds it: the
// bytes it has not used yet stay in front of the next piece. The same answer
// cut into different pieces must give the same status, body and outcome.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "http_response.hpp"

namespace {
struct outcome {
	std::string events; // statuses of the header blocks, in order
	std::string body;
	std::string location;
	int last = -1;      // the last step: more, end or error
};

outcome parse_in_pieces(const char *data, size_t size, size_t piece, bool head)
{
	achttp::response r;
	achttp::response_init(&r, head);
	outcome o;
	std::string pending;
	size_t pos = 0;
	bool done = false;
	while (!done && pos < size) {
		size_t n = size - pos < piece ? size - pos : piece;
		pending.append(data + pos, n);
		pos += n;
		for (;;) {
			size_t used = 0;
			const char *body = nullptr;
			size_t body_len = 0;
			// An exact heap copy, so a read past the bytes given is caught.
			char *copy = static_cast<char *>(malloc(pending.size() ? pending.size() : 1));
			memcpy(copy, pending.data(), pending.size());
			achttp::step s = achttp::response_step(&r, copy, pending.size(), &used, &body, &body_len);
			if (used > pending.size())
				abort();
			if (s == achttp::step::body) {
				if (!body || body < copy || body + body_len > copy + used || !body_len)
					abort();
				o.body.append(body, body_len);
			}
			free(copy);
			pending.erase(0, used);
			o.last = int(s);
			if (s == achttp::step::headers) {
				o.events += std::to_string(r.status) + ";";
				if (r.has_location)
					o.location = r.location;
			}
			if (s == achttp::step::end || s == achttp::step::error) {
				done = true;
				break;
			}
			if (s == achttp::step::more)
				break;
		}
	}
	return o;
}

bool same(const outcome &a, const outcome &b)
{
	return a.events == b.events && a.body == b.body && a.location == b.location && a.last == b.last;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const char *text = reinterpret_cast<const char *>(data);
	for (bool head : {false, true}) {
		outcome whole = parse_in_pieces(text, size, size ? size : 1, head);
		outcome odd = parse_in_pieces(text, size, 7, head);
		if (!same(whole, odd)) {
			fprintf(stderr, "pieces of 7 bytes: a different outcome (head %d)\n", head);
			abort();
		}
		if (size <= 600 && !same(whole, parse_in_pieces(text, size, 1, head))) {
			fprintf(stderr, "single bytes: a different outcome (head %d)\n", head);
			abort();
		}
	}
	return 0;
}
