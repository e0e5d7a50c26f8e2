// libbulk routines: file checksum, debug prefixes, formatted command, receive, syslog and session
// number (the last two inside a private /dev).
#include "bulktools.h"
#include "bulktools_internal.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

struct child_result {
	int status; // exit code, or -1 when the child did not exit normally
	std::string out;
};

// Runs fn in a forked child whose standard output is captured; fn's result is the exit code.
child_result run_child(const std::function<int()> &fn)
{
	int p[2];
	if (pipe(p) != 0)
		return {-1, ""};
	fflush(stdout);
	pid_t pid = fork();
	if (pid == 0) {
		close(p[0]);
		dup2(p[1], STDOUT_FILENO);
		close(p[1]);
		int rc = fn();
		fflush(stdout);
		_exit(rc);
	}
	close(p[1]);
	std::string out;
	char buf[4096];
	ssize_t n;
	while ((n = read(p[0], buf, sizeof(buf))) > 0)
		out.append(buf, static_cast<size_t>(n));
	close(p[0]);
	int st = 0;
	waitpid(pid, &st, 0);
	return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

// In the calling (child) process: a private mount namespace with an empty tmpfs over /dev.
// Exit code 77 tells the parent that namespaces are not available here.
constexpr int no_namespace = 77;
bool private_dev(bool read_only = false)
{
	if (unshare(CLONE_NEWNS) != 0)
		return false;
	if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
		return false;
	return mount("bulk-dev", "/dev", "tmpfs", read_only ? MS_RDONLY : 0, "mode=755") == 0;
}

std::string read_file(const char *path)
{
	std::string s;
	FILE *f = fopen(path, "rb");
	if (!f)
		return s;
	char buf[4096];
	size_t n;
	while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
		s.append(buf, n);
	fclose(f);
	return s;
}

class temp_dir
{
      public:
	temp_dir()
	{
		char tmpl[] = "/tmp/bulktest.XXXXXX";
		path_ = mkdtemp(tmpl);
	}
	~temp_dir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
	std::string file(const std::string &name, const std::vector<uint8_t> &bytes) const
	{
		std::string p = path_ + "/" + name;
		FILE *f = fopen(p.c_str(), "wb");
		if (!bytes.empty())
			fwrite(bytes.data(), 1, bytes.size(), f);
		fclose(f);
		return p;
	}
	const std::string &path() const { return path_; }

      private:
	std::string path_;
};

std::string pid_colour()
{
	return std::to_string(31 + getpid() % 8);
}

std::string pad_left(const std::string &s, size_t w)
{
	return std::string(w > s.size() ? w - s.size() : 0, ' ') + s;
}

} // namespace

// ---- calculate_CRC ---------------------------------------------------------------------------

TEST(CalculateCrc, PrintsBigEndianXorAndReturnsItByteSwapped)
{
	temp_dir d;
	struct {
		std::vector<uint8_t> bytes;
		const char *printed;
		uint32_t result;
	} cases[] = {
	    {{0x01, 0x02, 0x03, 0x04}, "1020304", 0x04030201u},
	    {{0x01, 0x02, 0x03, 0x04, 0x01, 0x02, 0x03, 0x04}, "0", 0},
	    {{0x01, 0x02, 0x03}, "1020300", 0x00030201u},
	    {{0xde, 0xad, 0xbe, 0xef, 0x80}, "5eadbeef", 0xefbead5eu},
	    {{}, "0", 0},
	};
	int i = 0;
	for (const auto &c : cases) {
		std::string p = d.file("f" + std::to_string(i++), c.bytes);
		uint32_t got = 0;
		auto r = run_child([&] {
			got = calculate_CRC(p.c_str());
			fflush(stdout);
			return got == c.result ? 0 : 1;
		});
		EXPECT_EQ(r.status, 0) << c.printed;
		EXPECT_EQ(r.out, "path = " + p + "\ncalculate_CRC checksum = " + c.printed + "\n");
		EXPECT_EQ(calculate_CRC(p.c_str()), c.result) << c.printed;
	}
}

