// The CSV table of "/tmp/cfg.csv" as get_export_config reads it: pieces of at
// most 127 characters (fgets into the method's line buffer), each scanned as a
// row and added to a reply. A row written from an AP's settings reads back
// with the same columns.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "apconfig/csv.hpp"
#include "gw/blob.hpp"

namespace {
[[noreturn]] void broken(const char *what)
{
	fprintf(stderr, "fuzz_csv: %s\n", what);
	abort();
}

void check_row_round_trip(const uint8_t *data, size_t size)
{
	ap_settings s{};
	uint8_t mac[6] = {};
	memcpy(mac, data, size < 6 ? size : 6);
	size_t n = size > 6 ? size - 6 : 0;
	if (n > sizeof s.au1SystemName - 1)
		n = sizeof s.au1SystemName - 1;
	if (n)
		memcpy(s.au1SystemName, data + 6, n);
	s.u1ChannelSet24G = size > 1 ? data[size - 1] : 0;
	s.u1ChannelSet5G = size > 2 ? data[size - 2] : 0;

	char line[CSV_LINE_LEN];
	size_t len = csv_format_row(line, mac, &s);
	if (len >= CSV_LINE_LEN || strlen(line) != len)
		broken("row longer than a line");
	csv_row row;
	int found = csv_scan_line(line, &row);
	const char *name = s.au1SystemName;
	if (!*name || strchr(name, ','))
		return; // a name the table cannot carry
	char mac_text[18], ch[8];
	csv_format_mac(mac_text, mac);
	if (found != 4 || strcmp(row.mac, mac_text) != 0 || strcmp(row.name, name) != 0)
		broken("a written row reads back differently");
	snprintf(ch, sizeof ch, "%d", s.u1ChannelSet24G);
	if (strcmp(row.ch24, ch) != 0)
		broken("2.4G channel differs");
	snprintf(ch, sizeof ch, "%d", s.u1ChannelSet5G);
	if (strcmp(row.ch5, ch) != 0)
		broken("5G channel differs");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static struct blob_buf b;
	blob_buf_init(&b, 0);
	void *list = blobmsg_open_array(&b, "Device_List");
	std::string text(reinterpret_cast<const char *>(data), size);
	FILE *f = fmemopen(text.data(), text.size() ? text.size() : 1, "r");
	if (!f)
		return 0;
	char line[CSV_LINE_LEN];
	while (fgets(line, sizeof line, f)) {
		csv_row row;
		int found = csv_scan_line(line, &row);
		if (found < 0 || found > 4)
			broken("column count");
		if (!memchr(row.mac, 0, sizeof row.mac) || !memchr(row.name, 0, sizeof row.name) ||
		    !memchr(row.ch24, 0, sizeof row.ch24) || !memchr(row.ch5, 0, sizeof row.ch5))
			broken("a column without its end");
		if (found != 4 || csv_is_header(&row))
			continue;
		void *item = blobmsg_open_table(&b, nullptr);
		blobmsg_add_string(&b, "MACAddress", row.mac);
		blobmsg_add_string(&b, "SystemName", row.name);
		blobmsg_add_string(&b, "2.4GChannel_set", row.ch24);
		blobmsg_add_string(&b, "5GChannel_set", row.ch5);
		blobmsg_close_table(&b, item);
	}
	fclose(f);
	blobmsg_close_array(&b, list);
	check_row_round_trip(data, size);
	return 0;
}
