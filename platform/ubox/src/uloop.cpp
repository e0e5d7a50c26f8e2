// Host uloop: one process-wide epoll loop with fd, timeout and child process watches.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <libubox/uloop.h>
}

extern "C" {
bool uloop_cancelled;
bool uloop_handle_sigchld = true;
}

namespace {

constexpr int kMaxEvents = 10;

int g_epoll_fd = -1;
int g_waker_pipe[2] = {-1, -1};
uloop_fd g_waker_fd;

LIST_HEAD(g_timeouts);
LIST_HEAD(g_processes);

// Signal handlers only touch these.
volatile sig_atomic_t g_got_sigchld;
volatile sig_atomic_t g_status;

int g_run_depth;

// The current epoll batch: dispatched one event per loop pass.
epoll_event g_events[kMaxEvents];
int g_event_cur;
int g_event_count;

// Callbacks of edge-triggered fds currently running: events seen meanwhile are merged.
struct FdFrame {
	FdFrame *up;
	uloop_fd *fd;
	unsigned int events;
};
FdFrame *g_fd_frames;

struct SavedSignal {
	int signo;
	bool installed;
	bool ignored;  // we set SIG_IGN rather than a handler
	struct sigaction old;
};
SavedSignal g_signals[] = {
	{SIGINT, false, false, {}},
	{SIGTERM, false, false, {}},
	{SIGCHLD, false, false, {}},
	{SIGPIPE, false, false, {}},
};

timeval uloop_now()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	timeval tv;
	tv.tv_sec = ts.tv_sec;
	tv.tv_usec = ts.tv_nsec / 1000;
	return tv;
}

// Millisecond difference t1 - t2, the resolution every comparison uses.
int64_t uloop_tv_diff(const timeval &t1, const timeval &t2)
{
	return (int64_t)(t1.tv_sec - t2.tv_sec) * 1000 + (t1.tv_usec - t2.tv_usec) / 1000;
}

void uloop_wake()
{
	if (g_waker_pipe[1] < 0)
		return;
	int saved = errno;
	char c = 'w';
	ssize_t r;
	do {
		r = write(g_waker_pipe[1], &c, 1);
	} while (r < 0 && errno == EINTR);
	errno = saved;
}

void uloop_waker_cb(uloop_fd *u, unsigned int)
{
	char buf[64];
	for (;;) {
		ssize_t r = read(u->fd, buf, sizeof(buf));
		if (r > 0 || (r < 0 && errno == EINTR))
			continue;
		break;
	}
}

void uloop_cancel_handler(int signo)
{
	g_status = signo;
	uloop_cancelled = true;
	uloop_wake();
}

void uloop_sigchld_handler(int)
{
	g_got_sigchld = 1;
	uloop_wake();
}

void uloop_take_signal(SavedSignal &s, void (*handler)(int))
{
	struct sigaction old;
	if (sigaction(s.signo, nullptr, &old) < 0)
		return;
	// Someone else's disposition is theirs to keep.
	if ((old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL)
		return;

	struct sigaction sa;
	memset(&sa, 0, sizeof(sa));
	sigemptyset(&sa.sa_mask);
	if (handler) {
		sa.sa_handler = handler;
		sa.sa_flags = SA_RESTART;
	} else {
		sa.sa_handler = SIG_IGN;
	}
	if (sigaction(s.signo, &sa, nullptr) < 0)
		return;
	s.old = old;
	s.installed = true;
	s.ignored = !handler;
}

void uloop_release_signal(SavedSignal &s)
{
	if (!s.installed)
		return;
	s.installed = false;
	struct sigaction cur;
	if (sigaction(s.signo, nullptr, &cur) < 0)
		return;
	// Only undo what still is ours.
	bool ours;
	if (s.ignored)
		ours = !(cur.sa_flags & SA_SIGINFO) && cur.sa_handler == SIG_IGN;
	else
		ours = !(cur.sa_flags & SA_SIGINFO) &&
		       (cur.sa_handler == uloop_cancel_handler || cur.sa_handler == uloop_sigchld_handler);
	if (ours)
		sigaction(s.signo, &s.old, nullptr);
}

void uloop_setup_signals()
{
	uloop_take_signal(g_signals[0], uloop_cancel_handler);
	uloop_take_signal(g_signals[1], uloop_cancel_handler);
	if (uloop_handle_sigchld)
		uloop_take_signal(g_signals[2], uloop_sigchld_handler);
	uloop_take_signal(g_signals[3], nullptr);
}

int uloop_set_nonblock_cloexec(int fd)
{
	int fl = fcntl(fd, F_GETFL);
	if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0)
		return -1;
	return fcntl(fd, F_SETFD, FD_CLOEXEC);
}

void uloop_run_timeouts(const timeval &now)
{
	while (!list_empty(&g_timeouts)) {
		uloop_timeout *t = list_first_entry(&g_timeouts, uloop_timeout, list);
		if (uloop_tv_diff(t->time, now) > 0)
			break;
		// Unpended first so the callback may arm it again.
		uloop_timeout_cancel(t);
		if (t->cb)
			t->cb(t);
	}
}

