// The JSON-RPC answers of a simulated AP: its profile, per-VAP counters and
// clients, from the AP's "rpc" configuration or generated from its MAC and
// settings (two VAPs, or the AP's "vaps", counters that grow while it runs,
// three clients and one more per further VAP).
#include <cstring>

#include "http.hpp"

namespace apsim {
namespace {

const uint64_t start_ms = now_ms();

// VAPs per band of the generated answers: the AP's "vaps" (default 2, one per
// band; the 2.4 GHz band takes the odd one). VAP v > 0 of a band has its own
// BSSID and SSID and one client.
int vaps_in_band(const Ap &ap, int band)
{
	int n = jget(ap.conf, "vaps") ? json_object_get_int(jget(ap.conf, "vaps")) : 2;
	if (n < 1)
		n = 1;
	return band ? n / 2 : (n + 1) / 2;
}

std::string vap_bssid(const Ap &ap, int band, int v = 0)
{
	std::array<uint8_t, 6> b = ap.mac;
	b[0] = band ? 0x0a : 0x06;
	b[1] = uint8_t(b[1] + (v >> 8));
	b[2] = uint8_t(b[2] + v);
	return mac_text(b);
}

std::string vap_ssid(const Ap &ap, int band, int v = 0)
{
	std::string suffix = v ? "-v" + std::to_string(v) : "";
	const char *s = jstr(jget(ap.conf, "settings"), band ? "5GSSID" : "2.4GSSID");
	if (s && *s)
		return s + suffix;
	return "apsim-" + std::to_string(ap.index + 1) + (band ? "-5g" : "") + suffix;
}

json_object *counters(uint64_t rx, uint64_t tx)
{
	json_object *o = json_object_new_object();
	json_object_object_add(o, "rx_bytes", json_object_new_string(std::to_string(rx).c_str()));
	json_object_object_add(o, "tx_bytes", json_object_new_string(std::to_string(tx).c_str()));
	return o;
}

uint64_t seconds_up()
{
	return (now_ms() - start_ms) / 1000;
}

json_object *gen_profile(Ap &ap)
{
	json_object *t = json_object_new_object();
	int k = 0;
	for (int band = 0; band < 2; band++) {
		for (int v = 0; v < vaps_in_band(ap, band); v++) {
			json_object *c = json_object_new_object();
			json_object_object_add(c, "ssid", json_object_new_string(vap_ssid(ap, band, v).c_str()));
			json_object_object_add(c, "bssid", json_object_new_string(vap_bssid(ap, band, v).c_str()));
			json_object_object_add(c, "encryption", json_object_new_string("psk2"));
			json_object_object_add(c, "hidden", json_object_new_int(0));
			json_object_object_add(t, ("config" + std::to_string(k++)).c_str(), c);
		}
	}
	json_object_object_add(t, "country", json_object_new_string("US"));
	json_object *a = json_object_new_array();
	json_object_array_add(a, t);
	return a;
}

json_object *gen_statistic(Ap &ap)
{
	json_object *d = json_object_new_object();
	uint64_t base = uint64_t(ap.index + 1) * 1000000, t = seconds_up();
	for (int band = 0; band < 2; band++) {
		json_object *list = json_object_new_array();
		for (int i = 0; i < vaps_in_band(ap, band); i++) {
			json_object *v = json_object_new_object();
			json_object_object_add(v, "bssid", json_object_new_string(vap_bssid(ap, band, i).c_str()));
			json_object_object_add(v, "statistics",
					       counters(base * (band + 1) + t * 1200 + uint64_t(i),
							base * (band + 3) + t * 3400 + uint64_t(i)));
			json_object_array_add(list, v);
		}
		json_object_object_add(d, band ? "radio5g" : "radio2g", list);
	}
	return d;
}

json_object *gen_stations(Ap &ap)
{
	json_object *d = json_object_new_object();
	uint64_t t = seconds_up();
	for (int band = 0; band < 2; band++) {
		json_object *list = json_object_new_array();
		for (int i = 0; i < vaps_in_band(ap, band); i++) {
			json_object *v = json_object_new_object();
			json_object_object_add(v, "bssid", json_object_new_string(vap_bssid(ap, band, i).c_str()));
			json_object *clients = json_object_new_array();
			for (int k = 1; k <= (i ? 1 : band ? 1 : 2); k++) {
				std::array<uint8_t, 6> m = {0xa0, uint8_t(i), uint8_t(ap.index >> 8),
							    uint8_t(ap.index), uint8_t(band + (i >> 8)), uint8_t(k)};
				json_object *c = json_object_new_object();
				json_object_object_add(c, "mac", json_object_new_string(mac_text(m).c_str()));
				json_object_object_add(c, "signal", json_object_new_int(-38 - 9 * k - 4 * band));
				json_object_object_add(c, "up_time", json_object_new_int(int(60 * k + t)));
				json_object_object_add(c, "statistics",
						       counters(5000 * k + t * 300, 9000 * k + t * 700));
				json_object_array_add(clients, c);
			}
			json_object_object_add(v, "clients", clients);
			json_object_array_add(list, v);
		}
		json_object_object_add(d, band ? "radio5g" : "radio2g", list);
	}
	return d;
}

json_object *copy_of(json_object *o)
{
	json_object *c = nullptr;
	if (o)
		json_object_deep_copy(o, &c, nullptr);
	return c;
}

std::string text_of(json_object *o)
{
	return json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

std::string rpc_error(json_object *id, int code, const char *message)
{
	json_object *a = json_object_new_object();
	json_object_object_add(a, "jsonrpc", json_object_new_string("2.0"));
	json_object_object_add(a, "id", copy_of(id));
	json_object *e = json_object_new_object();
	json_object_object_add(e, "code", json_object_new_int(code));
	json_object_object_add(e, "message", json_object_new_string(message));
	json_object_object_add(a, "error", e);
	std::string s = text_of(a);
	json_object_put(a);
	return s;
}
} // namespace

json_object *rpc_data(Ap &ap, const char *method)
{
	json_object *mine = jget(jget(ap.conf, "rpc"), method);
	if (mine)
		return copy_of(mine);
	if (!strcmp(method, "wlan_profile"))
		return gen_profile(ap);
	if (!strcmp(method, "wlan_statistic"))
		return gen_statistic(ap);
	if (!strcmp(method, "sta_statistic"))
		return gen_stations(ap);
	return nullptr;
}

RpcAnswer rpc_answer(Ap &ap, const std::string &path, const std::string &body)
{
	RpcAnswer out;
	// An empty path takes any of the methods (the AP's "redirect" target).
	bool any_path = path.empty();
	bool profile_path = path == "/nox/profile.cgi", info_path = path == "/nox/nox_info.cgi";
	if (!profile_path && !info_path && !any_path) {
		out.status = 404;
		out.body = "not found\n";
		return out;
	}
	json_object *req = json_tokener_parse(body.c_str());
	if (!req || !json_object_is_type(req, json_type_object)) {
		json_object_put(req);
		out.body = rpc_error(nullptr, -32700, "Parse error");
		return out;
	}
	json_object *id = jget(req, "id");
	const char *method = jstr(req, "method", "");
	bool known = (!info_path && !strcmp(method, "wlan_profile")) ||
		     (!profile_path && (!strcmp(method, "wlan_statistic") || !strcmp(method, "sta_statistic")));
	json_object *data = known ? rpc_data(ap, method) : nullptr;
	if (!data) {
		out.body = rpc_error(id, -32601, "Method not found");
		json_object_put(req);
		return out;
	}

	json_object *sw = jget(ap.conf, "http");
	json_object *a = json_object_new_object();
	json_object *version = nullptr;
	if (sw && json_object_object_get_ex(sw, "jsonrpc", &version))
		json_object_object_add(a, "jsonrpc", copy_of(version));
	else
		json_object_object_add(a, "jsonrpc", json_object_new_string("2.0"));
	json_object *fixed_id = nullptr;
	if (sw && json_object_object_get_ex(sw, "id", &fixed_id))
		json_object_object_add(a, "id", copy_of(fixed_id));
	else
		json_object_object_add(a, "id", copy_of(id));
	if (!strcmp(method, "wlan_profile")) {
		json_object_object_add(a, "result", data);
	} else {
		json_object *result = json_object_new_array();
		json_object *status = nullptr;
		if (sw && json_object_object_get_ex(sw, "status_element", &status))
			json_object_array_add(result, copy_of(status));
		else
			json_object_array_add(result, json_object_new_int(0));
		json_object_array_add(result, data);
		json_object_object_add(a, "result", result);
	}
	out.body = text_of(a);
	json_object_put(a);
	json_object_put(req);
	return out;
}

} // namespace apsim
