// ac.upgrade: offers firmware or a configuration file to chosen APs (upload
// request), and uploads it by TFTP to each AP that accepts (upload response).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "apconfig/apconfig.hpp"
#include "apconfig/status_record.hpp"
#include "apconfig/upgrade.hpp"
#include "apconfig/upload_codec.hpp"
#include "diag/ac_diag.hpp"
#include "bus/ac_events.hpp"
#include "vex/device_info.hpp"
#include "exec/ac_exec.hpp"
#include "vex/ap_list.hpp"
#include "vex/vex_transport.hpp"

namespace
{
constexpr size_t AC_IP_MATCH_LEN = 15;
constexpr size_t AC_UPLOAD_CMD_LEN = 1024;

uint8_t ac_upload_pkt[VEX_MAX_MSG];
vex_tlv ac_upload_tlvs[AC_UPLOAD_MAX_TLVS + 1];

// A missing file is offered with size 0; the request still goes out.
uint32_t ac_upload_size(const char *path)
{
	struct stat st;
	if (stat(path, &st) != 0 || st.st_size < 0)
		return 0;
	return (unsigned long long)st.st_size > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(st.st_size);
}

// An upload child the loop watches, to announce its end. The child's exit
// status is always 1, so it hands the command's raw result over a pipe.
struct ac_upload_watch {
	struct uloop_process proc;
	int fd; // the pipe's read end
	char ip[16];
	uint8_t mac[6];
	uint8_t kind;
};

void ac_upload_ended(struct uloop_process *p, int)
{
	ac_upload_watch *w = container_of(p, ac_upload_watch, proc);
	int32_t rc;
	if (read(w->fd, &rc, sizeof rc) != ssize_t(sizeof rc))
		rc = -1;
	close(w->fd);
	ac_event_upload(w->mac, w->ip, w->kind, "transfer", rc);
	free(w);
}

// The upload itself, in a child of its own: the daemon goes on at once and
// the loop reaps the child when it ends. resultFd: where the command's raw
// result goes, or -1.
[[noreturn]] void ac_upload_child(const char *ip, uint8_t kind, int resultFd)
{
	uloop_done();
	// The daemon's sockets stay with the daemon: a restarted daemon must be
	// able to bind them while an upload still runs. The result pipe moves to 3
	// and is closed on exec, so the command does not hold it.
	if (resultFd >= 0 && dup2(resultFd, 3) == 3) {
		fcntl(3, F_SETFD, FD_CLOEXEC);
		resultFd = 3;
	} else {
		resultFd = -1;
	}
	ac_exec_close_from(resultFd < 0 ? 3 : 4);
	const char *format;
	const char *statusPath;
	switch (kind) {
	case AP_UPLOAD_FIRMWARE:
		format = "/usr/bin/tftp-hpa %s -m binary -c put " AC_FIRMWARE_FILE " > /dev/null";
		statusPath = AC_FIRMWARE_STATUS_PATH;
		break;
	case AP_UPLOAD_CONFIG:
		format = "/usr/bin/tftp-hpa %s -m binary -c put " AC_CONFIG_FILE " > /dev/null";
		statusPath = AC_CONFIG_STATUS_PATH;
		break;
	default:
		_exit(1);
	}
	if (chdir("/tmp/") != 0)
		_exit(1);
	// ip is the address text formatted from the AP's TLV 4: digits and dots only.
	char cmd[AC_UPLOAD_CMD_LEN];
	snprintf(cmd, sizeof cmd, format, ip);
	int rc = system(cmd);
	ac_status_write(statusPath, ip, rc);
	if (resultFd >= 0 && write(resultFd, &rc, sizeof rc) != ssize_t(sizeof rc)) {
		// the daemon then announces the upload without its result
	}
	_exit(1);
}
} // namespace