void uloop_reap_children()
{
	g_got_sigchld = 0;
	for (;;) {
		int status = 0;
		pid_t pid = waitpid(-1, &status, WNOHANG);
		if (pid < 0 && errno == EINTR)
			continue;
		if (pid <= 0)
			return;

		uloop_process *p, *found = nullptr;
		list_for_each_entry(p, &g_processes, list) {
			if (p->pid < pid)
				continue;
			if (p->pid == pid)
				found = p;
			break;
		}
		if (!found)
			continue;
		uloop_process_delete(found);
		if (found->cb)
			found->cb(found, status);
	}
}

// Wait time in ms until the earliest timeout, -1 when there is none.
int64_t uloop_next_timeout(const timeval &now)
{
	if (list_empty(&g_timeouts))
		return -1;
	uloop_timeout *t = list_first_entry(&g_timeouts, uloop_timeout, list);
	int64_t diff = uloop_tv_diff(t->time, now);
	return diff < 0 ? 0 : diff;
}

void uloop_dispatch_one()
{
	while (g_event_cur < g_event_count) {
		epoll_event &ev = g_events[g_event_cur++];
		uloop_fd *u = static_cast<uloop_fd *>(ev.data.ptr);
		if (!u)
			continue;

		unsigned int events = 0;
		if (ev.events & EPOLLIN)
			events |= ULOOP_READ;
		if (ev.events & EPOLLOUT)
			events |= ULOOP_WRITE;
		if (ev.events & EPOLLRDHUP)
			u->eof = true;
		if (ev.events & (EPOLLERR | EPOLLHUP)) {
			u->error = true;
			if (!(u->flags & ULOOP_ERROR_CB))
				uloop_fd_delete(u);
		}
		if (!events && !u->eof && !u->error)
			continue;
		if (!u->cb)
			continue;

		if (u->flags & ULOOP_EDGE_TRIGGER) {
			bool merged = false;
			for (FdFrame *f = g_fd_frames; f; f = f->up) {
				if (f->fd == u) {
					f->events |= events | ULOOP_EVENT_BUFFERED;
					merged = true;
					break;
				}
			}
			if (merged)
				return;
		}

		FdFrame frame{g_fd_frames, u, 0};
		g_fd_frames = &frame;
		for (;;) {
			frame.events = 0;
			u->cb(u, events);
			if (!frame.fd || !(frame.fd->flags & ULOOP_EDGE_TRIGGER))
				break;
			if (!(frame.events & ULOOP_EVENT_BUFFERED))
				break;
			events = frame.events & ULOOP_EVENT_MASK;
		}
		g_fd_frames = frame.up;
		return;
	}
}

void uloop_run_events(int64_t timeout_ms)
{
	if (g_event_cur >= g_event_count) {
		g_event_cur = g_event_count = 0;
		int ms = timeout_ms > INT_MAX ? INT_MAX : (int)timeout_ms;
		int n = epoll_wait(g_epoll_fd, g_events, kMaxEvents, ms);
		if (n <= 0)
			return;
		g_event_count = n;
	}
	uloop_dispatch_one();
}

}  // namespace

