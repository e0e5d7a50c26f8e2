// Settings pushes (type 3): an AP decodes the TLVs and the field mask of a push
// addressed to its MAC, logs it, takes the settings it understands into its own
// settings (so its next discovery response shows them) and answers with a push
// result (type 4) carrying its address in TLV 4.
//
// Per-AP configuration keys (set with the "set" control command):
//   "push_status": the u2Status of its push results (default 0).
// A "Password" (TLV 9) in a push becomes the AP's "password", the one its
// upload requests are checked against (upload.cpp).
// The multicast and unicast copies of one push carry one sequence number: the
// AP applies and answers the first copy only and logs the second as a duplicate.
//
// Control command {"cmd":"pushes","ap":SEL,"clear":b}: the pushes the AP took
// as addressed to it, oldest first, each {"t", "via", "seq", "ac_mac",
// "duplicate", "answered" (status or null), "mask" [4 words] or null,
// "tlvs" [{type, len, value (hex)}], "settings" {key: value} (decoded, keys of
// the TLV registry or the type number), "applied" [keys]}.
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>

#include "apsim.hpp"
#include "vex/codec/vex_tlv.hpp"

namespace apsim {
namespace {
struct PushState {
	std::deque<json_object *> log;
	bool seen = false;
	uint16_t last_seq = 0;
	std::array<uint8_t, 6> last_ac{};
	~PushState()
	{
		for (json_object *e : log)
			json_object_put(e);
	}
};

std::shared_ptr<PushState> push_state(Ap &ap)
{
	auto it = ap.ext.find("pushes");
	if (it != ap.ext.end())
		if (auto *p = std::any_cast<std::shared_ptr<PushState>>(&it->second))
			return *p;
	auto s = std::make_shared<PushState>();
	ap.ext["pushes"] = s;
	return s;
}

uint32_t be(const uint8_t *p, size_t n)
{
	uint32_t v = 0;
	for (size_t i = 0; i < n; i++)
		v = v << 8 | p[i];
	return v;
}

// The value as apsim's settings give it: text, a number, or dotted IPv4.
// nullptr when its length does not suit its format.
json_object *decode_value(const vex_tlv_def *def, const vex_tlv &t)
{
	switch (def->format) {
	case VEX_FMT_TEXT:
		return json_object_new_string_len(reinterpret_cast<const char *>(t.pu1Value), int(t.u2Len));
	case VEX_FMT_IPV4: {
		if (t.u2Len != 4)
			return nullptr;
		in_addr a;
		memcpy(&a, t.pu1Value, 4);
		return json_object_new_string(ip_text(a).c_str());
	}
	default:
		if (t.u2Len != def->size)
			return nullptr;
		return json_object_new_int64(int64_t(be(t.pu1Value, t.u2Len)));
	}
}

// Settings the AP takes from a push: those its discovery responses carry,
// except its address, which the simulator keeps so the tests can reach it.
bool applicable(const vex_tlv_def *def)
{
	return def->stored && def->type != 4 && def->type != VEX_TLV_MASK;
}

void on_settings_push(Sim &sim, Ap &ap, const VexRx &rx)
{
	const vex_hdr &h = rx.msg->hdr;
	// A multicast copy reaches every AP; only the one named takes it.
	if (!std::equal(ap.mac.begin(), ap.mac.end(), h.au1ApMac))
		return;
	auto state = push_state(ap);
	std::array<uint8_t, 6> acMac;
	std::copy(h.au1AcMac, h.au1AcMac + 6, acMac.begin());
	bool duplicate = state->seen && state->last_seq == h.u2SeqNum && state->last_ac == acMac;
	state->seen = true;
	state->last_seq = h.u2SeqNum;
	state->last_ac = acMac;

	json_object *e = json_object_new_object();
	json_object_object_add(e, "t", json_object_new_double(now_s()));
	json_object_object_add(e, "via", json_object_new_string(rx.via));
	json_object_object_add(e, "seq", json_object_new_int(h.u2SeqNum));
	json_object_object_add(e, "ac_mac", json_object_new_string(mac_text(acMac).c_str()));
	json_object_object_add(e, "duplicate", json_object_new_boolean(duplicate));
	json_object *tlvs = json_object_new_array();
	json_object *decoded = json_object_new_object();
	json_object *applied = json_object_new_array();
	json_object *mask = nullptr;
	json_object *settings = jget(ap.conf, "settings");
	if (!settings && !duplicate) {
		settings = json_object_new_object();
		json_object_object_add(ap.conf, "settings", settings);
	}
	for (const vex_tlv &t : rx.msg->tlv) {
		if (!t.u2Type)
			break;
		json_object *jt = json_object_new_object();
		json_object_object_add(jt, "type", json_object_new_int(t.u2Type));
		json_object_object_add(jt, "len", json_object_new_int(t.u2Len));
		json_object_object_add(jt, "value", json_object_new_string(hex(t.pu1Value, t.u2Len).c_str()));
		json_object_array_add(tlvs, jt);
		if (t.u2Type == VEX_TLV_MASK) {
			json_object_put(mask);
			mask = nullptr;
			if (t.u2Len == VEX_MASK_LEN) {
				mask = json_object_new_array();
				for (unsigned i = 0; i < 4; i++) {
					uint32_t word = be(t.pu1Value + 4 * i, 4);
					json_object_array_add(mask, json_object_new_int64(word));
				}
			}
			continue;
		}
		const vex_tlv_def *def = vex_tlv_lookup(t.u2Type);
		std::string key = def && def->key ? def->key : std::to_string(t.u2Type);
		json_object *v = def ? decode_value(def, t) : nullptr;
		if (!v) {
			v = json_object_new_string(hex(t.pu1Value, t.u2Len).c_str());
		} else if (!duplicate && (applicable(def) || t.u2Type == 9)) {
			json_object *copy = nullptr;
			json_object_deep_copy(v, &copy, nullptr);
			if (t.u2Type == 9)
				json_object_object_add(ap.conf, "password", copy);
			else
				json_object_object_add(settings, key.c_str(), copy);
			json_object_array_add(applied, json_object_new_string(key.c_str()));
		}
		json_object_object_add(decoded, key.c_str(), v);
	}
	json_object_object_add(e, "mask", mask);
	json_object_object_add(e, "tlvs", tlvs);
	json_object_object_add(e, "settings", decoded);
	json_object_object_add(e, "applied", applied);

	json_object *answered = nullptr;
	if (!duplicate) {
		uint16_t status = uint16_t(json_object_get_int(jget(ap.conf, "push_status")));
		const auto *p = reinterpret_cast<const uint8_t *>(&ap.ip);
		std::vector<Tlv> out{Tlv{4, bytes(p, p + 4)}};
		if (sim.reply(ap, rx, encode_message(ap.header(VEX_MSG_SET_RESULT, status, &h), out)))
			answered = json_object_new_int(status);
	}
	json_object_object_add(e, "answered", answered);

	log_append(state->log, e, sim.log_limit);
}

json_object *cmd_pushes(Sim &sim, json_object *req, std::string &err)
{
	Ap *one = sim.select_one(req, "pushes", err);
	if (!one)
		return nullptr;
	auto state = push_state(*one);
	json_object *r = jobj_ok();
	log_report(r, "pushes", state->log, jbool(req, "clear", false));
	return r;
}
} // namespace

APSIM_VEX_HANDLER(VEX_MSG_SET_CONFIG, on_settings_push);
APSIM_CONTROL("pushes", cmd_pushes);
} // namespace apsim
