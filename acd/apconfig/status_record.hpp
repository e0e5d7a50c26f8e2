// Status records: one 64-byte record per file in /tmp, the text "%s %d" (AP
// address, blank, signed number) padded with zero bytes, no line end. Upload
// responses and upload children write them; the status queries read and
// delete them.
#pragma once

#include <cstdint>

constexpr unsigned AC_STATUS_RECORD_LEN = 64;
constexpr int32_t AC_STATUS_NONE = -2; // no record for the address

#define AC_PWD_STATUS_PATH "/tmp/.pwd_status"
#define AC_FIRMWARE_STATUS_PATH "/tmp/.firmware_status"
#define AC_CONFIG_STATUS_PATH "/tmp/.config_status"

// The record's bytes.
void ac_status_record_format(uint8_t out[AC_STATUS_RECORD_LEN], const char *ip, int32_t number);

// One piece of a status file (text up to its first zero byte). It is the
// record of ip when its first blank-separated word is ip exactly; then
// *status takes its number (left alone when there is none). Returns whether
// it matched.
bool ac_status_piece_match(const char *piece, const char *ip, int32_t *status);

// Rewrites path with one record; a file that cannot be written gets none.
void ac_status_write(const char *path, const char *ip, int32_t number);

// The number recorded for ip in path, or AC_STATUS_NONE; the file is deleted
// either way (a record is handed out once).
int32_t ac_status_take(const char *path, const char *ip);
