#include "apconfig/settings_codec.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>

namespace {
uint8_t *settings_alloc(size_t n)
{
	// An empty text still gets a buffer: no buffer means no memory.
	return static_cast<uint8_t *>(malloc(n ? n : 1));
}
} // namespace

const settings_def *settings_lookup(const char *name)
{
	const settings_def *def = vex_tlv_lookup_key(name);
	return def && def->maskWord != VEX_NOT_PUSHED ? def : nullptr;
}

int settings_encode(vex_tlv *entry, const settings_def *def, const char *text)
{
	size_t vlen;
	uint8_t *value;
	switch (def->format) {
	case VEX_FMT_TEXT:
		vlen = strlen(text);
		value = settings_alloc(vlen);
		if (!value)
			return 0;
		memcpy(value, text, vlen);
		break;
	case VEX_FMT_U8:
	case VEX_FMT_U16: {
		// Decimal text; only the low bits travel ("300" as a byte is 44).
		unsigned long long n = (unsigned long long)strtoll(text, nullptr, 10);
		vlen = def->format == VEX_FMT_U8 ? 1 : 2;
		value = settings_alloc(vlen);
		if (!value)
			return 0;
		if (vlen == 1)
			value[0] = uint8_t(n);
		else
			vex_put_u16(value, uint16_t(n));
		break;
	}
	case VEX_FMT_IPV4: {
		in_addr_t a = inet_addr(text); // INADDR_NONE (255.255.255.255) when it does not convert
		vlen = 4;
		value = settings_alloc(vlen);
		if (!value)
			return 0;
		memcpy(value, &a, 4); // already in network order
		break;
	}
	default:
		return 0;
	}
	entry->u2Type = def->type;
	// A text too long for the 16-bit length can never fit a packet: the
	// largest length makes the generator end there, as for any TLV too big,
	// and never reads past the value.
	size_t len = vlen + VEX_TLV_HEAD_LEN;
	entry->u2Len = len > 0xFFFF ? uint16_t(0xFFFF) : uint16_t(len);
	entry->pu1Value = value;
	return 1;
}

void settings_mask_add(uint32_t mask[SETTINGS_MASK_WORDS], const settings_def *def)
{
	if (def->maskWord < SETTINGS_MASK_WORDS)
		mask[def->maskWord] |= def->maskBits;
}

int settings_mask_entry(vex_tlv *entry, const uint32_t mask[SETTINGS_MASK_WORDS])
{
	uint8_t *value = settings_alloc(VEX_MASK_LEN);
	if (!value)
		return 0;
	for (unsigned i = 0; i < SETTINGS_MASK_WORDS; i++)
		vex_put_u32(value + 4 * i, mask[i]);
	entry->u2Type = VEX_TLV_MASK;
	entry->u2Len = VEX_TLV_HEAD_LEN + VEX_MASK_LEN;
	entry->pu1Value = value;
	return 1;
}

const char *settings_value_text(struct blob_attr *value, char *buf, size_t size)
{
	switch (blobmsg_type(value)) {
	case BLOBMSG_TYPE_STRING:
		return blobmsg_get_string(value);
	case BLOBMSG_TYPE_INT8: // JSON true and false
		snprintf(buf, size, "%d", blobmsg_get_u8(value) ? 1 : 0);
		return buf;
	case BLOBMSG_TYPE_INT16:
		snprintf(buf, size, "%d", int(int16_t(blobmsg_get_u16(value))));
		return buf;
	case BLOBMSG_TYPE_INT32:
		snprintf(buf, size, "%ld", long(int32_t(blobmsg_get_u32(value))));
		return buf;
	case BLOBMSG_TYPE_INT64:
		snprintf(buf, size, "%lld", (long long)int64_t(blobmsg_get_u64(value)));
		return buf;
	default:
		return nullptr;
	}
}

unsigned settings_push_entries(vex_tlv *entries, unsigned max, struct blob_attr *doc)
{
	if (!entries || !max)
		return 0;
	memset(entries, 0, max * sizeof *entries);
	uint32_t mask[SETTINGS_MASK_WORDS] = {};
	unsigned n = 0;
	struct blob_attr *cur;
	size_t rem;
	blob_for_each_attr(cur, doc, rem) {
		// A member that does not hold together ends the document.
		if (!blobmsg_check_attr(cur, true))
			break;
		const char *name = blobmsg_name(cur);
		const settings_def *def = settings_lookup(name);
		if (!def) {
			fprintf(stderr, "unknown config name : %s \n", name);
			continue;
		}
		char number[24];
		const char *text = settings_value_text(cur, number, sizeof number);
		if (!text) {
			fprintf(stderr, "config value not a string : %s \n", name);
			continue;
		}
		// Keep one entry for the mask (and the end mark when there is room).
		if (n + 1 >= max)
			break;
		if (!settings_encode(&entries[n], def, text))
			continue;
		settings_mask_add(mask, def);
		n++;
	}
	if (settings_mask_entry(&entries[n], mask))
		n++;
	return n;
}

uint16_t settings_push_data(uint8_t *buf, uint32_t capacity, struct blob_attr *doc)
{
	static vex_tlv entries[VEX_MAX_TLV];
	settings_push_entries(entries, VEX_MAX_TLV, doc);
	uint16_t len = 0;
	KvVexGenVexData(buf, capacity, &len, entries, VEX_MAX_TLV);
	KvVexFreeVexData(entries, VEX_MAX_TLV);
	return len;
}

int settings_depth(const struct blob_attr *attr, size_t avail, int limit)
{
	if (!blobmsg_check_attr_len(attr, false, avail))
		return 0;
	int type = blobmsg_type(attr);
	if (type != BLOBMSG_TYPE_TABLE && type != BLOBMSG_TYPE_ARRAY)
		return 0;
	if (limit <= 0)
		return 1;
	int deepest = 0;
	const struct blob_attr *pos;
	size_t rem = blobmsg_data_len(attr);
	__blob_for_each_attr(pos, blobmsg_data(attr), rem) {
		int d = settings_depth(pos, rem, limit - 1);
		if (d > deepest)
			deepest = d;
		if (deepest >= limit)
			break;
	}
	return 1 + deepest;
}
