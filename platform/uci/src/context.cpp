// Contexts, directories and error reporting.
#include "internal.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

using namespace uci_host;

namespace {

const char *const error_text[] = {
	"Success",
	"Out of memory",
	"Invalid argument",
	"Entry not found",
	"I/O error",
	"Parse error",
	"Duplicate entry",
	"Unknown error",
};

uci_element *path_find(uci_context *ctx, const char *dir)
{
	uci_element *e;
	uci_foreach_element(&ctx->delta_path, e) {
		if (!strcmp(e->name, dir))
			return e;
	}
	return nullptr;
}

uci_element *path_new(const char *dir)
{
	uci_element *e = static_cast<uci_element *>(calloc(1, sizeof(uci_element)));
	if (!e)
		return nullptr;
	list_init(&e->list);
	e->type = UCI_TYPE_PATH;
	e->name = strdup(dir);
	if (!e->name) {
		free(e);
		return nullptr;
	}
	return e;
}

std::string error_message(uci_context *ctx, const char *prefix)
{
	int err = ctx->err;
	if (err < 0 || err >= UCI_ERR_LAST)
		err = UCI_ERR_UNKNOWN;
	std::string msg;
	if (prefix) {
		msg += prefix;
		msg += ": ";
	}
	msg += error_text[err];
	if (err == UCI_ERR_PARSE && ctx->pctx && !ctx->pctx->reason.empty()) {
		char buf[64];
		snprintf(buf, sizeof(buf), ") at line %d, byte %d", ctx->pctx->line, ctx->pctx->byte);
		msg += " (";
		msg += ctx->pctx->reason;
		msg += buf;
	}
	return msg;
}

} // namespace

namespace uci_host {

int set_error(uci_context *ctx, int err, const char *func)
{
	ctx->err = err;
	ctx->func = func;
	if (err == UCI_ERR_PARSE && ctx->pctx) // no stale detail from an earlier file
		*ctx->pctx = uci_parse_context();
	return err;
}

void set_parse_error(uci_context *ctx, const std::string &file, const TokenError &err)
{
	set_error(ctx, UCI_ERR_PARSE, "uci_load");
	ctx->pctx->reason = err.reason;
	ctx->pctx->file = file;
	ctx->pctx->line = err.line;
	ctx->pctx->byte = err.byte;
}

} // namespace uci_host

extern "C" {

uci_context *uci_alloc_context(void)
{
	uci_context *ctx = static_cast<uci_context *>(calloc(1, sizeof(uci_context)));
	if (!ctx)
		return nullptr;
	list_init(&ctx->root);
	list_init(&ctx->backends);
	list_init(&ctx->delta_path);
	ctx->flags = uci_flags(UCI_FLAG_STRICT | UCI_FLAG_SAVED_DELTA);
	ctx->pctx = new (std::nothrow) uci_parse_context;
	ctx->backend = static_cast<uci_backend *>(calloc(1, sizeof(uci_backend)));
	ctx->confdir = strdup(UCI_CONFDIR);
	ctx->savedir = strdup(UCI_SAVEDIR);
	uci_element *save = path_new(UCI_SAVEDIR);
	if (!ctx->pctx || !ctx->backend || !ctx->confdir || !ctx->savedir || !save) {
		if (save) {
			free(save->name);
			free(save);
		}
		uci_free_context(ctx);
		return nullptr;
	}
	list_add_tail(&ctx->delta_path, &save->list);
	list_init(&ctx->backend->e.list);
	ctx->backend->e.type = UCI_TYPE_BACKEND;
	ctx->backend->e.name = const_cast<char *>("file");
	list_add_tail(&ctx->backends, &ctx->backend->e.list);
	return ctx;
}

void uci_free_context(uci_context *ctx)
{
	if (!ctx)
		return;
	uci_element *e, *tmp;
	uci_foreach_element_safe(&ctx->root, tmp, e)
		package_free(uci_to_package(e));
	uci_foreach_element_safe(&ctx->delta_path, tmp, e) {
		list_del(&e->list);
		free(e->name);
		free(e);
	}
	free(ctx->backend);
	free(ctx->confdir);
	free(ctx->savedir);
	free(ctx->buf);
	delete ctx->pctx;
	free(ctx);
}

int uci_set_confdir(uci_context *ctx, const char *dir)
{
	if (!ctx || !dir)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;
	char *d = strdup(dir);
	if (!d)
		return set_error(ctx, UCI_ERR_MEM, __func__);
	free(ctx->confdir);
	ctx->confdir = d;
	return set_error(ctx, UCI_OK, __func__);
}

int uci_set_savedir(uci_context *ctx, const char *dir)
{
	if (!ctx || !dir)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;
	char *d = strdup(dir);
	if (!d)
		return set_error(ctx, UCI_ERR_MEM, __func__);
	// The save directory is always the last delta path.
	uci_element *e = path_find(ctx, dir);
	if (e) {
		list_del(&e->list);
	} else {
		e = path_new(dir);
		if (!e) {
			free(d);
			return set_error(ctx, UCI_ERR_MEM, __func__);
		}
	}
	list_add_tail(&ctx->delta_path, &e->list);
	free(ctx->savedir);
	ctx->savedir = d;
	return set_error(ctx, UCI_OK, __func__);
}

int uci_add_delta_path(uci_context *ctx, const char *dir)
{
	if (!ctx || !dir)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;
	if (path_find(ctx, dir))
		return set_error(ctx, UCI_ERR_DUPLICATE, __func__);
	uci_element *e = path_new(dir);
	if (!e)
		return set_error(ctx, UCI_ERR_MEM, __func__);
	if (uci_list_empty(&ctx->delta_path))
		list_add_tail(&ctx->delta_path, &e->list);
	else
		list_insert_before(ctx->delta_path.prev, &e->list);
	return set_error(ctx, UCI_OK, __func__);
}

void uci_perror(uci_context *ctx, const char *str)
{
	if (!ctx)
		return;
	fprintf(stderr, "%s\n", error_message(ctx, str).c_str());
}

void uci_get_errorstr(uci_context *ctx, char **dest, const char *str)
{
	if (!ctx)
		return;
	std::string msg = error_message(ctx, str);
	if (dest)
		*dest = strdup(msg.c_str());
	else
		fprintf(stderr, "%s\n", msg.c_str());
}

} // extern "C"
