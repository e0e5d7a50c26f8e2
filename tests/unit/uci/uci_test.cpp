// Host libuci: file formats (goldens), lookups, the delta cycle and bad input.
#include "private_world.hpp"

#include "gw/uci.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Ctx {
	uci_context *c = uci_alloc_context();
	Ctx(const std::string &conf, const std::string &save)
	{
		uci_set_confdir(c, conf.c_str());
		uci_set_savedir(c, save.c_str());
	}
	~Ctx() { uci_free_context(c); }
	operator uci_context *() const { return c; }
};

// A lookup whose string outlives the pointer.
struct Ptr {
	std::string buf;
	uci_ptr p{};
	int rc;
	Ptr(uci_context *ctx, const std::string &s, bool ext = true) : buf(s)
	{
		rc = uci_lookup_ptr(ctx, &p, buf.data(), ext);
	}
	bool complete() const { return p.flags & uci_ptr::UCI_LOOKUP_COMPLETE; }
};

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

std::string errorstr(uci_context *ctx, const char *prefix)
{
	char *s = nullptr;
	uci_get_errorstr(ctx, &s, prefix);
	std::string r = s ? s : "";
	free(s);
	return r;
}

class Store : public ::testing::Test {
protected:
	void SetUp() override
	{
		private_world = enter_private_world();
		dir = make_temp_dir("ucitest");
		conf = dir + "/conf";
		save = dir + "/save";
		mkdir(conf.c_str(), 0755);
	}
	void config(const std::string &text) { write_text(conf + "/tst", text); }
	std::string value(uci_context *ctx, const std::string &path)
	{
		Ptr p(ctx, path);
		if (p.rc || !p.complete() || p.p.last->type != UCI_TYPE_OPTION || p.p.o->type != UCI_TYPE_STRING)
			return "<none>";
		return p.p.o->v.string;
	}
	void set(uci_context *ctx, const std::string &arg)
	{
		Ptr p(ctx, arg);
		ASSERT_EQ(p.rc, 0) << arg;
		ASSERT_EQ(uci_set(ctx, &p.p), 0) << arg;
	}

	bool private_world = false;
	std::string dir, conf, save;
};

// ---- file formats -------------------------------------------------------------

TEST_F(Store, CommitWritesGoldenConfigAndEmptiesSaveFile)
{
	config("\nconfig tst 'main'\n\toption keep 'k'\n\toption drop 'x'\n\nconfig item\n\toption name 'one'\n");
	{
		Ctx ctx(conf, save);
		set(ctx, "tst.main.enable=1");
		for (const char *v : {"tst.main.servers=a", "tst.main.servers=b c"}) {
			Ptr p(ctx, v);
			ASSERT_EQ(uci_add_list(ctx, &p.p), 0);
		}
		uci_section *s;
		ASSERT_EQ(uci_add_section(ctx, uci_lookup_package(ctx, "tst"), "item", &s), 0);
		set(ctx, std::string("tst.") + s->e.name + ".name=two");
		Ptr drop(ctx, "tst.main.drop");
		ASSERT_EQ(uci_delete(ctx, &drop.p), 0);
		Ptr first(ctx, "tst.@item[0]");
		ASSERT_EQ(uci_delete(ctx, &first.p), 0);
		set(ctx, "tst.extra=other");
		uci_package *p = uci_lookup_package(ctx, "tst");
		ASSERT_EQ(uci_save(ctx, p), 0);
		ASSERT_EQ(uci_commit(ctx, &p, false), 0);
	}
	EXPECT_EQ(read_text(conf + "/tst"), "\n"
					    "config tst 'main'\n"
					    "\toption keep 'k'\n"
					    "\toption enable '1'\n"
					    "\tlist servers 'a'\n"
					    "\tlist servers 'b c'\n"
					    "\n"
					    "config item\n"
					    "\toption name 'two'\n"
					    "\n"
					    "config other 'extra'\n"
					    "\n");
	EXPECT_TRUE(file_exists(save + "/tst"));
	EXPECT_EQ(read_text(save + "/tst"), "");

	Ctx again(conf, save); // nothing is applied twice
	EXPECT_EQ(value(again, "tst.@item[0].name"), "two");
	Ptr servers(again, "tst.main.servers");
	ASSERT_TRUE(servers.complete());
	int n = 0;
	uci_element *e;
	uci_foreach_element(&servers.p.o->v.list, e)
		n++;
	EXPECT_EQ(n, 2);
}