TEST(CalculateCrc, SpansBlocksWithAZeroPaddedTail)
{
	// 2051 bytes: two whole 1024-byte blocks and a 3-byte tail.
	std::vector<uint8_t> bytes(2051);
	uint32_t seed = 12345;
	for (auto &b : bytes) {
		seed = seed * 1103515245u + 12345u;
		b = static_cast<uint8_t>(seed >> 16);
	}
	uint32_t be = 0;
	for (size_t i = 0; i < bytes.size(); i += 4) {
		uint32_t w = 0;
		for (size_t k = 0; k < 4; k++)
			w = (w << 8) | (i + k < bytes.size() ? bytes[i + k] : 0);
		be ^= w;
	}
	temp_dir d;
	std::string p = d.file("big", bytes);
	uint32_t le = __builtin_bswap32(be);
	EXPECT_EQ(calculate_CRC(p.c_str()), le);
	// The same words fed in odd pieces give the same value.
	EXPECT_EQ(bulk::xor32_update(bulk::xor32_update(0, bytes.data(), 1024), bytes.data() + 1024, 1024) ^
	              bulk::xor32_update(0, bytes.data() + 2048, 3),
	          be);
}

TEST(CalculateCrc, MissingFileSaysSoAndReturnsOne)
{
	const char *p = "/nonexistent-bulk/none.bin";
	auto r = run_child([&] { return calculate_CRC(p) == 1 ? 0 : 1; });
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, std::string("path = ") + p + "\ncan't find file!!!\n");
}

// ---- debug prefixes --------------------------------------------------------------------------

TEST(DebugPrefix, BulkPrefixBytes)
{
	char *text = nullptr;
	size_t len = 0;
	FILE *f = open_memstream(&text, &len);
	int a = __bulkprintf_info__(f, "agent.c", 42, "main");
	int b = __bulkprintf_info__(f, "a_source_file_name_longer.c", 123456, "a_function_name_too_long");
	fclose(f);
	std::string pid = pad_left(std::to_string(getpid()), 5);
	std::string first = "\x1b[1m\x1b[40;" + pid_colour() + "m[" + pid +
	                    " agent.c             :   42             main()]:::\x1b[0m";
	std::string second = "\x1b[1m\x1b[40;" + pid_colour() + "m[" + pid +
	                     " a_source_file_name_longer.c:123456 a_function_name_too_long()]:::\x1b[0m";
	EXPECT_EQ(std::string(text, len), first + second);
	EXPECT_EQ(a, static_cast<int>(first.size()));
	EXPECT_EQ(b, static_cast<int>(second.size()));
	free(text);
}

TEST(DebugPrefix, DbgPrefixCarriesTimeModulo4096)
{
	char *text = nullptr;
	size_t len = 0;
	FILE *f = open_memstream(&text, &len);
	time_t before = time(nullptr);
	int n = __dbgprintf_info__(f, "x.c", 7, "fn");
	time_t after = time(nullptr);
	fclose(f);
	std::string got(text, len);
	free(text);
	auto expect = [](time_t t) {
		return "\x1b[1m\x1b[40;" + pid_colour() + "m[" + pad_left(std::to_string(t % 4096), 4) + " " +
		       pad_left(std::to_string(getpid()), 5) +
		       " x.c                 :    7               fn()]:::\x1b[0m";
	};
	EXPECT_TRUE(got == expect(before) || got == expect(after)) << got;
	EXPECT_EQ(n, static_cast<int>(got.size()));
}

// ---- __bulksytem -----------------------------------------------------------------------------

