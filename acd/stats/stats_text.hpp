// Texts of the statistics side: strings taken from stored answers, copied into
// fixed fields, and compared the way the wireless view matches entries.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gw/blob.hpp"

// The text of a string attribute, or nullptr for any other type (or a string
// without its terminator).
const char *stats_blob_text(const struct blob_attr *attr);

// How many bytes of s a field of `size` bytes keeps: at most size - 1, cut
// before a UTF-8 sequence that would not fit whole.
size_t stats_text_fit(const char *s, size_t size);

// Copies s into the field, cut as stats_text_fit says, and terminates it.
void stats_text_copy(char *field, size_t size, const char *s);

// A stored field matches a given text when it begins with the given text as the
// field would hold it (so an empty text matches any entry).
bool stats_text_match(const char *field, size_t size, const char *given);

// "%02x:%02x:%02x:%02x:%02x:%02x"
void stats_mac_text(char out[18], const uint8_t mac[6]);
