// The depth set_config measures before formatting, and the /tmp file writer:
// a link or a leftover at the fixed name is replaced, never followed.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "apconfig/settings_codec.hpp"
#include "apconfig/tmp_file.hpp"
#include "gw/blob.hpp"

namespace {
struct buf {
	buf()
	{
		memset(&b, 0, sizeof b);
		blob_buf_init(&b, 0);
	}
	~buf() { blob_buf_free(&b); }
	struct blob_buf b;
};

// A table "config" whose innermost container sits `levels` deep (counting
// config itself), built from alternating tables and arrays.
void nested_config(buf &x, int levels)
{
	std::vector<std::pair<void *, bool>> open;
	open.push_back({blobmsg_open_table(&x.b, "config"), true});
	blobmsg_add_string(&x.b, "SystemName", "a");
	for (int i = 1; i < levels; i++) {
		bool table = i % 2;
		void *c = table ? blobmsg_open_table(&x.b, open.back().second ? "n" : nullptr)
				: blobmsg_open_array(&x.b, open.back().second ? "n" : nullptr);
		open.push_back({c, table});
	}
	while (!open.empty()) {
		if (open.back().second)
			blobmsg_close_table(&x.b, open.back().first);
		else
			blobmsg_close_array(&x.b, open.back().first);
		open.pop_back();
	}
}

int depth_of_config(int levels)
{
	buf x;
	nested_config(x, levels);
	struct blob_attr *config = static_cast<struct blob_attr *>(blob_data(x.b.head));
	return settings_depth(config, blob_raw_len(config), SETTINGS_DEPTH_MAX);
}

TEST(SettingsDepth, CountsContainersUpToOnePastTheLimit)
{
	struct {
		int levels;
		int depth;
	} const cases[] = {{1, 1}, {2, 2}, {31, 31}, {32, 32}, {33, 33}, {34, 33}, {5000, 33}};
	for (const auto &c : cases)
		EXPECT_EQ(depth_of_config(c.levels), c.depth) << c.levels;
}

TEST(SettingsDepth, PlainValuesAndBrokenElementsCountNothing)
{
	buf x;
	blobmsg_add_string(&x.b, "s", "text");
	struct blob_attr *s = static_cast<struct blob_attr *>(blob_data(x.b.head));
	EXPECT_EQ(settings_depth(s, blob_raw_len(s), 32), 0);
	EXPECT_EQ(settings_depth(s, 3, 32), 0) << "shorter than a head";
}

// A private folder stands in for /tmp.
struct tmpfile_dir : ::testing::Test {
	std::string dir, path, elsewhere;
	void SetUp() override
	{
		char t[] = "/tmp/acd-tmpfile-XXXXXX";
		ASSERT_NE(mkdtemp(t), nullptr);
		dir = t;
		path = dir + "/.pwd_status";
		elsewhere = dir + "/victim";
	}
	void TearDown() override
	{
		DIR *d = opendir(dir.c_str());
		while (struct dirent *e = d ? readdir(d) : nullptr)
			if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
				unlink((dir + "/" + e->d_name).c_str());
		if (d)
			closedir(d);
		rmdir(dir.c_str());
	}
	std::string read(const std::string &p)
	{
		std::string s;
		FILE *f = fopen(p.c_str(), "r");
		if (!f)
			return "<none>";
		char b[256];
		size_t n;
		while ((n = fread(b, 1, sizeof b, f)) > 0)
			s.append(b, n);
		fclose(f);
		return s;
	}
	std::vector<std::string> names()
	{
		std::vector<std::string> v;
		DIR *d = opendir(dir.c_str());
		while (struct dirent *e = readdir(d))
			if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
				v.push_back(e->d_name);
		closedir(d);
		std::sort(v.begin(), v.end());
		return v;
	}
};

TEST_F(tmpfile_dir, PlantedLinksAreReplacedNotFollowed)
{
	const char *const targets[] = {"victim", "missing"}; // a file, and a dangling link
	for (const char *target : targets) {
		{
			FILE *f = fopen(elsewhere.c_str(), "w");
			fputs("precious", f);
			fclose(f);
		}
		unlink(path.c_str());
		ASSERT_EQ(symlink((dir + "/" + target).c_str(), path.c_str()), 0);
		ASSERT_TRUE(ac_tmp_replace(path.c_str(), "10.0.0.1 0", 10, 0666)) << target;
		struct stat st;
		ASSERT_EQ(lstat(path.c_str(), &st), 0);
		EXPECT_TRUE(S_ISREG(st.st_mode)) << target;
		EXPECT_EQ(read(path), "10.0.0.1 0");
		EXPECT_EQ(read(elsewhere), "precious") << target;
		EXPECT_EQ(names(), (std::vector<std::string>{".pwd_status", "victim"})) << "no temporary left";
	}
}

TEST_F(tmpfile_dir, AnUnfinishedWriteLeavesTheOldFile)
{
	ASSERT_TRUE(ac_tmp_replace(path.c_str(), "old", 3, 0644));
	char tmp[AC_TMP_NAME_LEN];
	FILE *f = ac_tmp_begin(path.c_str(), 0644, tmp);
	ASSERT_NE(f, nullptr);
	fputs("half of the new", f);
	fflush(f);
	EXPECT_EQ(read(path), "old") << "a reader meanwhile";
	EXPECT_EQ(std::string(tmp).rfind(path + ".", 0), 0u) << "beside the fixed name";
	EXPECT_TRUE(ac_tmp_commit(f, tmp, path.c_str()));
	EXPECT_EQ(read(path), "half of the new");
	EXPECT_EQ(names(), (std::vector<std::string>{".pwd_status"}));
}

TEST_F(tmpfile_dir, ANameThatCannotBeReplacedIsLeftAlone)
{
	ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
	EXPECT_FALSE(ac_tmp_replace(path.c_str(), "x", 1, 0644));
	EXPECT_EQ(names(), (std::vector<std::string>{".pwd_status"})) << "temporary removed";
	rmdir(path.c_str());
}

TEST_F(tmpfile_dir, ScratchFileIsCreatedFreshOverALink)
{
	{
		FILE *f = fopen(elsewhere.c_str(), "w");
		fputs("precious", f);
		fclose(f);
	}
	ASSERT_EQ(symlink(elsewhere.c_str(), path.c_str()), 0);
	ASSERT_TRUE(ac_tmp_create_new(path.c_str(), 0600));
	struct stat st;
	ASSERT_EQ(lstat(path.c_str(), &st), 0);
	EXPECT_TRUE(S_ISREG(st.st_mode));
	EXPECT_EQ(st.st_size, 0);
	EXPECT_EQ(st.st_mode & 0777, 0600u);
	EXPECT_EQ(read(elsewhere), "precious");
}
} // namespace
