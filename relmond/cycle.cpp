#include "cycle.hpp"

#include <unistd.h>

#include <cstdio>

#include "get_fw.hpp"
#include "libtessel.h"
#include "shared.hpp"
#include "text.hpp"

namespace
{
// A wait setting in seconds; 0, empty, not a number or negative gives the default.
unsigned cycle_wait(const char *key, unsigned fallback)
{
	int v = text_to_int(uci_safe_get(key));
	return v > 0 ? unsigned(v) : fallback;
}

// sleep() returns early when a signal arrives; the loop keeps its pace anyway.
void cycle_sleep(unsigned seconds)
{
	while (seconds > 0)
		seconds = sleep(seconds);
}
} // namespace

int relmond_start()
{
	if (text_to_int(uci_safe_get("relmond.config.enable")) == 0) {
		fprintf(stderr, "%s: relmond is not enable!\n", "main");
		return 0;
	}
	for (;;) {
		uci_free();
		unsigned retry = cycle_wait("relmond.config.retry_interval", 60);
		unsigned interval = cycle_wait("relmond.config.interval", 3600);
		for (int attempt = 0; attempt < 11; attempt++) {
			flush_output();
			if (run_command("relmond remote check") == 0) {
				cycle_sleep(interval);
				break;
			}
			cycle_sleep(retry);
		}
	}
}

void relmond_stop()
{
	flush_output();
	run_command("killall -9 relmond");
}

void upgrade_fw()
{
	const char *cmd = uci_safe_get("relmond.config.upgrade_fw_cmd");
	const char *name = uci_safe_get_state("relmond.remote.fw_filename");
	Text path;
	int code = scratch_path(path, name, "upgrade_fw") ? validate_fw(path.c_str()) : FW_UNKNOWN_ERROR;
	flush_output();
	if (code == FW_OK) {
		Text line(cmd);
		line += ' ';
		shell_quote(line, path.c_str());
		run_command(line.c_str());
	} else {
		run_command("reboot");
	}
}
