// Host ustream: buffered byte streams, and the fd backend driven by uloop.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

extern "C" {
#include <libubox/ustream.h>
}

namespace {

// Streams whose code is running further up the stack. ustream_free marks them so that
// a read loop stops touching the buffers, and notify_read is never entered twice.
struct StreamFrame {
	StreamFrame *up;
	ustream *s;
	bool freed;
	bool notifying;
	bool again;
};
StreamFrame *g_frames;

struct FrameGuard {
	StreamFrame f;
	explicit FrameGuard(ustream *s) : f{g_frames, s, false, false, false} { g_frames = &f; }
	~FrameGuard() { g_frames = f.up; }
	FrameGuard(const FrameGuard &) = delete;
	FrameGuard &operator=(const FrameGuard &) = delete;
};

int ustream_alloc_default(ustream *s, ustream_buf_list *l)
{
	if (l->max_buffers > 0 && l->buffers >= l->max_buffers)
		return -1;

	size_t room = (size_t)l->buffer_len + (s->string_data ? 1 : 0);
	ustream_buf *buf = static_cast<ustream_buf *>(malloc(sizeof(ustream_buf) + room));
	if (!buf)
		return -1;
	buf->next = nullptr;
	buf->data = buf->tail = buf->head;
	buf->end = buf->head + l->buffer_len;
	if (s->string_data)
		*buf->tail = 0;

	if (l->tail)
		l->tail->next = buf;
	else
		l->head = buf;
	l->tail = buf;
	l->buffers++;
	return 0;
}

void ustream_buf_reset(ustream *s, ustream_buf *buf)
{
	buf->data = buf->tail = buf->head;
	if (s->string_data)
		*buf->tail = 0;
}

void ustream_free_list(ustream_buf_list *l)
{
	ustream_buf *buf = l->head;
	while (buf) {
		ustream_buf *next = buf->next;
		free(buf);
		buf = next;
	}
	l->head = l->data_tail = l->tail = nullptr;
	l->buffers = 0;
	l->data_bytes = 0;
}

// Make room for at least len bytes at the end of the data; false when the limits forbid it.
bool ustream_prepare_buf(ustream *s, ustream_buf_list *l, int len)
{
	ustream_buf *buf = l->data_tail;
	if (buf) {
		if (buf->data == buf->tail)
			ustream_buf_reset(s, buf);
		if (buf->end - buf->tail >= len)
			return true;

		if (!buf->next && l->alloc(s, l) < 0) {
			// Out of buffers: a lone partly consumed buffer can still be compacted.
			if (buf == l->head && buf->data != buf->head) {
				size_t n = buf->tail - buf->data;
				memmove(buf->head, buf->data, n);
				buf->data = buf->head;
				buf->tail = buf->head + n;
				if (s->string_data)
					*buf->tail = 0;
				return buf->end - buf->tail >= len;
			}
			return false;
		}
		// Only move on once the next buffer exists.
		l->data_tail = buf->next;
		ustream_buf_reset(s, l->data_tail);
		return l->data_tail->end - l->data_tail->tail >= len;
	}

	if (!l->head && l->alloc(s, l) < 0)
		return false;
	l->data_tail = l->head;
	ustream_buf_reset(s, l->data_tail);
	return l->data_tail->end - l->data_tail->tail >= len;
}

// Drop len bytes from the front; emptied buffers are recycled to the back or freed.
void ustream_consume_list(ustream *s, ustream_buf_list *l, int len)
{
	if (len < 0 || len > l->data_bytes) {
		fprintf(stderr, "ustream: consume of %d bytes with %d pending\n", len, l->data_bytes);
		abort();
	}
	l->data_bytes -= len;

	while (len > 0 || (l->head && l->head != l->data_tail && l->head->data == l->head->tail)) {
		ustream_buf *buf = l->head;
		int n = (int)(buf->tail - buf->data);
		if (n > len)
			n = len;
		buf->data += n;
		len -= n;
		if (buf->data != buf->tail)
			break;

		if (buf == l->data_tail) {
			ustream_buf_reset(s, buf);
			break;
		}

		l->head = buf->next;
		if (l->buffers > l->min_buffers) {
			free(buf);
			l->buffers--;
		} else {
			ustream_buf_reset(s, buf);
			buf->next = nullptr;
			l->tail->next = buf;
			l->tail = buf;
		}
	}
}

void ustream_apply_read_blocked(ustream *s, unsigned int val)
{
	if ((unsigned int)s->read_blocked == val)
		return;
	s->read_blocked = static_cast<read_blocked_reason>(val);
	if (s->set_read_blocked)
		s->set_read_blocked(s);
}

void ustream_state_change_cb(uloop_timeout *t)
{
	ustream *s = container_of(t, struct ustream, state_change);

	if (s->write_error)
		ustream_free_list(&s->w);
	if (s->eof && !s->w.data_bytes)
		s->eof_write_done = true;
	if (s->notify_state)
		s->notify_state(s);
}

// Queue up to len bytes in the write buffers; returns how many were taken.
int ustream_queue_write(ustream *s, const char *data, int len)
{
	ustream_buf_list *l = &s->w;
	int done = 0;
	while (done < len) {
		if (!ustream_prepare_buf(s, l, 1))
			break;
		ustream_buf *buf = l->data_tail;
		int n = (int)(buf->end - buf->tail);
		if (n > len - done)
			n = len - done;
		memcpy(buf->tail, data + done, n);
		buf->tail += n;
		if (s->string_data)
			*buf->tail = 0;
		l->data_bytes += n;
		done += n;
	}
	return done;
}

void ustream_write_error(ustream *s)
{
	if (!s->write_error)
		ustream_state_change(s);
	s->write_error = true;
}

// fd backend

ustream_fd *ustream_fd_of(ustream *s)
{
	return container_of(s, struct ustream_fd, stream);
}

void ustream_fd_set_uloop(ustream *s, bool write)
{
	ustream_fd *sf = ustream_fd_of(s);
	unsigned int flags = ULOOP_EDGE_TRIGGER | ULOOP_ERROR_CB;

	if (!s->read_blocked && !s->eof)
		flags |= ULOOP_READ;
	if (!s->write_error && (write || s->w.data_bytes))
		flags |= ULOOP_WRITE;
	// Re-adding with the same flags would re-arm the edge and replay a lasting error.
	if (sf->fd.registered && sf->fd.flags == flags)
		return;
	uloop_fd_add(&sf->fd, flags);
}

// Read until the fd would block, the buffers are full or the stream ends.
void ustream_fd_read_pending(ustream_fd *sf, bool *more, const StreamFrame &frame)
{
	ustream *s = &sf->stream;

	while (!s->eof && !s->read_blocked && !frame.freed) {
		int room = 0;
		char *buf = ustream_reserve(s, 1, &room);
		if (!buf)
			break;

		ssize_t len = read(sf->fd.fd, buf, room);
		if (len < 0) {
			if (errno == EINTR)
				continue;
			if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTCONN)
				return;
			len = 0;
		}
		if (len == 0) {
			s->eof = true;
			ustream_state_change(s);
			ustream_fd_set_uloop(s, false);
			return;
		}

		ustream_fill_read(s, (int)len);
		*more = true;
	}
}

