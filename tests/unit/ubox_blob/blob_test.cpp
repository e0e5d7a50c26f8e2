// blob/blobmsg: wire bytes, buffer growth and nesting, string buffers,
// policies, and validation of malformed input without reading past it.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "blob_fixtures.hpp"
#include "gw/blob.hpp"

using blobtest::Buf;
using blobtest::bytes_of;
using blobtest::canon;
using blobtest::Guarded;
using blobtest::hex;
using blobtest::to_hex;

extern "C" int blobtest_c_count(struct blob_attr *table);

namespace
{

// One member of every type, a table holding an array holding a string, an
// int and an empty table, and a long name with an empty value.
void build_golden(struct blob_buf *b, void **first_cookie = nullptr)
{
	blob_buf_init(b, 0);
	blobmsg_add_string(b, "s", "ab");
	blobmsg_add_u8(b, "b", 1);
	blobmsg_add_u16(b, "h", 0x1234);
	blobmsg_add_u32(b, "i", static_cast<uint32_t>(-2));
	blobmsg_add_u64(b, "q", 0x0102030405060708ULL);
	blobmsg_add_double(b, "d", 1.5);
	blobmsg_add_field(b, BLOBMSG_TYPE_UNSPEC, "n", nullptr, 0);
	void *t = blobmsg_open_table(b, "t");
	if (first_cookie)
		*first_cookie = t;
	void *a = blobmsg_open_array(b, "a");
	blobmsg_add_string(b, nullptr, "x");
	blobmsg_add_u32(b, nullptr, 7);
	void *e = blobmsg_open_table(b, nullptr);
	blobmsg_close_table(b, e);
	blobmsg_close_array(b, a);
	blobmsg_close_table(b, t);
	blobmsg_add_string(b, "longername", "");
}

const char *const golden_hex = "00 00 00 a4"                                       // root: id 0, 164 bytes
                               "83 00 00 0b  00 01 73 00  61 62 00 00"             // "s": "ab"
                               "87 00 00 09  00 01 62 00  01 00 00 00"             // "b": int8 1
                               "86 00 00 0a  00 01 68 00  12 34 00 00"             // "h": int16 0x1234
                               "85 00 00 0c  00 01 69 00  ff ff ff fe"             // "i": int32 -2
                               "84 00 00 10  00 01 71 00  01 02 03 04 05 06 07 08" // "q": int64
                               "88 00 00 10  00 01 64 00  3f f8 00 00 00 00 00 00" // "d": double 1.5
                               "80 00 00 08  00 01 6e 00"                          // "n": null
                               "82 00 00 30  00 01 74 00"                          // "t": table
                               "  81 00 00 28  00 01 61 00"                        //   "a": array
                               "    83 00 00 0a  00 00 00 00  78 00 00 00"         //     "x"
                               "    85 00 00 0c  00 00 00 00  00 00 00 07"         //     7
                               "    82 00 00 08  00 00 00 00"                      //     {}
                               "83 00 00 15  00 0a 6c 6f 6e 67 65 72 6e 61 6d 65 00 00 00 00" // "longername"
                               "  00 00 00 00";                                               //   ""

// Start and raw length of each top-level member of the golden payload.
struct Span {
	size_t start;
	size_t raw;
};
const Span golden_spans[] = {{0, 11},  {12, 9}, {24, 10}, {36, 12}, {48, 16},
                             {64, 16}, {80, 8}, {88, 48}, {136, 21}};

const struct blobmsg_policy golden_policy[] = {
    {"s", BLOBMSG_TYPE_STRING}, {"b", BLOBMSG_TYPE_INT8},  {"h", BLOBMSG_TYPE_INT16},
    {"i", BLOBMSG_TYPE_INT32},  {"q", BLOBMSG_TYPE_INT64}, {"d", BLOBMSG_TYPE_DOUBLE},
    {"n", BLOBMSG_TYPE_UNSPEC}, {"t", BLOBMSG_TYPE_TABLE}, {"longername", BLOBMSG_TYPE_STRING},
};
constexpr int golden_n = ARRAY_SIZE(golden_policy);

std::vector<struct blob_attr *> children(const struct blob_attr *container)
{
	std::vector<struct blob_attr *> out;
	struct blob_attr *cur;
	size_t rem;
	blobmsg_for_each_attr(cur, container, rem) out.push_back(cur);
	return out;
}

TEST(BlobmsgBuild, GoldenBytesOfEveryType)
{
	Buf buf;
	void *cookie = nullptr;
	build_golden(&buf.b, &cookie);

	EXPECT_EQ(to_hex(bytes_of(buf.b.head)), canon(golden_hex));
	EXPECT_EQ(blob_len(buf.b.head), 160u);
	// The cookie is the parent's offset plus 0x01234567 (root at offset 0).
	EXPECT_EQ(reinterpret_cast<uintptr_t>(cookie), 0x01234567u);
	EXPECT_EQ(buf.b.head, buf.b.buf);
}

TEST(BlobmsgBuild, AccessorsReadBackEveryType)
{
	Buf buf;
	build_golden(&buf.b);
	struct blob_attr *tb[golden_n];
	ASSERT_EQ(blobmsg_parse(golden_policy, golden_n, tb, blob_data(buf.b.head), blob_len(buf.b.head)), 0);
	for (int i = 0; i < golden_n; i++)
		ASSERT_NE(tb[i], nullptr) << golden_policy[i].name;

	EXPECT_STREQ(blobmsg_get_string(tb[0]), "ab");
	EXPECT_EQ(blobmsg_data_len(tb[0]), 3u);
	EXPECT_TRUE(blobmsg_get_bool(tb[1]));
	EXPECT_EQ(blobmsg_get_u16(tb[2]), 0x1234);
	EXPECT_EQ(static_cast<int32_t>(blobmsg_get_u32(tb[3])), -2);
	EXPECT_EQ(blobmsg_get_u64(tb[4]), 0x0102030405060708ULL);
	EXPECT_EQ(blobmsg_get_double(tb[5]), 1.5);
	EXPECT_EQ(blobmsg_len(tb[6]), 0u);
	EXPECT_STREQ(blobmsg_name(tb[8]), "longername");
	EXPECT_STREQ(blobmsg_get_string(tb[8]), "");
	EXPECT_EQ(blobmsg_cast_s64(tb[3]), -2);
	EXPECT_EQ(blobmsg_cast_u64(tb[2]), 0x1234u);
	EXPECT_EQ(blobmsg_cast_u64(tb[0]), 0u);
	EXPECT_EQ(blobmsg_get_string(nullptr), nullptr);

	auto t = children(tb[7]);
	ASSERT_EQ(t.size(), 1u);
	EXPECT_STREQ(blobmsg_name(t[0]), "a");
	EXPECT_EQ(blobmsg_type(t[0]), BLOBMSG_TYPE_ARRAY);
	auto a = children(t[0]);
	ASSERT_EQ(a.size(), 3u);
	EXPECT_STREQ(blobmsg_name(a[0]), "");
	EXPECT_STREQ(blobmsg_get_string(a[0]), "x");
	EXPECT_EQ(blobmsg_get_u32(a[1]), 7u);
	EXPECT_EQ(blobmsg_type(a[2]), BLOBMSG_TYPE_TABLE);
	EXPECT_TRUE(children(a[2]).empty());
	EXPECT_EQ(blobtest_c_count(tb[7]), 1);
	EXPECT_TRUE(children(nullptr).empty());

	// Re-adding copies type, name and the whole container.
	Buf copy;
	blobmsg_add_blob(&copy.b, tb[7]);
	EXPECT_EQ(to_hex(bytes_of(static_cast<struct blob_attr *>(blob_data(copy.b.head)))),
	          to_hex(bytes_of(tb[7])));

	struct blob_attr *dup = blob_memdup(tb[7]);
	ASSERT_NE(dup, nullptr);
	EXPECT_TRUE(blob_attr_equal(dup, tb[7]));
	EXPECT_FALSE(blob_attr_equal(dup, tb[0]));
	free(dup);
}

TEST(BlobBuild, RawAttributesAndNesting)
{
	Buf buf;
	blob_put_u32(&buf.b, 3, 0x11223344);
	void *c = blob_nest_start(&buf.b, 7);
	blobmsg_add_u32(&buf.b, "x", 1);
	blob_nest_end(&buf.b, c);
	blob_put_string(&buf.b, 4, "hi");
	const auto pre = hex("05 00 00 08  00 00 00 2a");
	blob_put_raw(&buf.b, pre.data(), static_cast<unsigned>(pre.size()));

	EXPECT_EQ(to_hex(bytes_of(buf.b.head)), canon("00 00 00 2c"
	                                              "03 00 00 08  11 22 33 44"
	                                              "07 00 00 10  85 00 00 0c  00 01 78 00  00 00 00 01"
	                                              "04 00 00 07  68 69 00 00"
	                                              "05 00 00 08  00 00 00 2a"));
}

TEST(BlobBuild, GrowthInWholeStepsAndReuse)
{
	struct blob_buf b = {};
	ASSERT_EQ(blob_buf_init(&b, 0), 0);
	EXPECT_EQ(b.buflen, 256);

	// 4 + 312 bytes used: 60 more needed -> one 256-byte step.
	std::string s300(300, 'a');
	blobmsg_add_string(&b, "s", s300.c_str());
	EXPECT_EQ(b.buflen, 512);
	// A 1009-byte field needs 816 more -> (816 / 256 + 1) * 256.
	std::vector<uint8_t> blob1001(1001, 0x5a);
	blobmsg_add_field(&b, BLOBMSG_TYPE_UNSPEC, "u", blob1001.data(), 1001);
	EXPECT_EQ(b.buflen, 1536);
	EXPECT_EQ(blob_raw_len(b.head), 4u + 312u + 1012u);

	// Init keeps the allocation and empties the root.
	ASSERT_EQ(blob_buf_init(&b, BLOBMSG_TYPE_TABLE), 0);
	EXPECT_EQ(b.buflen, 1536);
	EXPECT_EQ(blob_raw_len(b.head), 4u);
	EXPECT_EQ(blob_id(b.head), static_cast<unsigned>(BLOBMSG_TYPE_TABLE));

	blob_buf_free(&b);
	EXPECT_EQ(b.buf, nullptr);
	EXPECT_EQ(b.head, nullptr);
	EXPECT_EQ(b.buflen, 0);
	ASSERT_EQ(blob_buf_init(&b, 0), 0);
	EXPECT_EQ(b.buflen, 256);
	blob_buf_free(&b);
}

TEST(BlobBuild, NestingSurvivesReallocation)
{
	Buf deep;
	void *t = blobmsg_open_table(&deep.b, "t");
	void *a = blobmsg_open_array(&deep.b, "a");
	for (int i = 0; i < 500; i++)
		blobmsg_add_u32(&deep.b, nullptr, static_cast<uint32_t>(i));
	blobmsg_close_array(&deep.b, a);
	blobmsg_add_string(&deep.b, "after", "z");
	blobmsg_close_table(&deep.b, t);
	ASSERT_GT(deep.b.buflen, 256 * 4);

	auto top = children(deep.b.head);
	ASSERT_EQ(top.size(), 1u);
	EXPECT_EQ(blobmsg_check_array(top[0], BLOBMSG_TYPE_UNSPEC), 2);
	auto t_kids = children(top[0]);
	ASSERT_EQ(t_kids.size(), 2u);
	EXPECT_EQ(blobmsg_check_array(t_kids[0], BLOBMSG_TYPE_INT32), 500);
	EXPECT_EQ(blobmsg_get_u32(children(t_kids[0])[499]), 499u);
	EXPECT_STREQ(blobmsg_get_string(t_kids[1]), "z");
	EXPECT_EQ(blob_raw_len(deep.b.head), 4 + blob_pad_len(top[0]));
}

bool refuse_growth(struct blob_buf *, int)
{
	return false;
}

TEST(BlobBuild, FailedGrowthLeavesBufferIntact)
{
	Buf buf;
	blobmsg_add_u32(&buf.b, "a", 1);
	buf.b.grow = refuse_growth;

	std::string big(400, 'x');
	EXPECT_EQ(blobmsg_add_string(&buf.b, "s", big.c_str()), -1);
	EXPECT_EQ(blobmsg_alloc_string_buffer(&buf.b, "s", 400), nullptr);
	EXPECT_EQ(blob_raw_len(buf.b.head), 16u);

	// Fill the 256 bytes with empty tables until opening one fails.
	size_t opened = 0;
	void *c;
	while ((c = blobmsg_open_table(&buf.b, "t")) != nullptr) {
		blobmsg_close_table(&buf.b, c);
		opened++;
	}
	blobmsg_close_table(&buf.b, c); // closing a failed open is harmless
	EXPECT_EQ(opened, (256u - 16u) / 8u);
	EXPECT_EQ(buf.b.buflen, 256);
	EXPECT_EQ(blob_raw_len(buf.b.head), 16u + 8u * opened);

	auto kids = children(buf.b.head);
	ASSERT_EQ(kids.size(), 1u + opened);
	EXPECT_EQ(blobmsg_get_u32(kids[0]), 1u);
	for (size_t i = 1; i < kids.size(); i++)
		EXPECT_EQ(blobmsg_check_array(kids[i], BLOBMSG_TYPE_UNSPEC), 0);
}

TEST(BlobmsgStringBuffer, CommitsWhatWasWritten)
{
	Buf direct;
	blobmsg_add_u32(&direct.b, "n", 1);
	blobmsg_add_string(&direct.b, "out", "hello");
	blobmsg_add_u32(&direct.b, "m", 2);

	Buf viabuf;
	blobmsg_add_u32(&viabuf.b, "n", 1);
	char *p = static_cast<char *>(blobmsg_alloc_string_buffer(&viabuf.b, "out", 10));
	ASSERT_NE(p, nullptr);
	// Reserved only: the root does not count it yet.
	EXPECT_EQ(blob_len(viabuf.b.head), 12u);
	strcpy(p, "hello");
	blobmsg_add_string_buffer(&viabuf.b);
	blobmsg_add_u32(&viabuf.b, "m", 2);
	EXPECT_EQ(to_hex(bytes_of(viabuf.b.head)), to_hex(bytes_of(direct.b.head)));

	// A reservation that is never committed leaves no trace.
	Buf dropped;
	blobmsg_add_u32(&dropped.b, "n", 1);
	ASSERT_NE(blobmsg_alloc_string_buffer(&dropped.b, "zz", 50), nullptr);
	blobmsg_add_string(&dropped.b, "out", "hello");
	blobmsg_add_u32(&dropped.b, "m", 2);
	EXPECT_EQ(to_hex(bytes_of(dropped.b.head)), to_hex(bytes_of(direct.b.head)));
}

TEST(BlobmsgStringBuffer, ReallocGrowsAcrossBufferMoves)
{
	Buf buf;
	void *t = blobmsg_open_table(&buf.b, "t");
	char *p = static_cast<char *>(blobmsg_alloc_string_buffer(&buf.b, "text", 8));
	ASSERT_NE(p, nullptr);
	strcpy(p, "12345678");
	p = static_cast<char *>(blobmsg_realloc_string_buffer(&buf.b, 5000));
	ASSERT_NE(p, nullptr);
	EXPECT_EQ(std::string(p, 8), "12345678");
	memset(p + 8, 'y', 4992);
	p[5000] = 0;
	blobmsg_add_string_buffer(&buf.b);
	blobmsg_close_table(&buf.b, t);

	auto top = children(buf.b.head);
	ASSERT_EQ(top.size(), 1u);
	ASSERT_EQ(blobmsg_check_array(top[0], BLOBMSG_TYPE_STRING), 1);
	struct blob_attr *s = children(top[0])[0];
	EXPECT_EQ(strlen(blobmsg_get_string(s)), 5000u);
	EXPECT_EQ(blobmsg_data_len(s), 5001u);

	EXPECT_EQ(blobmsg_printf(&buf.b, "fmt", "%s-%d", "v", 42), 4);
	EXPECT_STREQ(blobmsg_get_string(children(buf.b.head)[1]), "v-42");
}

// ---- parsing with policies ----

using Builder = void (*)(struct blob_buf *);

struct ParseCase {
	const char *what;
	bool array; // parse_array over an array holding the members
	Builder build;
	std::vector<struct blobmsg_policy> policy;
	std::vector<int> expect; // member index per slot, -1 = absent
};

const ParseCase parse_cases[] = {
    {"wrong type counts as absent",
     false,
     [](blob_buf *b) { blobmsg_add_string(b, "n", "text"); },
     {{"n", BLOBMSG_TYPE_INT32}},
     {-1}},
    {"later member of the right type is taken",
     false,
     [](blob_buf *b) {
	     blobmsg_add_string(b, "n", "text");
	     blobmsg_add_u32(b, "n", 5);
     },
     {{"n", BLOBMSG_TYPE_INT32}},
     {1}},
    {"first matching member wins",
     false,
     [](blob_buf *b) {
	     blobmsg_add_u32(b, "n", 1);
	     blobmsg_add_u32(b, "n", 2);
     },
     {{"n", BLOBMSG_TYPE_INT32}},
     {0}},
    {"names compare exactly",
     false,
     [](blob_buf *b) {
	     blobmsg_add_u32(b, "Name", 1);
	     blobmsg_add_u32(b, "nam", 2);
	     blobmsg_add_u32(b, "names", 3);
	     blobmsg_add_u32(b, "name", 4);
     },
     {{"name", BLOBMSG_TYPE_INT32}},
     {3}},
    {"unspec and cast policies",
     false,
     [](blob_buf *b) {
	     blobmsg_add_string(b, "any", "x");
	     blobmsg_add_u8(b, "i8", 1);
	     blobmsg_add_u16(b, "i16", 1);
	     blobmsg_add_u32(b, "i32", 1);
	     blobmsg_add_u64(b, "i64", 1);
	     blobmsg_add_string(b, "str", "1");
     },
     {{"any", BLOBMSG_TYPE_UNSPEC},
      {"i8", BLOBMSG_CAST_INT64},
      {"i16", BLOBMSG_CAST_INT64},
      {"i32", BLOBMSG_CAST_INT64},
      {"i64", BLOBMSG_CAST_INT64},
      {"str", BLOBMSG_CAST_INT64}},
     {0, 1, 2, 3, 4, -1}},
    {"policy without a name is skipped; raw attributes are ignored",
     false,
     [](blob_buf *b) {
	     blob_put_u32(b, BLOBMSG_TYPE_INT32, 7);
	     blobmsg_add_u32(b, "n", 9);
     },
     {{nullptr, BLOBMSG_TYPE_INT32}, {"n", BLOBMSG_TYPE_INT32}},
     {-1, 1}},
    {"array [0, {}]",
     true,
     [](blob_buf *b) {
	     blobmsg_add_u32(b, nullptr, 0);
	     blobmsg_close_table(b, blobmsg_open_table(b, nullptr));
     },
     {{"status", BLOBMSG_TYPE_INT32}, {"data", BLOBMSG_TYPE_TABLE}},
     {0, 1}},
    {"array [\"x\", {}]: not positional, the table meets the int32 slot",
     true,
     [](blob_buf *b) {
	     blobmsg_add_string(b, nullptr, "x");
	     blobmsg_close_table(b, blobmsg_open_table(b, nullptr));
     },
     {{"status", BLOBMSG_TYPE_INT32}, {"data", BLOBMSG_TYPE_TABLE}},
     {-1, -1}},
    {"array [{}, 0]: the int fills slot 0",
     true,
     [](blob_buf *b) {
	     blobmsg_close_table(b, blobmsg_open_table(b, nullptr));
	     blobmsg_add_u32(b, nullptr, 0);
     },
     {{"status", BLOBMSG_TYPE_INT32}, {"data", BLOBMSG_TYPE_TABLE}},
     {1, -1}},
    {"array with unspec slots is positional",
     true,
     [](blob_buf *b) {
	     blobmsg_add_string(b, nullptr, "x");
	     blobmsg_close_table(b, blobmsg_open_table(b, nullptr));
     },
     {{nullptr, BLOBMSG_TYPE_UNSPEC}, {nullptr, BLOBMSG_TYPE_UNSPEC}},
     {0, 1}},
    {"array stops once every slot is filled",
     true,
     [](blob_buf *b) {
	     blobmsg_add_u32(b, nullptr, 1);
	     blobmsg_add_string(b, nullptr, "first");
	     blobmsg_add_string(b, nullptr, "second");
     },
     {{nullptr, BLOBMSG_TYPE_STRING}},
     {1}},
};

TEST(BlobmsgParse, Policies)
{
	for (const auto &c : parse_cases) {
		SCOPED_TRACE(c.what);
		Buf buf;
		void *cookie = c.array ? blobmsg_open_array(&buf.b, "arr") : nullptr;
		c.build(&buf.b);
		if (cookie)
			blobmsg_close_array(&buf.b, cookie);

		struct blob_attr *container = c.array ? children(buf.b.head)[0] : buf.b.head;
		auto members = c.array ? children(container) : std::vector<struct blob_attr *>();
		if (!c.array) {
			struct blob_attr *cur;
			size_t rem;
			blob_for_each_attr(cur, buf.b.head, rem) members.push_back(cur);
		}

		std::vector<struct blob_attr *> tb(c.policy.size(), reinterpret_cast<struct blob_attr *>(1));
		int n = static_cast<int>(c.policy.size());
		int rc = c.array ? blobmsg_parse_array(c.policy.data(), n, tb.data(), blobmsg_data(container),
		                                       static_cast<unsigned>(blobmsg_data_len(container)))
		                 : blobmsg_parse(c.policy.data(), n, tb.data(), blob_data(container),
		                                 static_cast<unsigned>(blob_len(container)));
		EXPECT_EQ(rc, 0);
		for (size_t i = 0; i < tb.size(); i++)
			EXPECT_EQ(tb[i], c.expect[i] < 0 ? nullptr : members[c.expect[i]]) << "slot " << i;
	}
}

TEST(BlobmsgParse, NoDataIsInvalidAndClearsSlots)
{
	const struct blobmsg_policy p[] = {{"a", BLOBMSG_TYPE_INT32}, {"b", BLOBMSG_TYPE_STRING}};
	Buf buf;
	blobmsg_add_u32(&buf.b, "a", 1);
	auto junk = reinterpret_cast<struct blob_attr *>(1);
	using Parse = int (*)(const struct blobmsg_policy *, int, struct blob_attr **, void *, unsigned);
	for (Parse parse : {Parse(blobmsg_parse), Parse(blobmsg_parse_array)}) {
		struct blob_attr *tb[2] = {junk, junk};
		EXPECT_EQ(parse(p, 2, tb, nullptr, 12), -EINVAL);
		EXPECT_EQ(tb[0], nullptr);
		EXPECT_EQ(tb[1], nullptr);
		tb[0] = tb[1] = junk;
		EXPECT_EQ(parse(p, 2, tb, blob_data(buf.b.head), 0), -EINVAL);
		EXPECT_EQ(tb[0], nullptr);
		EXPECT_EQ(tb[1], nullptr);
	}
}

TEST(BlobmsgParse, MalformedMemberStopsWithEarlierSlotsKept)
{
	// "a": 1, then a string without its NUL, then "b": "x".
	Guarded g(hex("85 00 00 0c  00 01 61 00  00 00 00 01"
	              "83 00 00 0b  00 01 73 00  61 62 63 00"
	              "83 00 00 0a  00 01 62 00  78 00 00 00"));
	const struct blobmsg_policy p[] = {{"a", BLOBMSG_TYPE_INT32}, {"b", BLOBMSG_TYPE_STRING}};
	struct blob_attr *tb[2];
	EXPECT_EQ(blobmsg_parse(p, 2, tb, g.data(), static_cast<unsigned>(g.size())), -1);
	EXPECT_EQ(tb[0], g.attr());
	EXPECT_EQ(tb[1], nullptr);

	const struct blobmsg_policy pa[] = {{nullptr, BLOBMSG_TYPE_INT32}, {nullptr, BLOBMSG_TYPE_STRING}};
	EXPECT_EQ(blobmsg_parse_array(pa, 2, tb, g.data(), static_cast<unsigned>(g.size())), -1);
	EXPECT_EQ(tb[0], g.attr());
	EXPECT_EQ(tb[1], nullptr);
}

TEST(BlobmsgParse, TruncatedMessageNeverReadsPastTheEnd)
{
	Buf buf;
	build_golden(&buf.b);
	auto payload = bytes_of(buf.b.head);
	payload.erase(payload.begin(), payload.begin() + 4);

	for (size_t len = 1; len < payload.size(); len++) {
		SCOPED_TRACE(len);
		Guarded g(std::vector<uint8_t>(payload.begin(), payload.begin() + len));
		struct blob_attr *tb[golden_n];
		int rc = blobmsg_parse(golden_policy, golden_n, tb, g.data(), static_cast<unsigned>(len));

		// Only a cut inside a member's padding leaves every member whole.
		bool whole = false;
		for (const auto &s : golden_spans)
			if (len > s.start && len <= s.start + ((s.raw + 3) & ~size_t(3)))
				whole = len >= s.start + s.raw;
		EXPECT_EQ(rc, whole ? 0 : -1);
		for (int i = 0; i < golden_n; i++) {
			bool inside = golden_spans[i].start + golden_spans[i].raw <= len;
			EXPECT_EQ(tb[i] != nullptr, inside) << golden_policy[i].name;
		}
	}
}

TEST(BlobmsgParse, CorruptedBytesAreRejectedOrParsedSafely)
{
	Buf buf;
	build_golden(&buf.b);
	const auto golden = bytes_of(buf.b.head);

	for (size_t off = 4; off < golden.size(); off++) {
		for (uint8_t v : {0x00, 0x01, 0x7f, 0x80, 0xff}) {
			auto bytes = golden;
			bytes[off] = v;
			Guarded g(bytes);
			struct blob_attr *tb[golden_n];
			int rc = blobmsg_parse(golden_policy, golden_n, tb, blob_data(g.attr()),
			                       static_cast<unsigned>(blob_len(g.attr())));
			ASSERT_TRUE(rc == 0 || rc == -1);
			for (int i = 0; i < golden_n; i++) {
				if (!tb[i])
					continue;
				ASSERT_TRUE(blobmsg_check_attr(tb[i], false));
				if (blobmsg_type(tb[i]) == BLOBMSG_TYPE_TABLE) {
					int n = blobmsg_check_array(tb[i], BLOBMSG_TYPE_UNSPEC);
					if (n > 0)
						for (auto *k : children(tb[i]))
							blobmsg_check_array(k, BLOBMSG_TYPE_UNSPEC);
				}
			}
			free(blobmsg_format_json(g.attr(), true));
			free(blobmsg_format_json_indent(g.attr(), true, 0));
		}
	}
}

// ---- validation ----

struct AttrCheck {
	const char *what;
	const char *bytes;
	bool name;
	bool valid;
};

const AttrCheck attr_checks[] = {
    {"string, unpadded at the end", "83 00 00 0b 00 01 73 00 61 62 00", true, true},
    {"length beyond the end", "83 00 00 20 00 01 73 00 61 62 00 00", false, false},
    {"length below the header", "83 00 00 03", false, false},
    {"header cut short", "83 00", false, false},
    {"no room for the name length", "83 00 00 05 00", false, false},
    {"name length beyond the payload", "83 00 00 0c 00 40 73 00 61 62 00 00", false, false},
    {"name length just past the header", "83 00 00 08 00 02 73 74", false, false},
    {"name without NUL", "83 00 00 0c 00 01 73 58 61 62 00 00", false, false},
    {"string without NUL", "83 00 00 0b 00 01 73 00 61 62 63", false, false},
    {"string without bytes", "83 00 00 08 00 01 73 00", false, false},
    {"int32 of 3 bytes", "85 00 00 0b 00 01 69 00 00 00 01", false, false},
    {"int16 of 4 bytes", "86 00 00 0c 00 01 68 00 00 00 00 01", false, false},
    {"int8 of 2 bytes", "87 00 00 0a 00 01 62 00 01 00", false, false},
    {"int64 of 8 bytes", "84 00 00 10 00 01 71 00 00 00 00 00 00 00 00 01", true, true},
    {"double of 8 bytes", "88 00 00 10 00 01 64 00 3f f8 00 00 00 00 00 00", true, true},
    {"double of 4 bytes", "88 00 00 0c 00 01 64 00 3f f8 00 00", false, false},
    {"type 9", "89 00 00 08 00 01 78 00", false, false},
    {"unnamed where a name is required", "85 00 00 0c 00 00 00 00 00 00 00 07", true, false},
    {"unnamed where none is required", "85 00 00 0c 00 00 00 00 00 00 00 07", false, true},
    {"raw attribute, no name required", "05 00 00 08 00 00 00 07", false, true},
    {"raw attribute, name required", "05 00 00 08 00 00 00 07", true, false},
    {"unspec takes any bytes", "80 00 00 0a 00 01 6e 00 12 34", true, true},
};

TEST(BlobmsgCheck, AttributeRules)
{
	for (const auto &c : attr_checks) {
		SCOPED_TRACE(c.what);
		Guarded g(hex(c.bytes));
		EXPECT_EQ(blobmsg_check_attr_len(g.attr(), c.name, g.size()), c.valid);
	}
	EXPECT_FALSE(blobmsg_check_attr_len(nullptr, false, 100));
}

struct ArrayCheck {
	const char *what;
	const char *bytes;
	int type;
	int expect;
};

const ArrayCheck array_checks[] = {
    {"table of two named ints",
     "82 00 00 20 00 01 74 00 85 00 00 0c 00 01 61 00 00 00 00 01"
     "85 00 00 0c 00 01 62 00 00 00 00 02",
     BLOBMSG_TYPE_UNSPEC, 2},
    {"children of the wanted type",
     "82 00 00 20 00 01 74 00 85 00 00 0c 00 01 61 00 00 00 00 01"
     "85 00 00 0c 00 01 62 00 00 00 00 02",
     BLOBMSG_TYPE_INT32, 2},
    {"children of another type",
     "82 00 00 20 00 01 74 00 85 00 00 0c 00 01 61 00 00 00 00 01"
     "85 00 00 0c 00 01 62 00 00 00 00 02",
     BLOBMSG_TYPE_STRING, -1},
    {"table with an unnamed child", "82 00 00 14 00 01 74 00 85 00 00 0c 00 00 00 00 00 00 00 01",
     BLOBMSG_TYPE_UNSPEC, -1},
    {"array of unnamed children",
     "81 00 00 20 00 01 61 00 85 00 00 0c 00 00 00 00 00 00 00 01"
     "83 00 00 0a 00 00 00 00 78 00 00 00",
     BLOBMSG_TYPE_UNSPEC, 2},
    {"child longer than its container", "82 00 00 14 00 01 74 00 85 00 00 10 00 01 61 00 00 00 00 01",
     BLOBMSG_TYPE_UNSPEC, -1},
    {"stray bytes after the last child", "82 00 00 16 00 01 74 00 85 00 00 0c 00 01 61 00 00 00 00 01 00 00",
     BLOBMSG_TYPE_UNSPEC, -1},
    {"container longer than the buffer", "82 00 00 40 00 01 74 00", BLOBMSG_TYPE_UNSPEC, -1},
    {"not a container", "85 00 00 0c 00 01 61 00 00 00 00 01", BLOBMSG_TYPE_UNSPEC, -1},
    {"type beyond the last", "82 00 00 08 00 01 74 00", BLOBMSG_CAST_INT64, -1},
    {"empty table", "82 00 00 08 00 01 74 00", BLOBMSG_TYPE_UNSPEC, 0},
    {"grandchildren are not checked",
     "82 00 00 18 00 01 74 00 82 00 00 10 00 01 75 00 85 00 00 7f 00 00 00 00", BLOBMSG_TYPE_UNSPEC, 1},
};

TEST(BlobmsgCheck, ContainerRules)
{
	for (const auto &c : array_checks) {
		SCOPED_TRACE(c.what);
		Guarded g(hex(c.bytes));
		EXPECT_EQ(blobmsg_check_array_len(g.attr(), c.type, g.size()), c.expect);
		EXPECT_EQ(blobmsg_check_attr_list_len(g.attr(), c.type, g.size()), c.expect >= 0);
	}
}

// ---- raw attribute parsing ----

bool only_short(const struct blob_attr_info *, struct blob_attr *attr)
{
	return blob_len(attr) <= 2;
}

TEST(BlobParse, RawAttributesByIdLastWins)
{
	Buf buf;
	void *c = blob_nest_start(&buf.b, 1);
	blob_put_u32(&buf.b, 1, 10);
	blob_put_string(&buf.b, 2, "x");
	blob_put_u32(&buf.b, 1, 20);
	blob_put_u8(&buf.b, 3, 5);          // int32 expected: dropped
	blob_put_string(&buf.b, 4, "long"); // rejected by its validator
	blob_put_u32(&buf.b, 9, 1);         // id beyond max: ignored
	blob_nest_end(&buf.b, c);
	struct blob_attr *nest = static_cast<struct blob_attr *>(blob_data(buf.b.head));

	struct blob_attr_info info[5] = {};
	info[1].type = BLOB_ATTR_INT32;
	info[2].type = BLOB_ATTR_STRING;
	info[3].type = BLOB_ATTR_INT32;
	info[4].type = BLOB_ATTR_STRING;
	info[4].validate = only_short;

	struct blob_attr *tb[5];
	EXPECT_EQ(blob_parse(nest, tb, info, 5), 2);
	EXPECT_EQ(tb[0], nullptr);
	ASSERT_NE(tb[1], nullptr);
	EXPECT_EQ(blob_get_u32(tb[1]), 20u);
	ASSERT_NE(tb[2], nullptr);
	EXPECT_STREQ(blob_get_string(tb[2]), "x");
	EXPECT_EQ(tb[3], nullptr);
	EXPECT_EQ(tb[4], nullptr);

	Guarded g(bytes_of(nest));
	EXPECT_EQ(blob_parse_untrusted(g.attr(), g.size(), tb, info, 5), 2);
	EXPECT_EQ(blob_parse_untrusted(g.attr(), g.size() - 4, tb, info, 5), 0);
	EXPECT_EQ(tb[1], nullptr);
}

TEST(BlobCheck, RawTypeLengths)
{
	EXPECT_TRUE(blob_check_type("\x01", 1, BLOB_ATTR_INT8));
	EXPECT_FALSE(blob_check_type("\x01\x02", 2, BLOB_ATTR_INT8));
	EXPECT_TRUE(blob_check_type("\0\0", 2, BLOB_ATTR_INT16));
	EXPECT_FALSE(blob_check_type("\0\0\0", 3, BLOB_ATTR_INT32));
	EXPECT_TRUE(blob_check_type("12345678", 8, BLOB_ATTR_INT64));
	EXPECT_TRUE(blob_check_type("123456789", 9, BLOB_ATTR_DOUBLE));
	EXPECT_FALSE(blob_check_type("1234567", 7, BLOB_ATTR_DOUBLE));
	EXPECT_TRUE(blob_check_type("ab", 3, BLOB_ATTR_STRING));
	EXPECT_FALSE(blob_check_type("ab", 2, BLOB_ATTR_STRING));
	EXPECT_FALSE(blob_check_type("", 0, BLOB_ATTR_STRING));
	EXPECT_TRUE(blob_check_type("", 0, BLOB_ATTR_BINARY));
}

TEST(Utils, CallocA)
{
	char *name = nullptr;
	int *nums = nullptr;
	struct rec {
		int a;
		double b;
	};
	auto *r = static_cast<rec *>(calloc_a(sizeof(rec), &name, size_t(6), &nums, 4 * sizeof(int)));
	ASSERT_NE(r, nullptr);
	ASSERT_NE(name, nullptr);
	ASSERT_NE(nums, nullptr);
	EXPECT_GE(name, reinterpret_cast<char *>(r + 1));
	EXPECT_GE(reinterpret_cast<char *>(nums), name + 6);
	EXPECT_EQ(reinterpret_cast<uintptr_t>(nums) % alignof(int), 0u);
	EXPECT_EQ(r->a, 0);
	EXPECT_EQ(nums[3], 0);
	strcpy(name, "hello");
	nums[3] = 1;
	free(r);

	EXPECT_EQ(be32_to_cpu(cpu_to_be32(0x11223344u)), 0x11223344u);
	uint32_t be = cpu_to_be32(0x11223344u);
	EXPECT_EQ(reinterpret_cast<uint8_t *>(&be)[0], 0x11);
	EXPECT_EQ(ARRAY_SIZE(golden_spans), 9u);
}

} // namespace
