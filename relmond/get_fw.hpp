#pragma once
// The background firmware download, its status and the firmware validation.

enum fw_validation {
	FW_UNKNOWN_ERROR = -1,
	FW_OK = 0,
	FW_SIZE_ERROR = 1,
	FW_MD5_ERROR = 2,
};

const char *fw_validation_name(int code);

// The process ID of the started download, or -1.
int async_download_file(const char *url, const char *dest, const char *progress_file);
// Checks a firmware file against the stored size and MD5 digest.
int validate_fw(const char *path);
// validate_fw on the stored firmware file name; unknown for an unsafe name.
int validate_stored_fw();

int get_fw_start();
void get_fw_stop();
void get_fw_status();
void get_fw_json_status();
void get_fw_json_start();
