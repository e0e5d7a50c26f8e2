// Runs through a real bus: the test process offers an object whose method
// starts a command with ac_exec; the bus command line calls it and prints the
// reply, as a front end would.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "exec/ac_exec.hpp"

namespace
{
enum { RUN_ARGV, RUN_MODE, RUN_BYTES, RUN_FAIL, __RUN_MAX };
const struct blobmsg_policy run_policy[__RUN_MAX] = {
    [RUN_ARGV] = {"argv", BLOBMSG_TYPE_ARRAY},
    [RUN_MODE] = {"mode", BLOBMSG_TYPE_STRING},
    [RUN_BYTES] = {"bytes", BLOBMSG_TYPE_INT32},
    [RUN_FAIL] = {"fail", BLOBMSG_TYPE_INT32},
};

// Private data of a hooked run: plain memory, released by the runner with free().
struct hook_data {
	uint32_t toWrite;
	uint32_t written;
	uint32_t outBytes;
	uint32_t outCalls;
	int32_t finishResult;
	char errText[64];
};

int test_writer(struct ustream *s, void *priv)
{
	auto *d = static_cast<hook_data *>(priv);
	static char chunk[8192];
	memset(chunk, 'a', sizeof chunk);
	uint32_t n = d->toWrite - d->written;
	if (n > sizeof chunk)
		n = sizeof chunk;
	int took = n ? ustream_write(s, chunk, int(n), false) : 0;
	if (took < 0)
		return 0;
	d->written += uint32_t(took);
	return d->written < d->toWrite;
}

int test_out(struct blob_buf *, char *, int len, void *priv)
{
	auto *d = static_cast<hook_data *>(priv);
	d->outBytes += uint32_t(len);
	d->outCalls++;
	return len;
}

int test_err(struct blob_buf *, char *buf, int len, void *priv)
{
	auto *d = static_cast<hook_data *>(priv);
	size_t have = strlen(d->errText);
	size_t n = size_t(len) < sizeof d->errText - 1 - have ? size_t(len) : sizeof d->errText - 1 - have;
	memcpy(d->errText + have, buf, n);
	return len;
}

int test_finish(struct blob_buf *b, int status, void *priv)
{
	auto *d = static_cast<hook_data *>(priv);
	blobmsg_add_u32(b, "written", d->written);
	blobmsg_add_u32(b, "read", d->outBytes);
	blobmsg_add_string(b, "err", d->errText);
	blobmsg_add_u32(b, "exit", uint32_t(WEXITSTATUS(status)));
	return d->finishResult;
}

int test_run(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req, const char *,
             struct blob_attr *msg)
{
	struct blob_attr *tb[__RUN_MAX];
	blobmsg_parse(run_policy, __RUN_MAX, tb, blob_data(msg), blob_len(msg));
	if (!tb[RUN_ARGV])
		return UBUS_STATUS_INVALID_ARGUMENT;
	std::vector<const char *> argv;
	struct blob_attr *cur;
	size_t rem;
	blobmsg_for_each_attr(cur, tb[RUN_ARGV], rem) argv.push_back(blobmsg_get_string(cur));
	argv.push_back(nullptr);
	std::string mode = tb[RUN_MODE] ? blobmsg_get_string(tb[RUN_MODE]) : "plain";
	if (mode == "plain")
		return ac_exec(argv.data(), nullptr, nullptr, nullptr, nullptr, nullptr, ctx, req);