TEST_F(Store, SaveWritesGoldenDeltaLinesThatReadBack)
{
	config("config tst 'config'\n\toption enable '1'\n\tlist servers 'a'\n\tlist servers 'b'\n"
	       "\toption msg 'hi'\n"
	       "config item\n\toption name 'i1'\n"
	       "config item\n\toption name 'i2'\n"
	       "config named 'named'\n\toption x 'y'\n\toption z 'w'\n"
	       "config remote 'remote'\n\toption url 'u'\n");
	{
		Ctx ctx(conf, save);
		set(ctx, "tst.config.enable=0");
		set(ctx, "tst.config.msg=it's");
		Ptr add(ctx, "tst.config.servers=d");
		ASSERT_EQ(uci_add_list(ctx, &add.p), 0);
		Ptr del(ctx, "tst.config.servers=a");
		ASSERT_EQ(uci_del_list(ctx, &del.p), 0);
		Ptr item(ctx, "tst.@item[1]");
		ASSERT_EQ(uci_delete(ctx, &item.p), 0);
		Ptr x(ctx, "tst.named.x");
		ASSERT_EQ(uci_delete(ctx, &x.p), 0);
		set(ctx, "tst.newsec=typ");
		uci_section *s;
		ASSERT_EQ(uci_add_section(ctx, uci_lookup_package(ctx, "tst"), "item", &s), 0);
		Ptr ren(ctx, "tst.remote=remote2");
		ASSERT_EQ(uci_rename(ctx, &ren.p), 0);
		Ptr cfg(ctx, "tst.config");
		ASSERT_EQ(uci_reorder_section(ctx, cfg.p.s, 3), 0);
		Ptr idx(ctx, "tst.config.servers=0");
		ASSERT_EQ(uci_delete(ctx, &idx.p), 0);
		ASSERT_EQ(uci_save(ctx, uci_lookup_package(ctx, "tst")), 0);
	}
	EXPECT_EQ(read_text(save + "/tst"), "tst.config.enable='0'\n"
					    "tst.config.msg='it'\\''s'\n"
					    "|tst.config.servers='d'\n"
					    "~tst.config.servers='a'\n"
					    "-tst.cfg039e34\n"
					    "-tst.named.x\n"
					    "tst.newsec='typ'\n"
					    "+tst.cfg079e34='item'\n"
					    "@tst.remote='remote2'\n"
					    "^tst.config='3'\n"
					    "-tst.config.servers='0'\n");

	Ctx ctx(conf, save);
	ASSERT_EQ(uci_load(ctx, "tst", nullptr), 0);
	EXPECT_EQ(export_text(ctx, uci_lookup_package(ctx, "tst")), "\n"
								     "config item\n"
								     "\toption name 'i1'\n"
								     "\n"
								     "config named 'named'\n"
								     "\toption z 'w'\n"
								     "\n"
								     "config remote 'remote2'\n"
								     "\toption url 'u'\n"
								     "\n"
								     "config tst 'config'\n"
								     "\toption enable '0'\n"
								     "\tlist servers 'd'\n"
								     "\toption msg 'it'\\''s'\n"
								     "\n"
								     "config typ 'newsec'\n"
								     "\n"
								     "config item\n"
								     "\n");
	Ptr added(ctx, "tst.@item[-1]");
	ASSERT_TRUE(added.complete());
	EXPECT_STREQ(added.p.s->e.name, "cfg079e34");
	EXPECT_TRUE(added.p.s->anonymous);
}

