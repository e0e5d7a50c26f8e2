"""Statistics data for simulated APs and the replies acd should give for it.

    from stats_data import ap_data, rpc_conf, expected_statistic
    conf = ap_conf(1, MODES, rpc=rpc_conf(ap_data(1)))

ap_data(n) describes AP n: two VAPs (2.4 and 5 GHz), each with its counters
and clients. rpc_conf turns it into the AP's answers (apsim's "rpc" key); the
expected_* functions give the reply each ubus method should send for a list of
such APs, as Python objects in member order.
"""
import json

__all__ = ["MODES", "ap_data", "rpc_conf", "compact", "expected_statistic",
           "expected_sta_statistic", "expected_wlan_profile_text", "expected_wlan_statistic_text",
           "expected_radios", "ap_mac_of"]

# Settings that "hw_mode" shows.
MODES = {"2.4G802.11Mode": "11bgn", "5G802.11Mode": "11ac"}


def compact(obj):
    """JSON as `ubus -S` prints it."""
    return json.dumps(obj, separators=(",", ":"))


def ap_mac_of(n):
    return "02:00:00:00:%02x:%02x" % (n >> 8 & 255, n & 255)


def ap_data(n, clients=(2, 1), base=None):
    """AP n's VAPs: [{band, bssid, ssid, rx, tx, clients: [{mac, signal, up_time, rx, tx}]}]."""
    base = n * 1000 if base is None else base
    vaps = []
    for band, count in enumerate(clients):
        vaps.append({
            "band": band,
            "bssid": "0a:%02x:00:00:00:%02x" % (n, band + 1),
            "ssid": f"site-{n}" + ("-5g" if band else ""),
            "rx": str(base + 100 * band + 1), "tx": str(base + 100 * band + 2),
            "clients": [{"mac": "aa:%02x:%02x:00:00:%02x" % (n, band, k), "signal": -40 - k - 10 * band,
                         "up_time": 60 * k + n, "rx": str(10 * k + n), "tx": str(20 * k + n)}
                        for k in range(1, count + 1)],
        })
    return vaps


def rpc_conf(vaps):
    """apsim's "rpc" key: the AP's three answers (profile "result", and data tables)."""
    radios = ("radio2g", "radio5g")
    profile = {}
    for i, v in enumerate(vaps):
        profile[f"config{i}"] = {"ssid": v["ssid"], "bssid": v["bssid"], "encryption": "psk2"}
    profile["country"] = "DE"
    stats = {r: [] for r in radios}
    stations = {r: [] for r in radios}
    for v in vaps:
        r = radios[v["band"]]
        stats[r].append({"bssid": v["bssid"], "statistics": {"rx_bytes": v["rx"], "tx_bytes": v["tx"]}})
        stations[r].append({"bssid": v["bssid"], "clients": [
            {"mac": c["mac"], "signal": c["signal"], "up_time": c["up_time"],
             "statistics": {"rx_bytes": c["rx"], "tx_bytes": c["tx"]}} for c in v["clients"]]})
    return {"wlan_profile": [profile, "not-a-table"], "wlan_statistic": stats, "sta_statistic": stations}


def _vap_table(n, v, with_mac):
    t = {"ap_mac": ap_mac_of(n)} if with_mac else {}
    t.update({"bssid": v["bssid"], "ssid": v["ssid"], "stas_num": len(v["clients"]),
              "statistics": {"tx_bytes": v["tx"], "rx_bytes": v["rx"]}})
    return t


def expected_radios(n, vaps, with_mac=False):
    return {r: [_vap_table(n, v, with_mac) for v in vaps if v["band"] == b]
            for b, r in enumerate(("radio2g", "radio5g"))}


def expected_statistic(aps):
    """aps: [(n, vaps)]"""
    return {"statistic": [expected_radios(n, vaps, True) for n, vaps in aps]}


def expected_sta_statistic(aps, modes=MODES):
    out = []
    for n, vaps in aps:
        for v in vaps:
            out.append({"bssid": ap_mac_of(n),
                        "hw_mode": modes["5G802.11Mode" if v["band"] else "2.4G802.11Mode"],
                        "ssid": v["ssid"],
                        "clients": [{"mac": c["mac"], "signal": c["signal"],
                                     "statistics": {"tx_bytes": c["tx"], "rx_bytes": c["rx"]},
                                     "up_time": c["up_time"]} for c in v["clients"]]})
    return {"Clients": out}


def expected_wlan_profile_text(aps):
    """The profile tables have empty names: `ubus -S` prints them without any."""
    tables = [compact(rpc_conf(vaps)["wlan_profile"][0]) for _, vaps in aps]
    return "{" + ",".join(tables) + "}"


def expected_wlan_statistic_text(aps):
    """Each AP's members one after the other: the radio names repeat."""
    parts = []
    for _, vaps in aps:
        for name, value in rpc_conf(vaps)["wlan_statistic"].items():
            parts.append(compact(name) + ":" + compact(value))
    return "{" + ",".join(parts) + "}"
