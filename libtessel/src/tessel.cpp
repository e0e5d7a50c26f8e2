// libtessel: one libuci context, one lookup and one action per call.
#include "libtessel.h"

#include "gw/uci.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *const state_dir = LIBTESSEL_STATE_DIR;

// The safe-get list: every safe-get result until uci_free().
uci_get_data *head;
uci_get_data *current;

// Returned when a record cannot be allocated, so callers never get NULL.
char empty_text[1];

// Owning handles: the context and the heap copy of a path are released on
// every return path.
struct Context {
	uci_context *ctx;
	Context(const char *savedir, const char *confdir) : ctx(quarn_uci_alloc_context(savedir, confdir)) {}
	~Context()
	{
		if (ctx)
			uci_free_context(ctx);
	}
	Context(const Context &) = delete;
	Context &operator=(const Context &) = delete;
};

struct PathCopy {
	char *str;
	explicit PathCopy(const char *path) : str(path ? strdup(path) : nullptr) {}
	~PathCopy() { free(str); }
	PathCopy(const PathCopy &) = delete;
	PathCopy &operator=(const PathCopy &) = delete;
};

// A lookup with extended syntax on its own copy of the path.
struct Lookup {
	PathCopy copy;
	uci_ptr ptr;
	int rc;
	Lookup(uci_context *ctx, const char *path) : copy(path), ptr(), rc(UCI_ERR_INVAL)
	{
		if (!path)
			return;
		rc = copy.str ? uci_lookup_ptr(ctx, &ptr, copy.str, true) : UCI_ERR_MEM;
	}
	bool complete() const { return rc == UCI_OK && (ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE); }
};

bool valid_package(const char *name, size_t len)
{
	if (!name || len == 0)
		return false;
	for (size_t i = 0; i < len; i++) {
		char c = name[i];
		bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
			  c == '-';
		if (!ok)
			return false;
	}
	return true;
}

bool valid_package(const char *name)
{
	return name && valid_package(name, strlen(name));
}

// Appends text at *pos, never past cap - 1 characters; keeps dst terminated.
void append_bounded(char *dst, size_t cap, size_t *pos, const char *text)
{
	while (*text && *pos + 1 < cap)
		dst[(*pos)++] = *text++;
	dst[*pos] = 0;
}

// Loads the package named by path straight from its config file. A package
// loaded by file path has no delta tracking, so neither the save directory
// nor any other delta path applies to it: the committed value, with either
// libuci release (clearing the save directory alone is not enough where the
// save directory is also on the delta path).
void load_committed(uci_context *ctx, const char *path)
{
	size_t len = strcspn(path, ".=");
	if (!valid_package(path, len) || !ctx->confdir)
		return;
	const char *dir = ctx->confdir;
	const char *lead = dir[0] == '/' ? "" : "./";
	size_t size = strlen(lead) + strlen(dir) + 1 + len + 1;
	char *file = static_cast<char *>(malloc(size));
	if (!file)
		return;
	snprintf(file, size, "%s%s/%.*s", lead, dir, int(len), path);
	uci_package *p = nullptr;
	uci_load(ctx, file, &p);
	free(file);
}

// Reading a value: the shared core of the get, safe-get and match families.
char *read_value(const char *path, char *dst, int len, const char *savedir, const char *confdir,
		 char *secname, bool unchanged)
{
	if (!path || !dst || len <= 0)
		return dst;
	Context c(savedir, confdir);
	if (!c.ctx)
		return dst;
	if (unchanged)
		load_committed(c.ctx, path);
	Lookup l(c.ctx, path);
	if (!l.complete())
		return dst;

	const uci_ptr &ptr = l.ptr;
	if (secname && ptr.s && ptr.s->e.name) {
		size_t pos = 0;
		append_bounded(secname, LIBTESSEL_SECNAME_MAX, &pos, ptr.s->e.name);
	}
	size_t cap = size_t(len), pos = 0;
	switch (ptr.last->type) {
	case UCI_TYPE_SECTION:
		append_bounded(dst, cap, &pos, ptr.s->type);
		break;
	case UCI_TYPE_OPTION:
		if (ptr.o->type == UCI_TYPE_STRING) {
			append_bounded(dst, cap, &pos, ptr.o->v.string);
			break;
		}
		{
			uci_element *e;
			uci_foreach_element(&ptr.o->v.list, e) {
				append_bounded(dst, cap, &pos, e->name);
				append_bounded(dst, cap, &pos, " ");
			}
		}
		break;
	default:
		break;
	}
	return dst;
}

