// Uploads (type 10): an AP answers an upload request addressed to its MAC with
// an upload response (type 11) whose status accepts (0) or refuses the offer.
// An AP that accepts runs a real TFTP server (Debian's in.tftpd, listening on
// the AP's own address, port 69), which stores what the controller puts into
// the AP's TFTP folder.
//
// Per-AP configuration keys (set with the "set" control command):
//   "password":         the AP's password; a request whose TLV 9 differs is
//                       refused with "password_refusal" (default 1). Without
//                       it any password is accepted.
//   "upload_status":    a refusal code given to every request (default 0: no).
//   "tftp":             false: accept without running a TFTP server, so the
//                       transfer fails (default true).
//   "tftp_dir":         the TFTP folder (default "/tmp/apsim-tftp/<address>").
// The multicast and unicast copies of one request carry one sequence number:
// the AP answers the first copy only and logs the second as a duplicate.
//
// Control command {"cmd":"uploads","ap":SEL,"clear":b}: the requests the AP
// took as addressed to it, oldest first, each {"t", "via", "seq", "duplicate",
// "answered" (status or null), "tlvs" [{type, len, value (hex)}], "password",
// "offer", "key" (or null), "file", "size" (or null), "mask" [4 words] or null},
// and "tftp_dir" and "tftp" (whether its server runs).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <fstream>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "apsim.hpp"

