// Choosing APs by an "iplist" argument: each string element names the APs
// whose address text is exactly that text.
#pragma once

#include "gw/blob.hpp"
#include "vex/codec/ap_registry.hpp"

using iplist_fn = void (*)(ap_record *ap, void *ctx);

// Walks the elements in order (a malformed one ends the walk; other types are
// skipped) and, for each, every matching AP from head to tail, calling fn.
// An element listed twice selects its APs twice. Returns the calls made.
unsigned iplist_for_each_ap(struct blob_attr *iplist, struct list_head *aps, iplist_fn fn, void *ctx);
