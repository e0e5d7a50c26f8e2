/*
 * Balanced binary trees whose nodes also sit on a list in key order (host libubox).
 * Set node->key before inserting; the key stays owned by the record.
 */
#ifndef LIBUBOX_HOST_AVL_H
#define LIBUBOX_HOST_AVL_H

#include <stddef.h>
#include <stdbool.h>

#include "list.h"

struct avl_node {
	/* must stay first: the iterators go from the list link to the node */
	struct list_head list;

	struct avl_node *parent;
	struct avl_node *left;
	struct avl_node *right;

	const void *key;

	signed char balance;

	/* first of a run of equal keys */
	bool leader;
};

typedef int (*avl_tree_comp)(const void *k1, const void *k2, void *ptr);

struct avl_tree {
	struct list_head list_head;
	struct avl_node *root;
	unsigned int count;
	bool allow_dups;
	avl_tree_comp comp;
	void *cmp_ptr;
};

enum avl_find_mode {
	AVL_FIND_EQUAL,
	AVL_FIND_LESSEQUAL,
	AVL_FIND_GREATEREQUAL
};

#define AVL_TREE_INIT(_name, _comp, _allow_dups, _cmp_ptr)                     \
	{                                                                      \
		.list_head = LIST_HEAD_INIT(_name.list_head),                  \
		.root = NULL,                                                  \
		.count = 0,                                                    \
		.allow_dups = _allow_dups,                                     \
		.comp = _comp,                                                 \
		.cmp_ptr = _cmp_ptr                                            \
	}

#define AVL_TREE(_name, _comp, _allow_dups, _cmp_ptr)                          \
	struct avl_tree _name = AVL_TREE_INIT(_name, _comp, _allow_dups, _cmp_ptr)

void avl_init(struct avl_tree *tree, avl_tree_comp comp, bool allow_dups, void *ptr);
struct avl_node *avl_find(const struct avl_tree *tree, const void *key);
struct avl_node *avl_find_greaterequal(const struct avl_tree *tree, const void *key);
struct avl_node *avl_find_lessequal(const struct avl_tree *tree, const void *key);
int avl_insert(struct avl_tree *tree, struct avl_node *node);
void avl_delete(struct avl_tree *tree, struct avl_node *node);

static inline bool avl_is_first(struct avl_tree *tree, struct avl_node *node)
{
	return tree->list_head.next == &node->list;
}

static inline bool avl_is_last(struct avl_tree *tree, struct avl_node *node)
{
	return tree->list_head.prev == &node->list;
}

static inline bool avl_is_empty(struct avl_tree *tree)
{
	return tree->count == 0;
}

static inline void *__avl_find_element(const struct avl_tree *tree, const void *key,
				       size_t offset, enum avl_find_mode mode)
{
	struct avl_node *node;

	switch (mode) {
	case AVL_FIND_LESSEQUAL:
		node = avl_find_lessequal(tree, key);
		break;
	case AVL_FIND_GREATEREQUAL:
		node = avl_find_greaterequal(tree, key);
		break;
	default:
		node = avl_find(tree, key);
		break;
	}
	return node ? (void *)((char *)node - offset) : NULL;
}

#define avl_find_element(tree, key, element, node_element)                     \
	((__typeof__(*(element)) *)__avl_find_element(                         \
		tree, key, offsetof(__typeof__(*(element)), node_element),     \
		AVL_FIND_EQUAL))

#define avl_find_le_element(tree, key, element, node_element)                  \
	((__typeof__(*(element)) *)__avl_find_element(                         \
		tree, key, offsetof(__typeof__(*(element)), node_element),     \
		AVL_FIND_LESSEQUAL))

#define avl_find_ge_element(tree, key, element, node_element)                  \
	((__typeof__(*(element)) *)__avl_find_element(                         \
		tree, key, offsetof(__typeof__(*(element)), node_element),     \
		AVL_FIND_GREATEREQUAL))

#define avl_first_element(tree, element, node_member)                          \
	container_of((tree)->list_head.next, __typeof__(*(element)), node_member.list)

#define avl_last_element(tree, element, node_member)                           \
	container_of((tree)->list_head.prev, __typeof__(*(element)), node_member.list)

#define avl_next_element(element, node_member)                                 \
	container_of((&(element)->node_member.list)->next, __typeof__(*(element)), \
		     node_member.list)

#define avl_prev_element(element, node_member)                                 \
	container_of((&(element)->node_member.list)->prev, __typeof__(*(element)), \
		     node_member.list)

#define avl_for_each_element(tree, element, node_member)                       \
	for (element = avl_first_element(tree, element, node_member);          \
	     &(element)->node_member.list != &(tree)->list_head;               \
	     element = avl_next_element(element, node_member))

#define avl_for_each_element_reverse(tree, element, node_member)               \
	for (element = avl_last_element(tree, element, node_member);           \
	     &(element)->node_member.list != &(tree)->list_head;               \
	     element = avl_prev_element(element, node_member))

#define avl_for_each_element_safe(tree, element, node_member, ptr)             \
	for (element = avl_first_element(tree, element, node_member),          \
	    ptr = avl_next_element(element, node_member);                      \
	     &(element)->node_member.list != &(tree)->list_head;               \
	     element = ptr, ptr = avl_next_element(ptr, node_member))

#define avl_for_each_element_reverse_safe(tree, element, node_member, ptr)     \
	for (element = avl_last_element(tree, element, node_member),           \
	    ptr = avl_prev_element(element, node_member);                      \
	     &(element)->node_member.list != &(tree)->list_head;               \
	     element = ptr, ptr = avl_prev_element(ptr, node_member))

/*
 * Empties the tree up front, then visits every former element once; the body may free it.
 */
#define avl_remove_all_elements(tree, element, node_member, ptr)               \
	for (element = avl_first_element(tree, element, node_member),          \
	    ptr = avl_next_element(element, node_member),                      \
	    INIT_LIST_HEAD(&(tree)->list_head), (tree)->root = NULL;           \
	     (tree)->count > 0;                                                \
	     element = ptr, ptr = avl_next_element(ptr, node_member), (tree)->count--)

#endif