char *safe_get(const char *path, const char *savedir, const char *confdir, char *secname, bool unchanged)
{
	uci_get_data *rec = static_cast<uci_get_data *>(calloc(1, sizeof(uci_get_data)));
	if (!rec)
		return empty_text;
	read_value(path, rec->value, LIBTESSEL_VALUE_LEN, savedir, confdir, secname, unchanged);
	if (!head)
		head = rec;
	else
		current->next = rec;
	current = rec;
	return rec->value;
}

char *get_option(const char *path, char *dst, int len, const char *savedir, const char *confdir)
{
	if (dst && len > 0)
		memset(dst, 0, size_t(len));
	return read_value(path, dst, len, savedir, confdir, nullptr, false);
}

int match(const char *path, const char *text, const char *confdir)
{
	char buf[256] = {};
	read_value(path, buf, sizeof(buf), nullptr, confdir, nullptr, false);
	return text && !strcmp(buf, text) ? 0 : -1;
}

enum class ListOp { add, del, set };

// Splits text at commas not preceded by a backslash and applies op to each
// unescaped, non-empty item. The result is the lookup's code if it failed,
// else the first failing item's code, else the save's code.
int list_value(const char *path, const char *text, ListOp op)
{
	if (!path || !text)
		return UCI_ERR_INVAL;
	Context c(nullptr, nullptr);
	if (!c.ctx)
		return UCI_ERR_MEM;
	Lookup first(c.ctx, path);
	if (first.rc != UCI_OK)
		return first.rc;
	if (!first.ptr.option) // only an option holds a list; never delete a section here
		return UCI_ERR_INVAL;
	if (op == ListOp::set)
		uci_delete(c.ctx, &first.ptr); // a missing option is no failure

	char *items = strdup(text);
	if (!items)
		return UCI_ERR_MEM;
	int item_rc = UCI_OK;
	char *start = items;
	for (char *p = items;; p++) {
		bool end = !*p;
		if (!end && !(*p == ',' && (p == items || p[-1] != '\\')))
			continue;
		*p = 0;
		remove_escape_char(start, '\\');
		if (*start) {
			// A fresh lookup per item: the option may have just been created
			// or deleted, and the pointer must name what is there now.
			Lookup l(c.ctx, path);
			int rc = l.rc;
			if (rc == UCI_OK) {
				l.ptr.value = start;
				rc = op == ListOp::del ? uci_del_list(c.ctx, &l.ptr) : uci_add_list(c.ctx, &l.ptr);
			}
			if (rc != UCI_OK && item_rc == UCI_OK)
				item_rc = rc;
		}
		if (end)
			break;
		start = p + 1;
	}
	free(items);

	// The package as the context holds it now (the platform's uci.h has no
	// uci_lookup_package).
	uci_package *pkg = nullptr;
	uci_element *e;
	uci_foreach_element(&c.ctx->root, e) {
		if (!strcmp(e->name, first.ptr.package)) {
			pkg = uci_to_package(e);
			break;
		}
	}
	int rc = pkg ? uci_save(c.ctx, pkg) : UCI_ERR_NOTFOUND;
	return item_rc != UCI_OK ? item_rc : rc;
}

int commit_package(const char *package, const char *confdir)
{
	if (!valid_package(package))
		return -1;
	Context c(nullptr, confdir);
	if (!c.ctx)
		return -1;
	Lookup l(c.ctx, package);
	if (!l.complete())
		return -1;
	return uci_commit(c.ctx, &l.ptr.p, false) == UCI_OK ? 0 : -1;
}

