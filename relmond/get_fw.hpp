#pragma once
// The background firmware download, its status and the firmware validation.

enum fw_validation {
	FW_UNKNOWN_ERROR = -1,
	FW_OK = 0,
	FW_SIZE_ERROR = 1,
	FW_MD5_ERROR = 2,
	FW_SIGN_ERROR = 3,
};

const char *fw_validation_name(int code);

// The process ID of the started download, or -1. With sign set, the
// signature (url and dest followed by ".sig") is fetched after the image.
int async_download_file(const char *url, const char *dest, const char *progress_file, bool sign = false);
// Checks a firmware file against the stored size and MD5 digest, and with a
// public key configured its signature beside it.
int validate_fw(const char *path);
// validate_fw on the stored firmware file name; unknown for an unsafe name.
int validate_stored_fw();

int get_fw_start();
void get_fw_stop();
void get_fw_status();
void get_fw_json_status();
void get_fw_json_start();
