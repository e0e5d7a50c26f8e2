// The host ustream over pipes and socket pairs, driven by the real loop.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

extern "C" {
#include <libubox/ustream.h>
}

namespace {

class Ustream : public ::testing::Test {
protected:
	void SetUp() override
	{
		signal(SIGPIPE, SIG_DFL); // so that uloop_init ignores it
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

struct Fds {
	int a = -1, b = -1; // pipe: a reads, b writes
	static Fds pipe_pair(int size = 0)
	{
		Fds f;
		int p[2];
		if (pipe(p) == 0) {
			f.a = p[0];
			f.b = p[1];
			if (size)
				fcntl(f.b, F_SETPIPE_SZ, size);
		}
		return f;
	}
	static Fds socket_pair()
	{
		Fds f;
		int p[2];
		if (socketpair(AF_UNIX, SOCK_STREAM, 0, p) == 0) {
			f.a = p[0];
			f.b = p[1];
		}
		return f;
	}
	void close_a()
	{
		if (a >= 0)
			close(a);
		a = -1;
	}
	void close_b()
	{
		if (b >= 0)
			close(b);
		b = -1;
	}
	~Fds()
	{
		close_a();
		close_b();
	}
};

// A stream plus what its callbacks saw.
struct Stream {
	ustream_fd sf{};
	std::string events; // 'r' notify_read, 'w' notify_write, 's' notify_state
	std::vector<int> read_totals;
	std::vector<bool> full_at_read;
	std::vector<int> write_flushes;
	std::vector<int> write_pending_at_state;
	int end_at_total = -1; // uloop_end once this much is pending
	bool end_on_state = false;
	bool eof_at_state = false;
	bool write_error_at_state = false;

	Stream()
	{
		sf.stream.notify_read = [](ustream *s, int bytes) {
			Stream *x = of(s);
			x->events += 'r';
			x->read_totals.push_back(bytes);
			x->full_at_read.push_back(ustream_read_buf_full(s));
			if (bytes == x->end_at_total)
				uloop_end();
		};
		sf.stream.notify_write = [](ustream *s, int bytes) {
			Stream *x = of(s);
			x->events += 'w';
			x->write_flushes.push_back(bytes);
		};
		sf.stream.notify_state = [](ustream *s) {
			Stream *x = of(s);
			x->events += 's';
			x->eof_at_state = s->eof;
			x->write_error_at_state = s->write_error;
			x->write_pending_at_state.push_back(ustream_pending_data(s, true));
			if (x->end_on_state)
				uloop_end();
		};
	}
	static Stream *of(ustream *s)
	{
		return container_of(container_of(s, ustream_fd, stream), Stream, sf);
	}
	ustream *s() { return &sf.stream; }

	std::string take_all()
	{
		std::string out(ustream_pending_data(s(), false), '\0');
		out.resize(ustream_read(s(), &out[0], (int)out.size()));
		return out;
	}
};

// Reads everything that arrives on an fd, from the loop.
struct Sink {
	uloop_fd fd{};
	std::string data;
	size_t end_at = 0;
	bool eof = false;

	explicit Sink(int f)
	{
		fd.fd = f;
		fd.cb = [](uloop_fd *u, unsigned int) {
			Sink *k = container_of(u, Sink, fd);
			char buf[4096];
			ssize_t n;
			while ((n = read(u->fd, buf, sizeof(buf))) > 0)
				k->data.append(buf, n);
			if (n == 0) {
				k->eof = true;
				uloop_fd_delete(u);
			}
			if (k->end_at && k->data.size() >= k->end_at)
				uloop_end();
		};
	}
	~Sink() { uloop_fd_delete(&fd); }
};

std::string pattern(size_t n)
{
	std::string s(n, '\0');
	for (size_t i = 0; i < n; i++)
		s[i] = char('a' + (i * 7 + i / 251) % 26);
	return s;
}

void end_after(uloop_timeout *t, int ms)
{
	t->cb = [](uloop_timeout *) { uloop_end(); };
	uloop_timeout_set(t, ms);
}

TEST_F(Ustream, PartialReadsAcrossBuffersAndConsume)
{
	Fds p = Fds::pipe_pair();
	const std::string text = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
	ASSERT_EQ((ssize_t)text.size(), write(p.b, text.data(), text.size()));

	Stream x;
	x.sf.stream.string_data = true;
	x.sf.stream.r.buffer_len = 16;
	x.sf.stream.r.max_buffers = 4;
	x.end_at_total = 40;
	ustream_fd_init(&x.sf, p.a);
	EXPECT_TRUE(fcntl(p.a, F_GETFL) & O_NONBLOCK);
	uloop_run();

	// One notification per stored chunk, each with the running total.
	EXPECT_EQ((std::vector<int>{16, 32, 40}), x.read_totals);
	EXPECT_EQ(40, ustream_pending_data(x.s(), false));

	int len = -1;
	char *data = ustream_get_read_buf(x.s(), &len);
	ASSERT_NE(nullptr, data);
	EXPECT_EQ("0123456789abcdef", std::string(data, len));
	EXPECT_EQ('\0', data[len]) << "string_data keeps buffers NUL-terminated";

	ustream_consume(x.s(), 10);
	data = ustream_get_read_buf(x.s(), &len);
	EXPECT_EQ("abcdef", std::string(data, len));
	EXPECT_EQ(30, ustream_pending_data(x.s(), false));

	ustream_consume(x.s(), 10); // crosses into the second buffer
	data = ustream_get_read_buf(x.s(), &len);
	EXPECT_EQ("klmnopqrstuv", std::string(data, len));
	EXPECT_EQ('\0', data[len]);

	char out[64];
	EXPECT_EQ(20, ustream_read(x.s(), out, sizeof(out)));
	EXPECT_EQ("klmnopqrstuvwxyzABCD", std::string(out, 20));
	EXPECT_EQ(0, ustream_pending_data(x.s(), false));
	EXPECT_EQ(nullptr, ustream_get_read_buf(x.s(), &len));
	EXPECT_EQ(0, len);
	EXPECT_DEATH(ustream_consume(x.s(), 1), "consume") << "consuming more than is pending";

	ustream_free(x.s());
}

struct EofCase {
	const char *name;
	bool pipe;
	bool write_error;
};

class UstreamEof : public Ustream, public ::testing::WithParamInterface<EofCase> {};

TEST_P(UstreamEof, DataThenOneStateNotification)
{
	Fds p = GetParam().pipe ? Fds::pipe_pair() : Fds::socket_pair();
	ASSERT_EQ(3, write(p.b, "abc", 3));
	if (GetParam().pipe)
		p.close_b();
	else
		shutdown(p.b, SHUT_WR);

	Stream x;
	x.end_on_state = true;
	ustream_fd_init(&x.sf, p.a);
	uloop_run();
	uloop_timeout end{};
	end_after(&end, 20);
	uloop_run();

	EXPECT_EQ("rs", x.events) << "data first, then the end, once";
	EXPECT_TRUE(x.eof_at_state);
	EXPECT_EQ(GetParam().write_error, x.write_error_at_state);
	EXPECT_EQ("abc", x.take_all()) << "data stays readable after the end";
	ustream_free(x.s());
}

INSTANTIATE_TEST_SUITE_P(Ends, UstreamEof,
                         ::testing::Values(EofCase{"pipe_writer_closed", true, true},
                                           EofCase{"socket_peer_shutdown", false, false}),
                         [](const ::testing::TestParamInfo<EofCase> &i) {
	                         return std::string(i.param.name);
                         });

struct FullCase {
	const char *name;
	int buffer_len; // 0: defaults
	int max_buffers;
	size_t sent;
	int limit;
};

Stream *g_full;

class UstreamFull : public Ustream, public ::testing::WithParamInterface<FullCase> {};

TEST_P(UstreamFull, StopsReadingWhenFullAndResumesAfterConsume)
{
	const FullCase &c = GetParam();
	Fds p = Fds::pipe_pair();
	const std::string sent = pattern(c.sent);
	ASSERT_EQ((ssize_t)sent.size(), write(p.b, sent.data(), sent.size()));

	Stream x;
	g_full = &x;
	x.sf.stream.r.buffer_len = c.buffer_len;
	x.sf.stream.r.max_buffers = c.max_buffers;
	ustream_fd_init(&x.sf, p.a);

	static size_t notified_when_full, notified_at_check;
	static int pending_later;
	static bool blocked_later;
	static std::string got;
	static size_t want;
	got.clear();
	want = sent.size();
	static uloop_timeout check;
	check = uloop_timeout{};
	// Once full, give the loop time to misbehave before looking.
	x.sf.stream.notify_read = [](ustream *s, int bytes) {
		Stream *self = Stream::of(s);
		self->read_totals.push_back(bytes);
		self->full_at_read.push_back(ustream_read_buf_full(s));
		if (ustream_read_buf_full(s)) {
			notified_when_full = self->read_totals.size();
			uloop_timeout_set(&check, 30);
		}
	};
	check.cb = [](uloop_timeout *) {
		// Nothing more was read while full; then consume everything and let it resume.
		notified_at_check = g_full->read_totals.size();
		pending_later = ustream_pending_data(g_full->s(), false);
		blocked_later = g_full->s()->read_blocked & READ_BLOCKED_FULL;
		got = g_full->take_all();
		g_full->sf.stream.notify_read = [](ustream *s, int) {
			got += Stream::of(s)->take_all();
			if (got.size() == want)
				uloop_end();
		};
	};
	uloop_run();

	ASSERT_FALSE(x.read_totals.empty());
	EXPECT_EQ(c.limit, x.read_totals.back()) << "filled exactly to the limit";
	EXPECT_TRUE(x.full_at_read.back()) << "full in the notification that filled the last buffer";
	for (size_t i = 0; i + 1 < x.full_at_read.size(); i++)
		EXPECT_FALSE(x.full_at_read[i]) << "at notification " << i;
	EXPECT_EQ(notified_when_full, notified_at_check) << "no reads while full";
	EXPECT_EQ(c.limit, pending_later);
	EXPECT_TRUE(blocked_later);
	EXPECT_EQ(sent, got) << "nothing lost or reordered across the stall";
	EXPECT_FALSE(x.s()->read_blocked & READ_BLOCKED_FULL);
	ustream_free(x.s());
}

INSTANTIATE_TEST_SUITE_P(Limits, UstreamFull,
                         ::testing::Values(FullCase{"defaults_one_buffer", 0, 0, 10000, 4096},
                                           FullCase{"four_buffers", 4096, 4, 20000, 16384},
                                           FullCase{"small_buffers", 100, 3, 1000, 300}),
                         [](const ::testing::TestParamInfo<FullCase> &i) {
	                         return std::string(i.param.name);
                         });

TEST_F(Ustream, BlockedWritesAreQueuedAndDrainInOrder)
{
	Fds p = Fds::pipe_pair(4096);
	Stream x;
	ustream_fd_init(&x.sf, p.b);

	const std::string sent = pattern(100000);
	EXPECT_EQ((int)sent.size(), ustream_write(x.s(), sent.data(), (int)sent.size(), false));
	int queued = ustream_pending_data(x.s(), true);
	EXPECT_GT(queued, 0);
	EXPECT_LT(queued, (int)sent.size()) << "what the fd took went out directly";

	Sink sink(p.a);
	sink.end_at = sent.size();
	ASSERT_EQ(0, uloop_fd_add(&sink.fd, ULOOP_READ));
	uloop_run();
	// let the last flush report
	uloop_timeout end{};
	end_after(&end, 20);
	uloop_run();

	EXPECT_EQ(sent, sink.data);
	EXPECT_EQ(0, ustream_pending_data(x.s(), true));
	int flushed = 0;
	for (int n : x.write_flushes)
		flushed += n;
	EXPECT_EQ(queued, flushed) << "notify_write reports each flush";
	EXPECT_EQ(std::string::npos, x.events.find('s'));
	ustream_free(x.s());
}

TEST_F(Ustream, WriteBuffersHaveALimit)
{
	Fds p = Fds::pipe_pair(4096);
	Stream x;
	x.sf.stream.w.buffer_len = 256;
	x.sf.stream.w.max_buffers = 2;
	ustream_fd_init(&x.sf, p.b);

	const std::string sent = pattern(8192);
	EXPECT_EQ(4096 + 512, ustream_write(x.s(), sent.data(), (int)sent.size(), false));
	EXPECT_EQ(512, ustream_pending_data(x.s(), true));
	EXPECT_EQ(0, ustream_write(x.s(), "more", 4, false)) << "nothing fits any more";
	ustream_free(x.s());
}

TEST_F(Ustream, WriteErrorDiscardsQueueAndNotifies)
{
	Fds p = Fds::pipe_pair(4096);
	Stream x;
	x.end_on_state = true;
	ustream_fd_init(&x.sf, p.b);

	const std::string sent = pattern(10000);
	ASSERT_EQ(10000, ustream_write(x.s(), sent.data(), (int)sent.size(), false));
	ASSERT_GT(ustream_pending_data(x.s(), true), 0);
	p.close_a();
	uloop_run();

	EXPECT_NE(std::string::npos, x.events.find('s'));
	EXPECT_TRUE(x.write_error_at_state);
	EXPECT_EQ(0, ustream_pending_data(x.s(), true)) << "queued data is dropped on a write error";
	EXPECT_EQ(0, ustream_write(x.s(), "x", 1, false));
	EXPECT_EQ(0, ustream_printf(x.s(), "%d", 1));
	ustream_free(x.s());
}

TEST_F(Ustream, EofWithQueuedWritesNotifiesAgainWhenDrained)
{
	Fds p = Fds::socket_pair();
	int small = 4096;
	setsockopt(p.a, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
	setsockopt(p.b, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));

	Stream x;
	ustream_fd_init(&x.sf, p.a);
	const std::string sent = pattern(300000);
	ASSERT_EQ((int)sent.size(), ustream_write(x.s(), sent.data(), (int)sent.size(), false));
	ASSERT_GT(ustream_pending_data(x.s(), true), 0);
	shutdown(p.b, SHUT_WR);

	// The end is seen while the peer is not reading yet.
	x.end_on_state = true;
	uloop_run();
	ASSERT_EQ(1u, x.write_pending_at_state.size());
	EXPECT_GT(x.write_pending_at_state[0], 0);
	EXPECT_TRUE(x.eof_at_state);

	Sink sink(p.b);
	ASSERT_EQ(0, uloop_fd_add(&sink.fd, ULOOP_READ));
	uloop_run();
	ASSERT_EQ(2u, x.write_pending_at_state.size());
	EXPECT_EQ(0, x.write_pending_at_state[1]);

	uloop_timeout end{};
	end_after(&end, 20);
	sink.end_at = 0;
	uloop_run();
	EXPECT_EQ(sent, sink.data);
	ustream_free(x.s());
}

TEST_F(Ustream, PrintfShortAndLong)
{
	Fds p = Fds::pipe_pair();
	Stream x;
	ustream_fd_init(&x.sf, p.b);
	const std::string longer(1000, 'z');
	EXPECT_EQ(7, ustream_printf(x.s(), "%s=%03d\n", "ab", 7));
	EXPECT_EQ(1002, ustream_printf(x.s(), "<%s>", longer.c_str()));
	char buf[2048];
	ssize_t n = read(p.a, buf, sizeof(buf));
	EXPECT_EQ("ab=007\n<" + longer + ">", std::string(buf, n > 0 ? n : 0));
	ustream_free(x.s());
}

TEST_F(Ustream, PollReadsWithoutTheLoop)
{
	Fds p = Fds::pipe_pair();
	Stream x;
	ustream_fd_init(&x.sf, p.a);
	EXPECT_FALSE(ustream_poll(x.s()));
	ASSERT_EQ(4, write(p.b, "ping", 4));
	EXPECT_TRUE(ustream_poll(x.s()));
	EXPECT_EQ("r", x.events);
	EXPECT_EQ(4, ustream_pending_data(x.s(), false));
	EXPECT_FALSE(ustream_poll(x.s()));
	ustream_free(x.s());
}

TEST_F(Ustream, FreeKeepsTheFdAndStopsCallbacks)
{
	Fds p = Fds::pipe_pair();
	Stream x;
	ustream_fd_init(&x.sf, p.a);
	ASSERT_EQ(1, write(p.b, "a", 1));
	EXPECT_TRUE(ustream_poll(x.s()));
	ustream_free(x.s());
	EXPECT_FALSE(x.sf.fd.registered);
	EXPECT_NE(-1, fcntl(p.a, F_GETFD)) << "the fd stays open";

	ASSERT_EQ(1, write(p.b, "b", 1));
	p.close_b();
	uloop_timeout end{};
	end_after(&end, 30);
	uloop_run();
	EXPECT_EQ("r", x.events);
	char c;
	EXPECT_EQ(1, read(p.a, &c, 1));
	EXPECT_EQ('b', c);
}

TEST_F(Ustream, UserReadBlockHoldsDataInTheFd)
{
	Fds p = Fds::pipe_pair();
	Stream x;
	ustream_fd_init(&x.sf, p.a);
	ustream_set_read_blocked(x.s(), true);
	EXPECT_TRUE(ustream_read_blocked(x.s()));
	ASSERT_EQ(3, write(p.b, "xyz", 3));

	uloop_timeout end{};
	end_after(&end, 30);
	uloop_run();
	EXPECT_EQ("", x.events);

	ustream_set_read_blocked(x.s(), false);
	x.end_at_total = 3;
	uloop_run();
	EXPECT_EQ("xyz", x.take_all());
	ustream_free(x.s());
}

} // namespace
