// ac.apfw.check and ac.apcfg.check: checks of the image and the configuration
// file before an upload, and the upload status records.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "apconfig/apconfig_methods.hpp"
#include "apconfig/status_record.hpp"
#include "apconfig/tmp_file.hpp"
#include "apconfig/upload_codec.hpp"
#include "core/ac_reply.hpp"
#include "core/ac_ubus_policy.hpp"
#include "exec/ac_exec.hpp"

#define AC_CFG_MARKER "U2FsdGVkX1" // Base64 of OpenSSL's "Salted__"
#define AC_KEY_CHECK_OUT "/tmp/.ckeck-key.tar.gz"
#define AC_KEY_CHECK_HEAD                                                                                    \
	"openssl enc -base64 -d -in " AC_CONFIG_PATH " | openssl enc -aes-256-cbc -d -pass pass:"
#define AC_KEY_CHECK_TAIL " > " AC_KEY_CHECK_OUT

namespace
{
constexpr size_t AC_CFG_LINE_LEN = 1024;

enum { KEY_CHECK_KEY, __KEY_CHECK_MAX };
const struct blobmsg_policy key_check_policy[__KEY_CHECK_MAX] = {
    [KEY_CHECK_KEY] = {"key", BLOBMSG_TYPE_STRING},
};

int ac_reply_status(struct ubus_context *ctx, struct ubus_request_data *req, int32_t status)
{
	blob_buf_init(&ac_reply_buf, 0);
	blobmsg_add_u32(&ac_reply_buf, "status", uint32_t(status));
	return ac_reply_send(ctx, req);
}

int ac_status_query(struct ubus_context *ctx, struct ubus_request_data *req, struct blob_attr *msg,
                    const char *path)
{
	struct blob_attr *tb[__STATUS_MAX];
	blobmsg_parse(status_ip_policy, __STATUS_MAX, tb, blob_data(msg), blob_len(msg));
	if (!tb[STATUS_IP] || blobmsg_type(tb[STATUS_IP]) != BLOBMSG_TYPE_STRING)
		return UBUS_STATUS_INVALID_ARGUMENT;
	return ac_reply_status(ctx, req, ac_status_take(path, blobmsg_get_string(tb[STATUS_IP])));
}

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

int ac_apfw_check(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req, const char *,
                  struct blob_attr *msg)
{
	struct blob_attr *tb[__APFW_CHECK_MAX];
	blobmsg_parse(apfw_check_policy, __APFW_CHECK_MAX, tb, blob_data(msg), blob_len(msg));
	if (!tb[APFW_CHECK_MODEL] || blobmsg_type(tb[APFW_CHECK_MODEL]) != BLOBMSG_TYPE_STRING)
		return UBUS_STATUS_INVALID_ARGUMENT;
	const char *argv[] = {"apfw_check", AC_FIRMWARE_PATH, blobmsg_get_string(tb[APFW_CHECK_MODEL]),
	                      nullptr};
	return ac_exec(argv, nullptr, nullptr, nullptr, nullptr, nullptr, ctx, req);
}

int ac_apfw_upload_status(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
                          const char *, struct blob_attr *msg)
{
	return ac_status_query(ctx, req, msg, AC_FIRMWARE_STATUS_PATH);
}

int ac_apfw_pwd_status(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
                       const char *, struct blob_attr *msg)
{
	return ac_status_query(ctx, req, msg, AC_PWD_STATUS_PATH);
}

int ac_apcfg_valid_check(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
                         const char *, struct blob_attr *)
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
	return ac_reply_status(ctx, req, status);
}

int ac_apcfg_enc_key_check(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
                           const char *, struct blob_attr *msg)
{
	struct blob_attr *tb[__KEY_CHECK_MAX];
	blobmsg_parse(key_check_policy, __KEY_CHECK_MAX, tb, blob_data(msg), blob_len(msg));
	if (!tb[KEY_CHECK_KEY] || blobmsg_type(tb[KEY_CHECK_KEY]) != BLOBMSG_TYPE_STRING)
		return UBUS_STATUS_INVALID_ARGUMENT;
	char *cmd = ac_key_check_command(blobmsg_get_string(tb[KEY_CHECK_KEY]));
	// The shell's redirection follows links: it gets a fresh file of ours to
	// write into, which nobody else may replace in the sticky /tmp.
	int32_t status = cmd && ac_tmp_create_new(AC_KEY_CHECK_OUT, 0600) ? system(cmd) : -1;
	free(cmd);
	// The decrypted file is only a test result: never leave it behind.
	unlink(AC_KEY_CHECK_OUT);
	return ac_reply_status(ctx, req, status);
}

int ac_apcfg_upload_status(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
                           const char *, struct blob_attr *msg)
{
	return ac_status_query(ctx, req, msg, AC_CONFIG_STATUS_PATH);
}

int ac_apcfg_pwd_status(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
                        const char *, struct blob_attr *msg)
{
	return ac_status_query(ctx, req, msg, AC_PWD_STATUS_PATH);
}
