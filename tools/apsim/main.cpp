// apsim --config FILE [--ifname IF] [--control SOCKET] [--log-limit N]
//
// The configuration file (JSON):
//   {
//     "defaults": { ...members every AP gets unless it names them itself... },
//     "aps": [ { "mac": "02:00:00:00:00:01", "ip": "10.77.0.11/24",
//                "settings": { "ProductName": "AX-1", "2.4GChannel": 6, "SubnetMask": "255.255.255.0",
//                              "7": 5, "200": {"hex": "0102"}, "IPAddress": null },
//                "boot": false, "silent": false, "log": true }, ... ],
//     "generate": { "count": 1000, "first_ip": "10.77.1.1/16", "first_mac": "02:00:00:01:00:01",
//                   ...members as in "aps", "{n}" in a text setting is the AP's number... }
//   }
// "settings" are the TLVs of the AP's discovery responses, in this order, keyed
// by the registry's key or by type number: text, numbers or dotted IPv4 as the
// registry says, {"hex": ...} for raw bytes, null to leave one out. TLV 4 (the
// AP's own address) is added in front unless the settings name it.
// Each AP's log holds the last N messages it heard (default 500).
// The control socket takes one JSON request per line: ping, list, stats,
// set {ap, boot, silent, log, ip, settings, ...}, log {ap, clear}, clear_log {ap},
// quit; "ap" is an index, a MAC, an address or "all".
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "apsim.hpp"

namespace {
int stop_pipe[2];

void on_signal(int)
{
	char c = 0;
	ssize_t n = write(stop_pipe[1], &c, 1);
	(void)n;
}

int usage()
{
	fprintf(stderr, "usage: apsim --config FILE [--ifname IF] [--control SOCKET] [--log-limit N]\n");
	return 2;
}
} // namespace

int main(int argc, char **argv)
{
	std::string config, control, ifname = "eth0";
	size_t logLimit = 500;
	for (int i = 1; i < argc; i++) {
		std::string a = argv[i];
		if (i + 1 >= argc)
			return usage();
		if (a == "--config")
			config = argv[++i];
		else if (a == "--ifname")
			ifname = argv[++i];
		else if (a == "--control")
			control = argv[++i];
		else if (a == "--log-limit")
			logLimit = size_t(atol(argv[++i]));
		else
			return usage();
	}
	if (config.empty())
		return usage();

	json_object *conf = json_object_from_file(config.c_str());
	if (!conf) {
		fprintf(stderr, "apsim: cannot read %s: %s\n", config.c_str(), json_util_get_last_err());
		return 1;
	}
	apsim::Sim sim;
	sim.ifname = apsim::jstr(conf, "ifname", ifname.c_str());
	if (ifname != "eth0")
		sim.ifname = ifname;
	sim.log_limit = logLimit;
	std::string err;
	if (!sim.load(conf, err)) {
		fprintf(stderr, "apsim: %s: %s\n", config.c_str(), err.c_str());
		json_object_put(conf);
		return 1;
	}
	json_object_put(conf);

	signal(SIGPIPE, SIG_IGN);
	if (pipe2(stop_pipe, O_CLOEXEC) < 0)
		return 1;
	signal(SIGTERM, on_signal);
	signal(SIGINT, on_signal);
	sim.loop.add_fd(stop_pipe[0], [&sim](uint32_t) { sim.loop.stop(); });

	if (!sim.start(err) || (!control.empty() && !apsim::control_start(sim, control, err))) {
		fprintf(stderr, "apsim: %s\n", err.c_str());
		sim.shutdown();
		return 1;
	}
	printf("apsim: ready, %zu APs on %s\n", sim.aps.size(), sim.ifname.c_str());
	fflush(stdout);
	sim.loop.run();
	sim.shutdown();
	if (!control.empty())
		unlink(control.c_str());
	return 0;
}
