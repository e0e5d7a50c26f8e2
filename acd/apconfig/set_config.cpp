// ac.set.config: set_config stores the pending settings document that
// exec_config pushes; pwd_status hands out each AP's push result once.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "apconfig/apconfig_methods.hpp"
#include "apconfig/settings_codec.hpp"
#include "apconfig/tmp_file.hpp"
#include "core/ac_reply.hpp"
#include "core/ac_ubus_policy.hpp"
#include "gw/jsonc.hpp"
#include "vex/vex_handle.hpp"

namespace {
struct free_deleter {
	void operator()(char *p) const { free(p); }
};
struct tokener_deleter {
	void operator()(json_tokener *t) const { json_tokener_free(t); }
};
struct json_deleter {
	void operator()(json_object *o) const { json_object_put(o); }
};
} // namespace

int ac_set_config(struct ubus_context *, struct ubus_object *, struct ubus_request_data *, const char *,
		  struct blob_attr *msg)
{
	struct blob_attr *tb[__SET_CONFIG_MAX];
	blobmsg_parse(set_config_policy, __SET_CONFIG_MAX, tb, blob_data(msg), blob_len(msg));
	if (!tb[SET_CONFIG_CONFIG])
		return UBUS_STATUS_INVALID_ARGUMENT;
	// The formatter recurses once per level and the platform's has no bound: a
	// deep table would overflow the stack. Deeper than the parser takes, it
	// could not be stored anyway.
	if (settings_depth(tb[SET_CONFIG_CONFIG], blob_raw_len(tb[SET_CONFIG_CONFIG]), SETTINGS_DEPTH_MAX) >
	    SETTINGS_DEPTH_MAX) {
		fprintf(stderr, "set_config: config nested deeper than %d levels, not stored \n",
			SETTINGS_DEPTH_MAX);
		return UBUS_STATUS_INVALID_COMMAND;
	}

	std::unique_ptr<char, free_deleter> text(blobmsg_format_json(tb[SET_CONFIG_CONFIG], true));
	if (!text)
		return UBUS_STATUS_OK;
	std::unique_ptr<json_tokener, tokener_deleter> tok(json_tokener_new());
	if (!tok)
		return UBUS_STATUS_INVALID_COMMAND;
	size_t len = strlen(text.get());
	if (len > INT_MAX)
		return UBUS_STATUS_INVALID_COMMAND;
	json_object *parsed = json_tokener_parse_ex(tok.get(), text.get(), int(len));
	std::unique_ptr<json_object, json_deleter> doc(parsed);
	if (!doc || !json_object_is_type(doc.get(), json_type_object))
		return UBUS_STATUS_INVALID_COMMAND;
	// The library's plain file writer's text, put in place whole. A failed
	// write leaves the earlier document; the caller is not told.
	const char *out = json_object_to_json_string_ext(doc.get(), JSON_C_TO_STRING_PLAIN);
	if (out)
		ac_tmp_replace(SETTINGS_DOC_PATH, out, strlen(out), 0644);
	return UBUS_STATUS_OK;
}

int ac_pwd_status(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req, const char *,
		  struct blob_attr *)
{
	blob_buf_init(&ac_reply_buf, 0);
	void *list = blobmsg_open_array(&ac_reply_buf, "apsStatus");
	ap_status_entry *e;
	list_for_each_entry(e, &aps_status, list) {
		if (e->status == AP_STATUS_REPORTED)
			continue;
		void *item = blobmsg_open_table(&ac_reply_buf, nullptr);
		blobmsg_add_string(&ac_reply_buf, "ip", e->ip);
		blobmsg_add_u32(&ac_reply_buf, "status", uint32_t(e->status));
		blobmsg_close_table(&ac_reply_buf, item);
		e->status = AP_STATUS_REPORTED;
	}
	blobmsg_close_array(&ac_reply_buf, list);
	return ac_reply_send(ctx, req);
}
