#pragma once
// The server check and the reports on what it found.

// wget's exit status (0 = success), -1 when the URL or destination is empty.
int download_file(const char *url, const char *dest);
// 0 on success, -1 on failure (messages on standard error).
int remote_check();
// 0 when the release notes were downloaded, -1 otherwise.
int get_rel();

void remote_info();
void remote_show_rel();
void remote_json_check();
void remote_pop_otp();
