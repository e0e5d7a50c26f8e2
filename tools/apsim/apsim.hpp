// apsim: plays many access points on one LAN interface, in one process.
//
// Every simulated AP has its own MAC (in its vex headers) and its own IPv4
// address (added to the simulator's interface). One UDP socket on port 64515
// hears multicast, broadcast and unicast requests; IP_PKTINFO tells which AP a
// unicast is for, and answers leave from the AP's own address.
//
// Extending it (each in a file of its own, registered at start-up):
//   - a vex message type:   APSIM_VEX_HANDLER(type, fn)      fn(Sim&, Ap&, const VexRx&)
//   - a control command:    APSIM_CONTROL(name, fn)          fn(Sim&, json_object *req) -> reply
//   - a service per AP (HTTP, TFTP, ...): APSIM_MODULE(name, fn)  fn(Sim&) once the APs are up;
//     use sim.loop to watch descriptors and sim.ap_by_ip() to find the AP of a local address.
// Per-AP settings that a module needs live in Ap::conf (the AP's JSON object
// from the configuration file; the control command "set" merges unknown keys
// into it) and its run-time state in Ap::ext.
#pragma once

#include <any>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <json-c/json.h>
#include <netinet/in.h>

#include "vex/codec/vex_codec.hpp"

namespace apsim {

using bytes = std::vector<uint8_t>;

// ---- event loop -----------------------------------------------------------
class Loop {
public:
	using FdCb = std::function<void(uint32_t events)>;
	using TimerCb = std::function<void()>;
	Loop();
	~Loop();
	void add_fd(int fd, FdCb cb, uint32_t events = 0x001 /* EPOLLIN */);
	void mod_fd(int fd, uint32_t events);
	void del_fd(int fd);
	// One-shot timer; returns an id for cancel_timer.
	uint64_t add_timer(int ms, TimerCb cb);
	void cancel_timer(uint64_t id);
	void run();
	void stop() { running_ = false; }

private:
	int ep_;
	bool running_ = false;
	std::unordered_map<int, std::shared_ptr<FdCb>> fds_;
	std::map<std::pair<uint64_t, uint64_t>, TimerCb> timers_; // (due, id)
	std::unordered_map<uint64_t, uint64_t> timer_due_;
	uint64_t next_timer_ = 1;
};

uint64_t now_ms();
double now_s();

// ---- TLVs -----------------------------------------------------------------
struct Tlv {
	uint16_t type;
	bytes value;
};

// Builds the TLVs of a settings object ({"key or type": value, ...}). Values:
// text for text types, numbers for u8/u16/u32, dotted text for IPv4,
// {"hex": "..."} for raw bytes (any type, also ones outside the registry),
// null to leave a TLV out. Returns false with a message on bad input.
bool settings_to_tlvs(json_object *settings, std::vector<Tlv> &out, std::string &err);
bytes encode_message(const vex_hdr &hdr, const std::vector<Tlv> &tlvs);
std::string hex(const uint8_t *p, size_t n);
bool unhex(const std::string &s, bytes &out);
std::string mac_text(const std::array<uint8_t, 6> &mac);
bool parse_mac(const char *s, std::array<uint8_t, 6> &mac);
std::string ip_text(in_addr a);

// ---- one simulated AP -------------------------------------------------------
struct VexRx {
	bytes raw;
	vex_msg *msg;        // parsed; valid only when parsed is true
	bool parsed;
	bool header_ok;
	uint16_t reason;
	sockaddr_in src;
	in_addr dst;
	const char *via;     // "multicast", "broadcast" or "unicast"
};

struct Ap {
	int index = 0;
	std::array<uint8_t, 6> mac{};
	in_addr ip{};
	int prefix = 24;
	json_object *conf = nullptr; // owned; the AP's configuration object
	bool boot = false;   // answers as its boot agent: agent-loader responses
	bool silent = false; // answers nothing (still logs what it hears)
	bool log_on = true;
	std::deque<json_object *> log; // owned entries, oldest first
	uint16_t seq = 0;
	uint64_t rx_count = 0, tx_count = 0;
	std::map<std::string, std::any> ext; // modules' run-time state

