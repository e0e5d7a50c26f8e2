#include "private_world.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool fail(std::string *why, const char *what)
{
	if (why)
		*why = std::string(what) + ": " + strerror(errno);
	return false;
}

bool overlay(const char *dir, const char *key, std::string *why)
{
	std::string base = std::string("/tmp/.world-") + key;
	std::string upper = base + "/u", work = base + "/w";
	if (mkdir(base.c_str(), 0700) || mkdir(upper.c_str(), 0755) || mkdir(work.c_str(), 0700))
		return fail(why, "mkdir overlay dirs");
	std::string opts = std::string("lowerdir=") + dir + ",upperdir=" + upper + ",workdir=" + work;
	if (mount("test-ovl", dir, "overlay", 0, opts.c_str()))
		return fail(why, "mount overlay");
	return true;
}

bool enter(std::string *why)
{
	if (unshare(CLONE_NEWNS))
		return fail(why, "unshare");
	if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
		return fail(why, "make / private");
	if (mount("test-tmp", "/tmp", "tmpfs", 0, "mode=1777"))
		return fail(why, "tmpfs on /tmp");
	if (!overlay("/etc", "etc", why) || !overlay("/var", "var", why))
		return false;
	mkdir("/etc/config", 0755);
	mkdir("/var/state", 0755);
	return true;
}

} // namespace

bool enter_private_world(std::string *why)
{
	static int state = 0;
	static std::string reason;
	if (state == 0)
		state = enter(&reason) ? 1 : -1;
	if (why)
		*why = reason;
	return state == 1;
}

std::string make_temp_dir(const char *tag)
{
	std::string t = std::string("/tmp/") + tag + ".XXXXXX";
	if (!mkdtemp(t.data()))
		throw std::runtime_error("mkdtemp failed");
	return t;
}

void write_text(const std::string &path, const std::string &text)
{
	std::ofstream f(path, std::ios::binary | std::ios::trunc);
	f << text;
}

std::string read_text(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

bool file_exists(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0;
}
