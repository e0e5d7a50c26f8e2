#pragma once
// What every relmond command shares: fixed paths, the download timeout, the
// routines that run shell commands, the local firmware facts.
#include "text.hpp"

#define RELMOND_DIR "/tmp/relmond/"
#define RELMOND_PROGRESS_FILE RELMOND_DIR "get_fw_progress"
#define RELMOND_OTP_FILE RELMOND_DIR "otp"

// The wget -T value, set once at start-up; download_timeout_arg() gives "5"
// until then (the buffer stays zero-filled, out of the initialised data).
extern char download_timeout[1024];
const char *download_timeout_arg();

// system(): -1 when the shell cannot run or ended by a signal, else its status.
int run_command(const char *cmd);
// 0 when the process exists ("kill -0"), -1 for an ID below 1.
int is_process_alive(int pid);
// The command's output, at most 255 bytes, in a buffer the next call reuses.
char *capture_output(const char *cmd);

// This router's firmware file name; none means the system information value.
const char *local_fw_filename(const char *model, const char *build);
// Last line of /etc/openwrt_version, trimmed; empty when it cannot be read.
const char *installed_version();
// Seconds since boot.
long uptime_seconds();

// "/tmp/relmond/" followed by a file name from the server. False (and
// nothing in path) when the name could lead outside the scratch directory;
// who, when given and the name is not empty, names the routine in a message.
bool scratch_path(Text &path, const char *name, const char *who);

// Messages and reports that the front end reads through a pipe must reach it
// before a child of ours writes to the same pipe.
void flush_output();
