// Config files and delta files on disk: load, save, commit, revert, listing.
#include "internal.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace uci_host;

namespace {

// A file descriptor closed on scope exit.
struct Fd {
	int fd = -1;
	explicit Fd(int f = -1) : fd(f) {}
	Fd(const Fd &) = delete;
	Fd &operator=(const Fd &) = delete;
	~Fd()
	{
		if (fd >= 0)
			close(fd);
	}
};

bool read_fd(int fd, std::string &out)
{
	out.clear();
	if (lseek(fd, 0, SEEK_SET) < 0)
		return false;
	char buf[4096];
	for (;;) {
		ssize_t n = read(fd, buf, sizeof(buf));
		if (n < 0) {
			if (errno == EINTR)
				continue;
			return false;
		}
		if (n == 0)
			return true;
		out.append(buf, size_t(n));
	}
}

bool write_fd(int fd, std::string_view text)
{
	while (!text.empty()) {
		ssize_t n = write(fd, text.data(), text.size());
		if (n < 0) {
			if (errno == EINTR)
				continue;
			return false;
		}
		text.remove_prefix(size_t(n));
	}
	return true;
}

// 0, or UCI_ERR_NOTFOUND / UCI_ERR_IO. Takes a shared lock while reading.
int read_file(const std::string &path, std::string &out)
{
	Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
	if (fd.fd < 0)
		return errno == ENOENT || errno == ENOTDIR ? UCI_ERR_NOTFOUND : UCI_ERR_IO;
	struct stat st;
	if (fstat(fd.fd, &st) < 0 || !S_ISREG(st.st_mode))
		return UCI_ERR_IO;
	flock(fd.fd, LOCK_SH);
	bool ok = read_fd(fd.fd, out);
	flock(fd.fd, LOCK_UN);
	return ok ? UCI_OK : UCI_ERR_IO;
}

std::string join(const char *dir, const char *name)
{
	std::string p = dir;
	if (p.empty() || p.back() != '/')
		p += '/';
	p += name;
	return p;
}

mode_t file_mode(const char *path, mode_t dflt)
{
	struct stat st;
	if (path && stat(path, &st) == 0)
		return st.st_mode & 07777;
	return dflt;
}

// Writes text to a temporary file beside target and renames it over target
// (following a symlink), so the target is either the old or the new file.
int write_atomic(const std::string &target, const std::string &text)
{
	std::string real = target;
	if (char *r = realpath(target.c_str(), nullptr)) {
		real = r;
		free(r);
	}
	size_t slash = real.rfind('/');
	std::string dir = slash == std::string::npos ? "." : real.substr(0, slash ? slash : 1);
	std::string base = slash == std::string::npos ? real : real.substr(slash + 1);
	std::string tmp = join(dir.c_str(), ("." + base + ".uci-XXXXXX").c_str());
	mode_t mode = file_mode(real.c_str(), UCI_FILEMODE);

	std::vector<char> name(tmp.begin(), tmp.end());
	name.push_back(0);
	int fd = mkstemp(name.data());
	if (fd < 0)
		return UCI_ERR_IO;
	bool ok = write_fd(fd, text) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
	ok = (close(fd) == 0) && ok;
	if (ok && rename(name.data(), real.c_str()) == 0)
		return UCI_OK;
	unlink(name.data());
	return UCI_ERR_IO;
}

int ensure_dir(const char *dir, const char *like)
{
	struct stat st;
	if (stat(dir, &st) == 0)
		return S_ISDIR(st.st_mode) ? UCI_OK : UCI_ERR_IO;
	if (mkdir(dir, file_mode(like, UCI_DIRMODE)) == 0 || errno == EEXIST)
		return UCI_OK;
	return UCI_ERR_IO;
}

void report_parse_error(void *arg, const TokenError &err)
{
	const std::string *file = static_cast<const std::string *>(arg);
	fprintf(stderr, "uci: Parse error (%s) at line %d, byte %d in %s\n", err.reason.c_str(), err.line,
		err.byte, file->c_str());
}

// Parses a config file's text into a new package (not yet in ctx->root).
int parse_package(uci_context *ctx, const char *name, const std::string &file, const std::string &text,
		  uci_package **res)
{
	uci_package *p = package_new(ctx, name);
	if (!p)
		return set_error(ctx, UCI_ERR_MEM, "uci_load");
	TokenError err;
	bool strict = ctx->flags & UCI_FLAG_STRICT;
	bool perr = ctx->flags & UCI_FLAG_PERROR;
	if (!parse_config(p, text, strict, false, nullptr, err, perr ? report_parse_error : nullptr,
			  const_cast<std::string *>(&file))) {
		package_free(p);
		set_parse_error(ctx, file, err);
		return UCI_ERR_PARSE;
	}
	p->path = strdup(file.c_str());
	if (!p->path) {
		package_free(p);
		return set_error(ctx, UCI_ERR_MEM, "uci_load");
	}
	*res = p;
	return UCI_OK;
}

// Applies one delta file's text; returns the number of lines applied.
int apply_delta_text(uci_context *ctx, uci_package *p, const std::string &text)
{
	std::vector<Line> lines;
	TokenError err;
	tokenize(text, lines, err); // lines before a broken one still apply
	int applied = 0;
	for (const Line &l : lines) {
		DeltaLine d;
		if (!parse_delta_word(l.words[0].text, d) || d.package != p->e.name || !apply_delta(p, d))
			continue;
		applied++;
		if (!(ctx->flags & UCI_FLAG_SAVED_DELTA))
			continue;
		uci_delta *rec = delta_new(d.cmd, d.section, d.has_option ? d.option.c_str() : nullptr,
					   d.has_value ? d.value.c_str() : nullptr);
		if (rec)
			list_add_tail(&p->saved_delta, &rec->e.list);
	}
	return applied;
}

// Applies the delta files of every delta path in order. save_fd, if open,
// is the save directory's file, already locked by the caller.
int apply_deltas(uci_context *ctx, uci_package *p, int save_fd)
{
	int applied = 0;
	uci_element *e;
	uci_foreach_element(&ctx->delta_path, e) {
		std::string text;
		if (save_fd >= 0 && ctx->savedir && !strcmp(e->name, ctx->savedir)) {
			if (!read_fd(save_fd, text))
				continue;
		} else if (read_file(join(e->name, p->e.name), text) != UCI_OK) {
			continue;
		}
		applied += apply_delta_text(ctx, p, text);
	}
	return applied;
}

// Puts np where p was in ctx->root and frees p.
void package_replace(uci_package *p, uci_package *np)
{
	list_insert_before(&p->e.list, &np->e.list);
	package_free(p);
}

int write_package(uci_context *ctx, uci_package *p)
{
	std::string target = p->path ? p->path : join(ctx->confdir, p->e.name);
	int rc = write_atomic(target, write_config(p, false, false));
	return set_error(ctx, rc, "uci_commit");
}

} // namespace

