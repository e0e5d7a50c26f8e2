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
// the event object's "send": {id, data} (data: msg's members, NULL: empty)
Bytes msg_send_event(uint16_t seq, const char *id, const struct blob_attr *msg);
// the event object's "register": {object, pattern} (pattern NULL: left out)
Bytes msg_register_event(uint16_t seq, uint32_t obj, const char *pattern);
// SUBSCRIBE or UNSUBSCRIBE of the subscriber object to target
Bytes msg_subscribe(uint8_t type, uint16_t seq, uint32_t subscriber, uint32_t target);
// NOTIFY of obj's subscribers; no_reply: the daemon answers nothing
Bytes msg_notify(uint16_t seq, uint32_t obj, const char *type, const struct blob_attr *msg,
		 bool no_reply);
// one DATA reply to a call
Bytes msg_reply(const struct ubus_request_data *req, const struct blob_attr *msg);
// the closing STATUS of a call
Bytes msg_status(uint16_t seq, uint32_t peer, uint32_t obj, int status);

} // namespace ubus_client