namespace apsim
{
namespace
{
constexpr const char *TFTPD = "/usr/sbin/in.tftpd";
constexpr int TFTPD_READY_MS = 3000;

struct UploadState {
	std::deque<json_object *> log;
	bool seen = false;
	uint16_t last_seq = 0;
	pid_t tftpd = -1;
	~UploadState()
	{
		for (json_object *e : log)
			json_object_put(e);
	}
};

// Every server started, so none outlives the simulator.
struct Servers {
	std::vector<pid_t> pids;
	~Servers()
	{
		for (pid_t p : pids)
			kill(p, SIGTERM);
		for (pid_t p : pids)
			waitpid(p, nullptr, 0);
	}
};
Servers servers;

std::shared_ptr<UploadState> upload_state(Ap &ap)
{
	auto it = ap.ext.find("uploads");
	if (it != ap.ext.end())
		if (auto *p = std::any_cast<std::shared_ptr<UploadState>>(&it->second))
			return *p;
	auto s = std::make_shared<UploadState>();
	ap.ext["uploads"] = s;
	return s;
}

std::string tftp_dir(const Ap &ap)
{
	const char *d = jstr(ap.conf, "tftp_dir");
	return d ? d : "/tmp/apsim-tftp/" + ap.ip_str();
}

bool make_dirs(const std::string &path)
{
	for (size_t pos = 1; pos != std::string::npos;) {
		pos = path.find('/', pos + 1);
		std::string part = path.substr(0, pos);
		if (mkdir(part.c_str(), 0777) < 0 && errno != EEXIST)
			return false;
	}
	// The server writes as "nobody".
	return chmod(path.c_str(), 0777) == 0;
}

// Whether something listens on the address's UDP port 69 (this netns).
bool udp_bound(in_addr a)
{
	char want[32];
	snprintf(want, sizeof want, "%08X:0045", a.s_addr);
	std::ifstream f("/proc/net/udp");
	std::string line;
	while (std::getline(f, line))
		if (line.find(want) != std::string::npos)
			return true;
	return false;
}

bool tftpd_running(UploadState &st)
{
	if (st.tftpd <= 0)
		return false;
	if (waitpid(st.tftpd, nullptr, WNOHANG) == 0)
		return true;
	auto &p = servers.pids;
	p.erase(std::remove(p.begin(), p.end(), st.tftpd), p.end());
	st.tftpd = -1;
	return false;
}

// Starts the AP's TFTP server if it is not running, and waits until it listens.
bool ensure_server(Ap &ap, UploadState &st, std::string &err)
{
	if (tftpd_running(st))
		return true;
	std::string dir = tftp_dir(ap);
	if (!make_dirs(dir)) {
		err = "cannot make " + dir + ": " + strerror(errno);
		return false;
	}
	std::string address = ap.ip_str() + ":69";
	pid_t pid = fork();
	if (pid == 0) {
		execl(TFTPD, TFTPD, "-L", "-4", "-c", "-a", address.c_str(), "-s", dir.c_str(),
		      static_cast<char *>(nullptr));
		_exit(127);
	}
	if (pid < 0) {
		err = std::string("fork: ") + strerror(errno);
		return false;
	}
	st.tftpd = pid;
	servers.pids.push_back(pid);
	for (uint64_t end = now_ms() + TFTPD_READY_MS; now_ms() < end; usleep(5000)) {
		if (udp_bound(ap.ip))
			return true;
		if (!tftpd_running(st)) {
			err = "in.tftpd exited at start";
			return false;
		}
	}
	err = "in.tftpd does not listen on " + address;
	return false;
}

json_object *text_or_null(const vex_tlv *t)
{
	return t ? json_object_new_string_len(reinterpret_cast<const char *>(t->pu1Value), int(t->u2Len))
	         : nullptr;
}

const vex_tlv *find_tlv(const vex_msg &m, uint16_t type)
{
	for (const vex_tlv &t : m.tlv) {
		if (!t.u2Type)
			break;
		if (t.u2Type == type)
			return &t;
	}
	return nullptr;
}

void on_upload_request(Sim &sim, Ap &ap, const VexRx &rx)
{
	const vex_hdr &h = rx.msg->hdr;
	if (!std::equal(ap.mac.begin(), ap.mac.end(), h.au1ApMac))
		return;
	auto state = upload_state(ap);
	bool duplicate = state->seen && state->last_seq == h.u2SeqNum;
	state->seen = true;
	state->last_seq = h.u2SeqNum;

	json_object *e = json_object_new_object();
	json_object_object_add(e, "t", json_object_new_double(now_s()));
	json_object_object_add(e, "via", json_object_new_string(rx.via));
	json_object_object_add(e, "seq", json_object_new_int(h.u2SeqNum));
	json_object_object_add(e, "duplicate", json_object_new_boolean(duplicate));
	json_object *tlvs = json_object_new_array();
	for (const vex_tlv &t : rx.msg->tlv) {
		if (!t.u2Type)
			break;
		json_object *jt = json_object_new_object();
		json_object_object_add(jt, "type", json_object_new_int(t.u2Type));
		json_object_object_add(jt, "len", json_object_new_int(t.u2Len));
		json_object_object_add(jt, "value", json_object_new_string(hex(t.pu1Value, t.u2Len).c_str()));
		json_object_array_add(tlvs, jt);
	}
	json_object_object_add(e, "tlvs", tlvs);
	const vex_tlv *password = find_tlv(*rx.msg, 9);
	json_object_object_add(e, "password", text_or_null(password));
	json_object_object_add(e, "offer", text_or_null(find_tlv(*rx.msg, 32)));
	json_object_object_add(e, "key", text_or_null(find_tlv(*rx.msg, 33)));
	json_object_object_add(e, "file", text_or_null(find_tlv(*rx.msg, 34)));
	const vex_tlv *size = find_tlv(*rx.msg, 35);
	json_object_object_add(e, "size",
	                       size && size->u2Len == 4 ? json_object_new_int64(vex_get_u32(size->pu1Value))
	                                                : nullptr);
	const vex_tlv *mask = find_tlv(*rx.msg, VEX_TLV_MASK);
	json_object *jm = nullptr;
	if (mask && mask->u2Len == VEX_MASK_LEN) {
		jm = json_object_new_array();
		for (unsigned i = 0; i < 4; i++)
			json_object_array_add(jm, json_object_new_int64(vex_get_u32(mask->pu1Value + 4 * i)));
	}
	json_object_object_add(e, "mask", jm);

	json_object *answered = nullptr;
	if (!duplicate) {
		uint16_t status = uint16_t(json_object_get_int(jget(ap.conf, "upload_status")));
		const char *want = jstr(ap.conf, "password");
		std::string got = password ? std::string(reinterpret_cast<const char *>(password->pu1Value),
		                                         password->u2Len)
		                           : std::string();
		if (!status && want && got != want) {
			json_object *code = jget(ap.conf, "password_refusal");
			status = code ? uint16_t(json_object_get_int(code)) : 1;
		}
		std::string err;
		if (!status && jbool(ap.conf, "tftp", true) && !ensure_server(ap, *state, err))
			fprintf(stderr, "apsim: AP %d: %s\n", ap.index, err.c_str());
		if (sim.reply(ap, rx, encode_message(ap.header(VEX_MSG_UPLOAD_RESP, status, &h), {})))
			answered = json_object_new_int(status);
	}
	json_object_object_add(e, "answered", answered);

	log_append(state->log, e, sim.log_limit);
}

json_object *cmd_uploads(Sim &sim, json_object *req, std::string &err)
{
	Ap *one = sim.select_one(req, "uploads", err);
	if (!one)
		return nullptr;
	Ap &ap = *one;
	auto state = upload_state(ap);
	json_object *r = jobj_ok();
	log_report(r, "uploads", state->log, jbool(req, "clear", false));
	json_object_object_add(r, "tftp_dir", json_object_new_string(tftp_dir(ap).c_str()));
	json_object_object_add(r, "tftp", json_object_new_boolean(tftpd_running(*state)));
	return r;
}
} // namespace

APSIM_VEX_HANDLER(VEX_MSG_UPLOAD_REQ, on_upload_request);
APSIM_CONTROL("uploads", cmd_uploads);
} // namespace apsim