extern "C" {

int uci_load(uci_context *ctx, const char *name, uci_package **package)
{
	if (package)
		*package = nullptr;
	if (!ctx || !name)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;

	bool by_path = name[0] == '/' || !strncmp(name, "./", 2);
	std::string pkg, file;
	if (by_path) {
		file = name;
		pkg = file.substr(file.rfind('/') + 1);
		if (pkg.empty())
			return set_error(ctx, UCI_ERR_INVAL, __func__);
	} else {
		// No '/' or '..' can reach the file name: package names are [A-Za-z0-9_-].
		if (!valid_package(name))
			return set_error(ctx, UCI_ERR_INVAL, __func__);
		pkg = name;
		file = join(ctx->confdir, name);
	}
	if (uci_lookup_package(ctx, pkg.c_str()))
		return set_error(ctx, UCI_ERR_DUPLICATE, __func__);

	std::string text;
	int rc = read_file(file, text);
	if (rc != UCI_OK)
		return set_error(ctx, rc, __func__);
	uci_package *p;
	rc = parse_package(ctx, pkg.c_str(), file, text, &p);
	if (rc != UCI_OK)
		return rc;
	p->has_delta = !by_path;
	if (p->has_delta)
		apply_deltas(ctx, p, -1);
	list_add_tail(&ctx->root, &p->e.list);
	if (package)
		*package = p;
	return set_error(ctx, UCI_OK, __func__);
}

int uci_unload(uci_context *ctx, uci_package *p)
{
	if (!ctx || !p)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;
	package_free(p);
	return set_error(ctx, UCI_OK, __func__);
}

int uci_save(uci_context *ctx, uci_package *p)
{
	if (!ctx || !p)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;
	if (!p->has_delta)
		return write_package(ctx, p);
	if (uci_list_empty(&p->delta))
		return set_error(ctx, UCI_OK, __func__);
	if (!ctx->savedir || !valid_package(p->e.name))
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	if (ensure_dir(ctx->savedir, ctx->confdir) != UCI_OK)
		return set_error(ctx, UCI_ERR_IO, __func__);

	std::string text;
	uci_element *e;
	uci_foreach_element(&p->delta, e)
		text += delta_text(p->e.name, uci_to_delta(e));

	std::string file = join(ctx->savedir, p->e.name);
	Fd fd(open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, file_mode(p->path, UCI_FILEMODE)));
	if (fd.fd < 0)
		return set_error(ctx, UCI_ERR_IO, __func__);
	flock(fd.fd, LOCK_EX);
	struct stat st;
	if (fstat(fd.fd, &st) < 0)
		return set_error(ctx, UCI_ERR_IO, __func__);
	if (!write_fd(fd.fd, text)) {
		// Leave no half line behind: it would swallow later changes.
		if (ftruncate(fd.fd, st.st_size) < 0) {
		}
		return set_error(ctx, UCI_ERR_IO, __func__);
	}
	flock(fd.fd, LOCK_UN);

	if (ctx->flags & UCI_FLAG_SAVED_DELTA) {
		uci_element *tmp;
		uci_foreach_element_safe(&p->delta, tmp, e) {
			list_del(&e->list);
			list_add_tail(&p->saved_delta, &e->list);
		}
	} else {
		delta_list_free(&p->delta);
	}
	return set_error(ctx, UCI_OK, __func__);
}

