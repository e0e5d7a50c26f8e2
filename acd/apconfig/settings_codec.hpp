// The settings push encoder: member names of the pending settings document
// become their TLVs, and the field mask marks the groups present (both from
// the TLV registry).
// Pure: works on blob buffers and TLV entries, owns no socket or file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gw/blob.hpp"
#include "vex/codec/vex_codec.hpp"
#include "vex/codec/vex_tlv.hpp"

#define SETTINGS_DOC_PATH "/tmp/group1.json"

constexpr unsigned SETTINGS_MASK_WORDS = VEX_MASK_LEN / 4;
static_assert(SETTINGS_MASK_WORDS == 4, "the field mask is four 32-bit words");

// A setting is a registry type a push may carry (maskWord is not
// VEX_NOT_PUSHED), named by its key (case-sensitive). Text travels without
// its terminator; U8 and U16 from decimal text, low bits only, big-endian;
// IPv4 from a dotted quad in network order, unconvertible text giving
// 255.255.255.255.
typedef vex_tlv_def settings_def;

const settings_def *settings_lookup(const char *name);

// Encodes a value text into a generator entry (u2Len is the whole TLV length,
// the value buffer is malloc'd and owned by the entry). 1, or 0 without memory.
int settings_encode(vex_tlv *entry, const settings_def *def, const char *text);
void settings_mask_add(uint32_t mask[SETTINGS_MASK_WORDS], const settings_def *def);
// The field mask TLV (type 129, 20 bytes) with the words big-endian. 1, or 0 without memory.
int settings_mask_entry(vex_tlv *entry, const uint32_t mask[SETTINGS_MASK_WORDS]);

// The JSON parser takes documents nested at most this deep (containers,
// counting the outermost object): what set_config may store and read back.
constexpr int SETTINGS_DEPTH_MAX = 32;

// How deep containers nest in attr (0 for a plain value, 1 for a table of plain
// values, ...), counting no further than limit + 1. Bounded recursion, so a
// document of any depth is measured without running out of stack; invalid
// elements count as plain values, as the formatter skips them.
int settings_depth(const struct blob_attr *attr, size_t avail, int limit);

// The text of a document value: strings as they are; integers and booleans as
// decimal text in buf. nullptr for anything else (null, fractions, tables,
// arrays), which the push leaves out.
const char *settings_value_text(struct blob_attr *value, char *buf, size_t size);

// Entries for every member of doc (a raw container such as a blob_buf head
// holding the document's members, or nullptr for no document) in document
// order, then the field mask TLV. Members that are unknown or not text get a
// message on standard error and no entry. Returns the number of entries
// (the list ends with a type-0 entry when there is room); release them with
// KvVexFreeVexData.
unsigned settings_push_entries(vex_tlv *entries, unsigned max, struct blob_attr *doc);

// The push's data part from doc into buf (capacity bytes, at most 160 TLVs).
// Returns the number of bytes generated.
uint16_t settings_push_data(uint8_t *buf, uint32_t capacity, struct blob_attr *doc);