TEST_F(Store, QuotingOfValuesInDeltaAndConfigFiles)
{
	struct Case {
		const char *value, *quoted;
	} cases[] = {
		{"it's", "'it'\\''s'"},
		{"two words", "'two words'"},
		{"back\\slash\\", "'back\\slash\\'"},
		{"\"dq\" $x", "'\"dq\" $x'"},
		{"has # hash", "'has # hash'"},
		{"line1\nline2", "'line1\nline2'"},
		{"'", "''\\'''"},
		{"a=b.c", "'a=b.c'"},
	};
	config("config t 's'\n");
	std::string delta, file = "\nconfig t 's'\n";
	{
		Ctx ctx(conf, save);
		for (size_t i = 0; i < std::size(cases); i++) {
			std::string opt = "v" + std::to_string(i);
			set(ctx, "tst.s." + opt + "=" + cases[i].value);
			delta += "tst.s." + opt + "=" + cases[i].quoted + "\n";
			file += "\toption " + opt + " " + cases[i].quoted + "\n";
		}
		uci_package *p = uci_lookup_package(ctx, "tst");
		ASSERT_EQ(uci_save(ctx, p), 0);
		EXPECT_EQ(read_text(save + "/tst"), delta);
		Ctx reader(conf, save); // the delta file reads back
		for (size_t i = 0; i < std::size(cases); i++)
			EXPECT_EQ(value(reader, "tst.s.v" + std::to_string(i)), cases[i].value) << i;
		ASSERT_EQ(uci_commit(ctx, &p, false), 0);
	}
	EXPECT_EQ(read_text(conf + "/tst"), file + "\n");
	Ctx ctx(conf, save); // and so does the config file
	for (size_t i = 0; i < std::size(cases); i++)
		EXPECT_EQ(value(ctx, "tst.s.v" + std::to_string(i)), cases[i].value) << i;
}

TEST_F(Store, ConfigWordsQuotesAndComments)
{
	struct Case {
		const char *line, *value;
	} cases[] = {
		{"option v 'x'\"y\"z", "xyz"},
		{"option v \"q\\\"uo\\\\te\\$\"", "q\"uo\\te$"},
		{"option v un\\ quoted", "un quoted"},
		{"option v \"has # hash\"", "has # hash"},
		{"option v 'two\nlines'", "two\nlines"},
		{"option v \"jo\\\nined\"", "joined"},
		{"option v contin\\\nued", "continued"},
		{"   o v abc # comment", "abc"},
		{"\tlist v 'a'", "<none>"}, // a list, not a string
		{"option v ''", "<none>"},
		{"option v", "<none>"},
		{"# option v x", "<none>"},
	};
	for (const Case &c : cases) {
		config(std::string("package tst\nconfig t 's'\n") + c.line + "\n");
		Ctx ctx(conf, save);
		EXPECT_EQ(value(ctx, "tst.s.v"), c.value) << c.line;
	}
}

TEST_F(Store, AnonymousSectionNamesCountEverySection)
{
	config("config a 'first'\nconfig item\nconfig item\nconfig item\n");
	Ctx ctx(conf, save);
	for (auto [path, name] : {std::pair{"tst.@item[0]", "cfg029e34"}, {"tst.@item[1]", "cfg039e34"},
				  {"tst.@item[2]", "cfg049e34"}}) {
		Ptr p(ctx, path);
		ASSERT_TRUE(p.complete()) << path;
		EXPECT_STREQ(p.p.s->e.name, name);
		EXPECT_STREQ(p.p.section, name); // the real name replaces the extended form
	}
	uci_section *s;
	ASSERT_EQ(uci_add_section(ctx, uci_lookup_package(ctx, "tst"), "item", &s), 0);
	EXPECT_STREQ(s->e.name, "cfg059e34");
	EXPECT_TRUE(s->anonymous);
}

// ---- lookups --------------------------------------------------------------------

