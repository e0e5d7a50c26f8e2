// Config and delta file text: word splitting, the config grammar, the writer
// and delta lines. Pure: works on strings and the in-memory tree only.
#include "internal.hpp"

#include <cstdlib>
#include <cstring>

namespace uci_host {

bool tokenize(std::string_view text, std::vector<Line> &lines, TokenError &err)
{
	size_t i = 0;
	const size_t n = text.size();
	int line = 1;
	size_t line_start = 0;

	auto newline = [&](size_t next) {
		line++;
		line_start = next;
	};

	while (i < n) {
		Line l;
		l.line = line;
		l.begin = i;
		for (;;) {
			while (i < n && (text[i] == ' ' || text[i] == '\t'))
				i++;
			if (i >= n)
				break;
			if (text[i] == '\n') {
				i++;
				newline(i);
				break;
			}
			if (text[i] == '#') {
				while (i < n && text[i] != '\n')
					i++;
				continue;
			}

			Word w;
			w.line = line;
			w.byte = int(i - line_start) + 1;
			w.begin = i;
			bool done = false;
			while (i < n && !done) {
				char c = text[i];
				switch (c) {
				case ' ':
				case '\t':
				case '\n':
				case '#':
					done = true;
					break;
				case '\'': {
					int qline = line, qbyte = int(i - line_start) + 1;
					i++;
					while (i < n && text[i] != '\'') {
						if (text[i] == '\n')
							newline(i + 1);
						w.text += text[i++];
					}
					if (i >= n) {
						err = {"unterminated '", qline, qbyte};
						return false;
					}
					i++;
					break;
				}
				case '"': {
					int qline = line, qbyte = int(i - line_start) + 1;
					i++;
					while (i < n && text[i] != '"') {
						if (text[i] == '\\' && i + 1 < n) {
							if (text[i + 1] == '\n') {
								i += 2;
								newline(i);
							} else {
								w.text += text[i + 1];
								i += 2;
							}
							continue;
						}
						if (text[i] == '\\') { // backslash at the very end
							i++;
							continue;
						}
						if (text[i] == '\n')
							newline(i + 1);
						w.text += text[i++];
					}
					if (i >= n) {
						err = {"unterminated \"", qline, qbyte};
						return false;
					}
					i++;
					break;
				}
				case '\\':
					if (i + 1 >= n) {
						i++;
					} else if (text[i + 1] == '\n') {
						i += 2;
						newline(i);
					} else {
						w.text += text[i + 1];
						i += 2;
					}
					break;
				default:
					w.text += c;
					i++;
				}
			}
			w.end = i;
			l.words.push_back(std::move(w));
		}
		l.end = i;
		if (!l.words.empty())
			lines.push_back(std::move(l));
	}
	return true;
}

std::string quote(std::string_view v)
{
	std::string out = "'";
	for (char c : v) {
		if (c == '\'')
			out += "'\\''";
		else
			out += c;
	}
	out += '\'';
	return out;
}

namespace {

enum class Keyword { none, package, config, option, list };

Keyword keyword(const std::string &w)
{
	if (w == "package" || w == "p")
		return Keyword::package;
	if (w == "config" || w == "c")
		return Keyword::config;
	if (w == "option" || w == "o")
		return Keyword::option;
	if (w == "list" || w == "l")
		return Keyword::list;
	return Keyword::none;
}

// One config line into p. Returns false with err set on a bad line.
bool config_line(uci_package *p, const Line &l, bool strict, bool allow_package_line,
		 std::string *package_name, uci_section *&cur, TokenError &err)
{
	const auto &w = l.words;
	auto fail = [&](const char *reason, size_t word) {
		const Word &at = w[word < w.size() ? word : w.size() - 1];
		err = {reason, at.line, at.byte};
		return false;
	};
	// Extra words are an error only in strict mode; otherwise ignored.
	auto too_many = [&](size_t max) { return strict && w.size() > max; };

	switch (keyword(w[0].text)) {
	case Keyword::package:
		if (!allow_package_line)
			return true;
		if (w.size() < 2 || !valid_package(w[1].text))
			return fail("invalid package name", 1);
		if (too_many(2))
			return fail("too many arguments", 2);
		if (package_name)
			*package_name = w[1].text;
		return true;

	case Keyword::config: {
		if (w.size() < 2 || !valid_type(w[1].text))
			return fail("invalid character in type field", 1);
		std::string name = w.size() > 2 ? w[2].text : std::string();
		if (!name.empty() && !valid_name(name))
			return fail("invalid character in name field", 2);
		if (too_many(3))
			return fail("too many arguments", 3);
		uci_section *s = name.empty() ? nullptr : section_find(p, name);
		if (s) {
			if (strcmp(s->type, w[1].text.c_str()) != 0) {
				if (strict)
					return fail("section of a different type already exists", 1);
				if (!section_set_type(s, w[1].text))
					return fail("out of memory", 0);
			}
		} else {
			s = section_create(p, name, w[1].text);
			if (!s)
				return fail("out of memory", 0);
		}
		cur = s;
		return true;
	}

	case Keyword::option:
	case Keyword::list: {
		bool is_list = keyword(w[0].text) == Keyword::list;
		if (!cur)
			return fail("option/list before the first section", 0);
		if (w.size() < 2 || !valid_name(w[1].text))
			return fail("invalid character in name field", 1);
		if (too_many(3))
			return fail("too many arguments", 3);
		if (w.size() < 3)
			return true;
		const std::string &value = w[2].text;
		uci_option *o;
		if (is_list)
			o = option_list_add(cur, w[1].text, value);
		else if (value.empty())
			return true; // an empty option creates nothing
		else
			o = option_set_string(cur, w[1].text, value);
		if (!o)
			return fail("out of memory", 0);
		return true;
	}

	case Keyword::none:
		break;
	}
	return fail("invalid command", 0);
}

} // namespace

bool parse_config(uci_package *p, std::string_view text, bool strict, bool allow_package_line,
		  std::string *package_name, TokenError &err,
		  void (*perr_cb)(void *, const TokenError &), void *cb_arg)
{
	std::vector<Line> lines;
	TokenError terr;
	// The lines before an unterminated quote come first: in strict mode an
	// error among them is the one reported.
	bool tok_ok = tokenize(text, lines, terr);
	uci_section *cur = nullptr;
	for (const Line &l : lines) {
		TokenError lerr;
		if (config_line(p, l, strict, allow_package_line, package_name, cur, lerr))
			continue;
		if (strict) {
			err = lerr;
			return false;
		}
		if (perr_cb)
			perr_cb(cb_arg, lerr);
	}
	if (!tok_ok && strict) {
		err = terr;
		return false;
	}
	if (!tok_ok && perr_cb)
		perr_cb(cb_arg, terr);
	return true;
}

std::string write_config(const uci_package *p, bool header, bool export_names)
{
	std::string out;
	if (header) {
		out += "package ";
		out += p->e.name;
		out += '\n';
	}
	uci_element *se;
	uci_foreach_element(&p->sections, se) {
		uci_section *s = uci_to_section(se);
		out += "\nconfig ";
		// A type holding a character the reader treats specially is quoted,
		// or the file would not read back (or not at all).
		if (std::string_view(s->type).find_first_of("#'\"\\") == std::string_view::npos)
			out += s->type;
		else
			out += quote(s->type);
		if (!s->anonymous || export_names) {
			out += ' ';
			out += quote(s->e.name);
		}
		out += '\n';
		uci_element *oe;
		uci_foreach_element(&s->options, oe) {
			uci_option *o = uci_to_option(oe);
			if (o->type == UCI_TYPE_STRING) {
				out += "\toption ";
				out += o->e.name;
				out += ' ';
				out += quote(o->v.string);
				out += '\n';
				continue;
			}
			uci_element *ie;
			uci_foreach_element(&o->v.list, ie) {
				out += "\tlist ";
				out += o->e.name;
				out += ' ';
				out += quote(ie->name);
				out += '\n';
			}
		}
	}
	out += '\n';
	return out;
}

namespace {

bool is_index(const std::string &v)
{
	if (v.empty())
		return false;
	size_t i = (v[0] == '-') ? 1 : 0;
	if (i == v.size())
		return false;
	for (; i < v.size(); i++)
		if (v[i] < '0' || v[i] > '9')
			return false;
	return true;
}

} // namespace

bool parse_delta_word(std::string_view word, DeltaLine &d)
{
	d = DeltaLine();
	if (word.empty())
		return false;
	switch (word[0]) {
	case '+': d.cmd = UCI_CMD_ADD; break;
	case '-': d.cmd = UCI_CMD_REMOVE; break;
	case '@': d.cmd = UCI_CMD_RENAME; break;
	case '^': d.cmd = UCI_CMD_REORDER; break;
	case '|': d.cmd = UCI_CMD_LIST_ADD; break;
	case '~': d.cmd = UCI_CMD_LIST_DEL; break;
	default: d.cmd = UCI_CMD_CHANGE; break;
	}
	if (d.cmd != UCI_CMD_CHANGE)
		word.remove_prefix(1);

	std::string_view key = word;
	size_t eq = word.find('=');
	if (eq != std::string_view::npos) {
		key = word.substr(0, eq);
		d.value = std::string(word.substr(eq + 1));
		d.has_value = true;
	}
	std::string_view parts[3];
	size_t count = 0;
	while (true) {
		size_t dot = key.find('.');
		if (count == 3)
			return false;
		parts[count++] = key.substr(0, dot);
		if (dot == std::string_view::npos)
			break;
		key.remove_prefix(dot + 1);
	}
	if (count < 2 || !valid_package(parts[0]) || !valid_name(parts[1]))
		return false;
	d.package = std::string(parts[0]);
	d.section = std::string(parts[1]);
	if (count == 3) {
		if (!valid_name(parts[2]))
			return false;
		d.option = std::string(parts[2]);
		d.has_option = true;
	}

	switch (d.cmd) {
	case UCI_CMD_REMOVE:
		return true;
	case UCI_CMD_ADD:
		return d.has_value && !d.has_option && valid_type(d.value);
	case UCI_CMD_CHANGE:
		return d.has_value && (d.has_option || valid_type(d.value));
	case UCI_CMD_RENAME:
		return d.has_value && valid_name(d.value);
	case UCI_CMD_REORDER:
		return d.has_value && !d.has_option && is_index(d.value);
	case UCI_CMD_LIST_ADD:
	case UCI_CMD_LIST_DEL:
		return d.has_value && d.has_option;
	}
	return false;
}

bool apply_delta(uci_package *p, const DeltaLine &d)
{
	uci_section *s = section_find(p, d.section);
	uci_option *o = (s && d.has_option) ? option_find(s, d.option) : nullptr;

	switch (d.cmd) {
	case UCI_CMD_CHANGE:
		if (d.has_option) {
			if (!s)
				return false;
			if (d.value.empty()) {
				if (o)
					option_free(o);
				return true;
			}
			return option_set_string(s, d.option, d.value) != nullptr;
		}
		if (s)
			return section_set_type(s, d.value);
		return section_create(p, d.section, d.value) != nullptr;

	case UCI_CMD_ADD:
		if (s) {
			if (!section_set_type(s, d.value))
				return false;
		} else {
			s = section_create(p, d.section, d.value);
			if (!s)
				return false;
		}
		s->anonymous = true;
		return true;

	case UCI_CMD_REMOVE:
		if (!s)
			return false;
		if (!d.has_option) {
			section_free(s);
			return true;
		}
		if (!o)
			return false;
		if (d.has_value && o->type == UCI_TYPE_LIST && is_index(d.value))
			return option_list_del_index(o, strtol(d.value.c_str(), nullptr, 10));
		option_free(o);
		return true;

	case UCI_CMD_RENAME:
		if (!s)
			return false;
		if (d.has_option) {
			if (!o || option_find(s, d.value))
				return false;
			return element_rename(&o->e, d.value);
		}
		if (section_find(p, d.value))
			return false;
		if (!element_rename(&s->e, d.value))
			return false;
		s->anonymous = false;
		return true;

	case UCI_CMD_REORDER:
		if (!s)
			return false;
		section_move(s, int(strtol(d.value.c_str(), nullptr, 10)));
		return true;

	case UCI_CMD_LIST_ADD:
		if (!s)
			return false;
		return option_list_add(s, d.option, d.value) != nullptr;

	case UCI_CMD_LIST_DEL:
		if (!o || o->type != UCI_TYPE_LIST)
			return false;
		option_list_del(o, d.value);
		return true;
	}
	return false;
}

std::string delta_text(const char *package, const uci_delta *d)
{
	std::string out;
	switch (d->cmd) {
	case UCI_CMD_ADD: out += '+'; break;
	case UCI_CMD_REMOVE: out += '-'; break;
	case UCI_CMD_RENAME: out += '@'; break;
	case UCI_CMD_REORDER: out += '^'; break;
	case UCI_CMD_LIST_ADD: out += '|'; break;
	case UCI_CMD_LIST_DEL: out += '~'; break;
	case UCI_CMD_CHANGE: break;
	}
	out += package;
	out += '.';
	out += d->section;
	if (d->e.name) {
		out += '.';
		out += d->e.name;
	}
	if (d->value) {
		out += '=';
		out += quote(d->value);
	}
	out += '\n';
	return out;
}

} // namespace uci_host
