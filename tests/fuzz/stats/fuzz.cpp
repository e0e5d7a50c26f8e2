// JSON-RPC answers of an AP through the statistics side: parse, the checks that
// decide whether an answer is stored, the reply slots, the wireless view built
// from them and every report that shows it. The input holds up to four answers
// separated by zero bytes (a JSON text holds none); two AP records share the
// answering address. Every report must come out as JSON that reads back.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gw/jsonc.hpp"
#include "gw/blob.hpp"
#include "stats/jsonrpc.hpp"
#include "stats/stats_reply.hpp"
#include "stats/wireless_view.hpp"
#include "vex/codec/ap_registry.hpp"

namespace {
const char kPeer[] = "10.0.0.2";

[[noreturn]] void broken(const char *what)
{
	fprintf(stderr, "fuzz_stats: %s\n", what);
	abort();
}

void add_ap(struct list_head *list, uint8_t last)
{
	ap_settings s{};
	const uint8_t ip[4] = {10, 0, 0, 2};
	memcpy(s.au1IPAddress, ip, 4);
	vex_hdr hdr{};
	const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, last};
	memcpy(hdr.au1ApMac, mac, 6);
	if (ap_registry_save(list, &s, &hdr, AP_MODE_FIRMWARE, 1000) != 0)
		broken("no record");
}

// strict: the report's members all have names, so its text must read back.
void check_json(struct blob_buf *b, bool strict = true)
{
	char *text = blobmsg_format_json(b->head, true);
	if (!text)
		broken("a report does not format as JSON");
	if (!strict) {
		free(text);
		return;
	}
	json_object *o = json_tokener_parse(text);
	if (!o) {
		fprintf(stderr, "%s\n", text);
		broken("a report is not JSON");
	}
	json_object_put(o);
	free(text);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	LIST_HEAD(list);
	add_ap(&list, 1);
	add_ap(&list, 2);
	static struct blob_buf answer, reply;

	size_t pos = 0;
	for (int i = 0; i < 4 && pos <= size; i++) {
		const uint8_t *end = static_cast<const uint8_t *>(memchr(data + pos, 0, size - pos));
		size_t n = end ? size_t(end - (data + pos)) : size - pos;
		// An exact copy, so a read past the answer is caught.
		std::string text(reinterpret_cast<const char *>(data + pos), n);
		char *copy = static_cast<char *>(malloc(n ? n : 1));
		memcpy(copy, text.data(), n);
		if (jsonrpc_parse_answer(&answer, copy, n)) {
			int rc = jsonrpc_store_answer(&list, kPeer, answer.head);
			if (rc != 0 && rc != 1)
				broken("store result");
		}
		free(copy);
		pos += n + 1;
	}

	// The same order the report methods use: rebuild, then reply.
	for (int round = 0; round < 2; round++) {
		wireless_view_refresh(&list);
		// These two put unnamed tables side by side, as the methods reply.
		stats_reply_wlan_profile(&reply, &list);
		check_json(&reply, false);
		stats_reply_wlan_statistic(&reply, &list);
		check_json(&reply, false);
		stats_reply_statistic(&reply, &list);
		check_json(&reply);
		stats_reply_sta_statistic(&reply, &list);
		check_json(&reply);
		blob_buf_init(&reply, 0);
		ap_record *ap;
		list_for_each_entry(ap, &list, list) {
			void *t = blobmsg_open_table(&reply, ap->mac[5] == 1 ? "ap1" : "ap2");
			ac_config_add_radios(&reply, ap);
			blobmsg_close_table(&reply, t);
		}
		check_json(&reply);
	}
	wireless_view_clear(&list);
	ap_registry_clear(&list);
	return 0;
}