int uci_commit(uci_context *ctx, uci_package **package, bool overwrite)
{
	if (!ctx || !package || !*package)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;
	uci_package *p = *package;
	if (overwrite || !p->has_delta)
		return write_package(ctx, p);
	if (!valid_package(p->e.name) || !p->path)
		return set_error(ctx, UCI_ERR_INVAL, __func__);

	int rc = uci_save(ctx, p);
	if (rc != UCI_OK)
		return rc;

	// Hold the save file for the whole merge so no change appended meanwhile
	// is dropped by the truncation below.
	Fd save_fd;
	if (ctx->savedir) {
		save_fd.fd = open(join(ctx->savedir, p->e.name).c_str(), O_RDWR | O_CLOEXEC);
		if (save_fd.fd >= 0)
			flock(save_fd.fd, LOCK_EX);
	}

	std::string file = p->path;
	std::string text;
	rc = read_file(file, text);
	if (rc != UCI_OK)
		return set_error(ctx, rc, __func__);
	uci_package *np;
	rc = parse_package(ctx, p->e.name, file, text, &np);
	if (rc != UCI_OK)
		return rc;
	np->has_delta = true;
	int applied = apply_deltas(ctx, np, save_fd.fd);
	if (applied > 0) {
		rc = write_package(ctx, np);
		if (rc != UCI_OK) {
			package_free(np);
			return rc;
		}
	}
	// Only now that the new file is in place are the saved changes dropped.
	if (save_fd.fd >= 0 && ftruncate(save_fd.fd, 0) < 0) {
		package_replace(p, np);
		*package = np;
		return set_error(ctx, UCI_ERR_IO, __func__);
	}
	delta_list_free(&np->saved_delta);
	package_replace(p, np);
	*package = np;
	return set_error(ctx, UCI_OK, __func__);
}