TEST_F(Store, LookupResultsAndCompleteFlag)
{
	config("config tst 'config'\n\toption enable '1'\nconfig item\n\toption name 'a'\n"
	       "config item\n\toption name 'b'\n");
	struct Case {
		const char *path;
		bool ext;
		int rc;
		bool complete;
		int last; // element type, 0 for none
		const char *value;
	} cases[] = {
		{"tst", true, 0, true, UCI_TYPE_PACKAGE, nullptr},
		{"tst.config", true, 0, true, UCI_TYPE_SECTION, nullptr},
		{"tst.config.enable", true, 0, true, UCI_TYPE_OPTION, "1"},
		{"tst.config.nope", true, 0, false, UCI_TYPE_SECTION, nullptr},
		{"tst.nosec", true, 0, false, UCI_TYPE_PACKAGE, nullptr},
		{"tst.nosec.opt", true, 0, false, UCI_TYPE_PACKAGE, nullptr},
		{"tst.@item[0].name", true, 0, true, UCI_TYPE_OPTION, "a"},
		{"tst.@item[-1].name", true, 0, true, UCI_TYPE_OPTION, "b"},
		{"tst.@item[-2].name", true, 0, true, UCI_TYPE_OPTION, "a"},
		{"tst.@[2].name", true, 0, true, UCI_TYPE_OPTION, "b"},
		{"tst.@item[5]", true, 0, false, UCI_TYPE_PACKAGE, nullptr},
		{"tst.@item[-3]", true, 0, false, UCI_TYPE_PACKAGE, nullptr},
		{"tst.@item[0].name", false, UCI_ERR_INVAL, false, 0, nullptr},
		{"tst.@item", true, UCI_ERR_INVAL, false, 0, nullptr},
		{"tst.@item[x]", true, UCI_ERR_INVAL, false, 0, nullptr},
		{"tst.bad-name", true, UCI_ERR_INVAL, false, 0, nullptr},
		{"tst.config.bad-opt", true, UCI_ERR_PARSE, false, 0, nullptr},
		{"tst.a.b.c", true, UCI_ERR_PARSE, false, 0, nullptr},
		{"tst.", true, UCI_ERR_PARSE, false, 0, nullptr},
		{"../tst.config", true, UCI_ERR_PARSE, false, 0, nullptr},
		{"nopkg.x", true, UCI_ERR_NOTFOUND, false, 0, nullptr},
	};
	Ctx ctx(conf, save);
	for (const Case &c : cases) {
		Ptr p(ctx, c.path, c.ext);
		EXPECT_EQ(p.rc, c.rc) << c.path;
		EXPECT_EQ(p.complete(), c.complete) << c.path;
		if (!c.last) {
			EXPECT_EQ(p.p.last, nullptr) << c.path;
			continue;
		}
		ASSERT_NE(p.p.last, nullptr) << c.path;
		EXPECT_EQ(p.p.last->type, c.last) << c.path;
		EXPECT_TRUE(p.p.flags & uci_ptr::UCI_LOOKUP_DONE) << c.path;
		if (c.value) {
			EXPECT_STREQ(p.p.o->v.string, c.value) << c.path;
		}
	}
	Ptr v(ctx, "tst.config.enable=x=y.z");
	EXPECT_STREQ(v.p.value, "x=y.z");
	EXPECT_EQ(v.p.target, UCI_TYPE_OPTION);
}

// ---- the delta cycle --------------------------------------------------------------