	~Ap();
	std::string ip_str() const { return ip_text(ip); }
	// The TLVs of a discovery response: the configured settings with TLV 4 (the
	// AP's address) added when the settings do not name it.
	bool discovery_tlvs(std::vector<Tlv> &out, std::string &err) const;
	// A header from this AP: version 2, its MAC, the given type and status.
	vex_hdr header(uint16_t msgType, uint16_t status, const vex_hdr *request);
};

// ---- the simulator ----------------------------------------------------------
class Sim {
public:
	Loop loop;
	std::string ifname;
	int ifindex = 0;
	size_t log_limit = 500;
	std::vector<std::unique_ptr<Ap>> aps;

	bool load(json_object *config, std::string &err);
	bool start(std::string &err);
	void shutdown();

	Ap *ap_by_ip(in_addr a);
	Ap *ap_by_mac(const std::array<uint8_t, 6> &mac);
	// Selects APs: an index, a MAC text, an address text, or "all".
	std::vector<Ap *> select(json_object *sel, std::string &err);
	// The one AP a per-AP command names in its "ap" member, or nullptr with err set.
	Ap *select_one(json_object *req, const char *cmd, std::string &err);

	// Sends a vex message from the AP's address.
	bool send(Ap &ap, const sockaddr_in &to, const bytes &msg);
	// Answers to port 64519 of the request's sender.
	bool reply(Ap &ap, const VexRx &rx, const bytes &msg);
	bool set_address(Ap &ap, in_addr ip, int prefix, std::string &err);

	uint64_t total_rx = 0, total_tx = 0, tx_errors = 0;

private:
	int vex_fd_ = -1;
	void on_vex_readable();
	void dispatch(Ap &ap, const VexRx &rx);
	bool add_ap(json_object *apConf, json_object *defaults, int index, std::string &err);
	std::unordered_map<uint32_t, Ap *> by_ip_;
	std::vector<std::string> added_addrs_;
	bool ip_batch(const std::vector<std::string> &cmds, std::string &err, bool quiet = false);
};

// ---- extension registries ---------------------------------------------------
using VexHandler = void (*)(Sim &, Ap &, const VexRx &);
using ControlHandler = json_object *(*)(Sim &, json_object *req, std::string &err);
using ModuleStart = bool (*)(Sim &, std::string &err);

std::map<uint16_t, VexHandler> &vex_handlers();
std::map<std::string, ControlHandler> &control_handlers();
std::vector<std::pair<std::string, ModuleStart>> &modules();

struct Register {
	Register(uint16_t type, VexHandler h) { vex_handlers()[type] = h; }
	Register(const char *name, ControlHandler h) { control_handlers()[name] = h; }
	Register(const char *name, ModuleStart s) { modules().emplace_back(name, s); }
};

#define APSIM_CAT2(a, b) a##b
#define APSIM_CAT(a, b) APSIM_CAT2(a, b)
#define APSIM_VEX_HANDLER(type, fn) static ::apsim::Register APSIM_CAT(apsim_reg_, __LINE__)(uint16_t(type), fn)
#define APSIM_CONTROL(name, fn) static ::apsim::Register APSIM_CAT(apsim_reg_, __LINE__)(name, ::apsim::ControlHandler(fn))
#define APSIM_MODULE(name, fn) static ::apsim::Register APSIM_CAT(apsim_reg_, __LINE__)(name, ::apsim::ModuleStart(fn))

// The message as the AP's "corrupt" switch makes it fail a check (corrupt.cpp).
const bytes &corrupted(const Ap &ap, const bytes &msg, bytes &scratch);

// Control channel (unix stream socket, one JSON object per line each way).
bool control_start(Sim &sim, const std::string &path, std::string &err);

// json-c helpers
json_object *jobj_ok();
// Appends an owned entry to a bounded log, dropping the oldest beyond limit.
void log_append(std::deque<json_object *> &log, json_object *e, size_t limit);
// Adds the log's entries to r as an array under member, then empties the log if asked.
void log_report(json_object *r, const char *member, std::deque<json_object *> &log, bool clear);
json_object *jobj_err(const std::string &msg);
const char *jstr(json_object *o, const char *key, const char *def = nullptr);
bool jbool(json_object *o, const char *key, bool def);
json_object *jget(json_object *o, const char *key);

} // namespace apsim
