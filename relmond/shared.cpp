#include "shared.hpp"

#include <sys/sysinfo.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libtessel.h"
#include "text.hpp"

char download_timeout[1024];

const char *download_timeout_arg()
{
	return *download_timeout ? download_timeout : "5";
}

int run_command(const char *cmd)
{
	int status = system(cmd);
	if (status == -1 || !WIFEXITED(status))
		return -1;
	return WEXITSTATUS(status);
}

int is_process_alive(int pid)
{
	if (pid < 1)
		return -1;
	char cmd[64];
	snprintf(cmd, sizeof(cmd), "kill -0 %d 2>/dev/null", pid);
	return run_command(cmd);
}

char *capture_output(const char *cmd)
{
	static char buf[256];
	memset(buf, 0, sizeof(buf));
	FILE *pipe = popen(cmd, "r");
	if (!pipe) {
		fprintf(stderr, "fail to perform %s", cmd);
		return buf;
	}
	size_t used = 0;
	char chunk[256];
	size_t n;
	// Read to the end so the command never blocks on a full pipe; keep the start.
	while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0) {
		size_t room = sizeof(buf) - 1 - used;
		size_t take = n < room ? n : room;
		memcpy(buf + used, chunk, take);
		used += take;
	}
	pclose(pipe);
	return buf;
}

const char *local_fw_filename(const char *model, const char *build)
{
	static char name[64];
	if (!model)
		model = uci_safe_get("system.info.model_number");
	if (!build)
		build = uci_safe_get("system.info.fw_version_build");
	fw_filename_compose(model, build, name);
	return name;
}

const char *installed_version()
{
	static char last[256];
	last[0] = '\0';
	FILE *f = fopen("/etc/openwrt_version", "r");
	if (!f)
		return last;
	char line[255];
	while (fgets(line, sizeof(line), f))
		memcpy(last, line, strlen(line) + 1);
	fclose(f);
	return trim_blanks(last);
}

long uptime_seconds()
{
	struct sysinfo si;
	if (sysinfo(&si) != 0)
		return 0;
	return si.uptime;
}

bool scratch_path(Text &path, const char *name, const char *who)
{
	path.clear();
	if (!fw_name_is_safe(name)) {
		if (who && name && *name)
			fprintf(stderr, "%s: unsafe filename '%s'\n", who, name);
		return false;
	}
	path.append(RELMOND_DIR).append(name);
	return true;
}

void flush_output()
{
	fflush(stdout);
	fflush(stderr);
}
