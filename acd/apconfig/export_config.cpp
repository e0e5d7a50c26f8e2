// The export table: MAC, system name and configured channels of each AP as
// "/tmp/cfg.csv", and back.
#include <cstdio>
#include <cstring>
#include <memory>

#include "apconfig/apconfig.hpp"
#include "apconfig/csv.hpp"
#include "apconfig/iplist.hpp"
#include "apconfig/tmp_file.hpp"
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

void ac_export_write(struct blob_attr *iplist)
{
	char tmp[AC_TMP_NAME_LEN];
	FILE *f = ac_tmp_begin(CSV_PATH, 0666, tmp);
	if (!f)
		return;
	char line[CSV_LINE_LEN];
	csv_format_header(line);
	fputs(line, f);
	iplist_for_each_ap(iplist, &aps, export_config_row, f);
	ac_tmp_commit(f, tmp, CSV_PATH);
}

bool ac_export_read(struct blob_buf *b)
{
	blob_buf_init(b, 0);
	void *list = blobmsg_open_array(b, "Device_List");
	file_ptr f(ac_file_read_nowait(CSV_PATH));
	if (!f)
		return false;
	char line[CSV_LINE_LEN];
	// A line longer than the buffer comes in pieces, each scanned as a line.
	while (fgets(line, sizeof line, f.get())) {
		csv_row row;
		if (csv_scan_line(line, &row) != 4 || csv_is_header(&row))
			continue;
		// A file placed by hand can be any size; the reply cannot.
		if (blob_pad_len(b->head) > EXPORT_REPLY_LIMIT) {
			fputs("cfg.csv too large, remaining rows left out \n", stderr);
			break;
		}
		void *item = blobmsg_open_table(b, nullptr);
		blobmsg_add_string(b, "MACAddress", row.mac);
		blobmsg_add_string(b, "SystemName", row.name);
		blobmsg_add_string(b, "2.4GChannel_set", row.ch24);
		blobmsg_add_string(b, "5GChannel_set", row.ch5);
		ap_record *ap;
		list_for_each_entry(ap, &aps, list) {
			char mac[18];
			csv_format_mac(mac, ap->mac);
			if (!strcmp(mac, row.mac))
				blobmsg_add_string(b, "IPAddress", ap->ip);
		}
		blobmsg_close_table(b, item);
	}
	blobmsg_close_array(b, list);
	return true;
}
