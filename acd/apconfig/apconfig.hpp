// The configuration and firmware side, for the bus objects that call it. Each
// function takes arguments already checked against its method's policy.
#pragma once

#include <cstdint>

#include "gw/ubus.hpp"

// Stores config, a table, as the pending settings document. A ubus status.
int ac_settings_store(struct blob_attr *config);
// Writes the export table of the APs in iplist (an array) as the CSV file.
void ac_export_write(struct blob_attr *iplist);
// The export table read back into b (restarted); false when there is no file.
bool ac_export_read(struct blob_buf *b);
// Pushes the pending settings document to every AP in iplist (an array).
void ac_exec_push(struct blob_attr *iplist);
// Offers an upload of what ("firmware" or "config") to the APs in iplist. A ubus status.
int ac_upload_offer(const char *what, struct blob_attr *iplist, const char *password, const char *key);
// Runs the image check for model; the reply follows when the check ends.
int ac_apfw_check_run(const char *model, struct ubus_context *ctx, struct ubus_request_data *req);
// 0 when the configuration file looks encrypted, else 1.
int32_t ac_apcfg_valid();
// The decryption check of the configuration file with key: the shell's status.
int32_t ac_apcfg_key_check(const char *key);
// The upload-status methods of ac.apfw.check and ac.apcfg.check: {"ip": string}.
extern const struct blobmsg_policy ac_status_ip_policy[1];
// Replies {"status": ...} with the record of the message's "ip" in the status
// file at path, which forgets it.
int ac_status_reply(struct ubus_context *ctx, struct ubus_request_data *req, struct blob_attr *msg,
		    const char *path);
