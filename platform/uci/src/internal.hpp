// Private parts of the host libuci shared by its source files.
#pragma once

#include <uci.h>

#include <string>
#include <string_view>
#include <vector>

// Where the last parse error happened; printed by uci_perror.
struct uci_parse_context {
	std::string reason;
	std::string file;
	int line = 0;
	int byte = 0;
};

namespace uci_host {

// ---- circular lists ---------------------------------------------------------
void list_init(uci_list *l);
void list_add_tail(uci_list *head, uci_list *n);
void list_insert_before(uci_list *pos, uci_list *n);
void list_del(uci_list *n);

// ---- names ------------------------------------------------------------------
bool valid_name(std::string_view s);     // sections, options: [A-Za-z0-9_]+
bool valid_package(std::string_view s);  // [A-Za-z0-9_-]+
bool valid_type(std::string_view s);     // printable 33..126, non-empty
bool valid_text(std::string_view s);     // no control characters but \t \r \n
std::string anonymous_name(int counter, std::string_view type);

// ---- tree (no delta recording) ----------------------------------------------
uci_package *package_new(uci_context *ctx, const char *name);
void package_free(uci_package *p);
uci_section *section_find(uci_package *p, std::string_view name);
// name empty: anonymous, generated name. Counts the section either way.
uci_section *section_create(uci_package *p, std::string_view name, std::string_view type);
bool section_set_type(uci_section *s, std::string_view type);
void section_free(uci_section *s);
uci_option *option_find(uci_section *s, std::string_view name);
uci_option *option_set_string(uci_section *s, std::string_view name, std::string_view value);
uci_option *option_list_add(uci_section *s, std::string_view name, std::string_view value);
void option_list_del(uci_option *o, std::string_view value);
bool option_list_del_index(uci_option *o, long index);
void option_free(uci_option *o);
bool element_rename(uci_element *e, std::string_view name);
void section_move(uci_section *s, int pos);
uci_delta *delta_new(uci_command cmd, std::string_view section, const char *option, const char *value);
void delta_free(uci_delta *d);
void delta_list_free(uci_list *l);

// ---- text -------------------------------------------------------------------
struct Word {
	std::string text;
	int line = 0;  // 1-based line where the word starts
	int byte = 0;  // 1-based column where the word starts
	size_t begin = 0, end = 0; // raw text span of the word
};

struct Line {
	std::vector<Word> words;
	int line = 0;
	size_t begin = 0, end = 0; // raw text span, end includes the newline
};

struct TokenError {
	std::string reason;
	int line = 0;
	int byte = 0;
};

// Splits text into logical lines of words (quotes and continuations may span
// physical lines). Stops at the first unterminated quote and reports it.
bool tokenize(std::string_view text, std::vector<Line> &lines, TokenError &err);

// Single-quotes a value for config and delta files: ' becomes '\''.
std::string quote(std::string_view v);

// Config file text into p (which is empty). strict: first error fails.
// Bad lines in non-strict mode are reported through perr_cb (may be null).
bool parse_config(uci_package *p, std::string_view text, bool strict, bool allow_package_line,
		  std::string *package_name, TokenError &err,
		  void (*perr_cb)(void *, const TokenError &), void *cb_arg);

// The file text of p (commit, export).
std::string write_config(const uci_package *p, bool header, bool export_names);

// One parsed delta line.
struct DeltaLine {
	uci_command cmd;
	std::string package, section, option, value;
	bool has_option = false, has_value = false;
};
bool parse_delta_word(std::string_view word, DeltaLine &d);
// Applies a delta to p without recording it; false if it does not apply.
bool apply_delta(uci_package *p, const DeltaLine &d);
std::string delta_text(const char *package, const uci_delta *d);

// ---- errors -----------------------------------------------------------------
int set_error(uci_context *ctx, int err, const char *func);
void set_parse_error(uci_context *ctx, const std::string &file, const TokenError &err);

} // namespace uci_host