int ac_upload_offer(const char *what, struct blob_attr *iplist, const char *password, const char *key)
{
	bool config = ac_upload_is_config(what);
	memset(ac_upload_pkt, 0, sizeof ac_upload_pkt);
	memset(ac_upload_tlvs, 0, sizeof ac_upload_tlvs);
	uint32_t size = ac_upload_size(ac_upload_path(what));
	fprintf(stderr, "[DEBUG]: fw_size = %u \n", size);
	if (!ac_upload_request_tlvs(ac_upload_tlvs, what, password, key, size)) {
		KvVexFreeVexData(ac_upload_tlvs, AC_UPLOAD_MAX_TLVS);
		return UBUS_STATUS_UNKNOWN_ERROR;
	}
	unsigned len = ac_upload_request_data(ac_upload_pkt, sizeof ac_upload_pkt, ac_upload_tlvs);
	KvVexFreeVexData(ac_upload_tlvs, AC_UPLOAD_MAX_TLVS);
	if (!len)
		return UBUS_STATUS_UNKNOWN_ERROR;

	struct blob_attr *cur;
	size_t rem;
	blobmsg_for_each_attr(cur, iplist, rem)
	{
		if (!blobmsg_check_attr(cur, false))
			break;
		if (blobmsg_type(cur) != BLOBMSG_TYPE_STRING)
			continue;
		const char *ip = blobmsg_get_string(cur);
		ap_record *ap;
		list_for_each_entry(ap, &aps, list)
		{
			if (strncmp(ip, ap->ip, AC_IP_MATCH_LEN) != 0)
				continue;
			ap->uploadKind = config ? AP_UPLOAD_CONFIG : AP_UPLOAD_FIRMWARE;
			vex_hdr hdr;
			KvVexFillVexHeaderTo(&hdr, VEX_MSG_UPLOAD_REQ, ap->mac, ac_device_info.mac,
			                     uint32_t(time(nullptr)));
			KvVexGenVexHdr(ac_upload_pkt, sizeof ac_upload_pkt, &hdr);
			char address[sizeof ap->ip];
			memcpy(address, ap->ip, sizeof address);
			vex_send_multicast_pkt(ac_upload_pkt, int(len));
			vex_send_unicast_pkt(ac_upload_pkt, int(len), address);
			ac_diag_upload_offer();
		}
	}
	return UBUS_STATUS_OK;
}

void ac_upgrade_handle_response(const vex_msg *msg)
{
	ap_record *ap = ap_registry_find_mac(&aps, msg->hdr.au1ApMac);
	if (!ap)
		return;
	ac_status_write(AC_PWD_STATUS_PATH, ap->ip, msg->hdr.u2Status);
	ac_event_upload(ap->mac, ap->ip, ap->uploadKind, "offer", msg->hdr.u2Status);
	// A refusal (a wrong password, for one) is only recorded.
	if (msg->hdr.u2Status != 0)
		return;
	// Without a watch the upload still runs; only its end goes unannounced.
	auto *w = static_cast<ac_upload_watch *>(calloc(1, sizeof(ac_upload_watch)));
	int fds[2] = {-1, -1};
	if (w && pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
		free(w);
		w = nullptr;
	}
	pid_t pid = fork();
	if (pid < 0) {
		if (w) {
			close(fds[0]);
			close(fds[1]);
			free(w);
		}
		ac_event_upload(ap->mac, ap->ip, ap->uploadKind, "transfer", -1);
		ap->uploadKind = AP_UPLOAD_NONE;
		return;
	}
	if (pid == 0)
		ac_upload_child(ap->ip, ap->uploadKind, fds[1]);
	if (!w)
		return;
	close(fds[1]);
	w->fd = fds[0];
	memcpy(w->ip, ap->ip, sizeof w->ip);
	memcpy(w->mac, ap->mac, sizeof w->mac);
	w->kind = ap->uploadKind;
	w->proc.pid = pid;
	w->proc.cb = ac_upload_ended;
	uloop_process_add(&w->proc);
}