int uci_revert(uci_context *ctx, uci_ptr *ptr)
{
	if (!ctx || !ptr || !ptr->p)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;
	uci_package *p = ptr->p;
	if (!p->has_delta || !valid_package(p->e.name))
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	int rc = uci_save(ctx, p);
	if (rc != UCI_OK)
		return rc;

	std::string name = p->e.name;
	bool has_sec = ptr->section != nullptr, has_opt = ptr->option != nullptr;
	std::string sec = has_sec ? ptr->section : "", opt = has_opt ? ptr->option : "";
	// An extended lookup points ptr->section into the tree being dropped.
	bool sec_in_tree = ptr->s && ptr->section == ptr->s->e.name;
	bool opt_in_tree = ptr->o && ptr->option == ptr->o->e.name;
	uci_unload(ctx, p);
	ptr->p = nullptr;
	ptr->s = nullptr;
	ptr->o = nullptr;
	ptr->last = nullptr;

	if (ctx->savedir) {
		Fd fd(open(join(ctx->savedir, name.c_str()).c_str(), O_RDWR | O_CLOEXEC));
		if (fd.fd >= 0) {
			flock(fd.fd, LOCK_EX);
			std::string text, kept;
			if (!read_fd(fd.fd, text))
				return set_error(ctx, UCI_ERR_IO, __func__);
			if (has_sec || has_opt) {
				std::vector<Line> lines;
				TokenError err;
				bool whole = tokenize(text, lines, err);
				for (const Line &l : lines) {
					DeltaLine d;
					bool match = parse_delta_word(l.words[0].text, d) && d.package == name &&
						     (!has_sec || d.section == sec) &&
						     (!has_opt || (d.has_option && d.option == opt));
					if (match)
						continue;
					kept.append(text, l.begin, l.end - l.begin);
					if (kept.back() != '\n')
						kept += '\n';
				}
				if (!whole) // keep what could not be read as it was
					kept.append(text, lines.empty() ? 0 : lines.back().end, std::string::npos);
			}
			if (kept != text) {
				if (ftruncate(fd.fd, 0) < 0 || lseek(fd.fd, 0, SEEK_SET) < 0 || !write_fd(fd.fd, kept))
					return set_error(ctx, UCI_ERR_IO, __func__);
			}
		}
	}

	rc = uci_load(ctx, name.c_str(), &ptr->p);
	if (rc != UCI_OK)
		return rc;
	ptr->last = &ptr->p->e;
	if (has_sec) {
		ptr->s = section_find(ptr->p, sec);
		if (sec_in_tree)
			ptr->section = ptr->s ? ptr->s->e.name : nullptr;
		if (ptr->s) {
			ptr->last = &ptr->s->e;
			if (has_opt) {
				ptr->o = option_find(ptr->s, opt);
				if (ptr->o)
					ptr->last = &ptr->o->e;
			}
		}
		if (opt_in_tree)
			ptr->option = ptr->o ? ptr->o->e.name : nullptr;
	}
	return set_error(ctx, UCI_OK, __func__);
}

int uci_list_configs(uci_context *ctx, char ***list)
{
	if (!ctx || !list)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;
	*list = nullptr;
	DIR *d = opendir(ctx->confdir);
	if (!d)
		return set_error(ctx, UCI_ERR_NOTFOUND, __func__);
	std::vector<std::string> names;
	while (dirent *de = readdir(d)) {
		if (!valid_package(de->d_name))
			continue;
		struct stat st;
		if (stat(join(ctx->confdir, de->d_name).c_str(), &st) < 0 || !S_ISREG(st.st_mode))
			continue;
		names.emplace_back(de->d_name);
	}
	closedir(d);
	if (names.empty())
		return set_error(ctx, UCI_ERR_NOTFOUND, __func__);
	std::sort(names.begin(), names.end());

	size_t size = (names.size() + 1) * sizeof(char *);
	for (const auto &n : names)
		size += n.size() + 1;
	char **block = static_cast<char **>(malloc(size));
	if (!block)
		return set_error(ctx, UCI_ERR_MEM, __func__);
	char *text = reinterpret_cast<char *>(block + names.size() + 1);
	for (size_t i = 0; i < names.size(); i++) {
		block[i] = text;
		memcpy(text, names[i].c_str(), names[i].size() + 1);
		text += names[i].size() + 1;
	}
	block[names.size()] = nullptr;
	*list = block;
	return set_error(ctx, UCI_OK, __func__);
}

