#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>

#include "apsim.hpp"
#include "vex/codec/vex_tlv.hpp"

namespace apsim {

std::string hex(const uint8_t *p, size_t n)
{
	static const char digits[] = "0123456789abcdef";
	std::string s;
	s.reserve(n * 2);
	for (size_t i = 0; i < n; i++) {
		s += digits[p[i] >> 4];
		s += digits[p[i] & 15];
	}
	return s;
}

bool unhex(const std::string &s, bytes &out)
{
	out.clear();
	std::string t;
	for (char c : s)
		if (c != ' ' && c != ':')
			t += c;
	if (t.size() % 2)
		return false;
	for (size_t i = 0; i < t.size(); i += 2) {
		char b[3] = {t[i], t[i + 1], 0};
		char *end;
		long v = strtol(b, &end, 16);
		if (*end)
			return false;
		out.push_back(uint8_t(v));
	}
	return true;
}

std::string mac_text(const std::array<uint8_t, 6> &m)
{
	char b[18];
	snprintf(b, sizeof b, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
	return b;
}

bool parse_mac(const char *s, std::array<uint8_t, 6> &mac)
{
	unsigned v[6];
	char tail;
	if (!s || sscanf(s, "%x:%x:%x:%x:%x:%x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &tail) != 6)
		return false;
	for (int i = 0; i < 6; i++) {
		if (v[i] > 255)
			return false;
		mac[size_t(i)] = uint8_t(v[i]);
	}
	return true;
}

std::string ip_text(in_addr a)
{
	char b[INET_ADDRSTRLEN];
	inet_ntop(AF_INET, &a, b, sizeof b);
	return b;
}

namespace {
bool tlv_type_of(const char *key, uint16_t &type, const vex_tlv_def *&def)
{
	def = vex_tlv_lookup_key(key);
	if (def) {
		type = def->type;
		return true;
	}
	char *end;
	long v = strtol(key, &end, 10);
	if (*key && !*end && v > 0 && v <= 0xffff) {
		type = uint16_t(v);
		def = vex_tlv_lookup(type);
		return true;
	}
	return false;
}

bool encode_value(const vex_tlv_def *def, uint16_t type, json_object *v, bytes &out, std::string &err)
{
	if (json_object_is_type(v, json_type_object)) {
		json_object *h = jget(v, "hex");
		if (!h || !unhex(json_object_get_string(h), out)) {
			err = "TLV " + std::to_string(type) + ": {\"hex\": ...} expected";
			return false;
		}
		return true;
	}
	if (!def) {
		err = "TLV " + std::to_string(type) + " is not in the registry: give {\"hex\": ...}";
		return false;
	}
	switch (def->format) {
	case VEX_FMT_TEXT: {
		const char *s = json_object_get_string(v);
		out.assign(s, s + strlen(s));
		return true;
	}
	case VEX_FMT_IPV4: {
		in_addr a;
		if (!json_object_is_type(v, json_type_string) || !inet_aton(json_object_get_string(v), &a)) {
			err = "TLV " + std::to_string(type) + ": dotted IPv4 text expected";
			return false;
		}
		const auto *p = reinterpret_cast<const uint8_t *>(&a);
		out.assign(p, p + 4);
		return true;
	}
	default: {
		if (!json_object_is_type(v, json_type_int)) {
			err = "TLV " + std::to_string(type) + ": a number expected";
			return false;
		}
		uint64_t n = uint64_t(json_object_get_int64(v));
		out.clear();
		for (int i = def->size - 1; i >= 0; i--)
			out.push_back(uint8_t(n >> (8 * i)));
		return true;
	}
	}
}
} // namespace

bool settings_to_tlvs(json_object *settings, std::vector<Tlv> &out, std::string &err)
{
	if (!settings)
		return true;
	if (!json_object_is_type(settings, json_type_object)) {
		err = "settings must be an object";
		return false;
	}
	json_object_object_foreach(settings, key, val)
	{
		uint16_t type;
		const vex_tlv_def *def;
		if (!tlv_type_of(key, type, def)) {
			err = std::string("unknown TLV key \"") + key + "\"";
			return false;
		}
		if (!val)
			continue; // null: leave the TLV out
		Tlv t{type, {}};
		if (!encode_value(def, type, val, t.value, err))
			return false;
		out.push_back(std::move(t));
	}
	return true;
}

bytes encode_message(const vex_hdr &hdr, const std::vector<Tlv> &tlvs)
{
	bytes m(VEX_HDR_LEN);
	KvVexGenVexHdr(m.data(), uint32_t(m.size()), &hdr);
	for (const Tlv &t : tlvs) {
		size_t len = t.value.size() + 4;
		m.push_back(uint8_t(t.type >> 8));
		m.push_back(uint8_t(t.type));
		m.push_back(uint8_t(len >> 8));
		m.push_back(uint8_t(len));
		m.insert(m.end(), t.value.begin(), t.value.end());
	}
	return m;
}

void log_append(std::deque<json_object *> &log, json_object *e, size_t limit)
{
	log.push_back(e);
	while (log.size() > limit) {
		json_object_put(log.front());
		log.pop_front();
	}
}

void log_report(json_object *r, const char *member, std::deque<json_object *> &log, bool clear)
{
	json_object *a = json_object_new_array();
	for (json_object *e : log)
		json_object_array_add(a, json_object_get(e));
	json_object_object_add(r, member, a);
	if (clear) {
		for (json_object *e : log)
			json_object_put(e);
		log.clear();
	}
}

json_object *jobj_ok()
{
	json_object *o = json_object_new_object();
	json_object_object_add(o, "ok", json_object_new_boolean(1));
	return o;
}

json_object *jobj_err(const std::string &msg)
{
	json_object *o = json_object_new_object();
	json_object_object_add(o, "ok", json_object_new_boolean(0));
	json_object_object_add(o, "error", json_object_new_string(msg.c_str()));
	return o;
}

json_object *jget(json_object *o, const char *key)
{
	json_object *v = nullptr;
	if (o && json_object_is_type(o, json_type_object) && json_object_object_get_ex(o, key, &v))
		return v;
	return nullptr;
}

const char *jstr(json_object *o, const char *key, const char *def)
{
	json_object *v = jget(o, key);
	return v ? json_object_get_string(v) : def;
}

bool jbool(json_object *o, const char *key, bool def)
{
	json_object *v = jget(o, key);
	return v ? json_object_get_boolean(v) : def;
}

} // namespace apsim
