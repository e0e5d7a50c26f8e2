// ac.get.config gen_export_config and get_export_config: the per-AP table of
// MAC, system name and configured channels as "/tmp/cfg.csv", and back.
#include <cstdio>
#include <cstring>
#include <memory>

#include "apconfig/apconfig_methods.hpp"
#include "apconfig/csv.hpp"
#include "apconfig/iplist.hpp"
#include "apconfig/tmp_file.hpp"
#include "core/ac_reply.hpp"
#include "core/ac_ubus_policy.hpp"
#include "vex/ap_list.hpp"

namespace {
struct file_closer {
	void operator()(FILE *f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// Far beyond any table of APs, well inside what a blob buffer can hold.
constexpr size_t EXPORT_REPLY_LIMIT = 8u << 20;

void export_config_row(ap_record *ap, void *ctx)
{
	char line[CSV_LINE_LEN];
	csv_format_row(line, ap->mac, &ap->settings);
	fputs(line, static_cast<FILE *>(ctx));
}
} // namespace

int ac_gen_export_config(struct ubus_context *, struct ubus_object *, struct ubus_request_data *,
			 const char *, struct blob_attr *msg)
{
	struct blob_attr *tb[__IPLIST_MAX];
	blobmsg_parse(iplist_policy, __IPLIST_MAX, tb, blob_data(msg), blob_len(msg));
	if (!tb[IPLIST_IPLIST])
		return UBUS_STATUS_INVALID_ARGUMENT;

	char tmp[AC_TMP_NAME_LEN];
	FILE *f = ac_tmp_begin(CSV_PATH, 0666, tmp);
	if (!f)
		return UBUS_STATUS_OK;
	char line[CSV_LINE_LEN];
	csv_format_header(line);
	fputs(line, f);
	iplist_for_each_ap(tb[IPLIST_IPLIST], &aps, export_config_row, f);
	ac_tmp_commit(f, tmp, CSV_PATH);
	return UBUS_STATUS_OK;
}

int ac_get_export_config(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
			 const char *, struct blob_attr *)
{
	blob_buf_init(&ac_reply_buf, 0);
	void *list = blobmsg_open_array(&ac_reply_buf, "Device_List");
	file_ptr f(ac_file_read_nowait(CSV_PATH));
	if (!f)
		return UBUS_STATUS_OK; // no reply at all
	char line[CSV_LINE_LEN];
	// A line longer than the buffer comes in pieces, each scanned as a line.
	while (fgets(line, sizeof line, f.get())) {
		csv_row row;
		if (csv_scan_line(line, &row) != 4 || csv_is_header(&row))
			continue;
		// A file placed by hand can be any size; the reply cannot.
		if (blob_pad_len(ac_reply_buf.head) > EXPORT_REPLY_LIMIT) {
			fputs("cfg.csv too large, remaining rows left out \n", stderr);
			break;
		}
		void *item = blobmsg_open_table(&ac_reply_buf, nullptr);
		blobmsg_add_string(&ac_reply_buf, "MACAddress", row.mac);
		blobmsg_add_string(&ac_reply_buf, "SystemName", row.name);
		blobmsg_add_string(&ac_reply_buf, "2.4GChannel_set", row.ch24);
		blobmsg_add_string(&ac_reply_buf, "5GChannel_set", row.ch5);
		ap_record *ap;
		list_for_each_entry(ap, &aps, list) {
			char mac[18];
			csv_format_mac(mac, ap->mac);
			if (!strcmp(mac, row.mac))
				blobmsg_add_string(&ac_reply_buf, "IPAddress", ap->ip);
		}
		blobmsg_close_table(&ac_reply_buf, item);
	}
	blobmsg_close_array(&ac_reply_buf, list);
	return ac_reply_send(ctx, req);
}
