// What -fno-exceptions C++ still asks of the C++ runtime, supplied over libc so
// shipped programs need no libstdc++: allocation aborts instead of throwing, and
// the library's error paths (std::vector growth, std::string) abort too.
#include <cstdio>
#include <cstdlib>
#include <new>
#include <bits/functexcept.h> // declares the std::__throw_* hooks defined below

extern "C" void __cxa_pure_virtual();

namespace {
[[noreturn]] void runtime_fail(const char *what) noexcept
{
	fprintf(stderr, "fatal: %s\n", what);
	abort();
}

void *runtime_alloc(std::size_t n) noexcept
{
	void *p = malloc(n ? n : 1);
	if (!p)
		runtime_fail("out of memory");
	return p;
}
} // namespace

void *operator new(std::size_t n) { return runtime_alloc(n); }
void *operator new[](std::size_t n) { return runtime_alloc(n); }
void *operator new(std::size_t n, const std::nothrow_t &) noexcept { return malloc(n ? n : 1); }
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept { return malloc(n ? n : 1); }
void operator delete(void *p) noexcept { free(p); }
void operator delete[](void *p) noexcept { free(p); }
void operator delete(void *p, std::size_t) noexcept { free(p); }
void operator delete[](void *p, std::size_t) noexcept { free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { free(p); }

extern "C" void __cxa_pure_virtual() { runtime_fail("pure virtual call"); }

// libstdc++'s headers call these on misuse; they live in libstdc++.so otherwise.
namespace std {
void __throw_bad_alloc() { runtime_fail("bad_alloc"); }
void __throw_bad_array_new_length() { runtime_fail("bad_array_new_length"); }
void __throw_length_error(const char *s) { runtime_fail(s); }
void __throw_logic_error(const char *s) { runtime_fail(s); }
void __throw_out_of_range(const char *s) { runtime_fail(s); }
void __throw_out_of_range_fmt(const char *s, ...) { runtime_fail(s); }
void __throw_invalid_argument(const char *s) { runtime_fail(s); }
void __throw_bad_function_call() { runtime_fail("bad_function_call"); }
} // namespace std
