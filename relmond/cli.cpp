#include "cli.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "cycle.hpp"
#include "get_fw.hpp"
#include "libtessel.h"
#include "remote_check.hpp"
#include "shared.hpp"

namespace
{
int cli_usage()
{
	fputs("relmond argument is wrong\n"
	      "example :\n"
	      "\trelmond <start|stop>\n"
	      "\trelmond local info\n"
	      "\trelmond remote <info|check|json_check|pop_otp|show_rel>\n"
	      "\trelmond remote get_fw <start|stop|json_start|status|json_status>\n"
	      "\trelmond upgrade_fw\n",
	      stderr);
	return -1;
}

int cli_start()
{
	return relmond_start();
}

int cli_stop()
{
	relmond_stop();
	return 0;
}

int cli_local_info()
{
	local_info();
	return 0;
}

int cli_remote_info()
{
	remote_info();
	return 0;
}

int cli_show_rel()
{
	remote_show_rel();
	return 0;
}

int cli_json_check()
{
	remote_json_check();
	return 0;
}

int cli_pop_otp()
{
	remote_pop_otp();
	return 0;
}

int cli_get_fw_stop()
{
	get_fw_stop();
	return 0;
}

int cli_get_fw_status()
{
	get_fw_status();
	return 0;
}

int cli_get_fw_json_start()
{
	get_fw_json_start();
	return 0;
}

int cli_get_fw_json_status()
{
	get_fw_json_status();
	return 0;
}

int cli_upgrade_fw()
{
	upgrade_fw();
	return 0;
}

// Every command with all of its words: a command line must name one of them
// exactly, since a word too many (say "upgrade_fw --help") must not run a
// command that reboots the router.
struct CliCommand {
	const char *words[3];
	int (*run)();
};

constexpr CliCommand cli_commands[] = {
    {{"start"}, cli_start},
    {{"stop"}, cli_stop},
    {{"local", "info"}, cli_local_info},
    {{"remote", "info"}, cli_remote_info},
    {{"remote", "check"}, remote_check},
    {{"remote", "show_rel"}, cli_show_rel},
    {{"remote", "json_check"}, cli_json_check},
    {{"remote", "pop_otp"}, cli_pop_otp},
    {{"remote", "get_fw", "start"}, get_fw_start},
    {{"remote", "get_fw", "stop"}, cli_get_fw_stop},
    {{"remote", "get_fw", "status"}, cli_get_fw_status},
    {{"remote", "get_fw", "json_start"}, cli_get_fw_json_start},
    {{"remote", "get_fw", "json_status"}, cli_get_fw_json_status},
    {{"upgrade_fw"}, cli_upgrade_fw},
};

bool cli_matches(const CliCommand &c, int argc, char **argv)
{
	int n = 0;
	while (n < 3 && c.words[n])
		n++;
	if (argc != n + 1)
		return false;
	for (int i = 0; i < n; i++) {
		if (strcmp(argv[i + 1], c.words[i]) != 0)
			return false;
	}
	return true;
}

// Runs the command; -2 when the arguments name none.
int cli_dispatch(int argc, char **argv)
{
	for (const CliCommand &c : cli_commands) {
		if (cli_matches(c, argc, argv))
			return c.run();
	}
	return -2;
}
} // namespace

void local_info()
{
	const char *model = uci_safe_get("system.info.model_number");
	const char *build = uci_safe_get("system.info.fw_version_build");
	const char *date = uci_safe_get("system.info.fw_date");
	const char *version = installed_version();
	const char *name = local_fw_filename(model, build);
	printf("Model Number: %s\n", model);
	printf("FW Filename: %s\n", name);
	printf("FW Version: %s\n", version);
	printf("FW Version Build: %s\n", build);
	printf("FW Date: %s\n", date);
}

int relmond_main(int argc, char **argv)
{
	if (access(RELMOND_DIR, F_OK) != 0)
		mkdir(RELMOND_DIR, 0777);
	if (argc < 2)
		return cli_usage();

	const char *timeout = uci_safe_get("relmond.config.timeout");
	snprintf(download_timeout, sizeof(download_timeout), "%s", *timeout ? timeout : "5");

	int r = cli_dispatch(argc, argv);
	if (r == -2)
		return cli_usage();
	uci_free();
	return r;
}
