#pragma once
// Helpers shared by blob.cpp and blobmsg.cpp; not exported.
#include <cstddef>

struct blob_attr;
struct blob_buf;

#define UBOX_HIDDEN __attribute__((visibility("hidden")))

// Grows by `required` bytes through buf->grow, keeping head in place.
UBOX_HIDDEN bool blob_buf_grow_by(struct blob_buf *buf, int required);
// Appends an attribute with `payload` bytes after head and adds it to head.
UBOX_HIDDEN struct blob_attr *blob_new_attr(struct blob_buf *buf, int id, size_t payload);
UBOX_HIDDEN void blob_set_raw_length(struct blob_attr *attr, size_t len);
UBOX_HIDDEN void blob_zero_pad(struct blob_attr *attr);
// One step of the lenient walk of the iteration macros: false at the end or
// at the first element that is too short or longer than what is left.
UBOX_HIDDEN bool blob_walk_next(const char *&pos, size_t &rem, const struct blob_attr *&attr);