TEST(BulkSystem, FormatsRunsAndReturnsRawStatus)
{
	temp_dir d;
	std::string out = d.path() + "/out";
	int st = __bulksytem("x.c", 1, "f", "printf '%%s-%d' %s > %s", 7, "abc", out.c_str());
	EXPECT_EQ(st, 0);
	EXPECT_EQ(read_file(out.c_str()), "abc-7");
	st = __bulksytem("x.c", 1, "f", "exit %d", 3);
	ASSERT_TRUE(WIFEXITED(st));
	EXPECT_EQ(WEXITSTATUS(st), 3);
}

TEST(BulkSystem, CommandThatDoesNotFitIsRefusedWhole)
{
	temp_dir d;
	std::string mark = d.path() + "/ran";
	// "touch <mark> #" then filler up to exactly 1031 characters: the longest command that fits.
	std::string head = "touch " + mark + " #";
	std::string fill(1031 - head.size(), 'a');
	ASSERT_EQ(__bulksytem("x.c", 1, "f", "%s%s", head.c_str(), fill.c_str()), 0);
	EXPECT_EQ(access(mark.c_str(), F_OK), 0);
	unlink(mark.c_str());

	// One character more would need 1033 bytes with its end: not run at all.
	fill += 'a';
	errno = 0;
	EXPECT_EQ(__bulksytem("x.c", 1, "f", "%s%s", head.c_str(), fill.c_str()), -1);
	EXPECT_EQ(errno, E2BIG);
	EXPECT_NE(access(mark.c_str(), F_OK), 0);
	std::string huge(5000, 'b');
	EXPECT_EQ(__bulksytem("x.c", 1, "f", "touch %s; : %s", mark.c_str(), huge.c_str()), -1);
	EXPECT_NE(access(mark.c_str(), F_OK), 0);
}

// ---- bulkrecv --------------------------------------------------------------------------------

