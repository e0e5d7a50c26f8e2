/* The headers as a C program sees them: lists and trees driven through their macros. */
#include <string.h>

#include <libubox/list.h>
#include <libubox/uloop.h>
#include <libubox/ustream.h>
#include <libubox/avl.h>
#include <libubox/avl-cmp.h>

int ubox_loop_c_lists(char *out, int outlen);
int ubox_loop_c_tree(char *out, int outlen);

struct item {
	char name[8];
	struct list_head list;
	struct avl_node node;
};

static void put(char *out, int outlen, const char *s)
{
	size_t len = strlen(out);
	if (len + strlen(s) + 1 <= (size_t)outlen)
		strcat(out, s);
}

/* Builds c b a d e by front and back inserts, removes b while iterating, prints forward and back. */
int ubox_loop_c_lists(char *out, int outlen)
{
	static LIST_HEAD(head);
	struct item it[5], *p, *n;
	const char *names[] = {"a", "b", "c", "d", "e"};
	int i;

	out[0] = 0;
	if (!list_empty(&head))
		return -1;
	for (i = 0; i < 5; i++) {
		strcpy(it[i].name, names[i]);
		if (i < 3)
			list_add(&it[i].list, &head);
		else
			list_add_tail(&it[i].list, &head);
	}
	if (!list_is_first(&it[2].list, &head) || !list_is_last(&it[4].list, &head))
		return -2;

	list_for_each_entry_safe(p, n, &head, list) {
		if (!strcmp(p->name, "b"))
			list_del(&p->list);
	}
	if (it[1].list.next || it[1].list.prev)
		return -3;

	list_for_each_entry(p, &head, list)
		put(out, outlen, p->name);
	put(out, outlen, "|");
	list_for_each_entry_reverse(p, &head, list)
		put(out, outlen, p->name);
	put(out, outlen, "|");
	put(out, outlen, list_first_entry(&head, struct item, list)->name);
	put(out, outlen, list_last_entry(&head, struct item, list)->name);
	put(out, outlen, list_next_entry(&it[2], list)->name);

	p = &it[0];
	put(out, outlen, "|");
	list_for_each_entry_continue(p, &head, list)
		put(out, outlen, p->name);

	list_move_tail(&it[2].list, &head);
	list_del_init(&it[0].list);
	if (!list_empty(&it[0].list))
		return -4;
	put(out, outlen, "|");
	list_for_each_entry(p, &head, list)
		put(out, outlen, p->name);

	INIT_LIST_HEAD(&head);
	return 0;
}

/* String keys: order, lookup, refused duplicate, safe delete while iterating. */
int ubox_loop_c_tree(char *out, int outlen)
{
	static AVL_TREE(tree, avl_strcmp, false, NULL);
	static const char *keys[] = {"lo", "eth0", "br-lan", "wlan0"};
	struct item it[4], dup, *p, *n;
	int i;

	out[0] = 0;
	for (i = 0; i < 4; i++) {
		strcpy(it[i].name, keys[i]);
		it[i].node.key = it[i].name;
		if (avl_insert(&tree, &it[i].node))
			return -1;
	}
	strcpy(dup.name, "eth0");
	dup.node.key = dup.name;
	if (avl_insert(&tree, &dup.node) != -1)
		return -2;

	avl_for_each_element(&tree, p, node) {
		put(out, outlen, p->name);
		put(out, outlen, " ");
	}
	p = avl_find_element(&tree, "eth0", p, node);
	if (p != &it[1])
		return -3;
	if (avl_find_element(&tree, "eth1", p, node))
		return -4;

	avl_for_each_element_safe(&tree, p, node, n) {
		if (p->name[0] == 'e')
			avl_delete(&tree, &p->node);
	}
	put(out, outlen, "|");
	avl_for_each_element_reverse(&tree, p, node) {
		put(out, outlen, p->name);
		put(out, outlen, " ");
	}

	avl_remove_all_elements(&tree, p, node, n)
		put(out, outlen, "x");
	return avl_is_empty(&tree) ? 0 : -5;
}
