#include "server_text.hpp"

#include <cstdlib>
#include <cstring>

#include "text.hpp"

namespace
{
struct InfoKey {
	const char *prefix;
	const char *state_key;
};

constexpr InfoKey info_keys[] = {
    {"filename:", "relmond.remote.fw_filename"},
    {"date:", "relmond.remote.fw_date"},
    {"md5:", "relmond.remote.fw_md5"},
    {"size:", "relmond.remote.fw_size"},
    {"release notes:", "relmond.remote.rel_filename"},
};

bool text_starts(const char *text, const char *prefix)
{
	return strncmp(text, prefix, strlen(prefix)) == 0;
}

void cut_trailing_blanks(char *line)
{
	size_t n = strlen(line);
	while (n > 0 &&
	       (line[n - 1] == '\t' || line[n - 1] == '\n' || line[n - 1] == '\r' || line[n - 1] == ' '))
		n--;
	line[n] = '\0';
}
} // namespace

const char *info_line_key(char *line, char **value)
{
	for (const InfoKey &k : info_keys) {
		if (text_starts(line, k.prefix)) {
			*value = trim_blanks(line + strlen(k.prefix));
			return k.state_key;
		}
	}
	return nullptr;
}

const char *rel_version_of(char *line)
{
	static const char key[] = "Firmware Version:";
	if (!text_starts(line, key))
		return nullptr;
	return trim_blanks(line + sizeof(key) - 1);
}

const char *RelItems::feed(char *line)
{
	if (!marker_seen) {
		if (text_starts(line, "---"))
			marker_seen = true;
		return nullptr;
	}
	cut_trailing_blanks(line);
	return line[0] == '-' ? line : nullptr;
}

void ProgressScan::feed(const char *piece)
{
	if (at_line_start && piece[0] >= '0' && piece[0] <= '9')
		value = text_to_int(piece);
	size_t n = strlen(piece);
	at_line_start = n > 0 && piece[n - 1] == '\n';
}
