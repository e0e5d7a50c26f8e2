#include "remote_check.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "json_text.hpp"
#include "libtessel.h"
#include "server_text.hpp"
#include "shared.hpp"
#include "text.hpp"

namespace
{
void check_set_number(const char *key, long value)
{
	char num[24];
	snprintf(num, sizeof(num), "%ld", value);
	uci_set_option_state(key, num);
}

// Writes each recognised line of the info file to the state at once.
void check_read_info(const char *path)
{
	FILE *f = fopen(path, "r");
	if (!f)
		return;
	char line[INFO_PIECE];
	while (fgets(line, sizeof(line), f)) {
		char *value;
		if (const char *key = info_line_key(line, &value))
			uci_set_option_state(key, value);
	}
	fclose(f);
}

void info_elapsed_line(const char *label, const char *stored)
{
	long then = strtol(stored, nullptr, 10);
	if (then == 0)
		return;
	long ago = uptime_seconds() - then;
	printf("%s: %s (%02ld:%02ld:%02ld ago)\n", label, stored, ago / 3600, ago % 3600 / 60, ago % 60);
}
} // namespace

int download_file(const char *url, const char *dest)
{
	if (!*url || !*dest)
		return -1;
	Text cmd("wget -q --no-check-certificate -t 1 -T ");
	shell_quote(cmd, download_timeout_arg());
	cmd += " -O ";
	shell_quote(cmd, dest);
	cmd += ' ';
	shell_quote(cmd, url);
	return run_command(cmd.c_str());
}

int get_rel()
{
	const char *name = uci_safe_get_state("relmond.remote.rel_filename");
	const char *url = uci_safe_get_state("relmond.remote.rel_url");
	if (!*url) {
		fprintf(stderr, "%s: get release note failed!, relmond.remote.rel_url is empty\n", "get_rel");
		return -1;
	}
	Text path;
	if (!scratch_path(path, name, "get_rel"))
		return -1;
	int r = download_file(url, path.c_str());
	if (r != 0) {
		fprintf(stderr, "%s: download %s failed!, error code %d\n", "get_rel", url, r);
		return -1;
	}
	FILE *f = fopen(path.c_str(), "r");
	if (!f)
		return 0;
	char line[REL_PIECE];
	while (fgets(line, sizeof(line), f)) {
		if (const char *ver = rel_version_of(line))
			uci_set_option_state("relmond.remote.fw_ver", ver);
	}
	fclose(f);
	return 0;
}

int remote_check()
{
	const char *info_url = uci_safe_get("relmond.config.info_url");
	long base_len = url_base_len(info_url);
	if (base_len < 0) {
		fprintf(stderr, "%s: parse info_url failed\n", "remote_check");
		return -1;
	}
	Text info_path(RELMOND_DIR);
	info_path += info_url + base_len;
	Text url;

	int r = download_file(info_url, info_path.c_str());
	long now = uptime_seconds();
	if (r != 0) {
		check_set_number("relmond.remote.last_check_fail_time", now);
		fprintf(stderr, "%s: download %s failed!, error code %d\n", "remote_check", info_url, r);
		return -1;
	}
	check_read_info(info_path.c_str());

	Text path;
	const char *fw_name = uci_safe_get_state("relmond.remote.fw_filename");
	if (!*fw_name) {
		fprintf(stderr, "%s: parse filename failed\n", "remote_check");
		return -1;
	}
	if (!scratch_path(path, fw_name, "remote_check"))
		return -1;
	url.append(info_url, size_t(base_len)).append(fw_name);
	uci_set_option_state("relmond.remote.fw_url", url.c_str());

	const char *rel_name = uci_safe_get_state("relmond.remote.rel_filename");
	if (!*rel_name) {
		fprintf(stderr, "%s: parse release notes failed\n", "remote_check");
		return -1;
	}
	if (!scratch_path(path, rel_name, "remote_check"))
		return -1;
	url.clear();
	url.append(info_url, size_t(base_len)).append(rel_name);
	uci_set_option_state("relmond.remote.rel_url", url.c_str());
	check_set_number("relmond.remote.last_check_time", now);
	uci_set_option_state("relmond.remote.last_check_fail_time", "");

	get_rel();

	const char *local_name = local_fw_filename(nullptr, nullptr);
	const char *installed = installed_version();
	const char *server_ver = uci_safe_get_state("relmond.remote.fw_ver");
	uci_set_option_state("relmond.remote.have_newfw",
	                     fw_is_newer(fw_name, local_name, server_ver, installed) ? "1" : "0");
	return 0;
}

void remote_info()
{
	if (text_to_int(uci_safe_get_state("relmond.remote.have_newfw")) != 0)
		printf("\033[1;31mNew Firmware Available!\033[0m\n");
	printf("FW Filename: %s\n", uci_safe_get_state("relmond.remote.fw_filename"));
	printf("FW Version: %s\n", uci_safe_get_state("relmond.remote.fw_ver"));
	printf("FW Date: %s\n", uci_safe_get_state("relmond.remote.fw_date"));
	printf("FW MD5: %s\n", uci_safe_get_state("relmond.remote.fw_md5"));
	printf("FW Size: %s\n", uci_safe_get_state("relmond.remote.fw_size"));
	printf("FW URL: %s\n", uci_safe_get_state("relmond.remote.fw_url"));
	printf("ReleaseNote URL: %s\n", uci_safe_get_state("relmond.remote.rel_url"));
	info_elapsed_line("Last Check Time", uci_safe_get_state("relmond.remote.last_check_time"));
	info_elapsed_line("Last Check Failed Time",
	                  uci_safe_get_state("relmond.remote.last_check_fail_time"));
}

void remote_show_rel()
{
	const char *name = uci_safe_get_state("relmond.remote.rel_filename");
	Text path;
	if (!scratch_path(path, name, "show_rel"))
		return;
	FILE *f = fopen(path.c_str(), "r");
	if (!f)
		return;
	RelItems items;
	char line[REL_PIECE];
	while (fgets(line, sizeof(line), f)) {
		if (const char *item = items.feed(line))
			puts(item);
	}
	fclose(f);
}

void remote_json_check()
{
	remote_check();
	const char *have = uci_safe_get_state("relmond.remote.have_newfw");
	long otp = -1;
	if (have[0] == '1') {
		srand(unsigned(time(nullptr)));
		otp = rand();
		char cmd[64];
		snprintf(cmd, sizeof(cmd), "echo %ld > %s%s", otp, RELMOND_DIR, "otp");
		flush_output();
		run_command(cmd);
	}
	Text out;
	json_check_head(out, have, uci_safe_get_state("relmond.remote.fw_ver"),
	                uci_safe_get_state("relmond.remote.fw_date"),
	                uci_safe_get_state("relmond.remote.fw_size"), otp);
	flush_output();
	FILE *rel = popen("relmond remote show_rel", "r");
	if (rel) {
		char line[REL_PIECE];
		bool first = true;
		while (fgets(line, sizeof(line), rel)) {
			json_check_item(out, first, trim_blanks(line));
			first = false;
		}
		pclose(rel);
	}
	out += json_check_tail;
	fputs(out.c_str(), stdout);
}

void remote_pop_otp()
{
	FILE *f = fopen(RELMOND_OTP_FILE, "r");
	if (!f)
		return;
	char line[63] = "";
	if (!fgets(line, sizeof(line), f))
		line[0] = '\0';
	printf("%s\n", trim_blanks(line));
	fclose(f);
}
