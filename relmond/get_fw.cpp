#include "get_fw.hpp"

#include <sys/stat.h>
#include <sys/statvfs.h>
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

// Bytes a file occupies; 0 when it does not exist.
unsigned long long get_fw_file_bytes(const char *path)
{
	struct stat st;
	if (stat(path, &st) != 0)
		return 0;
	return (unsigned long long)st.st_blocks * 512;
}

// The scratch directory is RAM on a router: an image that does not fit would
// fill it and starve everything else that lives there. The old image and
// signature count as free, since the download overwrites them. When the free
// space cannot be read, the download is not held back.
bool get_fw_room(const char *path, const char *sig_path)
{
	const char *size_text = uci_safe_get_state("relmond.remote.fw_size");
	long long size = strtoll(size_text, nullptr, 10);
	struct statvfs vfs;
	if (size <= 0 || statvfs(RELMOND_DIR, &vfs) != 0)
		return true;
	unsigned long long free_bytes = (unsigned long long)vfs.f_bavail * vfs.f_frsize;
	free_bytes += get_fw_file_bytes(path);
	if (sig_path)
		free_bytes += get_fw_file_bytes(sig_path);
	if (fw_fits(size, free_bytes))
		return true;
	fprintf(stderr, "%s: get fw failed!, no room for %s bytes in %s (%llu bytes free, %llu kept spare)\n",
	        "get_fw_start", size_text, RELMOND_DIR, free_bytes, FW_ROOM_MARGIN);
	return false;
}

void get_fw_append_wget(Text &cmd, const char *dest, const char *url, const char *suffix)
{
	cmd += "wget --no-check-certificate -t 1 -T ";
	shell_quote(cmd, download_timeout_arg());
	cmd += " -O ";
	Text word(dest);
	word += suffix;
	shell_quote(cmd, word.c_str());
	cmd += ' ';
	word.clear();
	word.append(url).append(suffix);
	shell_quote(cmd, word.c_str());
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
	case FW_SIGN_ERROR:
		return "SIGN_ERROR";
	default:
		return "UNKNOWN_ERROR";
	}
}

int async_download_file(const char *url, const char *dest, const char *progress_file, bool sign)
{
	if (!*url || !*dest)
		return -1;
	if (!*progress_file) {
		fprintf(stderr, "%s: progress_file is empty!\n", "async_download_file");
		return -1;
	}
	// The recorder gives the pipeline a terminal, so grep hands each
	// percentage to the progress file as soon as wget reports it.
	Text pipeline;
	get_fw_append_wget(pipeline, dest, url, "");
	pipeline += " 2>&1 | grep -o \"[0-9]\\+%\"";
	// The signature comes after the image and stays out of the progress
	// record, whose last line is the image's.
	if (sign) {
		pipeline += "; ";
		get_fw_append_wget(pipeline, dest, url, ".sig");
		pipeline += " >/dev/null 2>&1";
	}

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
	if (strcasecmp(digest, md5) != 0)
		return FW_MD5_ERROR;

	const char *key = uci_safe_get("relmond.config.pubkey");
	if (!*key)
		return FW_OK;
	Text sig(path);
	sig += ".sig";
	if (stat(sig.c_str(), &st) != 0)
		return FW_SIGN_ERROR;
	cmd.clear();
	cmd += "usign -V -q -m ";
	shell_quote(cmd, path);
	cmd += " -x ";
	shell_quote(cmd, sig.c_str());
	cmd += " -p ";
	shell_quote(cmd, key);
	flush_output();
	return run_command(cmd.c_str()) == 0 ? FW_OK : FW_SIGN_ERROR;
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
	bool sign = *uci_safe_get("relmond.config.pubkey") != '\0';
	Text sig_path;
	if (sign)
		sig_path.append(path.c_str()).append(".sig");
	if (!get_fw_room(path.c_str(), sign ? sig_path.c_str() : nullptr))
		return -1;
	// A signature left from an earlier image must not stand in for a
	// missing one.
	if (sign)
		unlink(sig_path.c_str());
	int pid = async_download_file(url, path.c_str(), RELMOND_PROGRESS_FILE, sign);
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
	if (*name && scratch_path(path, name, "get_fw_stop")) {
		unlink(path.c_str());
		if (*uci_safe_get("relmond.config.pubkey")) {
			path += ".sig";
			unlink(path.c_str());
		}
	}
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
