#include "apconfig/settings_codec.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>

namespace {
#define SET_TEXT(n, t, ...) { n, t, SETTINGS_TEXT, __VA_ARGS__ }
#define SET_U8(n, t, ...) { n, t, SETTINGS_U8, __VA_ARGS__ }
#define SET_U16(n, t, ...) { n, t, SETTINGS_U16, __VA_ARGS__ }
#define SET_IPV4(n, t, ...) { n, t, SETTINGS_IPV4, __VA_ARGS__ }
#define NO_MASK SETTINGS_NO_MASK, 0 // mask word, bits

constexpr settings_def settings_defs[] = {
	SET_TEXT("ProductName", 1, 0, 0x1),
	SET_TEXT("SystemName", 2, 0, 0x2),
	SET_IPV4("IPAddress", 4, 0, 0x8),
	SET_IPV4("SubnetMask", 5, 0, 0x10),
	SET_IPV4("Gateway", 6, 0, 0x20),
	SET_TEXT("Password", 9, 0, 0x100),
	SET_U16("IPMode", 10, 0, 0x200),
	SET_IPV4("PriDNS", 41, 0, 0x20),
	SET_IPV4("SecDNS", 42, 0, 0x20),
	SET_U16("VLANID", 43, 1, 0x4),
	SET_TEXT("NTPInfo", 44, 1, 0x4),
	SET_U8("2.4GEnabled", 100, 0, 0x2),
	SET_TEXT("2.4GSSID", 101, 1, 0x4),
	SET_TEXT("2.4GKey", 102, 1, 0x100),
	SET_TEXT("2.4GSecurity", 103, 1, 0x8),
	SET_U8("2.4GChannel_set", 104, 1, 0x10),
	SET_TEXT("2.4G802.11Mode", 105, 1, 0x20),
	SET_TEXT("2.4GChannel_Width", 106, 1, 0x10),
	SET_U8("2.4GVisible", 107, 1, 0x4),
	SET_IPV4("2.4GRadiusIp", 111, NO_MASK),
	SET_U16("2.4GRadiusPort", 112, NO_MASK),
	SET_TEXT("2.4GSharedSecret", 113, 1, 0x8),
	SET_U8("2.4GIsolation", 116, 1, 0x4),
	SET_U16("2.4GVLANID", 117, 1, 0x4),
	SET_TEXT("2.4GBandwidth_Control", 118, 1, 0x4),
	SET_TEXT("2.4GRSSI_Scanner", 119, 1, 0x4),
	SET_U8("2.4GTransmit_Power", 120, 1, 0x4),
	SET_U8("5GEnabled", 130, 1, 0x2),
	SET_TEXT("5GSSID", 131, 1, 0x4),
	SET_TEXT("5GKey", 132, 1, 0x84),
	SET_TEXT("5GSecurity", 133, 1, 0x8),
	SET_U8("5GChannel_set", 134, 1, 0x10),
	SET_TEXT("5G802.11Mode", 135, 1, 0x20),
	SET_TEXT("5GChannel_Width", 136, 1, 0x10),
	SET_U8("5GVisible", 137, 1, 0x40),
	SET_IPV4("5GRadiusIp", 140, NO_MASK),
	SET_U16("5GRadiusPort", 141, NO_MASK),
	SET_TEXT("5GSharedSecret", 142, 1, 0x8),
	SET_U8("5GIsolation", 145, 1, 0x4),
	SET_U16("5GVLANID", 146, 1, 0x4),
	SET_TEXT("5GBandwidth_Control", 147, 1, 0x4),
	SET_TEXT("5GRSSI_Scanner", 148, 1, 0x4),
	SET_U8("5GTransmit_Power", 149, 1, 0x4),
	SET_U8("WifiBandSteer", 163, 1, 0x4),
	SET_U8("WifiRoaming", 164, 1, 0x4),
};
#undef SET_TEXT
#undef SET_U8
#undef SET_U16
#undef SET_IPV4
#undef NO_MASK
constexpr size_t settings_count = sizeof settings_defs / sizeof settings_defs[0];

constexpr bool settings_masks_valid()
{
	for (const auto &d : settings_defs)
		if (d.maskWord != SETTINGS_NO_MASK && (d.maskWord >= 2 || !d.maskBits))
			return false;
	return true;
}
static_assert(settings_count == 45, "45 settings can be pushed");
static_assert(settings_masks_valid(), "a push sets bits in mask words 0 and 1 only");

uint8_t *settings_alloc(size_t n)
{
	// An empty text still gets a buffer: no buffer means no memory.
	return static_cast<uint8_t *>(malloc(n ? n : 1));
}
} // namespace

const settings_def *settings_table(size_t *count)
{
	if (count)
		*count = settings_count;
	return settings_defs;
}

const settings_def *settings_lookup(const char *name)
{
	if (!name)
		return nullptr;
	for (const auto &d : settings_defs)
		if (!strcmp(d.name, name))
			return &d;
	return nullptr;
}

int settings_encode(vex_tlv *entry, const settings_def *def, const char *text)
{
	size_t vlen;
	uint8_t *value;
	switch (def->encoding) {
	case SETTINGS_TEXT:
		vlen = strlen(text);
		value = settings_alloc(vlen);
		if (!value)
			return 0;
		memcpy(value, text, vlen);
		break;
	case SETTINGS_U8:
	case SETTINGS_U16: {
		// Decimal text; only the low bits travel ("300" as a byte is 44).
		unsigned long long n = (unsigned long long)strtoll(text, nullptr, 10);
		vlen = def->encoding == SETTINGS_U8 ? 1 : 2;
		value = settings_alloc(vlen);
		if (!value)
			return 0;
		if (vlen == 1)
			value[0] = uint8_t(n);
		else
			vex_put_u16(value, uint16_t(n));
		break;
	}
	case SETTINGS_IPV4: {
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