TEST_F(Store, DeltaPathsApplyInOrderAndRevertTouchesOnlyTheSaveDir)
{
	config("config t 's'\n\toption v '0'\n");
	std::string extra = dir + "/extra";
	mkdir(extra.c_str(), 0755);
	mkdir(save.c_str(), 0755);
	write_text(extra + "/tst", "tst.s.v='A'\n|tst.s.l='a'\n");
	write_text(save + "/tst", "tst.s.v='S'\n");

	Ctx ctx(conf, save);
	EXPECT_EQ(uci_add_delta_path(ctx, extra.c_str()), 0);
	EXPECT_EQ(uci_add_delta_path(ctx, extra.c_str()), UCI_ERR_DUPLICATE);
	EXPECT_EQ(uci_add_delta_path(ctx, save.c_str()), UCI_ERR_DUPLICATE);
	std::vector<std::string> paths;
	uci_element *e;
	uci_foreach_element(&ctx.c->delta_path, e)
		paths.push_back(e->name);
	EXPECT_EQ(paths, (std::vector<std::string>{UCI_SAVEDIR, extra, save}));

	EXPECT_EQ(value(ctx, "tst.s.v"), "S"); // the save dir comes last
	std::vector<std::string> applied;
	uci_foreach_element(&uci_lookup_package(ctx, "tst")->saved_delta, e) {
		uci_delta *d = uci_to_delta(e);
		applied.push_back(std::to_string(d->cmd) + d->section + "." + e->name + "=" + d->value);
	}
	EXPECT_EQ(applied, (std::vector<std::string>{"2s.v=A", "5s.l=a", "2s.v=S"}));

	Ctx plain(conf, save); // a context without the extra path does not see it
	EXPECT_EQ(value(plain, "tst.s.l"), "<none>");

	Ptr p(ctx, "tst.s.v");
	ASSERT_EQ(uci_revert(ctx, &p.p), 0);
	EXPECT_EQ(read_text(save + "/tst"), "");
	EXPECT_EQ(read_text(extra + "/tst"), "tst.s.v='A'\n|tst.s.l='a'\n");
	ASSERT_NE(p.p.p, nullptr); // reloaded
	EXPECT_EQ(p.p.o->v.string, std::string("A"));
}

TEST_F(Store, RevertDropsMatchingLinesOnly)
{
	config("config t 's'\nconfig t 't'\n");
	mkdir(save.c_str(), 0755);
	write_text(save + "/tst", "tst.s.v='1'\n|tst.s.v='x'\ntst.s.w='2'\ntst.t.v='3'\ntst.t='u'\n");
	Ctx ctx(conf, save);
	Ptr opt(ctx, "tst.s.v");
	ASSERT_EQ(uci_revert(ctx, &opt.p), 0);
	EXPECT_EQ(read_text(save + "/tst"), "tst.s.w='2'\ntst.t.v='3'\ntst.t='u'\n");
	Ptr sec(ctx, "tst.t");
	ASSERT_EQ(uci_revert(ctx, &sec.p), 0);
	EXPECT_EQ(read_text(save + "/tst"), "tst.s.w='2'\n");
	Ptr missing(ctx, "tst.nosuch");
	EXPECT_EQ(uci_revert(ctx, &missing.p), 0);
	EXPECT_EQ(read_text(save + "/tst"), "tst.s.w='2'\n");
	Ptr all(ctx, "tst");
	ASSERT_EQ(uci_revert(ctx, &all.p), 0);
	EXPECT_TRUE(file_exists(save + "/tst"));
	EXPECT_EQ(read_text(save + "/tst"), "");
	EXPECT_EQ(value(ctx, "tst.s.w"), "<none>");
}

TEST_F(Store, StateValuesSeenOnlyByContextsWithTheStateDir)
{
	config("config t 's'\n\toption v 'conf'\n");
	std::string state = dir + "/state";
	{
		Ctx ctx(conf, save);
		set(ctx, "tst.s.v=saved");
		ASSERT_EQ(uci_save(ctx, uci_lookup_package(ctx, "tst")), 0);
	}
	auto state_ctx = [&] {
		auto *c = new Ctx(conf, save);
		uci_add_delta_path(*c, c->c->savedir);
		uci_set_savedir(*c, state.c_str());
		return std::unique_ptr<Ctx>(c);
	};
	{
		auto c = state_ctx();
		EXPECT_EQ(value(*c, "tst.s.v"), "saved");
		set(*c, "tst.s.pid=42");
		ASSERT_EQ(uci_save(*c, uci_lookup_package(*c, "tst")), 0);
	}
	EXPECT_EQ(read_text(state + "/tst"), "tst.s.pid='42'\n");
	EXPECT_EQ(read_text(save + "/tst"), "tst.s.v='saved'\n");
	Ctx plain(conf, save);
	EXPECT_EQ(value(plain, "tst.s.pid"), "<none>");
	auto c = state_ctx();
	EXPECT_EQ(value(*c, "tst.s.pid"), "42");
}

