// uci: command-line access to the configuration store (host build).
#include <uci.h>

#include "../src/internal.hpp"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <getopt.h>

namespace {

const char *appname = "uci";
uci_context *ctx;
bool quiet;
bool real_names;
bool no_commit;
const char *delimiter = " ";

enum { EXIT_USAGE = 255 };

void usage()
{
	fprintf(stderr,
		"Usage: %s [<options>] <command> [<arguments>]\n\n"
		"Commands:\n"
		"\tget      <config>.<section>[.<option>]\n"
		"\tset      <config>.<section>[.<option>]=<value>\n"
		"\tshow     [<config>[.<section>[.<option>]]]\n"
		"\tadd      <config> <section-type>\n"
		"\tdelete   <config>.<section>[.<option>[=<index>]]\n"
		"\tadd_list <config>.<section>.<option>=<value>\n"
		"\tdel_list <config>.<section>.<option>=<value>\n"
		"\trename   <config>.<section>[.<option>]=<name>\n"
		"\treorder  <config>.<section>=<position>\n"
		"\tchanges  [<config>]\n"
		"\tcommit   [<config>]\n"
		"\trevert   <config>[.<section>[.<option>]]\n"
		"\texport   [<config>]\n\n"
		"Options:\n"
		"\t-c <path>  configuration directory\n"
		"\t-p <path>  add a search path for change files\n"
		"\t-P <path>  add a search path for change files and use it as save directory\n"
		"\t-t <path>  save directory for change files\n"
		"\t-d <str>   list separator for show\n"
		"\t-q         quiet: no error messages\n"
		"\t-s         strict parsing (default)\n"
		"\t-S         lenient parsing\n"
		"\t-X         show real names of anonymous sections\n",
		appname);
}

int fail()
{
	if (!quiet) {
		// Naming the file as well as the line: the platform's CLI leaves it to be guessed.
		std::string prefix = appname;
		if (ctx->err == UCI_ERR_PARSE && ctx->pctx && !ctx->pctx->file.empty())
			prefix += ": " + ctx->pctx->file;
		uci_perror(ctx, prefix.c_str());
	}
	return 1;
}

int fail_with(int err)
{
	ctx->err = err;
	return fail();
}

bool has_space(const char *s)
{
	for (; *s; s++)
		if (isspace(static_cast<unsigned char>(*s)))
			return true;
	return false;
}

std::string section_label(uci_section *s)
{
	if (!s->anonymous || real_names)
		return s->e.name;
	int index = 0;
	uci_element *e;
	uci_foreach_element(&s->package->sections, e) {
		uci_section *other = uci_to_section(e);
		if (other == s)
			break;
		if (!strcmp(other->type, s->type))
			index++;
	}
	return std::string("@") + s->type + "[" + std::to_string(index) + "]";
}

void show_option(uci_option *o)
{
	std::string line = std::string(o->section->package->e.name) + "." + section_label(o->section) + "." +
			   o->e.name + "=";
	if (o->type == UCI_TYPE_STRING) {
		line += uci_host::quote(o->v.string);
	} else {
		bool first = true;
		uci_element *e;
		uci_foreach_element(&o->v.list, e) {
			if (!first)
				line += delimiter;
			first = false;
			line += uci_host::quote(e->name);
		}
	}
	printf("%s\n", line.c_str());
}

void show_section(uci_section *s)
{
	printf("%s.%s=%s\n", s->package->e.name, section_label(s).c_str(), s->type);
	uci_element *e;
	uci_foreach_element(&s->options, e)
		show_option(uci_to_option(e));
}

void show_package(uci_package *p)
{
	uci_element *e;
	uci_foreach_element(&p->sections, e)
		show_section(uci_to_section(e));
}

void show_value(uci_option *o)
{
	if (o->type == UCI_TYPE_STRING) {
		printf("%s\n", o->v.string);
		return;
	}
	std::string line;
	bool first = true;
	uci_element *e;
	uci_foreach_element(&o->v.list, e) {
		if (!first)
			line += ' ';
		first = false;
		line += has_space(e->name) ? uci_host::quote(e->name) : std::string(e->name);
	}
	printf("%s\n", line.c_str());
}

void show_changes(uci_package *p, uci_list *list)
{
	uci_element *e;
	uci_foreach_element(list, e) {
		uci_delta *d = uci_to_delta(e);
		std::string key = std::string(p->e.name) + "." + d->section;
		if (d->e.name)
			key += std::string(".") + d->e.name;
		std::string value = d->value ? uci_host::quote(d->value) : "";
		switch (d->cmd) {
		case UCI_CMD_REMOVE:
			printf("-%s\n", key.c_str());
			break;
		case UCI_CMD_LIST_ADD:
			printf("%s+=%s\n", key.c_str(), value.c_str());
			break;
		case UCI_CMD_LIST_DEL:
			printf("%s-=%s\n", key.c_str(), value.c_str());
			break;
		default:
			printf("%s=%s\n", key.c_str(), value.c_str());
			break;
		}
	}
}

// The packages named by an optional argument, or every package.
bool package_names(const char *arg, std::vector<std::string> &names)
{
	if (arg) {
		names.emplace_back(arg);
		return true;
	}
	char **list = nullptr;
	if (uci_list_configs(ctx, &list) != UCI_OK)
		return true; // nothing configured: nothing to do
	for (char **n = list; *n; n++)
		names.emplace_back(*n);
	free(list);
	return true;
}

uci_package *load(const std::string &name)
{
	uci_package *p = uci_lookup_package(ctx, name.c_str());
	if (p)
		return p;
	if (strchr(name.c_str(), '/')) { // package names only, never a path
		ctx->err = UCI_ERR_INVAL;
		return nullptr;
	}
	return uci_load(ctx, name.c_str(), &p) == UCI_OK ? p : nullptr;
}

int cmd_all_packages(const char *cmd, const char *arg)
{
	std::vector<std::string> names;
	package_names(arg, names);
	int rc = 0;
	for (const auto &name : names) {
		uci_package *p = load(name);
		if (!p) {
			rc = fail();
			continue;
		}
		if (!strcmp(cmd, "show")) {
			show_package(p);
		} else if (!strcmp(cmd, "changes")) {
			show_changes(p, &p->saved_delta);
			show_changes(p, &p->delta);
		} else if (!strcmp(cmd, "export")) {
			if (uci_export(ctx, stdout, p, true) != UCI_OK)
				rc = fail();
		} else if (!strcmp(cmd, "commit")) {
			if (no_commit)
				continue;
			if (uci_commit(ctx, &p, false) != UCI_OK)
				rc = fail();
		}
	}
	return rc;
}

int cmd_add(const char *pkg, const char *type)
{
	uci_package *p = load(pkg);
	if (!p)
		return fail();
	uci_section *s;
	if (uci_add_section(ctx, p, type, &s) != UCI_OK || uci_save(ctx, p) != UCI_OK)
		return fail();
	printf("%s\n", s->e.name);
	return 0;
}

int cmd_path(const char *cmd, const char *arg)
{
	std::vector<char> buf(arg, arg + strlen(arg) + 1);
	uci_ptr ptr;
	if (uci_lookup_ptr(ctx, &ptr, buf.data(), true) != UCI_OK)
		return fail();

	if (!strcmp(cmd, "show") || !strcmp(cmd, "get")) {
		if (!(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE))
			return fail_with(UCI_ERR_NOTFOUND);
		bool show = !strcmp(cmd, "show");
		switch (ptr.last->type) {
		case UCI_TYPE_PACKAGE:
			if (!show)
				return fail_with(UCI_ERR_INVAL);
			show_package(ptr.p);
			break;
		case UCI_TYPE_SECTION:
			if (show)
				show_section(ptr.s);
			else
				printf("%s\n", ptr.s->type);
			break;
		case UCI_TYPE_OPTION:
			if (show)
				show_option(ptr.o);
			else
				show_value(ptr.o);
			break;
		default:
			return fail_with(UCI_ERR_INVAL);
		}
		return 0;
	}
	if (!strcmp(cmd, "revert"))
		return uci_revert(ctx, &ptr) == UCI_OK ? 0 : fail();

	int rc;
	if (!strcmp(cmd, "delete")) {
		rc = uci_delete(ctx, &ptr);
	} else {
		if (!ptr.value || ptr.target == UCI_TYPE_PACKAGE)
			return fail_with(UCI_ERR_INVAL);
		if (!strcmp(cmd, "set")) {
			rc = uci_set(ctx, &ptr);
		} else if (!strcmp(cmd, "add_list")) {
			rc = uci_add_list(ctx, &ptr);
		} else if (!strcmp(cmd, "del_list")) {
			rc = uci_del_list(ctx, &ptr);
		} else if (!strcmp(cmd, "rename")) {
			rc = uci_rename(ctx, &ptr);
		} else { // reorder
			if (!ptr.s)
				return fail_with(UCI_ERR_NOTFOUND);
			char *end;
			long pos = strtol(ptr.value, &end, 10);
			if (*end || !*ptr.value || pos < 0 || pos > 1000000)
				return fail_with(UCI_ERR_INVAL);
			rc = uci_reorder_section(ctx, ptr.s, int(pos));
		}
	}
	if (rc != UCI_OK || uci_save(ctx, ptr.p) != UCI_OK)
		return fail();
	return 0;
}

struct Command {
	const char *name;
	int min_args, max_args;
};

const Command commands[] = {
	{"get", 1, 1},	    {"set", 1, 1},	{"show", 0, 1},	    {"add", 2, 2},
	{"delete", 1, 1},   {"add_list", 1, 1}, {"del_list", 1, 1}, {"rename", 1, 1},
	{"reorder", 1, 1},  {"changes", 0, 1},	{"commit", 0, 1},   {"revert", 1, 1},
	{"export", 0, 1},
};

} // namespace

