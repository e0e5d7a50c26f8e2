#include "stats/jsonrpc.hpp"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag/ac_diag.hpp"
#include "gw/jsonc.hpp"
#include "stats/stats_text.hpp"
#include "stats/wireless_view.hpp"

const jsonrpc_request_def jsonrpc_requests[JSONRPC_REQUESTS] = {
	{"wlan_profile", JSONRPC_ID_PROFILE, "http://%s/nox/profile.cgi"},
	{"wlan_statistic", JSONRPC_ID_WLAN_STATS, "http://%s/nox/nox_info.cgi"},
	{"sta_statistic", JSONRPC_ID_STA_STATS, "http://%s/nox/nox_info.cgi"},
};

namespace {
// The APs ignore the key but expect one.
const char jsonrpc_params_key[] = "00000000000000000000000000000000";
static_assert(sizeof jsonrpc_params_key == 33, "32 zero digits");

struct blob_buf jsonrpc_request_buf;

enum {
	REPLY_JSONRPC,
	REPLY_ID,
	REPLY_RESULT,
	__REPLY_MAX,
};

const struct blobmsg_policy reply_policy[__REPLY_MAX] = {
	{"jsonrpc", BLOBMSG_TYPE_STRING},
	{"id", BLOBMSG_TYPE_UNSPEC},
	{"result", BLOBMSG_TYPE_ARRAY},
};

// The elements of "result" for ids 108 and 109, by position: the platform's
// array parser shifts its slots past a wrong-typed element, so a string status
// would hide the table; here each position is judged on its own.
enum {
	DATA_STATUS,
	DATA_TABLE,
	__DATA_MAX,
};

const struct blobmsg_policy data_policy[__DATA_MAX] = {
	{nullptr, BLOBMSG_TYPE_INT32}, // the status
	{nullptr, BLOBMSG_TYPE_TABLE}, // the data
};

void jsonrpc_parse_positional(struct blob_attr *array, struct blob_attr *tb[__DATA_MAX])
{
	for (int i = 0; i < __DATA_MAX; i++)
		tb[i] = nullptr;
	int pos = 0;
	struct blob_attr *cur;
	size_t rem;
	blobmsg_for_each_attr(cur, array, rem) {
		if (pos == __DATA_MAX)
			break;
		if (blobmsg_type(cur) == data_policy[pos].type && blobmsg_check_attr(cur, false))
			tb[pos] = cur;
		pos++;
	}
}

// The id as a signed 32-bit number; false for anything that is not an integer
// of that range (a string "108" is not an id).
bool jsonrpc_id_value(struct blob_attr *attr, int32_t *id)
{
	switch (blobmsg_type(attr)) {
	case BLOBMSG_TYPE_INT32:
		if (blobmsg_data_len(attr) < 4)
			return false;
		*id = int32_t(blobmsg_get_u32(attr));
		return true;
	case BLOBMSG_TYPE_INT64: {
		if (blobmsg_data_len(attr) < 8)
			return false;
		int64_t v = int64_t(blobmsg_get_u64(attr));
		if (v < INT32_MIN || v > INT32_MAX)
			return false;
		*id = int32_t(v);
		return true;
	}
	default:
		return false;
	}
}
} // namespace

char *jsonrpc_request_body(int32_t id, const char *method)
{
	blob_buf_init(&jsonrpc_request_buf, 0);
	blobmsg_add_string(&jsonrpc_request_buf, "jsonrpc", "2.0");
	blobmsg_add_u32(&jsonrpc_request_buf, "id", uint32_t(id));
	blobmsg_add_string(&jsonrpc_request_buf, "method", method);
	void *params = blobmsg_open_array(&jsonrpc_request_buf, "params");
	blobmsg_add_string(&jsonrpc_request_buf, nullptr, jsonrpc_params_key);
	blobmsg_close_array(&jsonrpc_request_buf, params);
	return blobmsg_format_json(jsonrpc_request_buf.head, true);
}