TEST_F(Store, ChangesFollowTheSetRules)
{
	config("config t 's'\n\toption v '1'\n\tlist l 'a'\n\tlist l 'b'\n");
	Ctx ctx(conf, save);
	uci_package *p = uci_lookup_package(ctx, "tst");
	set(ctx, "tst.s.v=1"); // equal: nothing recorded
	p = uci_lookup_package(ctx, "tst");
	EXPECT_TRUE(uci_list_empty(&p->delta));

	Ptr missing(ctx, "tst.nosec.v=1");
	EXPECT_EQ(uci_set(ctx, &missing.p), UCI_ERR_INVAL);
	Ptr badtype(ctx, "tst.new=has space");
	EXPECT_EQ(uci_set(ctx, &badtype.p), UCI_ERR_INVAL);
	Ptr gone(ctx, "tst.s.nope");
	EXPECT_EQ(uci_delete(ctx, &gone.p), UCI_ERR_NOTFOUND);
	Ptr range(ctx, "tst.s.l=5");
	EXPECT_EQ(uci_delete(ctx, &range.p), UCI_ERR_NOTFOUND);
	Ptr dl(ctx, "tst.s.nolist=a");
	EXPECT_EQ(uci_del_list(ctx, &dl.p), 0);
	EXPECT_TRUE(uci_list_empty(&p->delta));

	Ptr conv(ctx, "tst.s.v=x"); // a string becomes a list
	ASSERT_EQ(uci_add_list(ctx, &conv.p), 0);
	Ptr v(ctx, "tst.s.v");
	ASSERT_EQ(v.p.o->type, UCI_TYPE_LIST);
	set(ctx, "tst.s.l=plain"); // a list becomes a string
	EXPECT_EQ(value(ctx, "tst.s.l"), "plain");
	set(ctx, "tst.s.l="); // empty deletes
	EXPECT_EQ(value(ctx, "tst.s.l"), "<none>");
	ASSERT_EQ(uci_save(ctx, p), 0);
	EXPECT_EQ(read_text(save + "/tst"), "|tst.s.v='x'\ntst.s.l='plain'\n-tst.s.l\n");
}

TEST_F(Store, CommitWithNothingToApplyKeepsTheFile)
{
	config("config t 's'\n");
	struct stat before, after;
	stat((conf + "/tst").c_str(), &before);
	Ctx ctx(conf, save);
	uci_package *p;
	ASSERT_EQ(uci_load(ctx, "tst", &p), 0);
	EXPECT_EQ(uci_load(ctx, "tst", nullptr), UCI_ERR_DUPLICATE);
	EXPECT_EQ(uci_load(ctx, "absent", nullptr), UCI_ERR_NOTFOUND);
	ASSERT_EQ(uci_commit(ctx, &p, false), 0);
	stat((conf + "/tst").c_str(), &after);
	EXPECT_EQ(before.st_ino, after.st_ino);
	EXPECT_EQ(read_text(conf + "/tst"), "config t 's'\n");
}

