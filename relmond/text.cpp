#include "text.hpp"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
bool text_is_blank(char c)
{
	return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

// Copies src into a 64-byte buffer, dropping every `drop` character and
// turning letters into capitals when asked.
void text_filter_copy(char (&dst)[64], const char *src, char drop, bool upper)
{
	char cut[64];
	snprintf(cut, sizeof(cut), "%s", src ? src : "");
	size_t n = 0;
	for (const char *p = cut; *p; p++) {
		if (*p == drop)
			continue;
		char c = *p;
		if (upper && c >= 'a' && c <= 'z')
			c = char(c - 'a' + 'A');
		dst[n++] = c;
	}
	dst[n] = '\0';
}
} // namespace

Text::~Text()
{
	free(buf_);
}

Text &Text::append(const char *text, size_t n)
{
	if (len_ + n + 1 > cap_) {
		size_t cap = cap_ ? cap_ : 64;
		while (cap < len_ + n + 1)
			cap *= 2;
		char *p = static_cast<char *>(realloc(buf_, cap));
		if (!p) {
			fputs("relmond: out of memory\n", stderr);
			abort();
		}
		buf_ = p;
		cap_ = cap;
	}
	memcpy(buf_ + len_, text, n);
	len_ += n;
	buf_[len_] = '\0';
	return *this;
}

Text &Text::append(const char *text)
{
	return append(text, strlen(text));
}

void Text::clear()
{
	len_ = 0;
	if (buf_)
		buf_[0] = '\0';
}

char *trim_blanks(char *text)
{
	while (text_is_blank(*text))
		text++;
	char *end = text + strlen(text);
	while (end > text && text_is_blank(end[-1]))
		end--;
	*end = '\0';
	return text;
}

void fw_filename_compose(const char *model, const char *build, char (&out)[64])
{
	char m[64], b[64];
	text_filter_copy(m, model, '-', false);
	text_filter_copy(b, build, '.', true);
	char full[sizeof(m) + sizeof(b) + 8];
	int n = snprintf(full, sizeof(full), "%s_FW%s.bin", m, b);
	size_t keep = n < int(sizeof(out)) ? size_t(n) : sizeof(out) - 1;
	memcpy(out, full, keep);
	out[keep] = '\0';
}

bool fw_is_newer(const char *server_name, const char *local_name, const char *server_ver,
                 const char *installed_ver)
{
	return strcmp(server_name, local_name) > 0 && strcmp(server_ver, installed_ver) > 0;
}

bool fw_name_is_safe(const char *name)
{
	return name && *name && !strchr(name, '/') && strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

void shell_quote(Text &out, const char *text)
{
	out += '\'';
	for (const char *p = text; *p; p++) {
		if (*p == '\'')
			out += "'\\''";
		else
			out += *p;
	}
	out += '\'';
}

int text_to_int(const char *text)
{
	long v = strtol(text, nullptr, 10);
	if (v > INT_MAX)
		return INT_MAX;
	if (v < INT_MIN)
		return INT_MIN;
	return int(v);
}

bool fw_fits(long long size, unsigned long long free_bytes)
{
	if (size <= 0)
		return true;
	return free_bytes >= FW_ROOM_MARGIN && (unsigned long long)size <= free_bytes - FW_ROOM_MARGIN;
}

long url_base_len(const char *url)
{
	const char *slash = strrchr(url, '/');
	return slash ? long(slash - url) + 1 : -1;
}
