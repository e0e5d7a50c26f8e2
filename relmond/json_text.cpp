#include "json_text.hpp"

#include <cstdio>

namespace
{
void json_member(Text &out, const char *name, const char *value)
{
	out += '"';
	out += name;
	out += "\":";
	json_append_string(out, value);
	out += ',';
}
} // namespace

void json_append_string(Text &out, const char *text)
{
	out += '"';
	for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
		switch (*p) {
		case '"':
			out += "\\\"";
			break;
		case '\\':
			out += "\\\\";
			break;
		case '\b':
			out += "\\b";
			break;
		case '\f':
			out += "\\f";
			break;
		case '\n':
			out += "\\n";
			break;
		case '\r':
			out += "\\r";
			break;
		case '\t':
			out += "\\t";
			break;
		default:
			if (*p < 0x20) {
				char esc[8];
				snprintf(esc, sizeof(esc), "\\u%04x", *p);
				out += esc;
			} else {
				out += char(*p);
			}
		}
	}
	out += '"';
}

void json_check_head(Text &out, const char *have_newfw, const char *fw_ver, const char *fw_date,
                     const char *fw_size, long otp)
{
	out += "{";
	json_member(out, "have_newfw", have_newfw);
	json_member(out, "fw_ver", fw_ver);
	json_member(out, "fw_date", fw_date);
	json_member(out, "fw_size", fw_size);
	if (otp >= 0) {
		char num[24];
		snprintf(num, sizeof(num), "%ld", otp);
		json_member(out, "otp", num);
		json_member(out, "fw_notes", "New firmware is avaliable");
	} else {
		json_member(out, "otp", "");
		json_member(out, "fw_notes", "");
	}
	out += "\"rel_note\":[";
}

void json_check_item(Text &out, bool first, const char *item)
{
	if (!first)
		out += ',';
	json_append_string(out, item);
}

void json_status_text(Text &out, int pid, bool alive, int progress, const char *validation)
{
	if (pid < 1) {
		out += "{\"status\":\"\",\"progress\":\"0\",\"validation\":\"\"}";
		return;
	}
	char buf[96];
	snprintf(buf, sizeof(buf), "{\"status\":\"%s\",\"progress\":\"%d\",",
	         alive ? "running" : "terminated", progress);
	out += buf;
	out += "\"validation\":";
	json_append_string(out, alive ? "" : validation);
	out += '}';
}
