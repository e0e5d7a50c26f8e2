// list.h and avl: the C view through the macros, and the tree against a reference container.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libubox/avl.h>
#include <libubox/avl-cmp.h>

int ubox_loop_c_lists(char *out, int outlen);
int ubox_loop_c_tree(char *out, int outlen);
}

namespace {

TEST(ListFromC, InsertDeleteIterate)
{
	char out[128];
	ASSERT_EQ(0, ubox_loop_c_lists(out, sizeof(out)));
	// c b a d e built from both ends; b unlinked in a safe walk; c moved to the back; a re-initialised
	EXPECT_STREQ("cade|edac|cea|de|dec", out);
}

TEST(AvlFromC, StringKeysInByteOrder)
{
	char out[128];
	ASSERT_EQ(0, ubox_loop_c_tree(out, sizeof(out)));
	EXPECT_STREQ("br-lan eth0 lo wlan0 |wlan0 lo br-lan xxx", out);
}

struct Rec {
	int key;
	int serial;
	avl_node node;
};

int int_cmp(const void *a, const void *b, void *ptr)
{
	EXPECT_EQ(reinterpret_cast<void *>(0x5a), ptr);
	int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
	return x < y ? -1 : x > y;
}

// Height of a subtree, checking balance factors and parent links on the way.
int check_subtree(const avl_node *n, const avl_node *parent, int *bad)
{
	if (!n)
		return 0;
	if (n->parent != parent)
		(*bad)++;
	int l = check_subtree(n->left, n, bad);
	int r = check_subtree(n->right, n, bad);
	if (r - l != n->balance || r - l > 1 || l - r > 1)
		(*bad)++;
	return 1 + std::max(l, r);
}

class AvlModel : public ::testing::TestWithParam<bool> {};

TEST_P(AvlModel, RandomInsertDeleteMatchesMultimap)
{
	const bool dups = GetParam();
	avl_tree tree;
	avl_init(&tree, int_cmp, dups, reinterpret_cast<void *>(0x5a));

	std::mt19937 rng(7);
	std::vector<Rec *> live;
	std::multimap<int, int> model; // key -> serial, insertion order kept for equal keys
	int serial = 0;

	for (int step = 0; step < 4000; step++) {
		bool add = live.empty() || rng() % 3 != 0;
		if (add) {
			Rec *r = new Rec{int(rng() % 300), serial++, {}};
			r->node.key = &r->key;
			int ret = avl_insert(&tree, &r->node);
			if (!dups && model.count(r->key)) {
				EXPECT_EQ(-1, ret);
				delete r;
				continue;
			}
			ASSERT_EQ(0, ret);
			live.push_back(r);
			model.emplace(r->key, r->serial);
		} else {
			size_t i = rng() % live.size();
			Rec *r = live[i];
			avl_delete(&tree, &r->node);
			auto range = model.equal_range(r->key);
			for (auto it = range.first; it != range.second; ++it) {
				if (it->second == r->serial) {
					model.erase(it);
					break;
				}
			}
			live[i] = live.back();
			live.pop_back();
			delete r;
		}
	}

	int bad = 0;
	int height = check_subtree(tree.root, nullptr, &bad);
	EXPECT_EQ(0, bad) << "balance factors or parent links";
	EXPECT_LE(height, 14) << "not balanced for " << live.size() << " nodes";
	EXPECT_EQ(model.size(), tree.count);

	std::vector<std::pair<int, int>> walked, reversed;
	Rec *e, *tmp;
	avl_for_each_element(&tree, e, node)
		walked.emplace_back(e->key, e->serial);
	avl_for_each_element_reverse(&tree, e, node)
		reversed.emplace_back(e->key, e->serial);
	std::vector<std::pair<int, int>> expect(model.begin(), model.end());
	EXPECT_EQ(expect, walked);
	std::reverse(reversed.begin(), reversed.end());
	EXPECT_EQ(expect, reversed);

	// Lookups: exact (first of equal keys), and the nearest on either side.
	for (int k = -1; k <= 301; k++) {
		Rec *f = avl_find_element(&tree, &k, f, node);
		auto it = model.find(k);
		if (it == model.end()) {
			EXPECT_EQ(nullptr, f) << k;
		} else {
			ASSERT_NE(nullptr, f) << k;
			EXPECT_EQ(model.lower_bound(k)->second, f->serial) << k;
			EXPECT_EQ(f->node.leader, true);
		}
		Rec *ge = avl_find_ge_element(&tree, &k, ge, node);
		auto lb = model.lower_bound(k);
		EXPECT_EQ(lb == model.end() ? -1 : lb->second, ge ? ge->serial : -1) << k;
		Rec *le = avl_find_le_element(&tree, &k, le, node);
		auto ub = model.upper_bound(k);
		int want = -1;
		if (ub != model.begin())
			want = model.lower_bound(std::prev(ub)->first)->second;
		EXPECT_EQ(want, le ? le->serial : -1) << k;
	}

	int freed = 0;
	avl_remove_all_elements(&tree, e, node, tmp) {
		delete e;
		freed++;
	}
	EXPECT_EQ((int)model.size(), freed);
	EXPECT_TRUE(avl_is_empty(&tree));
	EXPECT_EQ(nullptr, tree.root);
	int k = 5;
	EXPECT_EQ(nullptr, avl_find(&tree, &k));
}

INSTANTIATE_TEST_SUITE_P(Dups, AvlModel, ::testing::Bool(), [](const ::testing::TestParamInfo<bool> &i) {
	return std::string(i.param ? "duplicates" : "unique");
});

TEST(Avl, EmptyTreeIteratesNothing)
{
	avl_tree tree;
	avl_init(&tree, avl_strcmp, false, nullptr);
	Rec *e, *tmp;
	int n = 0;
	avl_for_each_element(&tree, e, node)
		n++;
	avl_for_each_element_safe(&tree, e, node, tmp)
		n++;
	EXPECT_EQ(0, n);
	EXPECT_EQ(nullptr, avl_find_element(&tree, "x", e, node));
}

TEST(AvlCmp, StrcmpAndBlobcmp)
{
	EXPECT_LT(avl_strcmp("br-lan", "eth0", nullptr), 0);
	EXPECT_LT(avl_strcmp("eth0", "lo", nullptr), 0);
	EXPECT_EQ(0, avl_strcmp("lo", "lo", nullptr));
	EXPECT_GT(avl_strcmp("\xc3", "z", nullptr), 0) << "bytes compare unsigned";

	// two raw blob attributes: length 6 (header + "ab") and 5 (header + "a")
	const unsigned char a[8] = {0x03, 0, 0, 6, 'a', 'b', 0, 0};
	const unsigned char b[8] = {0x03, 0, 0, 6, 'a', 'c', 0, 0};
	EXPECT_EQ(0, avl_blobcmp(a, a, nullptr));
	EXPECT_LT(avl_blobcmp(a, b, nullptr), 0);
	EXPECT_GT(avl_blobcmp(b, a, nullptr), 0);
}

} // namespace
