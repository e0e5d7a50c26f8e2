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

bool arg_is(int argc, char **argv, int i, const char *word)
{
	return i < argc && strcmp(argv[i], word) == 0;
}

// Runs the get_fw command named by argv[3]; -2 when there is none.
int cli_get_fw(int argc, char **argv)
{
	if (argc < 4)
		return -2;
	if (arg_is(argc, argv, 3, "start"))
		return get_fw_start();
	if (arg_is(argc, argv, 3, "stop"))
		get_fw_stop();
	else if (arg_is(argc, argv, 3, "status"))
		get_fw_status();
	else if (arg_is(argc, argv, 3, "json_start"))
		get_fw_json_start();
	else if (arg_is(argc, argv, 3, "json_status"))
		get_fw_json_status();
	else
		return -2;
	return 0;
}

// Runs the remote command named by argv[2]; -2 when there is none.
int cli_remote(int argc, char **argv)
{
	if (argc < 3)
		return -2;
	if (arg_is(argc, argv, 2, "info"))
		remote_info();
	else if (arg_is(argc, argv, 2, "check"))
		return remote_check();
	else if (arg_is(argc, argv, 2, "show_rel"))
		remote_show_rel();
	else if (arg_is(argc, argv, 2, "json_check"))
		remote_json_check();
	else if (arg_is(argc, argv, 2, "pop_otp"))
		remote_pop_otp();
	else if (arg_is(argc, argv, 2, "get_fw"))
		return cli_get_fw(argc, argv);
	else
		return -2;
	return 0;
}

// Runs the command; -2 when the arguments name none.
int cli_dispatch(int argc, char **argv)
{
	if (arg_is(argc, argv, 1, "start"))
		return relmond_start();
	if (arg_is(argc, argv, 1, "stop")) {
		relmond_stop();
		return 0;
	}
	if (arg_is(argc, argv, 1, "local")) {
		if (!arg_is(argc, argv, 2, "info"))
			return -2;
		local_info();
		return 0;
	}
	if (arg_is(argc, argv, 1, "remote"))
		return cli_remote(argc, argv);
	if (arg_is(argc, argv, 1, "upgrade_fw")) {
		upgrade_fw();
		return 0;
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