bool jsonrpc_parse_answer(struct blob_buf *b, const char *text, size_t len, bool *tooDeep)
{
	blob_buf_init(b, 0);
	if (tooDeep)
		*tooDeep = false;
	if (len > INT_MAX)
		return false;
	json_tokener *tok = json_tokener_new_ex(JSONRPC_DEPTH_MAX);
	if (!tok)
		return false;
	json_object *obj = json_tokener_parse_ex(tok, text, int(len));
	if (!obj && tooDeep)
		*tooDeep = json_tokener_get_error(tok) == json_tokener_error_depth;
	bool ok = obj && json_object_is_type(obj, json_type_object) && blobmsg_add_object(b, obj);
	if (obj)
		json_object_put(obj);
	json_tokener_free(tok);
	return ok;
}

struct blob_attr *ap_slot(const ap_record *ap, int32_t id)
{
	if (id < int32_t(AP_REPLY_FIRST_ID) || id >= int32_t(AP_REPLY_FIRST_ID + AP_REPLY_SLOTS))
		return nullptr;
	return ap->stats.slots[id - AP_REPLY_FIRST_ID];
}

bool ap_slot_store(ap_record *ap, int32_t id, const struct blob_attr *value)
{
	if (id < int32_t(AP_REPLY_FIRST_ID) || id >= int32_t(AP_REPLY_FIRST_ID + AP_REPLY_SLOTS))
		return false;
	struct blob_attr *copy = blob_memdup(value);
	if (!copy)
		return false;
	struct blob_attr *&slot = ap->stats.slots[id - AP_REPLY_FIRST_ID];
	free(slot);
	slot = copy;
	ac_diag_slot(ap, id);
	return true;
}

int jsonrpc_check_answer(struct blob_attr *answer, const char *peer, int32_t *idOut,
			 struct blob_attr **valueOut)
{
	struct blob_attr *tb[__REPLY_MAX];
	blobmsg_parse(reply_policy, __REPLY_MAX, tb, blob_data(answer), blob_len(answer));

	const char *version = tb[REPLY_JSONRPC] ? stats_blob_text(tb[REPLY_JSONRPC]) : nullptr;
	if (!version || strcmp(version, "2.0") != 0)
		return 0;
	if (!tb[REPLY_ID])
		return 0;
	if (!tb[REPLY_RESULT])
		return JSONRPC_IGNORED;

	int32_t id;
	if (!jsonrpc_id_value(tb[REPLY_ID], &id) || id < int32_t(AP_REPLY_FIRST_ID) ||
	    id >= int32_t(AP_REPLY_FIRST_ID + AP_REPLY_SLOTS))
		return 0;

	struct blob_attr *value = tb[REPLY_RESULT];
	if (id == JSONRPC_ID_WLAN_STATS || id == JSONRPC_ID_STA_STATS) {
		struct blob_attr *data[__DATA_MAX];
		jsonrpc_parse_positional(tb[REPLY_RESULT], data);
		if (data[DATA_STATUS] && blobmsg_get_u32(data[DATA_STATUS]) != 0) {
			puts("status is erro  ");
			ac_diag_status_error();
			return JSONRPC_IGNORED;
		}
		if (!data[DATA_TABLE])
			return JSONRPC_IGNORED;
		value = data[DATA_TABLE];
	}

	if (id == JSONRPC_ID_PROFILE && view_count_vaps(value) > VIEW_VAPS_MAX)
		fprintf(stderr, "Answer from %s lists more than %u VAPs: only the first are shown\n", peer,
			VIEW_VAPS_MAX);
	if (id == JSONRPC_ID_STA_STATS && view_count_stations(value) > VIEW_STAS_MAX)
		fprintf(stderr, "Answer from %s lists more than %u stations: only the first are shown\n",
			peer, VIEW_STAS_MAX);

	*idOut = id;
	*valueOut = value;
	return JSONRPC_STORE;
}

int jsonrpc_store_answer(struct list_head *list, const char *peer, struct blob_attr *answer)
{
	int32_t id;
	struct blob_attr *value;
	int rc = jsonrpc_check_answer(answer, peer, &id, &value);
	if (rc != JSONRPC_STORE)
		return rc;
	ap_record *ap;
	list_for_each_entry(ap, list, list)
		if (!strcmp(ap->ip, peer))
			ap_slot_store(ap, id, value);
	return 1;
}
