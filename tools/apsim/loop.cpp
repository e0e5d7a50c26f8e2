#include <cerrno>
#include <cstdio>
#include <ctime>

#include <sys/epoll.h>
#include <unistd.h>

#include "apsim.hpp"

namespace apsim {

uint64_t now_ms()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

double now_s()
{
	timespec ts;
	clock_gettime(CLOCK_REALTIME, &ts);
	return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

Loop::Loop() : ep_(epoll_create1(EPOLL_CLOEXEC)) {}

Loop::~Loop()
{
	if (ep_ >= 0)
		close(ep_);
}

void Loop::add_fd(int fd, FdCb cb, uint32_t events)
{
	fds_[fd] = std::make_shared<FdCb>(std::move(cb));
	epoll_event ev{};
	ev.events = events;
	ev.data.fd = fd;
	if (epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev) < 0 && errno == EEXIST)
		epoll_ctl(ep_, EPOLL_CTL_MOD, fd, &ev);
}

void Loop::mod_fd(int fd, uint32_t events)
{
	epoll_event ev{};
	ev.events = events;
	ev.data.fd = fd;
	epoll_ctl(ep_, EPOLL_CTL_MOD, fd, &ev);
}

void Loop::del_fd(int fd)
{
	fds_.erase(fd);
	epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr);
}

uint64_t Loop::add_timer(int ms, TimerCb cb)
{
	uint64_t id = next_timer_++;
	uint64_t due = now_ms() + uint64_t(ms < 0 ? 0 : ms);
	timers_.emplace(std::make_pair(due, id), std::move(cb));
	timer_due_[id] = due;
	return id;
}

void Loop::cancel_timer(uint64_t id)
{
	auto it = timer_due_.find(id);
	if (it == timer_due_.end())
		return;
	timers_.erase(std::make_pair(it->second, id));
	timer_due_.erase(it);
}

void Loop::run()
{
	running_ = true;
	epoll_event evs[64];
	while (running_) {
		int wait = -1;
		if (!timers_.empty()) {
			uint64_t due = timers_.begin()->first.first, now = now_ms();
			wait = due <= now ? 0 : int(due - now);
		}
		int n = epoll_wait(ep_, evs, 64, wait);
		if (n < 0 && errno != EINTR) {
			perror("apsim: epoll_wait");
			return;
		}
		for (int i = 0; i < n && running_; i++) {
			auto it = fds_.find(evs[i].data.fd);
			if (it == fds_.end())
				continue;
			auto cb = it->second; // stays alive if the callback removes its fd
			(*cb)(evs[i].events);
		}
		uint64_t now = now_ms();
		while (running_ && !timers_.empty() && timers_.begin()->first.first <= now) {
			auto it = timers_.begin();
			uint64_t id = it->first.second;
			TimerCb cb = std::move(it->second);
			timers_.erase(it);
			timer_due_.erase(id);
			cb();
		}
	}
}

} // namespace apsim
