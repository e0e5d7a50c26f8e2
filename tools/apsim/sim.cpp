#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include "apsim.hpp"

namespace apsim {

std::map<uint16_t, VexHandler> &vex_handlers()
{
	static std::map<uint16_t, VexHandler> m;
	return m;
}

std::map<std::string, ControlHandler> &control_handlers()
{
	static std::map<std::string, ControlHandler> m;
	return m;
}

std::vector<std::pair<std::string, ModuleStart>> &modules()
{
	static std::vector<std::pair<std::string, ModuleStart>> m;
	return m;
}

Ap::~Ap()
{
	for (json_object *e : log)
		json_object_put(e);
	json_object_put(conf);
}

bool Ap::discovery_tlvs(std::vector<Tlv> &out, std::string &err) const
{
	json_object *settings = jget(conf, "settings");
	if (!settings_to_tlvs(settings, out, err))
		return false;
	json_object *unused;
	bool named = settings && (json_object_object_get_ex(settings, "IPAddress", &unused) ||
				  json_object_object_get_ex(settings, "4", &unused));
	if (!named) {
		const auto *p = reinterpret_cast<const uint8_t *>(&ip);
		out.insert(out.begin(), Tlv{4, bytes(p, p + 4)});
	}
	return true;
}

vex_hdr Ap::header(uint16_t msgType, uint16_t status, const vex_hdr *request)
{
	vex_hdr h{};
	h.u2Version = VEX_VERSION;
	h.u2MacLen = VEX_MAC_LEN;
	h.u2MsgType = msgType;
	h.u2Status = status;
	h.u4Magic = VEX_MAGIC;
	std::copy(mac.begin(), mac.end(), h.au1ApMac);
	if (request)
		std::copy(request->au1AcMac, request->au1AcMac + 6, h.au1AcMac);
	h.u2SeqNum = ++seq;
	return h;
}

namespace {
bool parse_cidr(const char *s, in_addr &ip, int &prefix)
{
	if (!s)
		return false;
	std::string t(s);
	prefix = 24;
	auto slash = t.find('/');
	if (slash != std::string::npos) {
		char *end;
		long p = strtol(t.c_str() + slash + 1, &end, 10);
		if (*end || p < 1 || p > 32)
			return false;
		prefix = int(p);
		t.resize(slash);
	}
	return inet_aton(t.c_str(), &ip) != 0;
}

// "{n}" in text settings becomes the AP's number (index + 1).
void expand_templates(json_object *settings, int index)
{
	if (!settings || !json_object_is_type(settings, json_type_object))
		return;
	json_object_object_foreach(settings, key, val)
	{
		if (!val || !json_object_is_type(val, json_type_string))
			continue;
		std::string s = json_object_get_string(val);
		bool changed = false;
		for (size_t pos; (pos = s.find("{n}")) != std::string::npos; changed = true)
			s.replace(pos, 3, std::to_string(index + 1));
		if (changed)
			json_object_object_add(settings, key, json_object_new_string(s.c_str()));
	}
}

// The AP's configuration: the defaults, overridden member by member by the
// AP's own object ("settings" merged key by key).
json_object *merge_conf(json_object *defaults, json_object *apConf)
{
	json_object *conf = nullptr;
	json_object_deep_copy(apConf, &conf, nullptr);
	if (!defaults)
		return conf;
	json_object_object_foreach(defaults, key, val)
	{
		json_object *mine = jget(conf, key);
		if (!strcmp(key, "settings") && mine && val) {
			json_object *merged = nullptr;
			json_object_deep_copy(val, &merged, nullptr);
			json_object_object_foreach(mine, k2, v2)
				json_object_object_add(merged, k2, v2 ? json_object_get(v2) : nullptr);
			json_object_object_add(conf, key, merged);
		} else if (!jget(conf, key) && val) {
			json_object *copy = nullptr;
			json_object_deep_copy(val, &copy, nullptr);
			json_object_object_add(conf, key, copy);
		}
	}
	return conf;
}

json_object *decode_entry(const VexRx &rx)
{
	json_object *e = json_object_new_object();
	json_object_object_add(e, "t", json_object_new_double(now_s()));
	char src[32];
	snprintf(src, sizeof src, "%s:%u", ip_text(rx.src.sin_addr).c_str(), ntohs(rx.src.sin_port));
	json_object_object_add(e, "src", json_object_new_string(src));
	json_object_object_add(e, "dst", json_object_new_string(ip_text(rx.dst).c_str()));
	json_object_object_add(e, "via", json_object_new_string(rx.via));
	json_object_object_add(e, "len", json_object_new_int(int(rx.raw.size())));
	json_object_object_add(e, "raw", json_object_new_string(hex(rx.raw.data(), rx.raw.size()).c_str()));
	json_object_object_add(e, "parsed", json_object_new_boolean(rx.parsed));
	if (!rx.parsed)
		return e;
	const vex_hdr &h = rx.msg->hdr;
	json_object *jh = json_object_new_object();
	json_object_object_add(jh, "version", json_object_new_int(h.u2Version));
	json_object_object_add(jh, "revision", json_object_new_int(h.u2Revision));
	std::array<uint8_t, 6> m;
	std::copy(h.au1ApMac, h.au1ApMac + 6, m.begin());
	json_object_object_add(jh, "ap_mac", json_object_new_string(mac_text(m).c_str()));
	json_object_object_add(jh, "mac_len", json_object_new_int(h.u2MacLen));
	json_object_object_add(jh, "type", json_object_new_int(h.u2MsgType));
	json_object_object_add(jh, "status", json_object_new_int(h.u2Status));
	json_object_object_add(jh, "magic", json_object_new_int64(h.u4Magic));
	std::copy(h.au1AcMac, h.au1AcMac + 6, m.begin());
	json_object_object_add(jh, "ac_mac", json_object_new_string(mac_text(m).c_str()));
	json_object_object_add(jh, "seq", json_object_new_int(h.u2SeqNum));
	json_object_object_add(e, "hdr", jh);
	json_object_object_add(e, "header_ok", json_object_new_boolean(rx.header_ok));
	if (!rx.header_ok)
		json_object_object_add(e, "reason", json_object_new_int(rx.reason));
	json_object *tl = json_object_new_array();
	for (const vex_tlv &t : rx.msg->tlv) {
		if (!t.u2Type)
			break;
		json_object *jt = json_object_new_object();
		json_object_object_add(jt, "type", json_object_new_int(t.u2Type));
		json_object_object_add(jt, "len", json_object_new_int(t.u2Len));
		json_object_object_add(jt, "value", json_object_new_string(hex(t.pu1Value, t.u2Len).c_str()));
		json_object_array_add(tl, jt);
	}
	json_object_object_add(e, "tlvs", tl);
	return e;
}
} // namespace

bool Sim::add_ap(json_object *apConf, json_object *defaults, int index, std::string &err)
{
	auto ap = std::make_unique<Ap>();
	ap->index = index;
	ap->conf = merge_conf(defaults, apConf);
	expand_templates(jget(ap->conf, "settings"), index);
	const char *mac = jstr(ap->conf, "mac");
	if (!parse_mac(mac, ap->mac)) {
		err = "AP " + std::to_string(index) + ": bad or missing \"mac\"";
		return false;
	}
	if (!parse_cidr(jstr(ap->conf, "ip"), ap->ip, ap->prefix)) {
		err = "AP " + std::to_string(index) + ": bad or missing \"ip\" (a.b.c.d/prefix)";
		return false;
	}
	if (by_ip_.count(ap->ip.s_addr)) {
		err = "AP " + std::to_string(index) + ": address " + ap->ip_str() + " is used twice";
		return false;
	}
	ap->boot = jbool(ap->conf, "boot", false);
	ap->silent = jbool(ap->conf, "silent", false);
	ap->log_on = jbool(ap->conf, "log", true);
	std::vector<Tlv> check;
	if (!ap->discovery_tlvs(check, err)) {
		err = "AP " + std::to_string(index) + ": " + err;
		return false;
	}
	by_ip_[ap->ip.s_addr] = ap.get();
	aps.push_back(std::move(ap));
	return true;
}

bool Sim::load(json_object *config, std::string &err)
{
	json_object *defaults = jget(config, "defaults");
	json_object *list = jget(config, "aps");
	int index = 0;
	if (list) {
		if (!json_object_is_type(list, json_type_array)) {
			err = "\"aps\" must be an array";
			return false;
		}
		for (size_t i = 0; i < json_object_array_length(list); i++)
			if (!add_ap(json_object_array_get_idx(list, i), defaults, index++, err))
				return false;
	}
	// "generate": {"count": N, "first_ip": "a.b.c.d/p", "first_mac": "..", ...}:
	// N APs with consecutive addresses and MACs; other members apply to each.
	if (json_object *gen = jget(config, "generate")) {
		int count = json_object_get_int(jget(gen, "count"));
		in_addr ip;
		int prefix;
		std::array<uint8_t, 6> mac;
		if (count < 0 || !parse_cidr(jstr(gen, "first_ip"), ip, prefix) ||
		    !parse_mac(jstr(gen, "first_mac"), mac)) {
			err = "\"generate\" needs count, first_ip and first_mac";
			return false;
		}
		uint32_t host = ntohl(ip.s_addr);
		uint64_t macn = 0;
		for (uint8_t b : mac)
			macn = macn << 8 | b;
		for (int i = 0; i < count; i++) {
			json_object *one = nullptr;
			json_object_deep_copy(gen, &one, nullptr);
			json_object_object_del(one, "count");
			json_object_object_del(one, "first_ip");
			json_object_object_del(one, "first_mac");
			in_addr a;
			a.s_addr = htonl(host + uint32_t(i));
			std::string cidr = ip_text(a) + "/" + std::to_string(prefix);
			std::array<uint8_t, 6> m;
			uint64_t v = macn + uint64_t(i);
			for (int k = 5; k >= 0; k--, v >>= 8)
				m[size_t(k)] = uint8_t(v);
			json_object_object_add(one, "ip", json_object_new_string(cidr.c_str()));
			json_object_object_add(one, "mac", json_object_new_string(mac_text(m).c_str()));
			bool ok = add_ap(one, defaults, index++, err);
			json_object_put(one);
			if (!ok)
				return false;
		}
	}
	return true;
}

bool Sim::ip_batch(const std::vector<std::string> &cmds, std::string &err, bool quiet)
{
	if (cmds.empty())
		return true;
	FILE *p = popen(quiet ? "ip -force -batch - 2>/dev/null" : "ip -force -batch -", "w");
	if (!p) {
		err = std::string("cannot run ip: ") + strerror(errno);
		return false;
	}
	for (const auto &c : cmds)
		fprintf(p, "%s\n", c.c_str());
	int rc = pclose(p);
	if (rc != 0) {
		err = "ip -batch failed";
		return false;
	}
	return true;
}

bool Sim::set_address(Ap &ap, in_addr ip, int prefix, std::string &err)
{
	if (ip.s_addr == ap.ip.s_addr && prefix == ap.prefix)
		return true;
	if (Ap *other = ap_by_ip(ip); other && other != &ap) {
		err = "address " + ip_text(ip) + " belongs to AP " + std::to_string(other->index);
		return false;
	}
	std::string add = "addr replace " + ip_text(ip) + "/" + std::to_string(prefix) + " dev " + ifname;
	std::string del = "addr del " + ap.ip_str() + "/" + std::to_string(ap.prefix) + " dev " + ifname;
	if (!ip_batch({add, del}, err))
		return false;
	by_ip_.erase(ap.ip.s_addr);
	ap.ip = ip;
	ap.prefix = prefix;
	by_ip_[ip.s_addr] = &ap;
	added_addrs_.push_back(ip_text(ip) + "/" + std::to_string(prefix));
	return true;
}

bool Sim::start(std::string &err)
{
	ifindex = int(if_nametoindex(ifname.c_str()));
	if (!ifindex) {
		err = "no interface " + ifname;
		return false;
	}
	// Many addresses of one subnet on one interface: removing the first
	// (primary) one must not take the others with it.
	std::string knob = "/proc/sys/net/ipv4/conf/" + ifname + "/promote_secondaries";
	if (FILE *f = fopen(knob.c_str(), "w")) {
		fputs("1\n", f);
		fclose(f);
	}
	std::vector<std::string> cmds;
	for (const auto &ap : aps) {
		std::string a = ap->ip_str() + "/" + std::to_string(ap->prefix);
		cmds.push_back("addr replace " + a + " dev " + ifname);
		added_addrs_.push_back(a);
	}
	if (!ip_batch(cmds, err))
		return false;

	vex_fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	int on = 1;
	setsockopt(vex_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
	setsockopt(vex_fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
	setsockopt(vex_fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
	int big = 4 << 20;
	if (setsockopt(vex_fd_, SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big) < 0)
		setsockopt(vex_fd_, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
	if (setsockopt(vex_fd_, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) < 0)
		setsockopt(vex_fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	addr.sin_port = htons(64515);
	if (bind(vex_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
		err = std::string("bind port 64515: ") + strerror(errno);
		return false;
	}
	ip_mreqn mreq{};
	inet_aton("239.255.255.100", &mreq.imr_multiaddr);
	mreq.imr_ifindex = ifindex;
	if (setsockopt(vex_fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) < 0) {
		err = std::string("join 239.255.255.100: ") + strerror(errno);
		return false;
	}
	loop.add_fd(vex_fd_, [this](uint32_t) { on_vex_readable(); });
	for (auto &[name, fn] : modules())
		if (!fn(*this, err)) {
			err = name + ": " + err;
			return false;
		}
	return true;
}

void Sim::shutdown()
{
	std::vector<std::string> cmds;
	for (const auto &a : added_addrs_)
		cmds.push_back("addr del " + a + " dev " + ifname);
	std::string err;
	ip_batch(cmds, err, true);
	added_addrs_.clear();
}

Ap *Sim::ap_by_ip(in_addr a)
{
	auto it = by_ip_.find(a.s_addr);
	return it == by_ip_.end() ? nullptr : it->second;
}

Ap *Sim::ap_by_mac(const std::array<uint8_t, 6> &mac)
{
	for (auto &ap : aps)
		if (ap->mac == mac)
			return ap.get();
	return nullptr;
}

Ap *Sim::select_one(json_object *req, const char *cmd, std::string &err)
{
	auto targets = select(jget(req, "ap"), err);
	if (targets.size() == 1)
		return targets[0];
	if (!targets.empty())
		err = std::string("\"") + cmd + "\" needs exactly one AP";
	return nullptr;
}

std::vector<Ap *> Sim::select(json_object *sel, std::string &err)
{
	std::vector<Ap *> out;
	if (!sel) {
		err = "no \"ap\" given";
		return out;
	}
	if (json_object_is_type(sel, json_type_int)) {
		int i = json_object_get_int(sel);
		if (i >= 0 && size_t(i) < aps.size())
			out.push_back(aps[size_t(i)].get());
	} else if (json_object_is_type(sel, json_type_array)) {
		for (size_t i = 0; i < json_object_array_length(sel); i++) {
			auto one = select(json_object_array_get_idx(sel, i), err);
			if (one.empty())
				return {};
			out.insert(out.end(), one.begin(), one.end());
		}
	} else {
		const char *s = json_object_get_string(sel);
		std::array<uint8_t, 6> mac;
		in_addr a;
		if (!strcmp(s, "all")) {
			for (auto &ap : aps)
				out.push_back(ap.get());
		} else if (parse_mac(s, mac)) {
			if (Ap *ap = ap_by_mac(mac))
				out.push_back(ap);
		} else if (inet_aton(s, &a)) {
			if (Ap *ap = ap_by_ip(a))
				out.push_back(ap);
		}
	}
	if (out.empty())
		err = std::string("no such AP: ") + json_object_to_json_string(sel);
	return out;
}

bool Sim::send(Ap &ap, const sockaddr_in &to, const bytes &built)
{
	bytes scratch;
	const bytes &msg = corrupted(ap, built, scratch);
	iovec iov{const_cast<uint8_t *>(msg.data()), msg.size()};
	alignas(cmsghdr) char cbuf[CMSG_SPACE(sizeof(in_pktinfo))] = {};
	msghdr mh{};
	mh.msg_name = const_cast<sockaddr_in *>(&to);
	mh.msg_namelen = sizeof to;
	mh.msg_iov = &iov;
	mh.msg_iovlen = 1;
	mh.msg_control = cbuf;
	mh.msg_controllen = sizeof cbuf;
	cmsghdr *c = CMSG_FIRSTHDR(&mh);
	c->cmsg_level = IPPROTO_IP;
	c->cmsg_type = IP_PKTINFO;
	c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
	in_pktinfo pi{};
	pi.ipi_spec_dst = ap.ip; // leave from the AP's own address
	memcpy(CMSG_DATA(c), &pi, sizeof pi);
	if (sendmsg(vex_fd_, &mh, 0) < 0) {
		tx_errors++;
		return false;
	}
	ap.tx_count++;
	total_tx++;
	return true;
}

bool Sim::reply(Ap &ap, const VexRx &rx, const bytes &msg)
{
	sockaddr_in to = rx.src;
	to.sin_port = htons(64519);
	return send(ap, to, msg);
}

void Sim::on_vex_readable()
{
	for (;;) {
		uint8_t buf[65536];
		alignas(cmsghdr) char cbuf[256];
		sockaddr_in src{};
		iovec iov{buf, sizeof buf};
		msghdr mh{};
		mh.msg_name = &src;
		mh.msg_namelen = sizeof src;
		mh.msg_iov = &iov;
		mh.msg_iovlen = 1;
		mh.msg_control = cbuf;
		mh.msg_controllen = sizeof cbuf;
		ssize_t n = recvmsg(vex_fd_, &mh, MSG_DONTWAIT);
		if (n < 0)
			return;
		total_rx++;
		in_addr dst{};
		for (cmsghdr *c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c))
			if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
				in_pktinfo pi;
				memcpy(&pi, CMSG_DATA(c), sizeof pi);
				dst = pi.ipi_addr;
			}
		VexRx rx;
		rx.raw.assign(buf, buf + n);
		rx.src = src;
		rx.dst = dst;
		auto msg = std::make_unique<vex_msg>();
		rx.msg = msg.get();
		rx.parsed = KvVexPasrsePacket(buf, uint32_t(n), msg.get()) != 0;
		rx.reason = 0;
		rx.header_ok = rx.parsed && KvVexCheckDiscoverHeader(&msg->hdr, &rx.reason);

		std::vector<Ap *> targets;
		uint32_t d = ntohl(dst.s_addr);
		if (IN_MULTICAST(d)) {
			rx.via = "multicast";
		} else if (Ap *ap = ap_by_ip(dst)) {
			rx.via = "unicast";
			targets.push_back(ap);
		} else {
			rx.via = "broadcast";
		}
		if (targets.empty() && strcmp(rx.via, "unicast"))
			for (auto &ap : aps)
				targets.push_back(ap.get());

		json_object *entry = nullptr;
		for (Ap *ap : targets) {
			ap->rx_count++;
			if (ap->log_on) {
				if (!entry)
					entry = decode_entry(rx);
				log_append(ap->log, json_object_get(entry), log_limit);
			}
			dispatch(*ap, rx);
		}
		json_object_put(entry);
		KvVexFreeVexData(msg->tlv, VEX_MAX_TLV);
	}
}

void Sim::dispatch(Ap &ap, const VexRx &rx)
{
	if (ap.silent || !rx.header_ok)
		return;
	auto it = vex_handlers().find(rx.msg->hdr.u2MsgType);
	if (it != vex_handlers().end())
		it->second(*this, ap, rx);
}

} // namespace apsim
