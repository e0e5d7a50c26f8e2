#include "stats_fixture.hpp"

#include <cstdlib>
#include <cstring>

#include "stats/jsonrpc.hpp"
#include "stats/wireless_view.hpp"

void stats_list::SetUp()
{
	INIT_LIST_HEAD(&aps);
}

void stats_list::TearDown()
{
	wireless_view_clear(&aps);
	ap_record *ap, *next;
	list_for_each_entry_safe(ap, next, &aps, list) {
		list_del(&ap->list);
		for (blob_attr *slot : ap->stats.slots)
			free(slot);
		free(ap);
	}
}

ap_record *stats_list::add_ap(const char *ip, uint8_t n)
{
	auto *ap = static_cast<ap_record *>(calloc(1, sizeof(ap_record)));
	snprintf(ap->ip, sizeof ap->ip, "%s", ip);
	const uint8_t mac[6] = {0x02, 0, 0, 0, 0, n};
	memcpy(ap->mac, mac, 6);
	INIT_LIST_HEAD(&ap->stats.vaps);
	list_add_tail(&ap->list, &aps);
	return ap;
}

int stats_list::deliver(const char *peer, const std::string &body)
{
	struct blob_buf b = {};
	int rc = -1;
	if (jsonrpc_parse_answer(&b, body.data(), body.size()))
		rc = jsonrpc_store_answer(&aps, peer, b.head);
	blob_buf_free(&b);
	return rc;
}

std::string stats_list::deliver_out(const char *peer, const std::string &body, int *rc)
{
	fflush(stdout);
	::testing::internal::CaptureStdout();
	int r = deliver(peer, body);
	fflush(stdout);
	std::string out = ::testing::internal::GetCapturedStdout();
	if (rc)
		*rc = r;
	return out;
}

std::string stats_list::slot_json(const ap_record *ap, int32_t id)
{
	struct blob_attr *slot = ap_slot(ap, id);
	if (!slot)
		return "-";
	char *text = blobmsg_format_json(slot, true);
	std::string out = text ? text : "(null)";
	free(text);
	return out;
}

std::string reply_json(struct blob_buf *b)
{
	char *text = blobmsg_format_json(b->head, true);
	std::string out = text ? text : "(null)";
	free(text);
	return out;
}

std::string answer(int id, const std::string &result)
{
	return "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) + ",\"result\":" + result + "}";
}