int ustream_fd_write(ustream *s, const char *buf, int len, bool more)
{
	ustream_fd *sf = ustream_fd_of(s);
	for (;;) {
		// send() avoids SIGPIPE on sockets; anything else goes through write().
		ssize_t ret = send(sf->fd.fd, buf, len, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
		if (ret < 0 && errno == ENOTSOCK)
			ret = write(sf->fd.fd, buf, len);
		if (ret >= 0)
			return (int)ret;
		if (errno == EINTR)
			continue;
		if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTCONN)
			return 0;
		return -1;
	}
}

void ustream_fd_set_read_blocked(ustream *s)
{
	ustream_fd_set_uloop(s, false);
}

void ustream_fd_free(ustream *s)
{
	uloop_fd_delete(&ustream_fd_of(s)->fd);
}

bool ustream_fd_poll(ustream *s)
{
	ustream_fd *sf = ustream_fd_of(s);
	FrameGuard g(s);
	bool more = false;

	ustream_fd_read_pending(sf, &more, g.f);
	if (g.f.freed)
		return more;
	ustream_write_pending(s);
	if (!g.f.freed && sf->fd.registered)
		ustream_fd_set_uloop(s, false);
	return more;
}

void ustream_fd_cb(uloop_fd *fd, unsigned int events)
{
	ustream_fd *sf = container_of(fd, struct ustream_fd, fd);
	ustream *s = &sf->stream;
	FrameGuard g(s);
	bool more = false;
	// Re-registering clears these, so take them now.
	bool error = fd->error;
	bool hup = fd->eof;

	// On an error or hang-up, read what is left too: that is how a closed pipe shows its end.
	if ((events & ULOOP_READ) || error || hup)
		ustream_fd_read_pending(sf, &more, g.f);
	if (g.f.freed)
		return;

	if (events & ULOOP_WRITE) {
		ustream_write_pending(s);
		if (g.f.freed)
			return;
	}

	if (error && !s->write_error) {
		ustream_write_error(s);
		ustream_free_list(&s->w);
	}
	if (fd->registered)
		ustream_fd_set_uloop(s, false);
}

}  // namespace

