#include "exec/ac_exec.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
// One command in flight. Linked into the loop by address: allocated once,
// never copied, released only from its own finishing timeout.
struct ac_exec_run {
	struct ubus_context *ctx;
	struct ubus_request_data request;
	struct uloop_timeout timeout; // the 30 s limit, then the 0 ms finish
	struct uloop_process process;
	struct ustream_fd pipeIn;
	struct ustream_fd pipeOut;
	struct ustream_fd pipeErr;
	int exitStatus;
	void *priv;
	struct blob_buf reply;
	ac_exec_write_cb stdinWriter;
	ac_exec_read_cb stdoutReader;
	ac_exec_read_cb stderrReader;
	ac_exec_finish_cb finishHook;

	bool stdinOpen; // pipeIn holds the write end of the child's stdin
	bool stdinDone; // the writer has nothing more
	bool exited;    // exitStatus is the real one; the pid is gone
	bool ending;
	int endStatus;
};

char ac_exec_path[AC_EXEC_PATH_MAX];

bool ac_exec_is_file(const char *path)
{
	struct stat st;
	return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

int ac_exec_errno_status(int err)
{
	switch (err) {
	case ENOENT:
		return UBUS_STATUS_NOT_FOUND;
	case EACCES:
		return UBUS_STATUS_PERMISSION_DENIED;
	case ENOTDIR:
	case EINVAL:
		return UBUS_STATUS_INVALID_ARGUMENT;
	default:
		return UBUS_STATUS_UNKNOWN_ERROR;
	}
}

// The exit code for "code". A command killed by a signal has none; it must
// not read as success, so it gets the shell's 128 + signal number.
int ac_exec_code(int status)
{
	if (WIFSIGNALED(status))
		return 128 + WTERMSIG(status);
	return (status >> 8) & 0xff;
}

void ac_exec_finish(struct uloop_timeout *t);

// Ends the run with status once: stops the watches now, replies and releases
// from a 0 ms timeout, so no stream is freed inside its own callback.
void ac_exec_end(ac_exec_run *run, int status)
{
	if (run->ending)
		return;
	run->ending = true;
	run->endStatus = status;
	uloop_process_delete(&run->process);
	// Nobody will read what it writes any more; never leave it running.
	if (!run->exited)
		kill(run->process.pid, SIGKILL);
	ustream_set_read_blocked(&run->pipeOut.stream, true);
	ustream_set_read_blocked(&run->pipeErr.stream, true);
	run->timeout.cb = ac_exec_finish;
	uloop_timeout_set(&run->timeout, 0);
}

bool ac_exec_stream_done(struct ustream *s)
{
	return s->eof || s->write_error;
}

// The exit status is final only once the process exit was seen, and the
// output only at both ends of file: wait for all three.
void ac_exec_check_done(ac_exec_run *run)
{
	if (run->exited && ac_exec_stream_done(&run->pipeOut.stream) &&
	    ac_exec_stream_done(&run->pipeErr.stream))
		ac_exec_end(run, UBUS_STATUS_OK);
}

// ustream_free leaves the descriptor open: close it ourselves.
void ac_exec_stream_close(struct ustream_fd *sf)
{
	int fd = sf->fd.fd;
	ustream_free(&sf->stream);
	close(fd);
}

void ac_exec_stdin_close(ac_exec_run *run)
{
	if (!run->stdinOpen)
		return;
	run->stdinOpen = false;
	ac_exec_stream_close(&run->pipeIn);
}

// Calls the writer while the pipe takes everything directly; queued data
// brings us back through notify_write once it is flushed.
void ac_exec_feed(ac_exec_run *run)
{
	struct ustream *s = &run->pipeIn.stream;
	if (!run->stdinOpen)
		return;
	while (!run->stdinDone) {
		if (run->stdinWriter(s, run->priv) <= 0)
			run->stdinDone = true;
		else if (ustream_pending_data(s, true) > 0)
			return;
	}
	if (run->stdinDone && ustream_pending_data(s, true) <= 0)
		ac_exec_stdin_close(run);
}

void ac_exec_in_write(struct ustream *s, int)
{
	ac_exec_run *run = container_of(s, ac_exec_run, pipeIn.stream);
	ac_exec_feed(run);
}

void ac_exec_in_state(struct ustream *s)
{
	ac_exec_run *run = container_of(s, ac_exec_run, pipeIn.stream);
	// The child closed its end (or the pipe broke): nothing more can go in.
	if (s->write_error || s->eof)
		ac_exec_stdin_close(run);
}

void ac_exec_read(ac_exec_run *run, struct ustream *s, ac_exec_read_cb reader)
{
	if (run->ending)
		return;
	if (!reader) {
		// The output stays buffered for the reply; more than fits is refused.
		if (ustream_read_buf_full(s))
			ac_exec_end(run, UBUS_STATUS_NOT_SUPPORTED);
		return;
	}
	for (;;) {
		int len = 0;
		char *buf = ustream_get_read_buf(s, &len);
		if (!buf || len <= 0)
			return;
		int used = reader(&run->reply, buf, len, run->priv);
		if (used <= 0)
			return;
		ustream_consume(s, used < len ? used : len);
	}
}

void ac_exec_out_read(struct ustream *s, int)
{
	ac_exec_run *run = container_of(s, ac_exec_run, pipeOut.stream);
	ac_exec_read(run, s, run->stdoutReader);
}

void ac_exec_err_read(struct ustream *s, int)
{
	ac_exec_run *run = container_of(s, ac_exec_run, pipeErr.stream);
	ac_exec_read(run, s, run->stderrReader);
}

void ac_exec_out_state(struct ustream *s)
{
	ac_exec_run *run = container_of(s, ac_exec_run, pipeOut.stream);
	if (!run->ending)
		ac_exec_check_done(run);
}

void ac_exec_err_state(struct ustream *s)
{
	ac_exec_run *run = container_of(s, ac_exec_run, pipeErr.stream);
	if (!run->ending)
		ac_exec_check_done(run);
}

void ac_exec_exited(struct uloop_process *p, int status)
{
	ac_exec_run *run = container_of(p, ac_exec_run, process);
	run->exited = true;
	run->exitStatus = status;
	// Output written just before the exit may still sit in the pipes.
	ustream_poll(&run->pipeOut.stream);
	ustream_poll(&run->pipeErr.stream);
	if (!run->ending)
		ac_exec_check_done(run);
}

void ac_exec_timeout(struct uloop_timeout *t)
{
	ac_exec_run *run = container_of(t, ac_exec_run, timeout);
	ac_exec_end(run, UBUS_STATUS_TIMEOUT);
}

// All buffered bytes of a stream, in order, as one string member.
void ac_exec_add_output(struct blob_buf *b, const char *name, struct ustream *s)
{
	int len = ustream_pending_data(s, false);
	if (len <= 0)
		return;
	auto *dst = static_cast<char *>(blobmsg_alloc_string_buffer(b, name, unsigned(len) + 1));
	if (!dst)
		return;
	int off = 0;
	for (struct ustream_buf *buf = s->r.head; buf && off < len; buf = buf->next) {
		int n = int(buf->tail - buf->data);
		if (n > len - off)
			n = len - off;
		memcpy(dst + off, buf->data, size_t(n));
		off += n;
		if (buf == s->r.data_tail)
			break;
	}
	dst[off] = '\0';
	blobmsg_add_string_buffer(b);
}

void ac_exec_release(ac_exec_run *run)
{
	ac_exec_stream_close(&run->pipeOut);
	ac_exec_stream_close(&run->pipeErr);
	ac_exec_stdin_close(run);
	blob_buf_free(&run->reply);
	free(run->priv);
	free(run);
}

void ac_exec_finish(struct uloop_timeout *t)
{
	ac_exec_run *run = container_of(t, ac_exec_run, timeout);
	int status = run->endStatus;
	if (status == UBUS_STATUS_OK) {
		if (!run->stdoutReader && !run->stderrReader && !run->finishHook) {
			blobmsg_add_u32(&run->reply, "code", uint32_t(ac_exec_code(run->exitStatus)));
			ac_exec_add_output(&run->reply, "stdout", &run->pipeOut.stream);
			ac_exec_add_output(&run->reply, "stderr", &run->pipeErr.stream);
		}
		if (run->finishHook)
			status = run->finishHook(&run->reply, run->exitStatus, run->priv);
		if (status == UBUS_STATUS_OK)
			ubus_send_reply(run->ctx, &run->request, run->reply.head);
	}
	ubus_complete_deferred_request(run->ctx, &run->request, status);
	ac_exec_release(run);
}

void ac_exec_stream_setup(struct ustream_fd *sf, int fd, void (*readCb)(struct ustream *, int),
                          void (*stateCb)(struct ustream *))
{
	struct ustream *s = &sf->stream;
	s->string_data = true;
	s->r.buffer_len = AC_EXEC_BUF_LEN;
	s->r.max_buffers = AC_EXEC_BUF_MAX;
	s->w.buffer_len = AC_EXEC_BUF_LEN;
	s->w.max_buffers = AC_EXEC_BUF_MAX;
	s->notify_read = readCb;
	s->notify_state = stateCb;
	ustream_fd_init(sf, fd);
}

// The child: leaves the loop, puts the pipes on 0, 1 and 2 and becomes the
// command. Never returns into daemon code.
[[noreturn]] void ac_exec_child(const char *path, const char *const *argv, int fds[3][2])
{
	uloop_done();
	// Move the child's ends above 2 first: with the daemon's own standard
	// descriptors closed, a pipe may sit on 0, 1 or 2 itself.
	int in = fcntl(fds[0][0], F_DUPFD_CLOEXEC, 3);
	int out = fcntl(fds[1][1], F_DUPFD_CLOEXEC, 3);
	int err = fcntl(fds[2][1], F_DUPFD_CLOEXEC, 3);
	if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
		_exit(1);
	// The six pipe ends, and the daemon's sockets, stay with the daemon.
	ac_exec_close_from(3);
	// The daemon ignores SIGPIPE and exec keeps that: the command gets the default.
	signal(SIGPIPE, SIG_DFL);
	execv(path, const_cast<char *const *>(argv));
	_exit(1);
}

void ac_exec_close_pipes(int fds[3][2])
{
	for (int i = 0; i < 3; i++)
		for (int &fd : fds[i])
			if (fd >= 0) {
				close(fd);
				fd = -1;
			}
}
} // namespace

