#include "get_fw.hpp"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "json_text.hpp"
#include "libtessel.h"
#include "server_text.hpp"
#include "shared.hpp"
#include "text.hpp"

namespace
{
int get_fw_progress()
{
	FILE *f = fopen(RELMOND_PROGRESS_FILE, "r");
	if (!f)
		return 0;
	ProgressScan scan;
	char piece[PROGRESS_PIECE];
	while (fgets(piece, sizeof(piece), f))
		scan.feed(piece);
	fclose(f);
	return scan.value;
}
} // namespace

const char *fw_validation_name(int code)
{
	switch (code) {
	case FW_OK:
		return "OK";
	case FW_SIZE_ERROR:
		return "SIZE_ERROR";
	case FW_MD5_ERROR:
		return "MD5_ERROR";
	default:
		return "UNKNOWN_ERROR";
	}
}

int async_download_file(const char *url, const char *dest, const char *progress_file)
{
	if (!*url || !*dest)
		return -1;
	if (!*progress_file) {
		fprintf(stderr, "%s: progress_file is empty!\n", "async_download_file");
		return -1;
	}
	// The recorder gives the pipeline a terminal, so grep hands each
	// percentage to the progress file as soon as wget reports it.
	Text pipeline("wget --no-check-certificate -t 1 -T ");
	shell_quote(pipeline, download_timeout);
	pipeline += " -O ";
	shell_quote(pipeline, dest);
	pipeline += ' ';
	shell_quote(pipeline, url);
	pipeline += " 2>&1 | grep -o \"[0-9]\\+%\"";

	Text launcher("nohup script -c ");
	shell_quote(launcher, pipeline.c_str());
	launcher += " -f ";
	shell_quote(launcher, progress_file);
	launcher += " >/dev/null &\necho $!\n";

	flush_output();
	int pid = text_to_int(capture_output(launcher.c_str()));
	return pid > 0 ? pid : -1;
}

int validate_fw(const char *path)
{
	const char *md5 = uci_safe_get_state("relmond.remote.fw_md5");
	const char *size = uci_safe_get_state("relmond.remote.fw_size");
	struct stat st;
	if (stat(path, &st) != 0)
		return FW_UNKNOWN_ERROR;
	if (strtoll(size, nullptr, 10) != (long long)st.st_size)
		return FW_SIZE_ERROR;
	Text cmd("md5sum ");
	shell_quote(cmd, path);
	cmd += " | cut -d ' ' -f 1";
	flush_output();
	const char *digest = trim_blanks(capture_output(cmd.c_str()));
	return strcasecmp(digest, md5) != 0 ? FW_MD5_ERROR : FW_OK;
}

int validate_stored_fw()
{
	Text path;
	const char *name = uci_safe_get_state("relmond.remote.fw_filename");
	if (!scratch_path(path, name, "validate_fw"))
		return FW_UNKNOWN_ERROR;
	return validate_fw(path.c_str());
}

int get_fw_start()
{
	const char *name = uci_safe_get_state("relmond.remote.fw_filename");
	const char *url = uci_safe_get_state("relmond.remote.fw_url");
	const char *pid_text = uci_safe_get_state("relmond.remote.get_fw_pid");
	if (*pid_text && is_process_alive(text_to_int(pid_text)) == 0) {
		fprintf(stderr, "%s: get fw failed!, pid %s is running\n", "get_fw_start", pid_text);
		return -1;
	}
	if (!*url) {
		fprintf(stderr, "%s: get fw failed!, relmond.remote.fw_url is empty\n", "get_fw_start");
		return -1;
	}
	Text path;
	if (!scratch_path(path, name, "get_fw_start")) {
		if (!*name)
			fprintf(stderr, "%s: unsafe filename '%s'\n", "get_fw_start", name);
		return -1;
	}
	int pid = async_download_file(url, path.c_str(), RELMOND_PROGRESS_FILE);
	if (pid < 1) {
		fprintf(stderr, "%s: download %s failed!, error code %d\n", "get_fw_start", url, pid);
		return -1;
	}
	char num[16];
	snprintf(num, sizeof(num), "%d", pid);
	uci_set_option_state("relmond.remote.get_fw_pid", num);
	return 0;
}

void get_fw_stop()
{
	int pid = text_to_int(uci_safe_get_state("relmond.remote.get_fw_pid"));
	if (pid < 1) {
		fprintf(stderr, "%s: no process!\n", "get_fw_stop");
	} else {
		char cmd[64];
		snprintf(cmd, sizeof(cmd), "kill -9 %d 2>/dev/null", pid);
		flush_output();
		if (run_command(cmd) != 0)
			fprintf(stderr, "%s: stop process %d failed!\n", "get_fw_stop", pid);
		else
			printf("Stop process %d successfully!\n", pid);
	}
	const char *name = uci_safe_get_state("relmond.remote.fw_filename");
	Text path;
	if (*name && scratch_path(path, name, "get_fw_stop"))
		unlink(path.c_str());
}

void get_fw_status()
{
	int pid = text_to_int(uci_safe_get_state("relmond.remote.get_fw_pid"));
	if (pid < 1) {
		fprintf(stderr, "%s: No get fw process!\n", "get_fw_status");
		return;
	}
	const char *name = uci_safe_get_state("relmond.remote.fw_filename");
	const char *url = uci_safe_get_state("relmond.remote.fw_url");
	bool alive = is_process_alive(pid) == 0;
	printf("PID: %d\n", pid);
	printf("Status: %s\n", alive ? "running" : "terminated");
	printf("Progress: %d%%\n", get_fw_progress());
	printf("FW URL: %s\n", url);
	printf("FW Path: %s%s\n", RELMOND_DIR, name);
	if (!alive)
		printf("FW Validation: %s\n", fw_validation_name(validate_stored_fw()));
}

void get_fw_json_status()
{
	int pid = text_to_int(uci_safe_get_state("relmond.remote.get_fw_pid"));
	Text out;
	if (pid < 1) {
		json_status_text(out, pid, false, 0, "");
	} else {
		bool alive = is_process_alive(pid) == 0;
		int progress = get_fw_progress();
		json_status_text(out, pid, alive, progress,
		                 alive ? "" : fw_validation_name(validate_stored_fw()));
	}
	fputs(out.c_str(), stdout);
}

void get_fw_json_start()
{
	flush_output();
	pid_t child = fork();
	if (child < 0)
		return;
	if (child == 0) {
		run_command("relmond remote get_fw stop 1>/dev/null");
		sleep(1);
		run_command("relmond remote get_fw start");
		_exit(0);
	}
	for (;;) {
		if (wait(nullptr) < 0 && errno != EINTR)
			break;
	}
	sleep(2);
	get_fw_json_status();
}
