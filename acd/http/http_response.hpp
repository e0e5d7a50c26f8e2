#pragma once
// Reading an HTTP/1.x answer from bytes: status line, header lines, then the
// body framed by Content-Length, chunked coding or the server's close. Works on
// a pointer and a length and keeps no socket, so it is tested from byte strings.
#include <cstddef>
#include <cstdint>

namespace achttp {

constexpr size_t response_header_max = 4096;   // status line, header lines, blank line
constexpr size_t response_chunk_line_max = 256; // one chunk-size line
constexpr size_t response_trailer_max = 4096;  // trailer lines after the last chunk
constexpr size_t response_location_max = 1023;

enum class body_kind : uint8_t { none, length, chunked, close };

enum class step : uint8_t {
	more,    // used bytes taken; more bytes are needed to go on
	headers, // the header block of the final answer is complete
	body,    // body bytes: *body, *body_len, inside the used bytes
	end,     // the answer is complete (used is 0 from then on)
	error,   // malformed or over a limit
};

struct response {
	bool head_request;
	int status;
	body_kind kind;
	bool has_location;
	char location[response_location_max + 1];

	uint8_t state;
	uint8_t last_header;  // what a folded line would continue
	bool started;         // some byte of an answer arrived
	bool have_length;
	bool te_present;
	bool te_chunked;
	uint64_t length;
	uint64_t remaining;   // of the length body or of the current chunk
	size_t section_bytes; // of the header block or of the trailer
};

void response_init(response *r, bool head_request);
step response_step(response *r, const char *data, size_t len, size_t *used, const char **body,
		   size_t *body_len);
// The header block is complete.
bool response_headers_done(const response *r);
// The whole body is known to have arrived (the last chunk may still be followed
// by trailer lines).
bool response_body_done(const response *r);

} // namespace achttp
