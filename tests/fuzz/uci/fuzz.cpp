// UCI configuration and delta files through the host libuci: the input is a
// config file, a zero byte, its delta file, a zero byte and a lookup path (each
// part optional). The files live in a private folder of the fuzzing process.
// A loaded package written out and read back must write out the same again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <ftw.h>
#include <unistd.h>

#include <uci.h>

namespace {
std::string dir;

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
	return remove(path);
}

void remove_dir()
{
	nftw(dir.c_str(), remove_entry, 8, FTW_DEPTH | FTW_PHYS);
}

void write_file(const std::string &path, const std::string &text)
{
	FILE *f = fopen(path.c_str(), "w");
	if (!f)
		abort();
	fwrite(text.data(), 1, text.size(), f);
	fclose(f);
}

std::string export_text(uci_context *ctx, uci_package *p)
{
	char *buf = nullptr;
	size_t len = 0;
	FILE *f = open_memstream(&buf, &len);
	uci_export(ctx, f, p, false);
	fclose(f);
	std::string s(buf, len);
	free(buf);
	return s;
}

uci_context *new_context(bool strict)
{
	uci_context *ctx = uci_alloc_context();
	uci_set_confdir(ctx, (dir + "/config").c_str());
	uci_set_savedir(ctx, (dir + "/save").c_str());
	ctx->flags = strict ? UCI_FLAG_STRICT : uci_flags(0);
	return ctx;
}

// The written text read back gives the same text.
void check_export_stable(const std::string &first)
{
	uci_context *ctx = new_context(true);
	FILE *f = fmemopen(const_cast<char *>(first.data()), first.size(), "r");
	uci_package *p = nullptr;
	if (!first.empty() && f) {
		if (uci_import(ctx, f, "fz", &p, true) != UCI_OK) {
			fprintf(stderr, "fuzz_uci: written text does not load:\n%s\n", first.c_str());
			abort();
		}
		if (export_text(ctx, p) != first) {
			fprintf(stderr, "fuzz_uci: written text changes when read back:\n%s\n", first.c_str());
			abort();
		}
	}
	if (f)
		fclose(f);
	uci_free_context(ctx);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	char tmpl[] = "/tmp/fuzz_uci.XXXXXX";
	if (!mkdtemp(tmpl))
		abort();
	dir = tmpl;
	mkdir((dir + "/config").c_str(), 0700);
	mkdir((dir + "/save").c_str(), 0700);
	atexit(remove_dir);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string in(reinterpret_cast<const char *>(data), size);
	size_t a = in.find('\0');
	std::string config = in.substr(0, a);
	std::string delta, path;
	if (a != std::string::npos) {
		size_t b = in.find('\0', a + 1);
		delta = in.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
		if (b != std::string::npos)
			path = in.substr(b + 1);
	}
	write_file(dir + "/config/fz", config);
	write_file(dir + "/save/fz", delta);

	for (bool strict : {false, true}) {
		uci_context *ctx = new_context(strict);
		uci_package *p = nullptr;
		if (uci_load(ctx, "fz", &p) == UCI_OK && p) {
			check_export_stable(export_text(ctx, p));
			if (!path.empty()) {
				std::string s = path; // the lookup cuts its argument in place
				uci_ptr ptr{};
				if (uci_lookup_ptr(ctx, &ptr, s.data(), true) == UCI_OK && ptr.value && !strict)
					uci_set(ctx, &ptr);
				check_export_stable(export_text(ctx, p));
			}
		}
		uci_free_context(ctx);
	}
	return 0;
}
