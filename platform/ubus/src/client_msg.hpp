#pragma once
// Messages a client sends, built from the library's records. Pure code.
#include <cstdint>
#include <vector>

#include "platform_c.hpp"

namespace ubus_client {

using Bytes = std::vector<uint8_t>;

// ADD_OBJECT: path, then the type's id if it has one, else its signature.
// *sent_signature tells whether a signature went out.
Bytes msg_add_object(uint16_t seq, const struct ubus_object *obj, bool *sent_signature);
Bytes msg_remove_object(uint16_t seq, uint32_t id);
Bytes msg_lookup(uint16_t seq, const char *path);
// INVOKE with msg's payload as DATA (msg NULL: empty DATA)
Bytes msg_invoke(uint16_t seq, uint32_t obj, const char *method, const struct blob_attr *msg);
// one DATA reply to a call
Bytes msg_reply(const struct ubus_request_data *req, const struct blob_attr *msg);
// the closing STATUS of a call
Bytes msg_status(uint16_t seq, uint32_t peer, uint32_t obj, int status);

} // namespace ubus_client
