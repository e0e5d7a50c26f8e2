#include "stats/stats_text.hpp"

#include <cstdio>
#include <cstring>

const char *stats_blob_text(const struct blob_attr *attr)
{
	if (blobmsg_type(attr) != BLOBMSG_TYPE_STRING)
		return nullptr;
	size_t len = blobmsg_data_len(attr);
	const char *s = static_cast<const char *>(blobmsg_data(attr));
	if (!len || s[len - 1] != '\0')
		return nullptr;
	return s;
}

size_t stats_text_fit(const char *s, size_t size)
{
	if (!size)
		return 0;
	size_t len = strnlen(s, size);
	if (len < size)
		return len;
	len = size - 1;
	// Step back over continuation bytes to the lead byte of the cut sequence;
	// drop that sequence when it does not end exactly at the cut.
	size_t lead = len;
	while (lead > 0 && (static_cast<unsigned char>(s[lead]) & 0xC0) == 0x80)
		lead--;
	return lead;
}

void stats_text_copy(char *field, size_t size, const char *s)
{
	if (!size)
		return;
	size_t n = stats_text_fit(s, size);
	memcpy(field, s, n);
	field[n] = '\0';
}

bool stats_text_match(const char *field, size_t size, const char *given)
{
	return strncmp(field, given, stats_text_fit(given, size)) == 0;
}

void stats_mac_text(char out[18], const uint8_t mac[6])
{
	snprintf(out, 18, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
		 mac[5]);
}
