// What the update server hands relmond, through its readers: the input read as
// the info file, as the release notes and as the download's progress record,
// in the pieces fgets gives each reader. The values then go where relmond puts
// them: shell words, file names, and json_check's one-line answer, which must
// stay one valid JSON object holding every item as it was.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gw/jsonc.hpp"
#include "json_text.hpp"
#include "server_text.hpp"
#include "text.hpp"

namespace {
[[noreturn]] void broken(const char *what, const std::string &text)
{
	fprintf(stderr, "fuzz_relmond: %s: %s\n", what, text.c_str());
	abort();
}

// Pieces as fgets hands them out with a buffer of `size` bytes.
template <typename F> void each_piece(const std::string &text, size_t size, F f)
{
	std::string copy = text;
	FILE *in = fmemopen(copy.data(), copy.size() ? copy.size() : 1, "r");
	if (!in)
		return;
	std::vector<char> buf(size);
	while (fgets(buf.data(), int(size), in))
		f(buf.data());
	fclose(in);
}

// A single-quoted shell word read back the way sh reads it.
std::string shell_unquote(const char *w)
{
	std::string out;
	bool quoted = false;
	for (const char *p = w; *p; p++) {
		if (*p == '\'') {
			quoted = !quoted;
		} else if (!quoted && *p == '\\' && p[1]) {
			out += *++p;
		} else if (!quoted && (*p == ' ' || *p == '\t' || *p == '\n' || strchr(";&|<>()$`\"*?[#~", *p))) {
			return std::string("\x01unquoted special character");
		} else {
			out += *p;
		}
	}
	return quoted ? std::string("\x01open quote") : out;
}

void check_value(const char *value)
{
	Text q;
	shell_quote(q, value);
	if (shell_unquote(q.c_str()) != value)
		broken("shell word", q.c_str());
	if (fw_name_is_safe(value) &&
	    (!*value || strchr(value, '/') || !strcmp(value, ".") || !strcmp(value, "..")))
		broken("unsafe file name passed", value);
	(void)text_to_int(value);
	long base = url_base_len(value);
	if (base == 0 || base > long(strlen(value)) || (base > 0 && value[base - 1] != '/'))
		broken("URL base", value);
	char name[64];
	fw_filename_compose(value, value, name);
	if (strlen(name) > 63)
		broken("firmware name", name);
	(void)fw_is_newer(value, name, value, "1.0");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string text(reinterpret_cast<const char *>(data), size);

	each_piece(text, INFO_PIECE, [](char *line) {
		char *value = nullptr;
		if (info_line_key(line, &value)) {
			if (!value || value < line || value > line + strlen(line))
				broken("value outside its line", line);
			check_value(value);
		}
	});

	std::vector<std::string> items;
	RelItems rel;
	each_piece(text, REL_PIECE, [&](char *line) {
		if (const char *ver = rel_version_of(line))
			check_value(ver);
		if (const char *item = rel.feed(line))
			items.emplace_back(item);
	});

	// json_check: the notes' items as show_rel prints them, one a line.
	Text out;
	json_check_head(out, "1", items.empty() ? "" : items[0].c_str(), "2024-01-01", "123", 42);
	bool first = true;
	std::vector<std::string> shown;
	for (const std::string &item : items) {
		std::string piece = item + "\n";
		each_piece(piece, REL_PIECE, [&](char *line) {
			char *t = trim_blanks(line);
			shown.emplace_back(t);
			json_check_item(out, first, t);
			first = false;
		});
	}
	out += json_check_tail;
	json_tokener *tok = json_tokener_new();
	json_object *obj = json_tokener_parse_ex(tok, out.c_str(), int(out.size()));
	if (!obj || json_tokener_get_error(tok) != json_tokener_success ||
	    !json_object_is_type(obj, json_type_object))
		broken("json_check answer is not one JSON object", out.c_str());
	json_object *notes = nullptr;
	if (!json_object_object_get_ex(obj, "rel_note", &notes) || !json_object_is_type(notes, json_type_array) ||
	    json_object_array_length(notes) != shown.size())
		broken("json_check notes", out.c_str());
	for (size_t i = 0; i < shown.size(); i++) {
		const char *s = json_object_get_string(json_object_array_get_idx(notes, i));
		if (!s || shown[i] != s)
			broken("a note changed on its way into JSON", out.c_str());
	}
	json_object_put(obj);
	json_tokener_free(tok);

	ProgressScan progress;
	each_piece(text, PROGRESS_PIECE, [&](char *piece) { progress.feed(piece); });
	return 0;
}