extern "C" {

int uloop_init(void)
{
	if (g_epoll_fd >= 0)
		return 0;

	g_epoll_fd = epoll_create1(EPOLL_CLOEXEC);
	if (g_epoll_fd < 0)
		return -1;

	if (pipe(g_waker_pipe) < 0 || uloop_set_nonblock_cloexec(g_waker_pipe[0]) < 0 ||
	    uloop_set_nonblock_cloexec(g_waker_pipe[1]) < 0) {
		if (g_waker_pipe[0] >= 0) {
			close(g_waker_pipe[0]);
			close(g_waker_pipe[1]);
		}
		g_waker_pipe[0] = g_waker_pipe[1] = -1;
		close(g_epoll_fd);
		g_epoll_fd = -1;
		return -1;
	}

	memset(&g_waker_fd, 0, sizeof(g_waker_fd));
	g_waker_fd.fd = g_waker_pipe[0];
	g_waker_fd.cb = uloop_waker_cb;
	uloop_fd_add(&g_waker_fd, ULOOP_READ);

	uloop_setup_signals();
	return 0;
}

int uloop_fd_add(struct uloop_fd *sock, unsigned int flags)
{
	if (!(flags & (ULOOP_READ | ULOOP_WRITE)))
		return uloop_fd_delete(sock);

	if (!sock->registered && !(flags & ULOOP_BLOCKING)) {
		int fl = fcntl(sock->fd, F_GETFL);
		if (fl >= 0 && !(fl & O_NONBLOCK))
			fcntl(sock->fd, F_SETFL, fl | O_NONBLOCK);
	}

	epoll_event ev;
	memset(&ev, 0, sizeof(ev));
	if (flags & ULOOP_READ)
		ev.events |= EPOLLIN | EPOLLRDHUP;
	if (flags & ULOOP_WRITE)
		ev.events |= EPOLLOUT;
	if (flags & ULOOP_EDGE_TRIGGER)
		ev.events |= EPOLLET;
	ev.data.ptr = sock;

	int op = sock->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
	int ret = epoll_ctl(g_epoll_fd, op, sock->fd, &ev);
	if (ret < 0)
		return ret;

	sock->flags = (uint8_t)flags;
	sock->registered = true;
	sock->eof = false;
	sock->error = false;
	return ret;
}

int uloop_fd_delete(struct uloop_fd *sock)
{
	for (int i = g_event_cur; i < g_event_count; i++) {
		if (g_events[i].data.ptr == sock)
			g_events[i].data.ptr = nullptr;
	}
	for (FdFrame *f = g_fd_frames; f; f = f->up) {
		if (f->fd == sock)
			f->fd = nullptr;
	}

	if (!sock->registered)
		return 0;

	sock->registered = false;
	sock->flags = 0;
	return epoll_ctl(g_epoll_fd, EPOLL_CTL_DEL, sock->fd, nullptr);
}

int uloop_timeout_add(struct uloop_timeout *timeout)
{
	if (timeout->pending)
		return -1;

	// After every entry due no later than this one: equal times keep arming order.
	struct list_head *h = &g_timeouts;
	uloop_timeout *t;
	list_for_each_entry(t, &g_timeouts, list) {
		if (uloop_tv_diff(t->time, timeout->time) > 0) {
			h = &t->list;
			break;
		}
	}
	list_add_tail(&timeout->list, h);
	timeout->pending = true;
	return 0;
}

int uloop_timeout_set(struct uloop_timeout *timeout, int msecs)
{
	if (timeout->pending)
		uloop_timeout_cancel(timeout);

	timeval tv = uloop_now();
	tv.tv_sec += msecs / 1000;
	tv.tv_usec += (msecs % 1000) * 1000;
	if (tv.tv_usec >= 1000000) {
		tv.tv_sec++;
		tv.tv_usec -= 1000000;
	} else if (tv.tv_usec < 0) {
		tv.tv_sec--;
		tv.tv_usec += 1000000;
	}
	timeout->time = tv;
	return uloop_timeout_add(timeout);
}

int uloop_timeout_cancel(struct uloop_timeout *timeout)
{
	if (!timeout->pending)
		return -1;
	list_del(&timeout->list);
	timeout->pending = false;
	return 0;
}

int64_t uloop_timeout_remaining64(struct uloop_timeout *timeout)
{
	if (!timeout->pending)
		return -1;
	return uloop_tv_diff(timeout->time, uloop_now());
}

int uloop_timeout_remaining(struct uloop_timeout *timeout)
{
	int64_t r = uloop_timeout_remaining64(timeout);
	if (r > INT_MAX)
		return INT_MAX;
	if (r < INT_MIN)
		return INT_MIN;
	return (int)r;
}

int uloop_process_add(struct uloop_process *p)
{
	if (p->pending)
		return -1;

	struct list_head *h = &g_processes;
	uloop_process *t;
	list_for_each_entry(t, &g_processes, list) {
		if (t->pid > p->pid) {
			h = &t->list;
			break;
		}
	}
	list_add_tail(&p->list, h);
	p->pending = true;
	return 0;
}

int uloop_process_delete(struct uloop_process *p)
{
	if (!p->pending)
		return -1;
	list_del(&p->list);
	p->pending = false;
	return 0;
}

bool uloop_cancelling(void)
{
	return g_run_depth > 0 && uloop_cancelled;
}

int uloop_run_timeout(int timeout)
{
	// Without a loop there is nothing to wait on; set one up rather than spin on a bad fd.
	if (g_epoll_fd < 0 && uloop_init() < 0)
		return -1;

	g_run_depth++;
	g_status = 0;
	uloop_cancelled = false;

	// With a time limit this is a single pass that waits at most that long.
	do {
		timeval now = uloop_now();
		uloop_run_timeouts(now);

		if (g_got_sigchld && uloop_handle_sigchld)
			uloop_reap_children();

		if (uloop_cancelled)
			break;

		int64_t wait = uloop_next_timeout(uloop_now());
		if (timeout >= 0 && (wait < 0 || wait > timeout))
			wait = timeout;
		uloop_run_events(wait);
	} while (!uloop_cancelled && timeout < 0);

	g_run_depth--;
	return g_status;
}

void uloop_done(void)
{
	for (SavedSignal &s : g_signals)
		uloop_release_signal(s);

	if (g_epoll_fd >= 0) {
		close(g_epoll_fd);
		g_epoll_fd = -1;
	}
	if (g_waker_pipe[0] >= 0) {
		close(g_waker_pipe[0]);
		close(g_waker_pipe[1]);
		g_waker_pipe[0] = g_waker_pipe[1] = -1;
	}
	g_waker_fd.registered = false;
	g_event_cur = g_event_count = 0;

	while (!list_empty(&g_timeouts))
		uloop_timeout_cancel(list_first_entry(&g_timeouts, uloop_timeout, list));
	while (!list_empty(&g_processes))
		uloop_process_delete(list_first_entry(&g_processes, uloop_process, list));
}

}  // extern "C"