// Runs fn on every listed package; stops at the first failure.
int for_all_packages(const char *confdir, const char *what, int (*fn)(const char *, const char *))
{
	char **list = nullptr;
	{
		Context c(nullptr, confdir);
		if (!c.ctx || uci_list_configs(c.ctx, &list) != UCI_OK || !list)
			return -1;
	}
	int rc = list[0] ? 0 : -1;
	for (char **name = list; *name; name++) {
		if (fn(*name, confdir) != 0) {
			fprintf(stderr, "%s(%s) fail!!!\n", what, *name);
			rc = -1;
			break;
		}
	}
	free(list);
	return rc;
}

int revert_package_in(const char *package, const char *)
{
	return uci_revert_package(package);
}

} // namespace

extern "C" {

uci_context *quarn_uci_alloc_context(const char *savedir, const char *confdir)
{
	uci_context *ctx = uci_alloc_context();
	if (!ctx)
		return nullptr;
	if (confdir)
		uci_set_confdir(ctx, confdir);
	if (savedir) {
		// Changes saved in the ordinary save directory stay visible.
		if (ctx->savedir)
			uci_add_delta_path(ctx, ctx->savedir);
		uci_set_savedir(ctx, savedir);
	}
	return ctx;
}

// ---- reading into the caller's buffer --------------------------------------

char *uci_get_option(const char *path, char *dst, int len)
{
	return get_option(path, dst, len, nullptr, nullptr);
}

char *uci_get_option_with_conf_path(const char *path, char *dst, int len, const char *confdir)
{
	return get_option(path, dst, len, nullptr, confdir);
}

char *uci_get_option_state(const char *path, char *dst, int len)
{
	return get_option(path, dst, len, state_dir, nullptr);
}

int uci_match(const char *path, const char *text)
{
	return match(path, text, nullptr);
}

int uci_match_with_conf_path(const char *path, const char *text, const char *confdir)
{
	return match(path, text, confdir);
}

// ---- safe-get -------------------------------------------------------------

char *uci_safe_get(const char *path)
{
	return safe_get(path, nullptr, nullptr, nullptr, false);
}

char *uci_safe_get_secname(const char *path, char *secname)
{
	return safe_get(path, nullptr, nullptr, secname, false);
}

char *uci_safe_get_state(const char *path)
{
	return safe_get(path, state_dir, nullptr, nullptr, false);
}

char *uci_safe_get_state_secname(const char *path, char *secname)
{
	return safe_get(path, state_dir, nullptr, secname, false);
}

char *uci_safe_get_with_search_path(const char *path, const char *savedir, char *secname)
{
	return safe_get(path, savedir, nullptr, secname, false);
}

char *uci_safe_get_unchange(const char *path)
{
	return safe_get(path, nullptr, nullptr, nullptr, true);
}

char *uci_safe_get_unchange_with_conf_path(const char *path, const char *confdir)
{
	return safe_get(path, nullptr, confdir, nullptr, true);
}

void uci_free(void)
{
	uci_get_data *rec = head;
	while (rec) {
		uci_get_data *next = rec->next;
		free(rec);
		rec = next;
	}
	head = nullptr;
	current = nullptr;
}

void show_uci_mem_list(void)
{
	for (uci_get_data *rec = head; rec; rec = rec->next)
		fprintf(stderr, "%s[%d]: uci mem list:%s\n", "show_uci_mem_list", 173, rec->value);
}

// ---- changing values --------------------------------------------------------

int uci_set_option_with_path(const char *path, const char *value, const char *savedir, const char *confdir)
{
	if (!path || !value)
		return UCI_ERR_INVAL;
	Context c(savedir, confdir);
	if (!c.ctx)
		return UCI_ERR_MEM;
	Lookup l(c.ctx, path);
	if (l.rc != UCI_OK) {
		fprintf(stderr, "%s: result %d\n", "uci_set_option_with_path", l.rc);
		// Nothing to set on: the lookup's code says why.
		return l.rc;
	}
	l.ptr.value = value;
	int rc = uci_set(c.ctx, &l.ptr);
	if (rc != UCI_OK)
		return rc;
	return uci_save(c.ctx, l.ptr.p);
}

int uci_set_option(const char *path, const char *value)
{
	return uci_set_option_with_path(path, value, nullptr, nullptr);
}

int uci_set_option_state(const char *path, const char *value)
{
	return uci_set_option_with_path(path, value, state_dir, nullptr);
}

int uci_set_option_with_conf_path(const char *path, const char *value, const char *confdir)
{
	return uci_set_option_with_path(path, value, nullptr, confdir);
}

int uci_add_option(const char *package, const char *type)
{
	// A package name only: libuci would load (and commit to) any path.
	if (!valid_package(package) || !type)
		return UCI_ERR_INVAL;
	Context c(nullptr, nullptr);
	if (!c.ctx)
		return UCI_ERR_MEM;
	uci_package *p = nullptr;
	int rc = uci_load(c.ctx, package, &p);
	if (rc != UCI_OK)
		return rc;
	uci_section *s = nullptr;
	rc = uci_add_section(c.ctx, p, type, &s);
	if (rc != UCI_OK)
		return rc;
	return uci_save(c.ctx, p);
}

int uci_del_option(const char *path)
{
	if (!path)
		return UCI_ERR_INVAL;
	Context c(nullptr, nullptr);
	if (!c.ctx)
		return UCI_ERR_MEM;
	Lookup l(c.ctx, path);
	if (l.rc != UCI_OK)
		return l.rc;
	int rc = uci_delete(c.ctx, &l.ptr);
	if (rc != UCI_OK)
		return rc;
	return uci_save(c.ctx, l.ptr.p);
}

// ---- lists ------------------------------------------------------------------

int uci_add_list_value(const char *path, const char *text)
{
	return list_value(path, text, ListOp::add);
}

int uci_del_list_value(const char *path, const char *text)
{
	return list_value(path, text, ListOp::del);
}

int uci_set_list(const char *path, const char *text)
{
	return list_value(path, text, ListOp::set);
}

uci_get_data *alloc_uci_get_data(uci_get_data **last)
{
	uci_get_data *rec = static_cast<uci_get_data *>(calloc(1, sizeof(uci_get_data)));
	if (rec && last && *last)
		(*last)->next = rec;
	return rec;
}

void uci_list_free(uci_get_data *first)
{
	while (first) {
		uci_get_data *next = first->next;
		free(first);
		first = next;
	}
}

uci_get_data *uci_get_list(const char *path)
{
	if (!path)
		return nullptr;
	Context c(nullptr, nullptr);
	if (!c.ctx)
		return nullptr;
	Lookup l(c.ctx, path);
	if (!l.complete() || l.ptr.last->type != UCI_TYPE_OPTION)
		return nullptr;

	uci_option *o = l.ptr.o;
	uci_get_data *first = nullptr, *last = nullptr;
	auto add = [&](const char *text, int32_t kind) {
		uci_get_data *rec = alloc_uci_get_data(&last);
		if (!rec)
			return false;
		size_t pos = 0;
		append_bounded(rec->value, sizeof(rec->value), &pos, text);
		rec->kind = kind;
		if (!first)
			first = rec;
		last = rec;
		return true;
	};
	if (o->type == UCI_TYPE_STRING) {
		if (!add(o->v.string, 0))
			return nullptr;
		return first;
	}
	uci_element *e;
	uci_foreach_element(&o->v.list, e) {
		if (!add(e->name, 1)) {
			uci_list_free(first);
			return nullptr;
		}
	}
	return first;
}

int uci_list_match(const char *path, const char *text)
{
	if (!path || !text)
		return -1;
	uci_get_data *list = uci_get_list(path);
	size_t n = 0;
	for (uci_get_data *rec = list; rec; rec = rec->next)
		n++;
	if (n == 0)
		return text[0] ? -int(static_cast<unsigned char>(text[0])) : 0;

	char *joined = static_cast<char *>(calloc(n, LIBTESSEL_VALUE_LEN + 2));
	if (!joined) {
		uci_list_free(list);
		return -1;
	}
	size_t cap = n * (LIBTESSEL_VALUE_LEN + 2), pos = 0;
	for (uci_get_data *rec = list; rec; rec = rec->next) {
		if (rec != list)
			append_bounded(joined, cap, &pos, ",");
		append_bounded(joined, cap, &pos, rec->value);
	}
	int rc = strcmp(joined, text);
	free(joined);
	uci_list_free(list);
	return rc;
}

char *remove_escape_char(char *text, char escape)
{
	if (!text)
		return nullptr;
	char *r = text, *w = text;
	while (*r) {
		if (*r == escape) {
			r++;
			if (!*r)
				break;
		}
		*w++ = *r++;
	}
	*w = 0;
	return w;
}

// ---- commit and revert ------------------------------------------------------

int uci_commit_package(const char *package)
{
	return commit_package(package, nullptr);
}

int uci_commit_package_with_conf_path(const char *package, const char *confdir)
{
	return commit_package(package, confdir);
}

int uci_commit_all(void)
{
	return for_all_packages(nullptr, "uci_commit_all", commit_package);
}

int uci_commit_all_with_conf_path(const char *confdir)
{
	return for_all_packages(confdir, "uci_commit_all", commit_package);
}

int uci_revert_config_with_search_path(const char *path, const char *savedir)
{
	if (!path)
		return UCI_ERR_NOTFOUND;
	Context c(savedir, nullptr);
	if (!c.ctx)
		return UCI_ERR_MEM;
	Lookup l(c.ctx, path);
	if (!l.complete())
		return UCI_ERR_NOTFOUND;
	return uci_revert(c.ctx, &l.ptr);
}

int uci_revert_package(const char *package)
{
	if (!valid_package(package))
		return UCI_ERR_NOTFOUND;
	return uci_revert_config_with_search_path(package, nullptr);
}

int uci_revert_config(const char *path)
{
	return uci_revert_config_with_search_path(path, nullptr);
}

int uci_revert_state(const char *path)
{
	return uci_revert_config_with_search_path(path, state_dir);
}

int uci_revert_all(void)
{
	return for_all_packages(nullptr, "uci_revert_all", revert_package_in);
}

// ---- searching a section array ------------------------------------------------

int uci_indexof_option_value_with_search_path_from(const char *prefix, const char *option, const char *value,
						   const char *savedir, int start)
{
	if (!prefix || !option || !value)
		return -1;
	Context c(savedir, nullptr);
	if (!c.ctx)
		return -1;
	for (int i = start < 0 ? 0 : start; i < 1000; i++) {
		char buf[256];
		int n = snprintf(buf, sizeof(buf), "%s[%d].%s", prefix, i, option);
		if (n < 0 || size_t(n) >= sizeof(buf))
			return -1; // a cut path would name something else
		uci_ptr ptr{};
		if (uci_lookup_ptr(c.ctx, &ptr, buf, true) != UCI_OK)
			return -1;
		if (ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE) {
			if (ptr.last->type == UCI_TYPE_OPTION && ptr.o->type == UCI_TYPE_STRING &&
			    !strcmp(ptr.o->v.string, value))
				return i;
			continue;
		}
		snprintf(buf, sizeof(buf), "%s[%d]", prefix, i);
		uci_ptr sec{};
		if (uci_lookup_ptr(c.ctx, &sec, buf, true) != UCI_OK || !(sec.flags & uci_ptr::UCI_LOOKUP_COMPLETE))
			return -1; // past the end of the array
	}
	return -1;
}

int uci_indexof_option_value_from(const char *prefix, const char *option, const char *value, int start)
{
	return uci_indexof_option_value_with_search_path_from(prefix, option, value, nullptr, start);
}

int uci_indexof_option_state_from(const char *prefix, const char *option, const char *value, int start)
{
	return uci_indexof_option_value_with_search_path_from(prefix, option, value, state_dir, start);
}

int uci_indexof_option_value(const char *prefix, const char *option, const char *value)
{
	return uci_indexof_option_value_with_search_path_from(prefix, option, value, nullptr, 0);
}

int uci_indexof_option_state(const char *prefix, const char *option, const char *value)
{
	return uci_indexof_option_value_with_search_path_from(prefix, option, value, state_dir, 0);
}

} // extern "C"
