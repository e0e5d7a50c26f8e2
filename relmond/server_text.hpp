#pragma once
// Readers of the texts the update server hands us (info file, release notes)
// and of the download's progress record; line by line, no files opened here.
#include <cstddef>

// Pieces are read with fgets into buffers of these sizes.
constexpr size_t INFO_PIECE = 127;    // info file: 126 characters
constexpr size_t REL_PIECE = 255;     // release notes and show_rel output: 254
constexpr size_t PROGRESS_PIECE = 63; // progress record: 62

// One piece of the info file. Returns the state key it sets and points value
// at the trimmed rest of the line (inside line), or returns nullptr.
const char *info_line_key(char *line, char **value);

// One piece of the release notes: the trimmed version text of a
// "Firmware Version:" line, or nullptr.
const char *rel_version_of(char *line);

// Walks the release notes for items: everything after the first "---" line
// that starts with "-", trailing blanks cut.
struct RelItems {
	bool marker_seen = false;
	// Returns the item text (inside line), or nullptr for a line that is none.
	const char *feed(char *line);
};

// The progress of the download: the leading number of the last line that
// starts with a digit. The recorder writes its own start and end lines around
// the percentages; they are passed over, and so is the tail of a line longer
// than a piece.
struct ProgressScan {
	int value = 0;
	bool at_line_start = true;
	void feed(const char *piece);
};
