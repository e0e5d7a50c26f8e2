// The JSON-RPC side of the statistics poll without sockets: the three requests,
// their bodies, and the checks that decide whether an AP's answer is stored.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gw/blob.hpp"
#include "vex/codec/ap_registry.hpp"

constexpr int32_t JSONRPC_ID_PROFILE = 104;
constexpr int32_t JSONRPC_ID_WLAN_STATS = 108;
constexpr int32_t JSONRPC_ID_STA_STATS = 109;
constexpr size_t JSONRPC_URL_SIZE = 128;

struct jsonrpc_request_def {
	const char *method;
	int32_t id;
	const char *url_format; // "%s": the AP's address text
};

// In the order of the poll's passes.
constexpr unsigned JSONRPC_REQUESTS = 3;
extern const jsonrpc_request_def jsonrpc_requests[JSONRPC_REQUESTS];

// {"jsonrpc":"2.0","id":<id>,"method":"<method>","params":["000...0"]} as
// compact text (malloc'd; the caller frees it), or nullptr.
char *jsonrpc_request_body(int32_t id, const char *method);

// Containers an answer may nest (the JSON parser's usual limit, made explicit:
// converting and walking an answer recurses once per level).
constexpr int JSONRPC_DEPTH_MAX = 32;

// Restarts b and fills it with the members of the JSON object in text[0, len).
// False (quietly) when the text is not a JSON object or cannot be converted;
// *tooDeep (if given) tells whether it nested deeper than JSONRPC_DEPTH_MAX.
bool jsonrpc_parse_answer(struct blob_buf *b, const char *text, size_t len, bool *tooDeep = nullptr);

// Checks one parsed answer (a table of members, as b->head after
// jsonrpc_parse_answer) from the peer with address text `peer`, and stores it in
// the reply slot of every AP in `list` with that address text. Returns 1 when
// stored or quietly ignored, 0 when rejected. Prints "status is erro  " for a
// non-zero status.
int jsonrpc_store_answer(struct list_head *list, const char *peer, struct blob_attr *answer);

// The checks of jsonrpc_store_answer without the storing: JSONRPC_STORE with
// the id and the value to store, else what jsonrpc_store_answer returns.
constexpr int JSONRPC_IGNORED = 1;
constexpr int JSONRPC_STORE = 2;
int jsonrpc_check_answer(struct blob_attr *answer, const char *peer, int32_t *id,
			 struct blob_attr **value);

// The stored answer of an AP for a JSON-RPC id (102 to 109), or nullptr.
struct blob_attr *ap_slot(const ap_record *ap, int32_t id);
// Replaces the slot of id with a copy of value. When the copy cannot be made
// the earlier answer stays; returns false then.
bool ap_slot_store(ap_record *ap, int32_t id, const struct blob_attr *value);
