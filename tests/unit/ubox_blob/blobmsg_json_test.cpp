// blobmsg_json: the text of every type (compact and indented), the list
// flag, callbacks, and JSON text/files into blobmsg.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "blob_fixtures.hpp"
#include "gw/jsonc.hpp"
#include "gw/blob.hpp"

using blobtest::Buf;
using blobtest::bytes_of;
using blobtest::canon;
using blobtest::hex;
using blobtest::to_hex;

namespace
{

std::string take(char *text)
{
	if (!text)
		return "<NULL>";
	std::string s(text);
	free(text);
	return s;
}

std::string json(struct blob_attr *a, bool list, int indent = -1)
{
	return take(blobmsg_format_json_indent(a, list, indent));
}

struct blob_attr *first_child(struct blob_attr *container)
{
	return static_cast<struct blob_attr *>(blobmsg_data(container));
}

struct TypeCase {
	const char *what;
	void (*add)(struct blob_buf *b); // adds one member named "v"
	const char *compact;             // the value
	const char *indented;            // the value at level 1, indent 0
};

const TypeCase type_cases[] = {
    {"null", [](blob_buf *b) { blobmsg_add_field(b, BLOBMSG_TYPE_UNSPEC, "v", nullptr, 0); }, "null", "null"},
    {"bool true", [](blob_buf *b) { blobmsg_add_u8(b, "v", 1); }, "true", "true"},
    {"int8 2 is true", [](blob_buf *b) { blobmsg_add_u8(b, "v", 2); }, "true", "true"},
    {"bool false", [](blob_buf *b) { blobmsg_add_u8(b, "v", 0); }, "false", "false"},
    {"int16 signed", [](blob_buf *b) { blobmsg_add_u16(b, "v", 0xfffb); }, "-5", "-5"},
    {"int32 signed", [](blob_buf *b) { blobmsg_add_u32(b, "v", static_cast<uint32_t>(-2)); }, "-2", "-2"},
    {"int32 max", [](blob_buf *b) { blobmsg_add_u32(b, "v", 2147483647); }, "2147483647", "2147483647"},
    {"int64 signed", [](blob_buf *b) { blobmsg_add_u64(b, "v", static_cast<uint64_t>(-9000000000LL)); },
     "-9000000000", "-9000000000"},
    {"double", [](blob_buf *b) { blobmsg_add_double(b, "v", 1.5); }, "1.500000", "1.500000"},
    {"double whole", [](blob_buf *b) { blobmsg_add_double(b, "v", 3); }, "3.000000", "3.000000"},
    {"double rounded", [](blob_buf *b) { blobmsg_add_double(b, "v", 0.1234567); }, "0.123457", "0.123457"},
    {"string escapes",
     [](blob_buf *b) { blobmsg_add_string(b, "v", "q\"b\\s/\b\n\t\r\f\x01\x1f\x7f\xc3\xa9 "); },
     "\"q\\\"b\\\\s/\\b\\n\\t\\r\\u000c\\u0001\\u001f\x7f\xc3\xa9 \"",
     "\"q\\\"b\\\\s/\\b\\n\\t\\r\\u000c\\u0001\\u001f\x7f\xc3\xa9 \""},
    {"empty string", [](blob_buf *b) { blobmsg_add_string(b, "v", ""); }, "\"\"", "\"\""},
    {"empty array", [](blob_buf *b) { blobmsg_close_array(b, blobmsg_open_array(b, "v")); }, "[]",
     "[\n\t\t\n\t]"},
    {"empty table", [](blob_buf *b) { blobmsg_close_table(b, blobmsg_open_table(b, "v")); }, "{}",
     "{\n\t\t\n\t}"},
    {"array",
     [](blob_buf *b) {
	     void *c = blobmsg_open_array(b, "v");
	     blobmsg_add_string(b, nullptr, "x");
	     blobmsg_add_u32(b, nullptr, 7);
	     blobmsg_close_array(b, c);
     },
     "[\"x\",7]", "[\n\t\t\"x\",\n\t\t7\n\t]"},
    {"table",
     [](blob_buf *b) {
	     void *c = blobmsg_open_table(b, "v");
	     blobmsg_add_u32(b, "k", 1);
	     blobmsg_add_u8(b, "f", 0);
	     blobmsg_close_table(b, c);
     },
     "{\"k\":1,\"f\":false}", "{\n\t\t\"k\": 1,\n\t\t\"f\": false\n\t}"},
};

TEST(BlobmsgFormat, EveryTypeCompactAndIndented)
{
	for (const auto &c : type_cases) {
		SCOPED_TRACE(c.what);
		Buf buf;
		c.add(&buf.b);
		EXPECT_EQ(json(buf.b.head, true), std::string("{\"v\":") + c.compact + "}");
		EXPECT_EQ(json(buf.b.head, true, 0), std::string("{\n\t\"v\": ") + c.indented + "\n}");
		EXPECT_EQ(take(blobmsg_format_json(buf.b.head, true)),
		          std::string("{\"v\":") + c.compact + "}");
		EXPECT_EQ(take(blobmsg_format_json_value(first_child(buf.b.head))), c.compact);
	}
}

TEST(BlobmsgFormat, IndentedLayout)
{
	Buf buf;
	blobmsg_add_u8(&buf.b, "b", 1);
	void *a = blobmsg_open_array(&buf.b, "arr");
	blobmsg_add_string(&buf.b, nullptr, "x");
	blobmsg_add_u32(&buf.b, nullptr, 7);
	blobmsg_close_array(&buf.b, a);
	EXPECT_EQ(json(buf.b.head, true, 0), "{\n\t\"b\": true,\n\t\"arr\": [\n\t\t\"x\",\n\t\t7\n\t]\n}");
	EXPECT_EQ(json(buf.b.head, true), "{\"b\":true,\"arr\":[\"x\",7]}");
	// A starting level shifts every line but the first.
	EXPECT_EQ(json(buf.b.head, true, 2),
	          "{\n\t\t\t\"b\": true,\n\t\t\t\"arr\": [\n\t\t\t\t\"x\",\n\t\t\t\t7\n\t\t\t]\n\t\t}");

	Buf reply;
	void *l = blobmsg_open_array(&reply.b, "apsStatus");
	void *t = blobmsg_open_table(&reply.b, nullptr);
	blobmsg_add_string(&reply.b, "ip", "192.168.0.2");
	blobmsg_add_u32(&reply.b, "status", static_cast<uint32_t>(-2));
	blobmsg_close_table(&reply.b, t);
	blobmsg_close_array(&reply.b, l);
	blobmsg_add_u8(&reply.b, "flag", 1);
	EXPECT_EQ(
	    json(reply.b.head, true, 0),
	    "{\n\t\"apsStatus\": [\n\t\t{\n\t\t\t\"ip\": \"192.168.0.2\",\n\t\t\t\"status\": -2\n\t\t}\n"
	    "\t],\n\t\"flag\": true\n}");

	Buf empty;
	EXPECT_EQ(json(empty.b.head, true, 0), "{\n\t\n}");
	EXPECT_EQ(json(empty.b.head, true), "{}");
}

TEST(BlobmsgFormat, IndentStopsAtSixteenTabs)
{
	Buf buf;
	void *t = blobmsg_open_table(&buf.b, "a");
	blobmsg_add_u32(&buf.b, "b", 1);
	blobmsg_close_table(&buf.b, t);
	const std::string t15(15, '\t'), t16(16, '\t');
	EXPECT_EQ(json(buf.b.head, true, 15),
	          "{\n" + t16 + "\"a\": {\n" + t16 + "\"b\": 1\n" + t16 + "}\n" + t15 + "}");
}

// levels tables nested in the buffer, each named "n", the innermost holding 1.
void nest(Buf &buf, int levels)
{
	std::vector<void *> open;
	for (int i = 0; i < levels; i++)
		open.push_back(blobmsg_open_table(&buf.b, "n"));
	blobmsg_add_u32(&buf.b, "v", 1);
	while (!open.empty()) {
		blobmsg_close_table(&buf.b, open.back());
		open.pop_back();
	}
}

std::string nested_text(int levels)
{
	std::string s;
	for (int i = 0; i < levels; i++)
		s += "{\"n\":";
	s += "{\"v\":1}";
	return s + std::string(size_t(levels), '}');
}

// The host formatter stops at 64 levels of containers (the real one overflows
// the stack somewhere beyond); the whole text is refused, not cut.
TEST(BlobmsgFormat, DepthIsBounded)
{
	struct {
		int tables; // inside the buffer's root, which prints as one more level
		bool formatted;
	} const cases[] = {{62, true}, {63, true}, {64, false}, {5000, false}};
	for (const auto &c : cases) {
		Buf buf;
		nest(buf, c.tables);
		char *text = blobmsg_format_json(buf.b.head, true);
		EXPECT_EQ(text != nullptr, c.formatted) << c.tables;
		if (text) {
			EXPECT_EQ(std::string(text), nested_text(c.tables)) << c.tables;
		}
		free(text);
	}
}

TEST(BlobmsgJsonIn, DepthIsBounded)
{
	// json-c's own parser takes 32 levels; deeper objects are built by hand.
	for (int levels : {63, 64, 1000}) {
		json_object *top = json_object_new_object();
		json_object *cur = top;
		for (int i = 1; i < levels; i++) {
			json_object *next = json_object_new_object();
			json_object_object_add(cur, "n", next);
			cur = next;
		}
		Buf buf;
		EXPECT_EQ(blobmsg_add_object(&buf.b, top), levels <= 64) << levels;
		json_object_put(top);
	}
}

TEST(BlobmsgFormat, ListFlagAndNames)
{
	Buf raw; // blob_buf_init(b, 0): the root is id 0
	blobmsg_add_u32(&raw.b, "a", 1);
	EXPECT_EQ(json(raw.b.head, true), "{\"a\":1}");
	EXPECT_EQ(json(raw.b.head, false), "null");

	Buf msg;
	blobmsg_buf_init(&msg.b);
	blobmsg_add_u32(&msg.b, "a", 1);
	void *arr = blobmsg_open_array(&msg.b, "arr");
	blobmsg_add_u32(&msg.b, "named", 1); // names inside arrays are not printed
	blobmsg_add_u32(&msg.b, nullptr, 2);
	blobmsg_close_array(&msg.b, arr);
	void *tab = blobmsg_open_table(&msg.b, "t");
	blobmsg_add_u32(&msg.b, "a", 1);
	void *anon = blobmsg_open_table(&msg.b, nullptr);
	blobmsg_add_u32(&msg.b, "x", 1);
	blobmsg_close_table(&msg.b, anon);
	blobmsg_add_string(&msg.b, nullptr, "v");
	blobmsg_close_table(&msg.b, tab);
	EXPECT_EQ(json(msg.b.head, false), "{\"a\":1,\"arr\":[1,2],\"t\":{\"a\":1,{\"x\":1},\"v\"}}");

	std::vector<struct blob_attr *> kids;
	struct blob_attr *cur;
	size_t rem;
	blobmsg_for_each_attr(cur, msg.b.head, rem) kids.push_back(cur);
	ASSERT_EQ(kids.size(), 3u);
	EXPECT_EQ(json(kids[0], false), "\"a\":1");
	EXPECT_EQ(json(kids[1], true), "[1,2]");
	EXPECT_EQ(json(kids[1], false), "\"arr\":[1,2]");
	EXPECT_EQ(json(kids[2], true), "{\"a\":1,{\"x\":1},\"v\"}");
	EXPECT_EQ(json(kids[2], false, 0), "\"t\": {\n\t\"a\": 1,\n\t{\n\t\t\"x\": 1\n\t},\n\t\"v\"\n}");
	EXPECT_EQ(take(blobmsg_format_json_value_indent(kids[2], 0)),
	          "{\n\t\"a\": 1,\n\t{\n\t\t\"x\": 1\n\t},\n\t\"v\"\n}");
}

TEST(BlobmsgFormat, InvalidElementIsSkippedAfterItsComma)
{
	Buf buf;
	blobmsg_add_u32(&buf.b, "a", 1);
	const auto bad = hex("85 00 00 0b  00 01 78 00  00 00 01 00"); // int32 of 3 bytes
	blob_put_raw(&buf.b, bad.data(), static_cast<unsigned>(bad.size()));
	blobmsg_add_u32(&buf.b, "b", 2);
	EXPECT_EQ(json(buf.b.head, true), "{\"a\":1,,\"b\":2}");

	// Raw (not extended) members are read by their id; one whose value does not
	// fit is skipped, never read past. Each sits last, right before a guard page.
	const struct {
		const char *bytes;
		const char *out;
	} raw_cases[] = {
	    {"00 00 00 0c | 05 00 00 08 | 00 00 00 07", "{7}"},
	    {"00 00 00 08 | 05 00 00 04", "{}"},            // int32 without its value
	    {"00 00 00 0b | 03 00 00 07 | 61 62 63", "{}"}, // string without its NUL
	    {"00 00 00 0c | 03 00 00 08 | 61 62 63 00", "{\"abc\"}"},
	};
	for (const auto &c : raw_cases) {
		SCOPED_TRACE(c.bytes);
		blobtest::Guarded g(hex(c.bytes));
		EXPECT_EQ(json(g.attr(), true), c.out);
	}
}

const char *int_as_letter(void *priv, struct blob_attr *a)
{
	++*static_cast<int *>(priv);
	return blobmsg_type(a) == BLOBMSG_TYPE_INT32 ? "\"I\"" : nullptr;
}

const char *table_as_letter(void *, struct blob_attr *a)
{
	return blobmsg_type(a) == BLOBMSG_TYPE_TABLE ? "T" : nullptr;
}

TEST(BlobmsgFormat, CallbackReplacesValues)
{
	Buf buf;
	blobmsg_add_u32(&buf.b, "x", 1);
	blobmsg_add_string(&buf.b, "s", "t");
	void *t = blobmsg_open_table(&buf.b, "t");
	blobmsg_add_u32(&buf.b, "y", 2);
	blobmsg_close_table(&buf.b, t);

	int calls = 0;
	EXPECT_EQ(take(blobmsg_format_json_with_cb(buf.b.head, true, int_as_letter, &calls, -1)),
	          "{\"x\":\"I\",\"s\":\"t\",\"t\":{\"y\":\"I\"}}");
	EXPECT_EQ(calls, 4);
	EXPECT_EQ(take(blobmsg_format_json_with_cb(buf.b.head, true, table_as_letter, nullptr, 0)),
	          "{\n\t\"x\": 1,\n\t\"s\": \"t\",\n\t\"t\": T\n}");
	calls = 0;
	EXPECT_EQ(take(blobmsg_format_json_value_with_cb(first_child(buf.b.head), int_as_letter, &calls, -1)),
	          "\"I\"");
}

// ---- JSON into blobmsg ----

TEST(BlobmsgJsonIn, GoldenBytes)
{
	Buf buf;
	ASSERT_TRUE(blobmsg_add_json_from_string(&buf.b, "{\"t\":true,\"z\":null,\"a\":[5]}"));
	EXPECT_EQ(to_hex(bytes_of(buf.b.head)),
	          canon("00 00 00 2c"
	                "87 00 00 09  00 01 74 00  01 00 00 00"
	                "80 00 00 08  00 01 7a 00"
	                "81 00 00 14  00 01 61 00  85 00 00 0c  00 00 00 00  00 00 00 05"));
}

TEST(BlobmsgJsonIn, TypesAndOrder)
{
	Buf buf;
	ASSERT_TRUE(blobmsg_add_json_from_string(
	    &buf.b, "{\"s\":\"x\",\"i\":5,\"n\":-7,\"max\":2147483647,\"min\":-2147483648,"
	            "\"big\":2147483648,\"huge\":4294967296,\"neg\":-2147483649,\"t\":true,\"f\":false,"
	            "\"d\":1.25,\"e\":1e3,\"z\":null,\"o\":{\"a\":[1,\"two\",[],{}],\"k\":{}}}"));

	const std::vector<std::pair<std::string, int>> expect = {
	    {"s", BLOBMSG_TYPE_STRING},   {"i", BLOBMSG_TYPE_INT32},   {"n", BLOBMSG_TYPE_INT32},
	    {"max", BLOBMSG_TYPE_INT32},  {"min", BLOBMSG_TYPE_INT32}, {"big", BLOBMSG_TYPE_INT64},
	    {"huge", BLOBMSG_TYPE_INT64}, {"neg", BLOBMSG_TYPE_INT64}, {"t", BLOBMSG_TYPE_BOOL},
	    {"f", BLOBMSG_TYPE_BOOL},     {"d", BLOBMSG_TYPE_DOUBLE},  {"e", BLOBMSG_TYPE_DOUBLE},
	    {"z", BLOBMSG_TYPE_UNSPEC},   {"o", BLOBMSG_TYPE_TABLE},
	};
	std::vector<std::pair<std::string, int>> got;
	struct blob_attr *cur;
	size_t rem;
	blob_for_each_attr(cur, buf.b.head, rem) got.emplace_back(blobmsg_name(cur), blobmsg_type(cur));
	EXPECT_EQ(got, expect);

	EXPECT_EQ(json(buf.b.head, true),
	          "{\"s\":\"x\",\"i\":5,\"n\":-7,\"max\":2147483647,\"min\":-2147483648,"
	          "\"big\":2147483648,\"huge\":4294967296,\"neg\":-2147483649,\"t\":true,\"f\":false,"
	          "\"d\":1.250000,\"e\":1000.000000,\"z\":null,\"o\":{\"a\":[1,\"two\",[],{}],\"k\":{}}}");
}

TEST(BlobmsgJsonIn, AddsAtTheCurrentLevel)
{
	Buf buf;
	blobmsg_add_string(&buf.b, "pre", "kept");
	void *t = blobmsg_open_table(&buf.b, "outer");
	ASSERT_TRUE(blobmsg_add_json_from_string(&buf.b, "{\"k\":1}"));
	json_object *obj = json_tokener_parse("{\"m\":[true]}");
	ASSERT_TRUE(blobmsg_add_object(&buf.b, obj));
	EXPECT_TRUE(blobmsg_add_json_element(&buf.b, "e",
	                                     json_object_array_get_idx(json_object_object_get(obj, "m"), 0)));
	json_object_put(obj);
	blobmsg_close_table(&buf.b, t);
	EXPECT_EQ(json(buf.b.head, true), "{\"pre\":\"kept\",\"outer\":{\"k\":1,\"m\":[true],\"e\":true}}");
}

TEST(BlobmsgJsonIn, RejectsInvalidOrNonObjectText)
{
	const char *const bad[] = {"",    "   ",   "{", "{\"a\":}", "{a:1}", "{\"a\" 1}", "{\"a\":[1,2}",
	                           "[1]", "\"s\"", "5", "null",     "true"};
	for (const char *text : bad) {
		SCOPED_TRACE(text);
		Buf buf;
		blobmsg_add_u32(&buf.b, "pre", 1);
		const auto before = bytes_of(buf.b.head);
		EXPECT_FALSE(blobmsg_add_json_from_string(&buf.b, text));
		EXPECT_EQ(to_hex(bytes_of(buf.b.head)), to_hex(before));
	}

	Buf buf;
	json_object *arr = json_tokener_parse("[1]");
	EXPECT_FALSE(blobmsg_add_object(&buf.b, arr));
	json_object_put(arr);
	EXPECT_FALSE(blobmsg_add_object(&buf.b, nullptr));
	EXPECT_EQ(blob_len(buf.b.head), 0u);
}

class JsonFiles : public ::testing::Test
{
      protected:
	void SetUp() override
	{
		char tmpl[] = "/tmp/ubox_blob_XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir_ = tmpl;
	}
	void TearDown() override
	{
		for (const auto &f : files_)
			unlink(f.c_str());
		rmdir(dir_.c_str());
	}
	std::string write(const char *name, const std::string &content)
	{
		std::string path = dir_ + "/" + name;
		FILE *f = fopen(path.c_str(), "w");
		EXPECT_NE(f, nullptr);
		if (f) {
			fwrite(content.data(), 1, content.size(), f);
			fclose(f);
		}
		files_.push_back(path);
		return path;
	}
	std::string dir_;
	std::vector<std::string> files_;
};

TEST_F(JsonFiles, LoadsObjectsOnly)
{
	struct FileCase {
		const char *name;
		const char *content; // nullptr: the file does not exist
		bool ok;
		const char *json;
	};
	const FileCase cases[] = {
	    {"valid", "{\"a\":1,\"b\":[\"x\"]}\n", true, "{\"a\":1,\"b\":[\"x\"]}"},
	    {"trailing", "{\"a\":1} trailing text", true, "{\"a\":1}"},
	    {"missing", nullptr, false, "{}"},
	    {"empty", "", false, "{}"},
	    {"invalid", "{\"a\":", false, "{}"},
	    {"array", "[1,2]", false, "{}"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		std::string path = c.content ? write(c.name, c.content) : dir_ + "/" + c.name;
		Buf buf;
		EXPECT_EQ(blobmsg_add_json_from_file(&buf.b, path.c_str()), c.ok);
		EXPECT_EQ(json(buf.b.head, true), c.json);
	}
}

} // namespace