	auto *d = static_cast<hook_data *>(calloc(1, sizeof(hook_data)));
	d->toWrite = tb[RUN_BYTES] ? blobmsg_get_u32(tb[RUN_BYTES]) : 0;
	d->finishResult = tb[RUN_FAIL] ? int32_t(blobmsg_get_u32(tb[RUN_FAIL])) : 0;
	int rc;
	if (mode == "readers") // readers only: a reply without members
		rc = ac_exec(argv.data(), nullptr, test_out, test_err, nullptr, d, ctx, req);
	else
		rc = ac_exec(argv.data(), d->toWrite ? test_writer : nullptr, test_out, test_err, test_finish,
		             d, ctx, req);
	if (rc != 0)
		free(d);
	return rc;
}

struct ubus_method test_methods[] = {
    UBUS_METHOD("run", test_run, run_policy),
};
struct ubus_object_type test_type = UBUS_OBJECT_TYPE("exec-test", test_methods);
struct ubus_object test_object;

pid_t spawn(const std::vector<std::string> &args, const std::string &out)
{
	pid_t pid = fork();
	if (pid == 0) {
		int fd = open(out.empty() ? "/dev/null" : out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		dup2(fd, 1);
		int nul = open("/dev/null", O_WRONLY);
		dup2(nul, 2);
		std::vector<char *> argv;
		for (const auto &a : args)
			argv.push_back(const_cast<char *>(a.c_str()));
		argv.push_back(nullptr);
		execv(argv[0], argv.data());
		_exit(127);
	}
	return pid;
}

struct uloop_process cli_watch;
int cli_status;

void cli_done(struct uloop_process *, int status)
{
	cli_status = status;
	uloop_end();
}

struct uloop_timeout guard;
void guard_cb(struct uloop_timeout *)
{
	uloop_end();
}

void run_loop_for(int ms)
{
	guard.cb = guard_cb;
	uloop_timeout_set(&guard, ms);
	uloop_run();
	uloop_timeout_cancel(&guard);
}

// Direct children of this process.
std::set<pid_t> children()
{
	std::set<pid_t> out;
	DIR *d = opendir("/proc/self/task");
	while (struct dirent *e = d ? readdir(d) : nullptr) {
		if (e->d_name[0] == '.')
			continue;
		std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/children");
		pid_t p;
		while (f >> p)
			out.insert(p);
	}
	if (d)
		closedir(d);
	return out;
}

class Run : public ::testing::Test
{
      protected:
	static void SetUpTestSuite()
	{
		char tmpl[] = "/tmp/acd-exec-XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir = tmpl;
		sock = dir + "/ubus.sock";
		ubusd = spawn({UBUSD_PATH, "-s", sock}, "");
		// As the daemon does, before the loop: the loop then leaves it alone.
		signal(SIGPIPE, SIG_IGN);
		uloop_init();
		// The socket file appears before the daemon listens on it: retry.
		for (int i = 0; i < 500 && !(ctx = ubus_connect(sock.c_str())); i++)
			usleep(10000);
		ASSERT_NE(ctx, nullptr);
		ubus_add_uloop(ctx);
		test_object.name = "exec.test";
		test_object.type = &test_type;
		test_object.methods = test_methods;
		test_object.n_methods = ARRAY_SIZE(test_methods);
		ASSERT_EQ(ubus_add_object(ctx, &test_object), 0);
	}
	static void TearDownTestSuite()
	{
		ubus_free(ctx);
		kill(ubusd, SIGKILL);
		waitpid(ubusd, nullptr, 0);
		uloop_done();
		std::string cmd = "rm -rf '" + dir + "'";
		EXPECT_EQ(system(cmd.c_str()), 0);
	}

	// `ubus -S call exec.test run <json>`: the command line's exit status and
	// what it printed.
	std::pair<int, std::string> call(const std::string &json)
	{
		std::string out = dir + "/out";
		cli_status = -1;
		cli_watch.pid = spawn(
		    {UBUS_CLI_PATH, "-s", sock, "-S", "-t", "20", "call", "exec.test", "run", json}, out);
		cli_watch.cb = cli_done;
		uloop_process_add(&cli_watch);
		run_loop_for(25000);
		uloop_process_delete(&cli_watch);
		std::ifstream f(out);
		std::stringstream ss;
		ss << f.rdbuf();
		std::string text = ss.str();
		if (!text.empty() && text.back() == '\n')
			text.pop_back();
		return {WIFEXITED(cli_status) ? WEXITSTATUS(cli_status) : -1, text};
	}

	// Every child but the bus daemon is gone (reaped by the loop) in a moment.
	void expect_no_stray_children()
	{
		for (int i = 0; i < 40 && children() != std::set<pid_t>{ubusd}; i++)
			run_loop_for(50);
		EXPECT_EQ(children(), std::set<pid_t>{ubusd});
	}

	static std::string dir, sock;
	static pid_t ubusd;
	static struct ubus_context *ctx;
};
std::string Run::dir, Run::sock;
pid_t Run::ubusd;
struct ubus_context *Run::ctx;

std::string argv_json(const std::vector<std::string> &argv)
{
	std::string s = "[";
	for (size_t i = 0; i < argv.size(); i++) {
		s += i ? ",\"" : "\"";
		for (char c : argv[i]) {
			if (c == '"' || c == '\\')
				s += '\\';
			s += c;
		}
		s += '"';
	}
	return s + "]";
}

std::string plain(const std::vector<std::string> &argv)
{
	return "{\"argv\":" + argv_json(argv) + "}";
}

// Exit code and output; "stdout"/"stderr" only when there was some.
TEST_F(Run, PlainReplies)
{
	struct {
		std::vector<std::string> argv;
		std::string reply;
	} cases[] = {
	    {{"/bin/true"}, R"({"code":0})"},
	    {{"sh", "-c", "echo out; echo err >&2; exit 3"},
	     R"({"code":3,"stdout":"out\n","stderr":"err\n"})"},
	    {{"sh", "-c", "printf 'a\\tb'"}, R"({"code":0,"stdout":"a\tb"})"},
	    {{"sh", "-c", "echo only-err >&2; exit 1"}, R"({"code":1,"stderr":"only-err\n"})"},
	    // Arguments reach the command as they are; stdin is at end of file.
	    {{"sh", "-c", "printf '%s|' \"$@\"; cat", "zero", "a b", "$HOME", ""},
	     R"({"code":0,"stdout":"a b|$HOME||"})"},
	    // A command killed by a signal has no exit code: it must not read as 0.
	    {{"sh", "-c", "kill -9 $$"}, R"({"code":137})"},
	    // The daemon ignores SIGPIPE; the command must not: a writer whose
	    // reader quit ends quietly instead of reporting a broken pipe.
	    {{"sh", "-c", "yes | head -n 1"}, R"({"code":0,"stdout":"y\n"})"},
	    // Found but not executable: the child's own exit status 1.
	    {{"/etc/hostname"}, R"({"code":1})"},
	};
	for (const auto &c : cases) {
		auto [rc, out] = call(plain(c.argv));
		EXPECT_EQ(rc, 0) << c.argv.back();
		EXPECT_EQ(out, c.reply) << c.argv.back();
	}
	expect_no_stray_children();
}

// The reply waits for the exit and both ends of file, whichever comes last,
// so "code" is the real exit code and the output is complete.
TEST_F(Run, EndsAfterExitAndBothEndsOfFile)
{
	auto [rc, out] = call(plain({"sh", "-c", "exec >&- 2>&-; sleep 0.3; exit 7"}));
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(out, R"({"code":7})");
	std::tie(rc, out) = call(plain({"sh", "-c", "(sleep 0.3; echo late; echo late-err >&2) & exit 5"}));
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(out, R"({"code":5,"stdout":"late\n","stderr":"late-err\n"})");
	expect_no_stray_children();
}

TEST_F(Run, OutputLimit)
{
	// 64 buffers of 4096 bytes per stream: just under is answered in full...
	auto [rc, out] =
	    call(plain({"sh", "-c",
	                "head -c 262143 /dev/zero | tr '\\0' x; head -c 262143 /dev/zero | tr '\\0' y >&2"}));
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(out, "{\"code\":0,\"stdout\":\"" + std::string(262143, 'x') + "\",\"stderr\":\"" +
	                   std::string(262143, 'y') + "\"}");
	// ...more is refused with "not supported", and the command does not live on.
	for (const char *script :
	     {"head -c 262145 /dev/zero | tr '\\0' x", "yes >&2", "trap '' PIPE; while :; do echo x; done"}) {
		std::tie(rc, out) = call(plain({"sh", "-c", script}));
		EXPECT_EQ(rc, UBUS_STATUS_NOT_SUPPORTED) << script;
		EXPECT_EQ(out, "") << script;
		expect_no_stray_children();
	}
}

TEST_F(Run, StartFailures)
{
	auto [rc, out] = call(plain({"no-such-program-here"}));
	EXPECT_EQ(rc, UBUS_STATUS_NOT_FOUND);
	EXPECT_EQ(out, "");
	std::tie(rc, out) = call(plain({dir + "/missing"}));
	EXPECT_EQ(rc, UBUS_STATUS_NOT_FOUND);
	EXPECT_EQ(children(), std::set<pid_t>{ubusd});
}

TEST_F(Run, Hooks)
{
	// The writer feeds 300000 bytes (more than a pipe holds) through cat; the
	// readers take the output as it comes, so there is no limit; the finish
	// hook builds the reply from the raw exit status.
	auto [rc, out] = call("{\"mode\":\"hooks\",\"bytes\":300000,\"argv\":" +
	                      argv_json({"sh", "-c", "cat; echo done >&2; exit 4"}) + "}");
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(out, R"({"written":300000,"read":300000,"err":"done\n","exit":4})");

	// Readers see more than the plain limit without complaint.
	std::tie(rc, out) =
	    call("{\"mode\":\"hooks\",\"argv\":" + argv_json({"sh", "-c", "head -c 600000 /dev/zero"}) + "}");
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(out, R"({"written":0,"read":600000,"err":"","exit":0})");

	// A command that never reads its input: the writer's stream is dropped.
	std::tie(rc, out) =
	    call("{\"mode\":\"hooks\",\"bytes\":1000000,\"argv\":" + argv_json({"/bin/true"}) + "}");
	EXPECT_EQ(rc, 0);
	EXPECT_NE(out.find(R"("exit":0})"), std::string::npos) << out;

	// The finish hook's non-zero result is the call's status, without a reply.
	std::tie(rc, out) = call("{\"mode\":\"hooks\",\"fail\":6,\"argv\":" + argv_json({"/bin/true"}) + "}");
	EXPECT_EQ(rc, UBUS_STATUS_PERMISSION_DENIED);
	EXPECT_EQ(out, "");

	// Readers without a finish hook: the reply is what they added (nothing).
	std::tie(rc, out) =
	    call("{\"mode\":\"readers\",\"argv\":" + argv_json({"sh", "-c", "echo x; exit 2"}) + "}");
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(out, "{}");
	expect_no_stray_children();
}
} // namespace
