// Host avl: AVL trees with parent links; every node also sits on the tree's list in key order.
// Equal keys (when allowed) go to the right, so rotations keep them in insertion order.
#include <cstdint>
#include <cstring>

extern "C" {
#include <libubox/avl.h>
#include <libubox/avl-cmp.h>
}

namespace {

int avl_cmp(const avl_tree *tree, const void *k1, const void *k2)
{
	return tree->comp(k1, k2, tree->cmp_ptr);
}

void avl_replace_child(avl_tree *tree, avl_node *parent, avl_node *old, avl_node *repl)
{
	if (!parent)
		tree->root = repl;
	else if (parent->left == old)
		parent->left = repl;
	else
		parent->right = repl;
	if (repl)
		repl->parent = parent;
}

// x's right child takes x's place.
avl_node *avl_rotate_left(avl_tree *tree, avl_node *x)
{
	avl_node *y = x->right;
	x->right = y->left;
	if (y->left)
		y->left->parent = x;
	avl_replace_child(tree, x->parent, x, y);
	y->left = x;
	x->parent = y;
	return y;
}

// x's left child takes x's place.
avl_node *avl_rotate_right(avl_tree *tree, avl_node *x)
{
	avl_node *y = x->left;
	x->left = y->right;
	if (y->right)
		y->right->parent = x;
	avl_replace_child(tree, x->parent, x, y);
	y->right = x;
	x->parent = y;
	return y;
}

// Rebalance p whose balance reached +2 or -2 (stored as +1/-1 plus the heavy side);
// returns the new subtree root and whether the subtree height shrank compared to before.
// balance = height(right) - height(left).
avl_node *avl_fix_right_heavy(avl_tree *tree, avl_node *p, bool *shrunk)
{
	avl_node *s = p->right;
	if (s->balance >= 0) {
		avl_rotate_left(tree, p);
		if (s->balance == 0) {
			p->balance = 1;
			s->balance = -1;
			*shrunk = false;
		} else {
			p->balance = 0;
			s->balance = 0;
			*shrunk = true;
		}
		return s;
	}
	avl_node *g = s->left;
	avl_rotate_right(tree, s);
	avl_rotate_left(tree, p);
	p->balance = g->balance > 0 ? -1 : 0;
	s->balance = g->balance < 0 ? 1 : 0;
	g->balance = 0;
	*shrunk = true;
	return g;
}

avl_node *avl_fix_left_heavy(avl_tree *tree, avl_node *p, bool *shrunk)
{
	avl_node *s = p->left;
	if (s->balance <= 0) {
		avl_rotate_right(tree, p);
		if (s->balance == 0) {
			p->balance = -1;
			s->balance = 1;
			*shrunk = false;
		} else {
			p->balance = 0;
			s->balance = 0;
			*shrunk = true;
		}
		return s;
	}
	avl_node *g = s->right;
	avl_rotate_left(tree, s);
	avl_rotate_right(tree, p);
	p->balance = g->balance < 0 ? 1 : 0;
	s->balance = g->balance > 0 ? -1 : 0;
	g->balance = 0;
	*shrunk = true;
	return g;
}

void avl_insert_retrace(avl_tree *tree, avl_node *n)
{
	for (avl_node *p = n->parent; p; n = p, p = n->parent) {
		bool shrunk;
		if (n == p->left) {
			if (p->balance > 0) {
				p->balance = 0;
				return;
			}
			if (p->balance == 0) {
				p->balance = -1;
				continue;
			}
			avl_fix_left_heavy(tree, p, &shrunk);
			return;
		}
		if (p->balance < 0) {
			p->balance = 0;
			return;
		}
		if (p->balance == 0) {
			p->balance = 1;
			continue;
		}
		avl_fix_right_heavy(tree, p, &shrunk);
		return;
	}
}

// The subtree on the given side of p became one level lower.
void avl_delete_retrace(avl_tree *tree, avl_node *p, bool from_left)
{
	while (p) {
		avl_node *top = p;
		bool shrunk = false;
		if (from_left) {
			if (p->balance < 0) {
				p->balance = 0;
				shrunk = true;
			} else if (p->balance == 0) {
				p->balance = 1;
			} else {
				top = avl_fix_right_heavy(tree, p, &shrunk);
			}
		} else {
			if (p->balance > 0) {
				p->balance = 0;
				shrunk = true;
			} else if (p->balance == 0) {
				p->balance = -1;
			} else {
				top = avl_fix_left_heavy(tree, p, &shrunk);
			}
		}
		if (!shrunk)
			return;
		p = top->parent;
		if (p)
			from_left = p->left == top;
	}
}

// Put node's in-order successor s (leftmost of node->right) where node is, and node where s was.
void avl_swap_with_successor(avl_tree *tree, avl_node *node, avl_node *s)
{
	avl_node *np = node->parent;
	avl_node *nl = node->left;
	avl_node *nr = node->right;
	avl_node *sp = s->parent;
	avl_node *sr = s->right;
	signed char nb = node->balance;

	avl_replace_child(tree, np, node, s);
	s->left = nl;
	nl->parent = s;
	node->balance = s->balance;
	s->balance = nb;

	if (s == nr) {
		s->right = node;
		node->parent = s;
	} else {
		s->right = nr;
		nr->parent = s;
		sp->left = node;
		node->parent = sp;
	}
	node->left = nullptr;
	node->right = sr;
	if (sr)
		sr->parent = node;
}

}  // namespace

