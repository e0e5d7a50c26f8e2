// Checks of the image and the configuration file before an upload, and the
// upload status records.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "apconfig/apconfig.hpp"
#include "apconfig/status_record.hpp"
#include "apconfig/tmp_file.hpp"
#include "apconfig/upload_codec.hpp"
#include "bus/ac_handler.hpp"
#include "bus/ac_reply.hpp"
#include "exec/ac_exec.hpp"

#define AC_CFG_MARKER "U2FsdGVkX1" // Base64 of OpenSSL's "Salted__"
#define AC_KEY_CHECK_OUT "/tmp/.ckeck-key.tar.gz"
#define AC_KEY_CHECK_HEAD                                                                                    \
	"openssl enc -base64 -d -in " AC_CONFIG_PATH " | openssl enc -aes-256-cbc -d -pass pass:"
#define AC_KEY_CHECK_TAIL " > " AC_KEY_CHECK_OUT

namespace
{
constexpr size_t AC_CFG_LINE_LEN = 1024;

// The key as one single-quoted shell word: every byte stands for itself, so
// whatever the caller sends reaches openssl unchanged and nothing else runs.
// The whole command is sized to fit; a cut command line could lose its
// quoting or its redirection.
char *ac_key_check_command(const char *key)
{
	size_t quoted = 2;
	for (const char *p = key; *p; p++)
		quoted += *p == '\'' ? 4 : 1;
	size_t len = sizeof AC_KEY_CHECK_HEAD - 1 + quoted + sizeof AC_KEY_CHECK_TAIL - 1;
	auto *cmd = static_cast<char *>(malloc(len + 1));
	if (!cmd)
		return nullptr;
	char *out = cmd;
	memcpy(out, AC_KEY_CHECK_HEAD, sizeof AC_KEY_CHECK_HEAD - 1);
	out += sizeof AC_KEY_CHECK_HEAD - 1;
	*out++ = '\'';
	for (const char *p = key; *p; p++) {
		if (*p == '\'') {
			memcpy(out, "'\\''", 4);
			out += 4;
		} else {
			*out++ = *p;
		}
	}
	*out++ = '\'';
	memcpy(out, AC_KEY_CHECK_TAIL, sizeof AC_KEY_CHECK_TAIL);
	return cmd;
}
} // namespace

int ac_apfw_check_run(const char *model, struct ubus_context *ctx, struct ubus_request_data *req)
{
	const char *argv[] = {"apfw_check", AC_FIRMWARE_PATH, model, nullptr};
	return ac_exec(argv, nullptr, nullptr, nullptr, nullptr, nullptr, ctx, req);
}

int32_t ac_apcfg_valid()
{
	int32_t status = 1;
	FILE *f = ac_file_read_nowait(AC_CONFIG_PATH);
	if (f) {
		char line[AC_CFG_LINE_LEN];
		while (fgets(line, sizeof line, f))
			if (strstr(line, AC_CFG_MARKER))
				status = 0;
		fclose(f);
	}
	return status;
}

int32_t ac_apcfg_key_check(const char *key)
{
	char *cmd = ac_key_check_command(key);
	// The shell's redirection follows links: it gets a fresh file of ours to
	// write into, which nobody else may replace in the sticky /tmp.
	int32_t status = cmd && ac_tmp_create_new(AC_KEY_CHECK_OUT, 0600) ? system(cmd) : -1;
	free(cmd);
	// The decrypted file is only a test result: never leave it behind.
	unlink(AC_KEY_CHECK_OUT);
	return status;
}

const struct blobmsg_policy ac_status_ip_policy[1] = {
	{"ip", BLOBMSG_TYPE_STRING},
};

int ac_status_reply(struct ubus_context *ctx, struct ubus_request_data *req, struct blob_attr *msg,
		    const char *path)
{
	const char *ip = ac_arg_string(ac_status_ip_policy, msg);
	if (!ip)
		return UBUS_STATUS_INVALID_ARGUMENT;
	return ac_reply_status(ctx, req, ac_status_take(path, ip));
}
