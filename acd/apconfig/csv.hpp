// The per-AP CSV table of "/tmp/cfg.csv": header and row lines as written,
// and the column scan of a line read back. Pure: lines in, lines out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vex/codec/ap_settings.hpp"

#define CSV_PATH "/tmp/cfg.csv"
#define CSV_HEADER "MAC Address,System Name(Location),2.4G Channel,5G Channel\r\n"
#define CSV_HEADER_MAC "MAC Address"

constexpr size_t CSV_LINE_LEN = 128; // a line holds at most 127 characters

// One scanned line; every column is cut to its buffer.
struct csv_row {
	char mac[32];
	char name[32];
	char ch24[8];
	char ch5[8];
};

// "%02X-%02X-%02X-%02X-%02X-%02X"
void csv_format_mac(char out[18], const uint8_t mac[6]);

// The header line and one AP's row, each cut to 127 characters. Return the
// length of the line.
size_t csv_format_header(char line[CSV_LINE_LEN]);
size_t csv_format_row(char line[CSV_LINE_LEN], const uint8_t mac[6], const ap_settings *s);

// Scans a line as "%[^,],%[^,],%[^,],%s" would: three columns of at least one
// character up to a comma, then one word up to white space. A column longer
// than its buffer is cut, the rest of it skipped. Returns the number of
// columns found (4 for a usable row).
int csv_scan_line(const char *line, csv_row *row);

// The header is known by its first column alone.
bool csv_is_header(const csv_row *row);
