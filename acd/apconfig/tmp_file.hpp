// The fixed files acd writes in /tmp. Each is written under a temporary name in
// the same folder, created new (O_EXCL, never through a link), and renamed over
// the fixed name once complete: a reader sees the old file or the whole new one,
// and a link planted at the name is replaced, never followed.
#pragma once

#include <cstddef>
#include <cstdio>

#include <sys/types.h>

constexpr size_t AC_TMP_NAME_LEN = 96;

// Opens a new temporary file beside path for writing (mode as for open, before
// the umask); its name goes to tmp. nullptr when none can be created.
FILE *ac_tmp_begin(const char *path, mode_t mode, char tmp[AC_TMP_NAME_LEN]);
// Closes f and renames tmp to path. On any failure the temporary file is
// removed and path stays as it was; returns whether path was replaced.
bool ac_tmp_commit(FILE *f, const char tmp[AC_TMP_NAME_LEN], const char *path);
// The whole file at once.
bool ac_tmp_replace(const char *path, const void *data, size_t len, mode_t mode);
// Opens a file the front end placed, for reading, without waiting: a FIFO at
// the name reads as empty instead of blocking the loop until a writer comes.
FILE *ac_file_read_nowait(const char *path);
// Whether path is a regular file (links followed), found without waiting.
bool ac_file_regular(const char *path);

// Creates path as a new empty regular file for a command to write into (a
// link or anything else at the name is removed first). Returns whether it did.
bool ac_tmp_create_new(const char *path, mode_t mode);