void ac_exec_close_from(int first)
{
	DIR *d = opendir("/proc/self/fd");
	if (!d) {
		for (int fd = first; fd < AC_EXEC_CLOSE_MAX; fd++)
			close(fd);
		return;
	}
	int own = dirfd(d);
	while (struct dirent *e = readdir(d)) {
		char *end;
		long fd = strtol(e->d_name, &end, 10);
		if (*end == '\0' && end != e->d_name && fd >= first && fd != own)
			close(int(fd));
	}
	closedir(d);
}

const char *ac_exec_lookup(const char *cmd)
{
	if (!cmd)
		return nullptr;
	if (ac_exec_is_file(cmd))
		return cmd;
	const char *list = getenv("PATH");
	if (!list)
		list = AC_EXEC_DEFAULT_PATH;
	size_t nameLen = strlen(cmd);
	for (const char *p = list;; p++) {
		const char *end = strchr(p, ':');
		size_t dirLen = end ? size_t(end - p) : strlen(p);
		// A candidate that does not fit is skipped; the search goes on.
		if (dirLen + 1 + nameLen < sizeof ac_exec_path) {
			memcpy(ac_exec_path, p, dirLen);
			ac_exec_path[dirLen] = '/';
			memcpy(ac_exec_path + dirLen + 1, cmd, nameLen + 1);
			if (ac_exec_is_file(ac_exec_path))
				return ac_exec_path;
		}
		if (!end)
			return nullptr;
		p = end;
	}
}

