#pragma once
// Small text routines of the update tool: no files, no processes, no store.
#include <cstddef>

// A growable text on the C heap for command lines and JSON answers, whose
// sizes vary: std::string would pull the C++ runtime library in through its
// out-of-line members. Always NUL-terminated; running out of memory aborts.
class Text
{
      public:
	Text() = default;
	explicit Text(const char *text) { append(text); }
	Text(const Text &) = delete;
	Text &operator=(const Text &) = delete;
	~Text();

	Text &append(const char *text, size_t n);
	Text &append(const char *text);
	Text &operator+=(const char *text) { return append(text); }
	Text &operator+=(char c) { return append(&c, 1); }
	void clear();
	const char *c_str() const { return buf_ ? buf_ : ""; }
	size_t size() const { return len_; }

      private:
	char *buf_ = nullptr;
	size_t len_ = 0;
	size_t cap_ = 0;
};

// Cuts tab, line feed, carriage return and space from both ends, in place.
char *trim_blanks(char *text);

// The firmware file name a router with this model number and build would
// carry: hyphens dropped from the model, points dropped from the build and its
// letters in capitals, "%s_FW%s.bin". Each input is cut at 63 characters and
// the result at 63 (out holds 64 bytes).
void fw_filename_compose(const char *model, const char *build, char (&out)[64]);

// The server's firmware counts as newer only when both its file name and its
// version sort after ours, byte by byte.
bool fw_is_newer(const char *server_name, const char *local_name, const char *server_ver,
                 const char *installed_ver);

// A file name from the server may only name a file inside the scratch
// directory: not empty, no "/", not "." or "..".
bool fw_name_is_safe(const char *name);

// Appends text as one single-quoted shell word.
void shell_quote(Text &out, const char *text);

// atoi's reading (leading blanks, sign, digits; 0 when none) without its
// undefined overflow: the result is clamped to int.
int text_to_int(const char *text);

// Room the scratch filesystem must keep beside an announced firmware image:
// its signature, the progress record and whatever else lives in the same RAM.
constexpr unsigned long long FW_ROOM_MARGIN = 1024 * 1024;

// Whether an image of the announced size fits into free_bytes with the margin
// to spare. A size of 0 or below (empty, not a number) is not judged here.
bool fw_fits(long long size, unsigned long long free_bytes);

// Length of the base URL (up to and including the last "/"), or -1 when the
// URL holds no "/".
long url_base_len(const char *url);