extern "C" {

void avl_init(struct avl_tree *tree, avl_tree_comp comp, bool allow_dups, void *ptr)
{
	INIT_LIST_HEAD(&tree->list_head);
	tree->root = nullptr;
	tree->count = 0;
	tree->comp = comp;
	tree->allow_dups = allow_dups;
	tree->cmp_ptr = ptr;
}

struct avl_node *avl_find(const struct avl_tree *tree, const void *key)
{
	avl_node *n = tree->root;
	avl_node *found = nullptr;
	while (n) {
		int c = avl_cmp(tree, key, n->key);
		if (c == 0) {
			// keep looking left for an earlier equal key
			found = n;
			n = n->left;
		} else {
			n = c < 0 ? n->left : n->right;
		}
	}
	return found;
}

struct avl_node *avl_find_greaterequal(const struct avl_tree *tree, const void *key)
{
	avl_node *n = tree->root;
	avl_node *found = nullptr;
	while (n) {
		if (avl_cmp(tree, key, n->key) <= 0) {
			found = n;
			n = n->left;
		} else {
			n = n->right;
		}
	}
	return found;
}

struct avl_node *avl_find_lessequal(const struct avl_tree *tree, const void *key)
{
	avl_node *n = tree->root;
	avl_node *found = nullptr;
	while (n) {
		if (avl_cmp(tree, key, n->key) >= 0) {
			found = n;
			n = n->right;
		} else {
			n = n->left;
		}
	}
	// the first of a run of equal keys, as for an exact match
	if (found)
		return avl_find(tree, found->key);
	return found;
}

int avl_insert(struct avl_tree *tree, struct avl_node *node)
{
	node->parent = node->left = node->right = nullptr;
	node->balance = 0;
	node->leader = true;

	avl_node *p = nullptr;
	avl_node *n = tree->root;
	int c = 0;
	while (n) {
		c = avl_cmp(tree, node->key, n->key);
		if (c == 0 && !tree->allow_dups)
			return -1;
		p = n;
		n = c < 0 ? n->left : n->right;
	}

	node->parent = p;
	if (!p) {
		tree->root = node;
		list_add(&node->list, &tree->list_head);
	} else if (c < 0) {
		// p is the in-order successor
		p->left = node;
		list_add_tail(&node->list, &p->list);
	} else {
		// p is the in-order predecessor
		p->right = node;
		list_add(&node->list, &p->list);
	}

	if (node->list.prev != &tree->list_head) {
		avl_node *prev = container_of(node->list.prev, struct avl_node, list);
		if (avl_cmp(tree, prev->key, node->key) == 0)
			node->leader = false;
	}

	tree->count++;
	avl_insert_retrace(tree, node);
	return 0;
}

void avl_delete(struct avl_tree *tree, struct avl_node *node)
{
	if (node->leader && node->list.next != &tree->list_head) {
		avl_node *next = container_of(node->list.next, struct avl_node, list);
		if (avl_cmp(tree, next->key, node->key) == 0)
			next->leader = true;
	}
	list_del(&node->list);

	if (node->left && node->right) {
		avl_node *s = node->right;
		while (s->left)
			s = s->left;
		avl_swap_with_successor(tree, node, s);
	}

	avl_node *child = node->left ? node->left : node->right;
	avl_node *p = node->parent;
	bool from_left = p && p->left == node;
	avl_replace_child(tree, p, node, child);
	avl_delete_retrace(tree, p, from_left);

	node->parent = node->left = node->right = nullptr;
	tree->count--;
}

int avl_strcmp(const void *k1, const void *k2, void *ptr)
{
	(void)ptr;
	return strcmp(static_cast<const char *>(k1), static_cast<const char *>(k2));
}

int avl_blobcmp(const void *k1, const void *k2, void *ptr)
{
	(void)ptr;
	// blob attribute header: big-endian word, low 24 bits are the length with the header
	auto pad_len = [](const void *k) {
		const unsigned char *b = static_cast<const unsigned char *>(k);
		size_t len = ((size_t)b[1] << 16) | ((size_t)b[2] << 8) | b[3];
		return (len + 3) & ~(size_t)3;
	};
	size_t l1 = pad_len(k1);
	size_t l2 = pad_len(k2);
	return memcmp(k1, k2, l1 < l2 ? l1 : l2);
}

}  // extern "C"