TEST(BulkRecv, NonPositiveLengthLeavesTheSocketAlone)
{
	int sv[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
	ASSERT_EQ(send(sv[1], "abc", 3, 0), 3);
	char buf[8];
	memset(buf, 'x', sizeof(buf));
	EXPECT_EQ(bulkrecv(&sv[0], buf, 0), 0);
	EXPECT_EQ(bulkrecv(&sv[0], buf, -4), 0);
	EXPECT_EQ(bulkrecv(nullptr, nullptr, 0), 0);
	EXPECT_EQ(buf[0], 'x');
	char left[8];
	EXPECT_EQ(recv(sv[0], left, sizeof(left), MSG_DONTWAIT), 3);
	close(sv[0]);
	close(sv[1]);
}

TEST(BulkRecv, ClearsBufferReceivesOnceAndReportsCloseAndErrors)
{
	int sv[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
	ASSERT_EQ(send(sv[1], "abc", 3, 0), 3);
	char buf[8];
	memset(buf, 'x', sizeof(buf));
	EXPECT_EQ(bulkrecv(&sv[0], buf, sizeof(buf)), 3);
	EXPECT_EQ(std::string(buf, sizeof(buf)), std::string("abc\0\0\0\0\0", 8));

	ASSERT_EQ(send(sv[1], "0123456789", 10, 0), 10);
	EXPECT_EQ(bulkrecv(&sv[0], buf, 4), 4);
	EXPECT_EQ(std::string(buf, 4), "0123");
	EXPECT_EQ(bulkrecv(&sv[0], buf, sizeof(buf)), 6);

	close(sv[1]);
	EXPECT_EQ(bulkrecv(&sv[0], buf, sizeof(buf)), 0);
	close(sv[0]);
	int bad = sv[0];
	EXPECT_EQ(bulkrecv(&bad, buf, sizeof(buf)), -1);
}

TEST(BulkRecv, NonBlockingSocketWaitsForDataWithoutSpinning)
{
	int sv[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, sv), 0);
	std::thread late([&] {
		std::this_thread::sleep_for(std::chrono::milliseconds(300));
		send(sv[1], "late", 4, 0);
	});
	char buf[16];
	struct timespec c0, c1;
	clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
	int n = bulkrecv(&sv[0], buf, sizeof(buf));
	clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
	late.join();
	EXPECT_EQ(n, 4);
	EXPECT_EQ(std::string(buf), "late");
	// A busy loop would burn the whole 300 ms; waiting costs next to nothing.
	double cpu_ms = (c1.tv_sec - c0.tv_sec) * 1e3 + (c1.tv_nsec - c0.tv_nsec) / 1e6;
	EXPECT_LT(cpu_ms, 100.0);
	close(sv[0]);
	close(sv[1]);
}

// ---- create_sessionID, bulklog (private /dev) --------------------------------------------------

TEST(SessionId, InRangeAndWrittenToTheConsole)
{
	auto r = run_child([] {
		if (!private_dev())
			return no_namespace;
		FILE *c = fopen("/dev/console", "w");
		fclose(c);
		int id = create_sessionID();
		printf("%d %d\n", static_cast<int>(getpid()), id);
		fputs(read_file("/dev/console").c_str(), stdout);
		return 0;
	});
	if (r.status == no_namespace)
		GTEST_SKIP() << "no private mount namespace here";
	ASSERT_EQ(r.status, 0);
	size_t nl = r.out.find('\n');
	ASSERT_NE(nl, std::string::npos);
	size_t sp = r.out.find(' ');
	int child = std::stoi(r.out.substr(0, sp));
	int id = std::stoi(r.out.substr(sp + 1, nl - sp - 1));
	EXPECT_GE(id, 2);
	EXPECT_LE(id, 10001);
	// The child is a different process: its colour and number are in the line.
	std::string line = r.out.substr(nl + 1);
	char hex[16];
	snprintf(hex, sizeof(hex), "%x", id);
	std::string expect =
	    "\x1b[1m\x1b[40;" + std::to_string(31 + child % 8) + "m[" + pad_left(std::to_string(child), 5) +
	    " bulktools           :  250 create_sessionID()]:::\x1b[0msession ID:" + hex + "\n";
	EXPECT_EQ(line, expect);
}

TEST(SessionId, StillReturnedWithoutAConsole)
{
	auto r = run_child([] {
		if (!private_dev(true))
			return no_namespace;
		int id = create_sessionID();
		return id >= 2 && id <= 10001 && access("/dev/console", F_OK) != 0 ? 0 : 1;
	});
	if (r.status == no_namespace)
		GTEST_SKIP() << "no private mount namespace here";
	EXPECT_EQ(r.status, 0);
}

TEST(BulkLog, OneUserInfoEntryWithPid)
{
	auto r = run_child([] {
		if (!private_dev())
			return no_namespace;
		int s = socket(AF_UNIX, SOCK_DGRAM, 0);
		struct sockaddr_un a = {};
		a.sun_family = AF_UNIX;
		strcpy(a.sun_path, "/dev/log");
		if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0)
			return 2;
		bulklog("bulktest", "provisioned 1 of 2");
		char buf[512] = {};
		ssize_t n = recv(s, buf, sizeof(buf) - 1, MSG_DONTWAIT);
		if (n <= 0)
			return 3;
		printf("%d\n%s", static_cast<int>(getpid()), buf);
		return 0;
	});
	if (r.status == no_namespace)
		GTEST_SKIP() << "no private mount namespace here";
	ASSERT_EQ(r.status, 0);
	size_t nl = r.out.find('\n');
	std::string pid = r.out.substr(0, nl), entry = r.out.substr(nl + 1);
	// <14>: user facility, informational priority.
	EXPECT_EQ(entry.rfind("<14>", 0), 0u) << entry;
	std::string tail = " bulktest[" + pid + "]: provisioned 1 of 2\n";
	ASSERT_GE(entry.size(), tail.size());
	EXPECT_EQ(entry.substr(entry.size() - tail.size()), tail) << entry;
}

TEST(BulkTest, DoesNothing)
{
	test();
}
