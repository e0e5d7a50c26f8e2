// The pending settings document that exec_config pushes.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "apconfig/apconfig.hpp"
#include "apconfig/settings_codec.hpp"
#include "apconfig/tmp_file.hpp"
#include "gw/jsonc.hpp"

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

int ac_settings_store(struct blob_attr *config)
{
	// The formatter recurses once per level and the platform's has no bound: a
	// deep table would overflow the stack. Deeper than the parser takes, it
	// could not be stored anyway.
	if (settings_depth(config, blob_raw_len(config), SETTINGS_DEPTH_MAX) >
	    SETTINGS_DEPTH_MAX) {
		fprintf(stderr, "set_config: config nested deeper than %d levels, not stored \n",
			SETTINGS_DEPTH_MAX);
		return UBUS_STATUS_INVALID_COMMAND;
	}

	std::unique_ptr<char, free_deleter> text(blobmsg_format_json(config, true));
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