int uci_export(uci_context *ctx, FILE *stream, uci_package *package, bool header)
{
	if (!ctx || !stream)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;
	bool names = ctx->flags & UCI_FLAG_EXPORT_NAME;
	std::string text;
	if (package) {
		text = write_config(package, header, names);
	} else {
		uci_element *e;
		uci_foreach_element(&ctx->root, e)
			text += write_config(uci_to_package(e), header, names);
	}
	if (fwrite(text.data(), 1, text.size(), stream) != text.size())
		return set_error(ctx, UCI_ERR_IO, __func__);
	return set_error(ctx, UCI_OK, __func__);
}

int uci_import(uci_context *ctx, FILE *stream, const char *name, uci_package **package, bool single)
{
	(void) single; // one package per stream
	if (package)
		*package = nullptr;
	if (!ctx || !stream)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;
	std::string text;
	char buf[4096];
	size_t n;
	while ((n = fread(buf, 1, sizeof(buf), stream)) > 0)
		text.append(buf, n);
	if (ferror(stream))
		return set_error(ctx, UCI_ERR_IO, __func__);

	uci_package *p = package_new(ctx, "");
	if (!p)
		return set_error(ctx, UCI_ERR_MEM, __func__);
	std::string declared;
	TokenError err;
	if (!parse_config(p, text, ctx->flags & UCI_FLAG_STRICT, true, &declared, err, nullptr, nullptr)) {
		package_free(p);
		set_parse_error(ctx, "(stdin)", err);
		return UCI_ERR_PARSE;
	}
	std::string pkg = name ? name : declared;
	if (!valid_package(pkg)) {
		package_free(p);
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	}
	if (uci_lookup_package(ctx, pkg.c_str())) {
		package_free(p);
		return set_error(ctx, UCI_ERR_DUPLICATE, __func__);
	}
	element_rename(&p->e, pkg);
	p->path = strdup(join(ctx->confdir, pkg.c_str()).c_str());
	list_add_tail(&ctx->root, &p->e.list);
	if (package)
		*package = p;
	return set_error(ctx, UCI_OK, __func__);
}

int uci_parse_argument(uci_context *ctx, FILE *stream, char **str, char **result)
{
	(void) stream; // arguments do not continue on the next line here
	if (!ctx || !str || !*str || !result)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;
	*result = nullptr;
	char *s = *str;
	std::string_view rest(s);
	size_t nl = rest.find('\n');
	if (nl != std::string_view::npos)
		rest = rest.substr(0, nl);
	std::vector<Line> lines;
	TokenError err;
	if (!tokenize(rest, lines, err)) {
		set_error(ctx, UCI_ERR_PARSE, __func__);
		ctx->pctx->reason = err.reason;
		ctx->pctx->line = err.line;
		ctx->pctx->byte = err.byte;
		return UCI_ERR_PARSE;
	}
	if (lines.empty()) {
		*str = s + rest.size();
		return set_error(ctx, UCI_OK, __func__);
	}
	const Word &w = lines[0].words[0];
	char after = s[w.end];
	memcpy(s + w.begin, w.text.data(), w.text.size());
	s[w.begin + w.text.size()] = 0;
	*result = s + w.begin;
	if (after == 0)
		*str = s + w.end;
	else if (after == '#')
		*str = s + rest.size();
	else
		*str = s + w.end + 1;
	return set_error(ctx, UCI_OK, __func__);
}

} // extern "C"
