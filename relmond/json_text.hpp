#pragma once
// The one-line JSON answers for the front end, built as text.
#include "text.hpp"

// Appends text as a JSON string: quotes around it, '"', '\\' and control
// characters escaped; everything else (UTF-8 included) as it is.
void json_append_string(Text &out, const char *text);

// Each writer below appends to out.

// The head of json_check's answer, up to and including "\"rel_note\":[".
// otp < 0 means no new firmware: empty otp and notes.
void json_check_head(Text &out, const char *have_newfw, const char *fw_ver, const char *fw_date,
                     const char *fw_size, long otp);
// One release-note item; first tells whether it opens the list.
void json_check_item(Text &out, bool first, const char *item);
constexpr const char json_check_tail[] = "]}";

// json_status's answer. pid < 1: no download; otherwise alive tells whether it
// still runs and validation names the check of a finished one.
void json_status_text(Text &out, int pid, bool alive, int progress, const char *validation);
