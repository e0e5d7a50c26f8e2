#include "apconfig/csv.hpp"

#include <cstdio>
#include <cstring>

namespace {
bool csv_space(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// One column up to a comma (at least one character); returns past it, or
// nullptr when the column is empty.
const char *csv_take_column(const char *p, char *out, size_t size)
{
	size_t n = 0;
	const char *start = p;
	for (; *p && *p != ','; p++)
		if (n + 1 < size)
			out[n++] = *p;
	out[n] = 0;
	return p == start ? nullptr : p;
}

// One word after any white space; returns past it, or nullptr when none.
const char *csv_take_word(const char *p, char *out, size_t size)
{
	while (csv_space(*p))
		p++;
	size_t n = 0;
	const char *start = p;
	for (; *p && !csv_space(*p); p++)
		if (n + 1 < size)
			out[n++] = *p;
	out[n] = 0;
	return p == start ? nullptr : p;
}
} // namespace

void csv_format_mac(char out[18], const uint8_t mac[6])
{
	snprintf(out, 18, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
}

size_t csv_format_header(char line[CSV_LINE_LEN])
{
	snprintf(line, CSV_LINE_LEN, "%s", CSV_HEADER);
	return strlen(line);
}

size_t csv_format_row(char line[CSV_LINE_LEN], const uint8_t mac[6], const ap_settings *s)
{
	snprintf(line, CSV_LINE_LEN, "%02X-%02X-%02X-%02X-%02X-%02X,%s,%d,%d\r\n", mac[0], mac[1], mac[2],
		 mac[3], mac[4], mac[5], s->au1SystemName, s->u1ChannelSet24G, s->u1ChannelSet5G);
	return strlen(line);
}

int csv_scan_line(const char *line, csv_row *row)
{
	memset(row, 0, sizeof *row);
	struct column {
		char *out;
		size_t size;
	};
	const column columns[] = {
		{row->mac, sizeof row->mac}, {row->name, sizeof row->name}, {row->ch24, sizeof row->ch24}};
	const char *p = line;
	int found = 0;
	for (const column &c : columns) {
		p = csv_take_column(p, c.out, c.size);
		if (!p)
			return found;
		found++;
		if (*p != ',')
			return found;
		p++;
	}
	if (!csv_take_word(p, row->ch5, sizeof row->ch5))
		return found;
	return found + 1;
}

bool csv_is_header(const csv_row *row)
{
	return !strcmp(row->mac, CSV_HEADER_MAC);
}
