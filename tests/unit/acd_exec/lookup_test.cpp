// Finding a program the way a shell does.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "exec/ac_exec.hpp"

namespace
{
class Lookup : public ::testing::Test
{
      protected:
	void SetUp() override
	{
		char tmpl[] = "/tmp/acd-lookup-XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir = tmpl;
		ASSERT_NE(getcwd(oldCwd, sizeof oldCwd), nullptr);
		const char *p = getenv("PATH");
		hadPath = p != nullptr;
		if (p)
			oldPath = p;
		for (const char *d : {"a", "b", "a/prog.d"})
			mkdir((dir + "/" + d).c_str(), 0755);
		touch("a/prog");
		touch("b/prog");
		touch("b/other");
		touch("here");
	}
	void TearDown() override
	{
		if (hadPath)
			setenv("PATH", oldPath.c_str(), 1);
		else
			unsetenv("PATH");
		EXPECT_EQ(chdir(oldCwd), 0);
		std::string cmd = "rm -rf '" + dir + "'";
		EXPECT_EQ(system(cmd.c_str()), 0);
	}
	void touch(const char *rel)
	{
		std::string p = dir + "/" + rel;
		FILE *f = fopen(p.c_str(), "w");
		ASSERT_NE(f, nullptr);
		fclose(f);
	}
	std::string found(const char *name)
	{
		const char *p = ac_exec_lookup(name);
		return p ? p : "<none>";
	}
	std::string dir, oldPath;
	bool hadPath = false;
	char oldCwd[PATH_MAX];
};

TEST_F(Lookup, NamesOfRegularFilesAreTakenUnchanged)
{
	setenv("PATH", (dir + "/b").c_str(), 1);
	std::string abs = dir + "/a/prog";
	EXPECT_EQ(ac_exec_lookup(abs.c_str()), abs.c_str()) << "the same text, not a copy";
	ASSERT_EQ(chdir(dir.c_str()), 0);
	EXPECT_EQ(found("here"), "here");
	EXPECT_EQ(found("a/prog"), "a/prog");
	// Relative to the current directory before the search list.
	ASSERT_EQ(chdir((dir + "/b").c_str()), 0);
	EXPECT_EQ(found("prog"), "prog");
	// A directory is no program.
	EXPECT_EQ(found(dir.c_str()), "<none>");
}

TEST_F(Lookup, SearchListInOrder)
{
	ASSERT_EQ(chdir("/"), 0);
	setenv("PATH", (dir + "/a:" + dir + "/b").c_str(), 1);
	EXPECT_EQ(found("prog"), dir + "/a/prog");
	EXPECT_EQ(found("other"), dir + "/b/other");
	EXPECT_EQ(found("prog.d"), "<none>");
	EXPECT_EQ(found("missing"), "<none>");
	EXPECT_EQ(found(""), "<none>");
	setenv("PATH", (dir + "/b:" + dir + "/a").c_str(), 1);
	EXPECT_EQ(found("prog"), dir + "/b/prog");
	// An empty entry stands for the root directory.
	ASSERT_EQ(chdir(dir.c_str()), 0);
	setenv("PATH", ("/nonexistent::" + dir + "/b").c_str(), 1);
	EXPECT_EQ(found("bin/sh"), "/bin/sh");
	setenv("PATH", "", 1);
	EXPECT_EQ(found("bin/sh"), "/bin/sh");
	EXPECT_EQ(found("prog"), "<none>");
}

TEST_F(Lookup, DefaultListWithoutPath)
{
	ASSERT_EQ(chdir(dir.c_str()), 0);
	unsetenv("PATH");
	EXPECT_EQ(found("sh"), "/bin/sh");
	EXPECT_EQ(found("prog"), "<none>");
}

// A candidate that would need 4096 bytes or more is not tried; the entries
// after it still are.
TEST_F(Lookup, OverlongCandidatesAreSkipped)
{
	ASSERT_EQ(chdir("/"), 0);
	std::string longDir = "/" + std::string(4096 - 1 - 1 - 4 - 1, 'x'); // + "/prog" = 4095 chars
	setenv("PATH", (longDir + ":" + dir + "/a").c_str(), 1);
	EXPECT_EQ(found("prog"), dir + "/a/prog");
	std::string tooLong = longDir + "x";
	setenv("PATH", (tooLong + ":" + dir + "/b").c_str(), 1);
	EXPECT_EQ(found("prog"), dir + "/b/prog");
	std::string longName(5000, 'n');
	EXPECT_EQ(found(longName.c_str()), "<none>");
}
} // namespace