TEST_F(Store, CommitFollowsSymlinkAndKeepsMode)
{
	std::string real = dir + "/real";
	write_text(real, "config t 's'\n");
	chmod(real.c_str(), 0640);
	ASSERT_EQ(symlink(real.c_str(), (conf + "/tst").c_str()), 0);
	Ctx ctx(conf, save);
	set(ctx, "tst.s.v=1");
	uci_package *p = uci_lookup_package(ctx, "tst");
	ASSERT_EQ(uci_commit(ctx, &p, false), 0);
	struct stat st;
	ASSERT_EQ(lstat((conf + "/tst").c_str(), &st), 0);
	EXPECT_TRUE(S_ISLNK(st.st_mode));
	EXPECT_EQ(read_text(real), "\nconfig t 's'\n\toption v '1'\n\n");
	stat(real.c_str(), &st);
	EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(Store, FailedCommitKeepsConfigAndChanges)
{
	if (!private_world)
		GTEST_SKIP() << "needs a private mount namespace";
	config("config t 's'\n");
	Ctx ctx(conf, save);
	set(ctx, "tst.s.v=1");
	uci_package *p = uci_lookup_package(ctx, "tst");
	ASSERT_EQ(uci_save(ctx, p), 0);
	ASSERT_EQ(mount(conf.c_str(), conf.c_str(), nullptr, MS_BIND, nullptr), 0);
	ASSERT_EQ(mount(nullptr, conf.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
	EXPECT_EQ(uci_commit(ctx, &p, false), UCI_ERR_IO);
	umount(conf.c_str());
	EXPECT_EQ(read_text(conf + "/tst"), "config t 's'\n");
	EXPECT_EQ(read_text(save + "/tst"), "tst.s.v='1'\n");
	ASSERT_EQ(uci_commit(ctx, &p, false), 0); // nothing was lost
	EXPECT_EQ(read_text(conf + "/tst"), "\nconfig t 's'\n\toption v '1'\n\n");
}

// ---- bad input ----------------------------------------------------------------------

TEST_F(Store, MalformedConfigFailsWholeLoad)
{
	struct Case {
		const char *text;
		const char *detail;
	} cases[] = {
		{"option a 'b'\n", "at line 1,"},
		{"config\n", "(invalid character in type field) at line 1,"},
		{"config t 'bad-name'\n", "(invalid character in name field) at line 1, byte 10"},
		{"config t s\n\toption bad-opt x\n", "at line 2, byte 9"},
		{"config t s\n\n\toption a 'unterminated\n", "at line 3, byte 11"},
		{"config t s\n\toption h two words\n", "(too many arguments) at line 2, byte 15"},
		{"config t s\nbogus line\n", "at line 2, byte 1"},
		{"config t s\nconfig u s\n", "at line 2,"},
		{"config t s\n\toption v \"open\n", "at line 2,"},
		// the first fault in the file is reported, not a later open quote
		{"config t s\n\toption h two words\n\toption v 'open\n", "(too many arguments) at line 2, byte 15"},
	};
	for (const Case &c : cases) {
		config(c.text);
		Ctx ctx(conf, save);
		uci_package *p = reinterpret_cast<uci_package *>(1);
		EXPECT_EQ(uci_load(ctx, "tst", &p), UCI_ERR_PARSE) << c.text;
		EXPECT_EQ(p, nullptr);
		EXPECT_TRUE(uci_list_empty(&ctx.c->root)) << c.text;
		std::string msg = errorstr(ctx, "uci");
		EXPECT_EQ(msg.rfind("uci: Parse error (", 0), 0u) << msg;
		EXPECT_NE(msg.find(c.detail), std::string::npos) << msg;
		Ptr ptr(ctx, "tst.s");
		EXPECT_EQ(ptr.rc, UCI_ERR_PARSE) << c.text;
	}
	config("config t s\n\toption h two words\n");
	Ctx lenient(conf, save);
	lenient.c->flags = uci_flags(lenient.c->flags & ~UCI_FLAG_STRICT);
	EXPECT_EQ(value(lenient, "tst.s.h"), "two");
}

TEST_F(Store, BadDeltaLinesAreSkipped)
{
	config("config t 's'\n");
	mkdir(save.c_str(), 0755);
	write_text(save + "/tst", "tst.s.a='1'\n"
				  "garbage\n"
				  "tst.@t[0].b='2'\n"
				  "|tst.s='x'\n"
				  "other.s.c='3'\n"
				  "@tst.s='bad-name'\n"
				  "tst.nosec.d='4'\n"
				  "tst.s.e='5'\n"
				  "tst.s.f='unterminated\n"
				  "tst.s.g='6'\n");
	Ctx ctx(conf, save);
	EXPECT_EQ(value(ctx, "tst.s.a"), "1");
	EXPECT_EQ(value(ctx, "tst.s.e"), "5");
	EXPECT_EQ(value(ctx, "tst.s.b"), "<none>");
	EXPECT_EQ(value(ctx, "tst.s.f"), "<none>");
	EXPECT_EQ(value(ctx, "tst.s.g"), "<none>"); // swallowed by the open quote
	EXPECT_EQ(value(ctx, "tst.nosec.d"), "<none>");
	Ptr s(ctx, "tst.s");
	EXPECT_TRUE(s.complete()); // not renamed
}

TEST_F(Store, PackageNamesNeverLeaveTheConfigDir)
{
	write_text(dir + "/outside", "config t 's'\n");
	Ctx ctx(conf, save);
	for (const char *name : {"../outside", "a/b", "..", "", "x y"})
		EXPECT_EQ(uci_load(ctx, name, nullptr), UCI_ERR_INVAL) << name;
	EXPECT_TRUE(uci_list_empty(&ctx.c->root));
	// An explicit path is allowed and not delta tracked.
	uci_package *p;
	ASSERT_EQ(uci_load(ctx, (dir + "/outside").c_str(), &p), 0);
	EXPECT_STREQ(p->e.name, "outside");
	EXPECT_FALSE(p->has_delta);
}

TEST_F(Store, ListConfigsSortedAndFiltered)
{
	Ctx ctx(conf, save);
	char **list = reinterpret_cast<char **>(1);
	EXPECT_EQ(uci_list_configs(ctx, &list), UCI_ERR_NOTFOUND);
	for (const char *name : {"b", "a", "c.bak", "bad name", ".hidden", "under_score-x"})
		write_text(conf + "/" + name, "");
	mkdir((conf + "/dir").c_str(), 0755);
	ASSERT_EQ(uci_list_configs(ctx, &list), 0);
	std::vector<std::string> names;
	for (char **n = list; *n; n++)
		names.push_back(*n);
	free(list);
	EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "under_score-x"}));
	uci_set_confdir(ctx, (dir + "/missing").c_str());
	EXPECT_EQ(uci_list_configs(ctx, &list), UCI_ERR_NOTFOUND);
}