int ac_exec(const char *const *argv, ac_exec_write_cb in, ac_exec_read_cb out, ac_exec_read_cb err,
            ac_exec_finish_cb finish, void *priv, struct ubus_context *ctx, struct ubus_request_data *req)
{
	const char *path = argv ? ac_exec_lookup(argv[0]) : nullptr;
	if (!path)
		return UBUS_STATUS_NOT_FOUND;

	auto *run = static_cast<ac_exec_run *>(calloc(1, sizeof(ac_exec_run)));
	if (!run)
		return UBUS_STATUS_UNKNOWN_ERROR;

	// stdin, stdout, stderr. Close-on-exec, so no other child (uploads,
	// other runs) keeps a copy that would hold off an end of file.
	int fds[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
	for (auto &p : fds) {
		if (pipe2(p, O_CLOEXEC) < 0) {
			int e = errno;
			ac_exec_close_pipes(fds);
			free(run);
			return ac_exec_errno_status(e);
		}
	}

	pid_t pid = fork();
	if (pid < 0) {
		int e = errno;
		ac_exec_close_pipes(fds);
		free(run);
		return ac_exec_errno_status(e);
	}
	if (pid == 0)
		ac_exec_child(path, argv, fds);

	run->ctx = ctx;
	blob_buf_init(&run->reply, 0);
	run->stdinWriter = in;
	run->stdoutReader = out;
	run->stderrReader = err;
	run->finishHook = finish;
	run->priv = priv;

	ac_exec_stream_setup(&run->pipeOut, fds[1][0], ac_exec_out_read, ac_exec_out_state);
	ac_exec_stream_setup(&run->pipeErr, fds[2][0], ac_exec_err_read, ac_exec_err_state);

	run->process.pid = pid;
	run->process.cb = ac_exec_exited;
	uloop_process_add(&run->process);

	run->timeout.cb = ac_exec_timeout;
	uloop_timeout_set(&run->timeout, AC_EXEC_TIMEOUT_MS);

	// The child's ends are its own now.
	close(fds[0][0]);
	close(fds[1][1]);
	close(fds[2][1]);

	if (in) {
		run->pipeIn.stream.notify_write = ac_exec_in_write;
		ac_exec_stream_setup(&run->pipeIn, fds[0][1], nullptr, ac_exec_in_state);
		run->stdinOpen = true;
		ac_exec_feed(run);
	} else {
		// The command reads end of file at once.
		close(fds[0][1]);
	}

	ubus_defer_request(ctx, req, &run->request);
	return UBUS_STATUS_OK;
}
