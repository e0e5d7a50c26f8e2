// The host uloop against its documented behaviour, on the real loop with short timers.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <libubox/uloop.h>
}

namespace {

// The loop only takes signals whose disposition is the default; a shell may have
// started us with SIGINT ignored.
void default_signals()
{
	for (int sig : {SIGINT, SIGTERM, SIGCHLD, SIGPIPE})
		signal(sig, SIG_DFL);
}

// Every test gets a fresh loop and a guard timer, so a broken loop fails instead of hanging.
class Uloop : public ::testing::Test {
protected:
	void SetUp() override
	{
		default_signals();
		ASSERT_EQ(0, uloop_init());
		guard_.cb = [](uloop_timeout *) {
			ADD_FAILURE() << "guard timer fired: the loop did not end";
			uloop_end();
		};
		uloop_timeout_set(&guard_, 3000);
	}
	void TearDown() override { uloop_done(); }

	uloop_timeout guard_{};
};

std::string g_trace;

struct Tagged {
	uloop_timeout t{};
	char tag = '?';
	int rearm = 0; // times the callback re-arms itself
	int rearm_ms = 0;
	int rearm_ret = -2;
	bool pending_in_cb = true;
	pid_t shoot = 0; // killed from this watch's callback
};

void tagged_cb(uloop_timeout *t)
{
	Tagged *x = container_of(t, Tagged, t);
	g_trace += x->tag;
	x->pending_in_cb = t->pending;
	if (x->rearm > 0) {
		x->rearm--;
		x->rearm_ret = uloop_timeout_set(t, x->rearm_ms);
	}
	if (x->tag == 'E')
		uloop_end();
}

TEST_F(Uloop, TimeoutsFireByExpiryThenArmingOrderAndMayRearmThemselves)
{
	g_trace.clear();
	Tagged end, a, b, c, zero;
	end.tag = 'E';
	a.tag = 'a';
	b.tag = 'b';
	c.tag = 'c';
	zero.tag = '0';
	for (Tagged *x : {&end, &a, &b, &c, &zero})
		x->t.cb = tagged_cb;

	a.rearm = 2;
	a.rearm_ms = 60;
	ASSERT_EQ(0, uloop_timeout_set(&end.t, 400));
	ASSERT_EQ(0, uloop_timeout_set(&a.t, 20));
	ASSERT_EQ(0, uloop_timeout_set(&b.t, 50));
	ASSERT_EQ(0, uloop_timeout_set(&zero.t, 0));

	// Same absolute expiry as b: fires after b because it was armed later.
	c.t.time = b.t.time;
	ASSERT_EQ(0, uloop_timeout_add(&c.t));
	ASSERT_EQ(-1, uloop_timeout_add(&c.t)) << "adding a pending timeout";

	EXPECT_EQ(0, uloop_run());
	// a at 20, b and c at 50, a again at ~80 and ~140, end at 400
	EXPECT_EQ("0abcaaE", g_trace);
	EXPECT_FALSE(a.pending_in_cb) << "a timeout is unpended before its callback";
	EXPECT_EQ(0, a.rearm_ret);
	EXPECT_FALSE(a.t.pending);
}

TEST_F(Uloop, CancelRemainingAndRearmOfPending)
{
	g_trace.clear();
	Tagged end, victim, moved;
	end.tag = 'E';
	victim.tag = 'v';
	moved.tag = 'm';
	for (Tagged *x : {&end, &victim, &moved})
		x->t.cb = tagged_cb;

	EXPECT_EQ(-1, uloop_timeout_remaining(&victim.t));
	EXPECT_EQ(-1, uloop_timeout_remaining64(&victim.t));
	EXPECT_EQ(-1, uloop_timeout_cancel(&victim.t));

	ASSERT_EQ(0, uloop_timeout_set(&victim.t, 2000));
	int left = uloop_timeout_remaining(&victim.t);
	EXPECT_GT(left, 1000);
	EXPECT_LE(left, 2000);
	EXPECT_EQ(0, uloop_timeout_cancel(&victim.t));
	EXPECT_FALSE(victim.t.pending);
	EXPECT_EQ(-1, uloop_timeout_cancel(&victim.t));
	EXPECT_EQ(-1, uloop_timeout_remaining(&victim.t));

	// Setting a pending timeout moves it; it fires once, at the new time.
	ASSERT_EQ(0, uloop_timeout_set(&moved.t, 10));
	ASSERT_EQ(0, uloop_timeout_set(&moved.t, 5000));
	EXPECT_GT(uloop_timeout_remaining64(&moved.t), 4000);
	ASSERT_EQ(0, uloop_timeout_set(&moved.t, 40));

	ASSERT_EQ(0, uloop_timeout_set(&end.t, 80));
	uloop_run();
	EXPECT_EQ("mE", g_trace);
}

TEST_F(Uloop, DoneDropsPendingTimeoutsSilently)
{
	g_trace.clear();
	Tagged x;
	x.tag = 'x';
	x.t.cb = tagged_cb;
	uloop_timeout_set(&x.t, 0);
	uloop_done();
	EXPECT_FALSE(x.t.pending);
	EXPECT_FALSE(guard_.pending);

	ASSERT_EQ(0, uloop_init());
	Tagged end;
	end.tag = 'E';
	end.t.cb = tagged_cb;
	uloop_timeout_set(&end.t, 10);
	uloop_run();
	EXPECT_EQ("E", g_trace);
}

struct Pipe {
	int r = -1, w = -1;
	Pipe()
	{
		int p[2];
		if (pipe(p) == 0) {
			r = p[0];
			w = p[1];
		}
	}
	~Pipe()
	{
		if (r >= 0)
			close(r);
		if (w >= 0)
			close(w);
	}
	void close_w()
	{
		close(w);
		w = -1;
	}
};

struct Watch {
	uloop_fd fd{};
	std::vector<unsigned int> events;
	std::vector<bool> errors;
	std::vector<bool> registered;
	std::string data;
	bool drain = true;
	bool end_loop = false;
	Watch *delete_other = nullptr;
	uloop_timeout *arm_between = nullptr;
};

void watch_cb(uloop_fd *u, unsigned int events)
{
	Watch *w = container_of(u, Watch, fd);
	w->events.push_back(events);
	w->errors.push_back(u->error);
	w->registered.push_back(u->registered);
	g_trace += 'F';
	if (w->drain) {
		char buf[256];
		ssize_t n;
		while ((n = read(u->fd, buf, sizeof(buf))) > 0)
			w->data.append(buf, n);
	}
	if (w->delete_other)
		uloop_fd_delete(&w->delete_other->fd);
	if (w->arm_between)
		uloop_timeout_set(w->arm_between, 0);
	if (w->end_loop)
		uloop_end();
}

TEST_F(Uloop, FdReadinessNonblockingAndHangup)
{
	Pipe p, q;
	Watch w, blocking;
	w.fd.fd = p.r;
	w.fd.cb = watch_cb;
	blocking.fd.fd = q.r;
	blocking.fd.cb = watch_cb;

	ASSERT_EQ(0, uloop_fd_add(&w.fd, ULOOP_READ));
	EXPECT_TRUE(w.fd.registered);
	EXPECT_EQ(ULOOP_READ, w.fd.flags);
	EXPECT_TRUE(fcntl(p.r, F_GETFL) & O_NONBLOCK);
	ASSERT_EQ(0, uloop_fd_add(&blocking.fd, ULOOP_READ | ULOOP_BLOCKING));
	EXPECT_FALSE(fcntl(q.r, F_GETFL) & O_NONBLOCK);
	ASSERT_EQ(0, uloop_fd_delete(&blocking.fd));
	EXPECT_FALSE(blocking.fd.registered);
	EXPECT_EQ(0, blocking.fd.flags);
	EXPECT_EQ(0, uloop_fd_delete(&blocking.fd)) << "deleting an unregistered fd";

	// Data from a timer, then the writer hangs up.
	static int writer;
	writer = p.w;
	uloop_timeout feed{};
	feed.cb = [](uloop_timeout *) { ASSERT_EQ(5, write(writer, "hello", 5)); };
	uloop_timeout_set(&feed, 10);
	uloop_timeout hangup{};
	static Pipe *pp;
	pp = &p;
	hangup.cb = [](uloop_timeout *) { pp->close_w(); };
	uloop_timeout_set(&hangup, 60);
	uloop_timeout end{};
	end.cb = [](uloop_timeout *) { uloop_end(); };
	uloop_timeout_set(&end, 150);

	uloop_run();

	EXPECT_EQ("hello", w.data);
	ASSERT_EQ(2u, w.events.size());
	EXPECT_EQ(unsigned(ULOOP_READ), w.events[0]);
	EXPECT_FALSE(w.errors[0]);
	// The hang-up: one last callback, error set, already out of the loop.
	EXPECT_TRUE(w.errors[1]);
	EXPECT_FALSE(w.registered[1]);
	EXPECT_FALSE(w.fd.registered);
}

TEST_F(Uloop, AddWithoutEventsDeletes)
{
	Pipe p;
	Watch w;
	w.fd.fd = p.r;
	w.fd.cb = watch_cb;
	ASSERT_EQ(0, uloop_fd_add(&w.fd, ULOOP_READ));
	EXPECT_EQ(0, uloop_fd_add(&w.fd, ULOOP_EDGE_TRIGGER));
	EXPECT_FALSE(w.fd.registered);
}

TEST_F(Uloop, OneFdCallbackPerPassWithTimeoutsInBetween)
{
	g_trace.clear();
	Pipe p[3];
	Watch w[3];
	Tagged between;
	between.tag = 't';
	between.t.cb = tagged_cb;
	for (int i = 0; i < 3; i++) {
		ASSERT_EQ(1, write(p[i].w, "x", 1));
		w[i].fd.fd = p[i].r;
		w[i].fd.cb = watch_cb;
		w[i].arm_between = &between.t;
		ASSERT_EQ(0, uloop_fd_add(&w[i].fd, ULOOP_READ));
	}
	uloop_timeout end{};
	end.cb = [](uloop_timeout *) { uloop_end(); };
	uloop_timeout_set(&end, 50);

	uloop_run();
	EXPECT_EQ("FtFtFt", g_trace);
	for (Watch &x : w)
		uloop_fd_delete(&x.fd);
}

TEST_F(Uloop, RunTimeoutMakesOnePass)
{
	g_trace.clear();
	Pipe p[2];
	Watch w[2];
	for (int i = 0; i < 2; i++) {
		ASSERT_EQ(1, write(p[i].w, "x", 1));
		w[i].fd.fd = p[i].r;
		w[i].fd.cb = watch_cb;
		ASSERT_EQ(0, uloop_fd_add(&w[i].fd, ULOOP_READ));
	}
	// both fds are ready, the time is long: still one callback, then back
	EXPECT_EQ(0, uloop_run_timeout(2000));
	EXPECT_EQ("F", g_trace);
	EXPECT_EQ(0, uloop_run_timeout(2000));
	EXPECT_EQ("FF", g_trace);
	for (Watch &x : w)
		uloop_fd_delete(&x.fd);

	// nothing ready: the pass waits until the next timer is due, and runs it next time
	Tagged soon;
	soon.tag = 't';
	soon.t.cb = tagged_cb;
	uloop_timeout_set(&soon.t, 200);
	EXPECT_EQ(0, uloop_run_timeout(2000));
	EXPECT_EQ("FF", g_trace);
	for (int i = 0; i < 20 && soon.t.pending; i++)
		EXPECT_EQ(0, uloop_run_timeout(50));
	EXPECT_EQ("FFt", g_trace);
	EXPECT_TRUE(guard_.pending);
}

TEST_F(Uloop, DeletingAnFdDropsItsPendingEventsOfTheBatch)
{
	Pipe p1, p2;
	Watch a, b;
	a.fd.fd = p1.r;
	b.fd.fd = p2.r;
	a.fd.cb = b.fd.cb = watch_cb;
	a.delete_other = &b;
	b.delete_other = &a;
	ASSERT_EQ(1, write(p1.w, "x", 1));
	ASSERT_EQ(1, write(p2.w, "y", 1));
	ASSERT_EQ(0, uloop_fd_add(&a.fd, ULOOP_READ));
	ASSERT_EQ(0, uloop_fd_add(&b.fd, ULOOP_READ));

	uloop_timeout end{};
	end.cb = [](uloop_timeout *) { uloop_end(); };
	uloop_timeout_set(&end, 50);
	uloop_run();

	// Both were ready in one batch; whichever ran first removed the other.
	EXPECT_EQ(1u, a.events.size() + b.events.size());
	uloop_fd_delete(&a.fd);
	uloop_fd_delete(&b.fd);
}

TEST_F(Uloop, ReadyFdWithoutCallbackDoesNotStallTimers)
{
	// Level-triggered readiness without a callback keeps waking the loop; timers still run.
	Pipe p;
	ASSERT_EQ(1, write(p.w, "x", 1));
	uloop_fd silent{};
	silent.fd = p.r;
	ASSERT_EQ(0, uloop_fd_add(&silent, ULOOP_READ));

	g_trace.clear();
	Tagged end;
	end.tag = 'E';
	end.t.cb = tagged_cb;
	uloop_timeout_set(&end.t, 30);
	uloop_run();
	EXPECT_EQ("E", g_trace);
	char c;
	EXPECT_EQ(1, read(p.r, &c, 1)) << "the loop must not consume the data";
	uloop_fd_delete(&silent);
}

TEST_F(Uloop, EdgeTriggeredFiresOncePerArrival)
{
	Pipe p;
	Watch w;
	w.drain = false;
	w.fd.fd = p.r;
	w.fd.cb = watch_cb;
	ASSERT_EQ(0, uloop_fd_add(&w.fd, ULOOP_READ | ULOOP_EDGE_TRIGGER));
	ASSERT_EQ(1, write(p.w, "x", 1));

	static int writer;
	writer = p.w;
	uloop_timeout more{};
	more.cb = [](uloop_timeout *) { ASSERT_EQ(1, write(writer, "y", 1)); };
	uloop_timeout_set(&more, 20);
	uloop_timeout end{};
	end.cb = [](uloop_timeout *) { uloop_end(); };
	uloop_timeout_set(&end, 50);
	uloop_run();

	EXPECT_EQ(2u, w.events.size());
	uloop_fd_delete(&w.fd);
}

int g_children_left;

struct Child {
	uloop_process p{};
	int calls = 0;
	int status = -1;
	pid_t seen_pid = 0;
	bool pending_in_cb = true;
	pid_t shoot = 0; // killed from this watch's callback
};

void child_cb(uloop_process *p, int ret)
{
	Child *c = container_of(p, Child, p);
	c->calls++;
	c->status = ret;
	c->seen_pid = p->pid;
	c->pending_in_cb = p->pending;
	if (c->shoot)
		kill(c->shoot, SIGKILL);
	if (--g_children_left == 0)
		uloop_end();
}

pid_t spawn_exit(int code)
{
	pid_t pid = fork();
	if (pid == 0)
		_exit(code);
	return pid;
}

TEST_F(Uloop, ChildExitIsReportedWithItsStatusAndOthersAreReaped)
{
	Child exits, killed;
	exits.p.cb = killed.p.cb = child_cb;
	siginfo_t info{};

	// Both exit before the loop runs (waited for without reaping); the unwatched one is
	// older, so the loop meets it first and must go on to the watched one.
	pid_t unwatched = spawn_exit(0);
	ASSERT_GT(unwatched, 0);
	ASSERT_EQ(0, waitid(P_PID, unwatched, &info, WEXITED | WNOWAIT));
	exits.p.pid = spawn_exit(3);
	ASSERT_GT(exits.p.pid, 0);
	ASSERT_EQ(0, waitid(P_PID, exits.p.pid, &info, WEXITED | WNOWAIT));
	ASSERT_EQ(0, uloop_process_add(&exits.p));
	EXPECT_TRUE(exits.p.pending);
	EXPECT_EQ(-1, uloop_process_add(&exits.p));

	killed.p.pid = fork();
	if (killed.p.pid == 0) {
		pause();
		_exit(0);
	}
	ASSERT_GT(killed.p.pid, 0);
	ASSERT_EQ(0, uloop_process_add(&killed.p));
	exits.shoot = killed.p.pid;

	g_children_left = 2;
	uloop_run();
	if (!killed.calls)
		kill(killed.p.pid, SIGKILL);

	EXPECT_EQ(1, exits.calls);
	EXPECT_EQ(exits.p.pid, exits.seen_pid);
	ASSERT_TRUE(WIFEXITED(exits.status));
	EXPECT_EQ(3, WEXITSTATUS(exits.status));
	EXPECT_EQ(768, exits.status);
	EXPECT_FALSE(exits.pending_in_cb);
	EXPECT_FALSE(exits.p.pending);

	EXPECT_EQ(1, killed.calls);
	ASSERT_TRUE(WIFSIGNALED(killed.status));
	EXPECT_EQ(SIGKILL, WTERMSIG(killed.status));

	// Reaped by the loop though nobody watched it: no zombie left.
	errno = 0;
	EXPECT_EQ(-1, waitpid(unwatched, nullptr, WNOHANG));
	EXPECT_EQ(ECHILD, errno);
}

TEST_F(Uloop, ProcessDeleteStopsTheWatch)
{
	Child c;
	c.p.cb = child_cb;
	c.p.pid = spawn_exit(1);
	ASSERT_GT(c.p.pid, 0);
	siginfo_t info{};
	ASSERT_EQ(0, waitid(P_PID, c.p.pid, &info, WEXITED | WNOWAIT));
	EXPECT_EQ(-1, uloop_process_delete(&c.p));
	ASSERT_EQ(0, uloop_process_add(&c.p));
	ASSERT_EQ(0, uloop_process_delete(&c.p));
	EXPECT_FALSE(c.p.pending);

	uloop_timeout end{};
	end.cb = [](uloop_timeout *) { uloop_end(); };
	uloop_timeout_set(&end, 50);
	uloop_run();
	EXPECT_EQ(0, c.calls);
	errno = 0;
	EXPECT_EQ(-1, waitpid(c.p.pid, nullptr, WNOHANG)) << "reaped all the same";
	EXPECT_EQ(ECHILD, errno);
}

struct RunEnd {
	const char *what;
	int signo; // 0: uloop_end()
	int expect;
};

class UloopRunEnd : public Uloop, public ::testing::WithParamInterface<RunEnd> {};

TEST_P(UloopRunEnd, RunReturnsTheCancellingSignal)
{
	static int signo;
	signo = GetParam().signo;
	uloop_timeout stop{};
	stop.cb = [](uloop_timeout *) {
		if (signo)
			raise(signo);
		else
			uloop_end();
	};
	uloop_timeout_set(&stop, 10);
	EXPECT_EQ(GetParam().expect, uloop_run());
	EXPECT_TRUE(guard_.pending) << "ended by the guard, not by " << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(Ends, UloopRunEnd,
                         ::testing::Values(RunEnd{"SIGTERM", SIGTERM, SIGTERM},
                                           RunEnd{"SIGINT", SIGINT, SIGINT}, RunEnd{"uloop_end", 0, 0}),
                         [](const ::testing::TestParamInfo<RunEnd> &i) {
	                         return std::string(i.param.what[0] == 'S' ? i.param.what : "uloop_end");
                         });

TEST_F(Uloop, CancelBeforeRunIsForgotten)
{
	g_trace.clear();
	Tagged end;
	end.tag = 'E';
	end.t.cb = tagged_cb;
	uloop_timeout_set(&end.t, 20);
	uloop_end();
	EXPECT_TRUE(uloop_cancelled);
	uloop_run();
	EXPECT_EQ("E", g_trace);
	EXPECT_FALSE(uloop_cancelling());
}

int g_own_hits;

TEST(UloopSignals, ForeignHandlersAreKeptAndOwnOnesRemovedByDone)
{
	default_signals();
	g_own_hits = 0;
	struct sigaction own = {}, old = {}, cur = {};
	own.sa_handler = [](int) { g_own_hits++; };
	sigemptyset(&own.sa_mask);
	ASSERT_EQ(0, sigaction(SIGTERM, &own, &old));

	ASSERT_EQ(0, uloop_init());
	sigaction(SIGINT, nullptr, &cur);
	EXPECT_NE(SIG_DFL, cur.sa_handler) << "SIGINT taken over while default";
	sigaction(SIGPIPE, nullptr, &cur);
	EXPECT_EQ(SIG_IGN, cur.sa_handler);

	static bool stopped;
	stopped = false;
	uloop_timeout shoot{}, end{};
	shoot.cb = [](uloop_timeout *) { raise(SIGTERM); };
	end.cb = [](uloop_timeout *) {
		stopped = true;
		uloop_end();
	};
	uloop_timeout_set(&shoot, 5);
	uloop_timeout_set(&end, 40);
	EXPECT_EQ(0, uloop_run());
	EXPECT_TRUE(stopped) << "SIGTERM ended the loop through a handler that is not ours";
	EXPECT_EQ(1, g_own_hits);

	uloop_done();
	sigaction(SIGTERM, nullptr, &cur);
	EXPECT_EQ(own.sa_handler, cur.sa_handler);
	sigaction(SIGINT, nullptr, &cur);
	EXPECT_EQ(SIG_DFL, cur.sa_handler);
	sigaction(SIGPIPE, nullptr, &cur);
	EXPECT_EQ(SIG_DFL, cur.sa_handler);
	sigaction(SIGCHLD, nullptr, &cur);
	EXPECT_EQ(SIG_DFL, cur.sa_handler);
	sigaction(SIGTERM, &old, nullptr);
}

} // namespace