TEST_F(Store, ContextDefaultsAndErrorTexts)
{
	uci_context *ctx = uci_alloc_context();
	EXPECT_STREQ(ctx->confdir, "/etc/config");
	EXPECT_STREQ(ctx->savedir, "/tmp/.uci");
	EXPECT_EQ(int(ctx->flags), 9);
	static_assert(uci_type_package == UCI_TYPE_PACKAGE && uci_type_hook == UCI_TYPE_HOOK);
	const char *texts[] = {"Success",    "Out of memory",   "Invalid argument", "Entry not found",
			       "I/O error", "Parse error",      "Duplicate entry",  "Unknown error"};
	for (int i = 0; i < 8; i++) {
		ctx->err = i;
		EXPECT_EQ(errorstr(ctx, "pfx"), std::string("pfx: ") + texts[i]);
	}
	EXPECT_EQ(uci_set_confdir(ctx, nullptr), UCI_ERR_INVAL);
	uci_free_context(ctx);
}

// Found by fuzzing: a section type holding '#', a quote or a backslash was
// written bare, so the committed file read back with another type or not at all.
TEST_F(Store, TypesWithSpecialCharactersSurviveCommit)
{
	config("config 'plain' 'p'\nconfig \"a#b\" 's'\n\toption o 'v'\nconfig \"q'x\\\\y\\\"z\" 't'\n");
	{
		Ctx ctx(conf, save);
		set(ctx, "tst.s.o=w");
		uci_package *p = uci_lookup_package(ctx, "tst");
		ASSERT_EQ(uci_save(ctx, p), 0);
		ASSERT_EQ(uci_commit(ctx, &p, false), 0);
	}
	EXPECT_EQ(read_text(conf + "/tst"), "\nconfig plain 'p'\n"
					     "\nconfig 'a#b' 's'\n\toption o 'w'\n"
					     "\nconfig 'q'\\''x\\y\"z' 't'\n\n");
	Ctx ctx(conf, save);
	uci_package *p = nullptr;
	ASSERT_EQ(uci_load(ctx, "tst", &p), 0);
	std::vector<std::string> types;
	uci_element *e;
	uci_foreach_element(&p->sections, e)
		types.push_back(uci_to_section(e)->type);
	EXPECT_EQ(types, (std::vector<std::string>{"plain", "a#b", "q'x\\y\"z"}));
	EXPECT_EQ(value(ctx, "tst.s.o"), "w");
}

} // namespace