int main(int argc, char **argv)
{
	appname = argv[0];
	ctx = uci_alloc_context();
	if (!ctx) {
		fprintf(stderr, "%s: Out of memory\n", appname);
		return 1;
	}
	int opt;
	while ((opt = getopt(argc, argv, "c:d:p:P:qsSt:X")) != -1) {
		switch (opt) {
		case 'c':
			uci_set_confdir(ctx, optarg);
			break;
		case 'd':
			delimiter = optarg;
			break;
		case 'p':
			uci_add_delta_path(ctx, optarg);
			break;
		case 'P':
			uci_add_delta_path(ctx, ctx->savedir);
			uci_set_savedir(ctx, optarg);
			no_commit = true;
			break;
		case 'q':
			quiet = true;
			break;
		case 's':
			ctx->flags = uci_flags(ctx->flags | UCI_FLAG_STRICT);
			break;
		case 'S':
			ctx->flags = uci_flags((ctx->flags & ~UCI_FLAG_STRICT) | UCI_FLAG_PERROR);
			break;
		case 't':
			uci_set_savedir(ctx, optarg);
			break;
		case 'X':
			real_names = true;
			break;
		default:
			usage();
			uci_free_context(ctx);
			return EXIT_USAGE;
		}
	}
	argv += optind;
	argc -= optind;

	const Command *cmd = nullptr;
	if (argc >= 1) {
		for (const Command &c : commands)
			if (!strcmp(c.name, argv[0]))
				cmd = &c;
	}
	int nargs = argc - 1;
	if (!cmd || nargs < cmd->min_args || nargs > cmd->max_args) {
		usage();
		uci_free_context(ctx);
		return EXIT_USAGE;
	}

	int rc;
	const char *arg = nargs >= 1 ? argv[1] : nullptr;
	if (!strcmp(cmd->name, "add")) {
		rc = cmd_add(argv[1], argv[2]);
	} else if (!strcmp(cmd->name, "changes") || !strcmp(cmd->name, "commit") ||
		   !strcmp(cmd->name, "export") || (!strcmp(cmd->name, "show") && !arg)) {
		rc = (!strcmp(cmd->name, "commit") && no_commit) ? 0 : cmd_all_packages(cmd->name, arg);
	} else {
		rc = cmd_path(cmd->name, arg);
	}
	fflush(stdout);
	uci_free_context(ctx);
	return rc;
}
