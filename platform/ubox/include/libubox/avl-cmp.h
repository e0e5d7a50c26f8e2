/*
 * Ready-made comparators for avl trees (host libubox).
 */
#ifndef LIBUBOX_HOST_AVL_CMP_H
#define LIBUBOX_HOST_AVL_CMP_H

/* keys are NUL-terminated strings, compared bytewise */
int avl_strcmp(const void *k1, const void *k2, void *ptr);

/* keys are blob attributes, compared over the shorter one's padded length */
int avl_blobcmp(const void *k1, const void *k2, void *ptr);

#endif
