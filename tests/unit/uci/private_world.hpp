// A private mount namespace for tests that touch the fixed UCI directories:
// tmpfs over /tmp, overlays over /etc and /var, fresh /etc/config and /var/state.
#pragma once

#include <string>

// Enters the private world once per process. false (with the reason) when the
// process may not create mount namespaces; nothing of the host is touched then.
bool enter_private_world(std::string *why = nullptr);

// Helpers shared by the store tests.
std::string make_temp_dir(const char *tag);
void write_text(const std::string &path, const std::string &text);
std::string read_text(const std::string &path);
bool file_exists(const std::string &path);