extern "C" {

void ustream_init_defaults(struct ustream *s)
{
	if (!s->r.buffer_len)
		s->r.buffer_len = 4096;
	if (!s->r.min_buffers)
		s->r.min_buffers = 1;
	if (!s->r.max_buffers)
		s->r.max_buffers = 1;
	if (!s->w.buffer_len)
		s->w.buffer_len = 256;
	if (!s->w.min_buffers)
		s->w.min_buffers = 2;
	if (!s->w.max_buffers)
		s->w.max_buffers = -1;
	if (!s->r.alloc)
		s->r.alloc = ustream_alloc_default;
	if (!s->w.alloc)
		s->w.alloc = ustream_alloc_default;

	s->r.head = s->r.data_tail = s->r.tail = nullptr;
	s->w.head = s->w.data_tail = s->w.tail = nullptr;
	s->r.buffers = s->w.buffers = 0;
	s->r.data_bytes = s->w.data_bytes = 0;

	memset(&s->state_change, 0, sizeof(s->state_change));
	s->state_change.cb = ustream_state_change_cb;
	s->write_error = false;
	s->eof = false;
	s->eof_write_done = false;
	s->read_blocked = static_cast<read_blocked_reason>(0);
}

void ustream_free(struct ustream *s)
{
	for (StreamFrame *f = g_frames; f; f = f->up) {
		if (f->s == s)
			f->freed = true;
	}
	if (s->free)
		s->free(s);
	uloop_timeout_cancel(&s->state_change);
	ustream_free_list(&s->r);
	ustream_free_list(&s->w);
}

void ustream_state_change(struct ustream *s)
{
	uloop_timeout_set(&s->state_change, 0);
}

char *ustream_reserve(struct ustream *s, int len, int *maxlen)
{
	if (!ustream_prepare_buf(s, &s->r, len)) {
		ustream_apply_read_blocked(s, s->read_blocked | READ_BLOCKED_FULL);
		*maxlen = 0;
		return nullptr;
	}
	ustream_buf *buf = s->r.data_tail;
	*maxlen = (int)(buf->end - buf->tail);
	return buf->tail;
}

void ustream_fill_read(struct ustream *s, int len)
{
	ustream_buf *buf = s->r.data_tail;
	if (!buf || len <= 0)
		return;
	if (len > buf->end - buf->tail)
		len = (int)(buf->end - buf->tail);
	buf->tail += len;
	if (s->string_data)
		*buf->tail = 0;
	s->r.data_bytes += len;

	if (!s->notify_read)
		return;

	for (StreamFrame *f = g_frames; f; f = f->up) {
		if (f->s == s && f->notifying) {
			// Told again, with the new total, once the running call returns.
			f->again = true;
			return;
		}
	}

	FrameGuard g(s);
	g.f.notifying = true;
	do {
		g.f.again = false;
		s->notify_read(s, s->r.data_bytes);
	} while (g.f.again && !g.f.freed && s->r.data_bytes > 0 && s->notify_read);
}

char *ustream_get_read_buf(struct ustream *s, int *buflen)
{
	char *data = nullptr;
	int len = 0;

	if (s->r.data_bytes > 0 && s->r.head) {
		len = (int)(s->r.head->tail - s->r.head->data);
		if (len > 0)
			data = s->r.head->data;
	}
	if (buflen)
		*buflen = len;
	return data;
}

int ustream_pending_data(struct ustream *s, bool write)
{
	return write ? s->w.data_bytes : s->r.data_bytes;
}

void ustream_consume(struct ustream *s, int len)
{
	if (!len)
		return;
	ustream_consume_list(s, &s->r, len);
	ustream_apply_read_blocked(s, s->read_blocked & ~READ_BLOCKED_FULL);
}

int ustream_read(struct ustream *s, char *buf, int buflen)
{
	int done = 0;
	while (done < buflen) {
		int len;
		char *data = ustream_get_read_buf(s, &len);
		if (!data)
			break;
		if (len > buflen - done)
			len = buflen - done;
		memcpy(buf + done, data, len);
		done += len;
		ustream_consume(s, len);
	}
	return done;
}

void ustream_set_read_blocked(struct ustream *s, bool set)
{
	unsigned int val = s->read_blocked & ~READ_BLOCKED_USER;
	if (set)
		val |= READ_BLOCKED_USER;
	ustream_apply_read_blocked(s, val);
}

bool ustream_write_pending(struct ustream *s)
{
	if (s->write_error)
		return false;
	// Nothing buffered, no flush to report.
	if (!s->w.data_bytes)
		return true;

	int wr = 0;
	while (s->w.data_bytes > 0 && s->w.head) {
		ustream_buf *buf = s->w.head;
		int len = (int)(buf->tail - buf->data);
		if (len <= 0)
			break;
		int ret = s->write(s, buf->data, len, s->w.data_bytes > len);
		if (ret < 0) {
			ustream_write_error(s);
			break;
		}
		if (ret == 0)
			break;
		wr += ret;
		ustream_consume_list(s, &s->w, ret);
		if (ret < len)
			break;
	}

	if (s->notify_write)
		s->notify_write(s, wr);

	// An ended stream reports once more when the last queued byte is out.
	if (s->eof && !s->eof_write_done && !s->w.data_bytes && !s->write_error) {
		s->eof_write_done = true;
		ustream_state_change(s);
	}
	return !s->w.data_bytes;
}

int ustream_write(struct ustream *s, const char *buf, int len, bool more)
{
	if (s->write_error)
		return 0;
	if (len <= 0)
		return 0;

	int wr = 0;
	if (!s->w.data_bytes) {
		wr = s->write(s, buf, len, more);
		if (wr == len)
			return wr;
		if (wr < 0) {
			ustream_write_error(s);
			return wr;
		}
		buf += wr;
		len -= wr;
	}

	wr += ustream_queue_write(s, buf, len);
	if (s->set_read_blocked == ustream_fd_set_read_blocked)
		ustream_fd_set_uloop(s, true);
	return wr;
}

int ustream_vprintf(struct ustream *s, const char *format, va_list arg)
{
	if (s->write_error)
		return 0;

	char small[256];
	va_list copy;
	va_copy(copy, arg);
	int len = vsnprintf(small, sizeof(small), format, copy);
	va_end(copy);
	if (len < 0)
		return len;
	if ((size_t)len < sizeof(small))
		return ustream_write(s, small, len, false);

	char *big = static_cast<char *>(malloc((size_t)len + 1));
	if (!big)
		return -1;
	vsnprintf(big, (size_t)len + 1, format, arg);
	int ret = ustream_write(s, big, len, false);
	free(big);
	return ret;
}

int ustream_printf(struct ustream *s, const char *format, ...)
{
	va_list arg;
	va_start(arg, format);
	int ret = ustream_vprintf(s, format, arg);
	va_end(arg);
	return ret;
}

void ustream_fd_init(struct ustream_fd *sf, int fd)
{
	ustream *s = &sf->stream;

	ustream_init_defaults(s);
	s->write = ustream_fd_write;
	s->free = ustream_fd_free;
	s->set_read_blocked = ustream_fd_set_read_blocked;
	s->poll = ustream_fd_poll;

	int fl = fcntl(fd, F_GETFL);
	if (fl >= 0 && !(fl & O_NONBLOCK))
		fcntl(fd, F_SETFL, fl | O_NONBLOCK);

	sf->fd.fd = fd;
	sf->fd.cb = ustream_fd_cb;
	ustream_fd_set_uloop(s, false);
}

}  // extern "C"
