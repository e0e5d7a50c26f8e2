/*
 * libtessel: one-call access to the UCI configuration store by dotted path
 * ("package.section.option", extended form "package.@type[index].option").
 *
 * Every call opens its own libuci context and releases it before returning.
 * Programs linking libtessel link libuci too.
 *
 * Results: libuci error codes (UCI_OK 0 ... UCI_ERR_UNKNOWN 7) unless noted
 * as 0 / -1. Not thread-safe: the safe-get list is process-wide.
 */
#ifndef LIBTESSEL_H
#define LIBTESSEL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define LIBTESSEL_API __attribute__((visibility("default")))

/* Save directory of the run-time state tree. */
#define LIBTESSEL_STATE_DIR "/var/state"

/* Size of a uci_get_data value: at most 1023 characters and the NUL. */
#define LIBTESSEL_VALUE_LEN 1024

/* The _secname reads copy at most LIBTESSEL_SECNAME_MAX - 1 characters of
 * the section name plus a NUL: the caller's buffer must hold this many bytes. */
#define LIBTESSEL_SECNAME_MAX 64

struct uci_context;

/* One value handed to a caller. A pointer to the record is also a pointer to
 * its text. */
struct uci_get_data {
	char value[LIBTESSEL_VALUE_LEN];
	int32_t kind; /* 0: plain option value, 1: one list item (uci_get_list) */
	struct uci_get_data *next;
};

/* Context: a new libuci context. confdir, if given, becomes its configuration
 * directory; savedir, if given, its save directory (the previous save
 * directory stays in the delta search path). Either may be NULL. */
LIBTESSEL_API struct uci_context *quarn_uci_alloc_context(const char *savedir, const char *confdir);

/* Reading one value into the caller's buffer: dst is cleared (len bytes) and
 * receives at most len - 1 characters; returns dst. A section path gives the
 * section's type; a list gives every item followed by one blank. */
LIBTESSEL_API char *uci_get_option(const char *path, char *dst, int len);
LIBTESSEL_API char *uci_get_option_with_conf_path(const char *path, char *dst, int len,
						  const char *confdir);
LIBTESSEL_API char *uci_get_option_state(const char *path, char *dst, int len);

/* 0 if the value equals text exactly, -1 otherwise. */
LIBTESSEL_API int uci_match(const char *path, const char *text);
LIBTESSEL_API int uci_match_with_conf_path(const char *path, const char *text, const char *confdir);

/* Safe-get: the result belongs to the library and stays valid until
 * uci_free(); the text is empty when nothing was found. secname, if not
 * NULL, receives the section's name (see LIBTESSEL_SECNAME_MAX). */
LIBTESSEL_API char *uci_safe_get(const char *path);
LIBTESSEL_API char *uci_safe_get_secname(const char *path, char *secname);
LIBTESSEL_API char *uci_safe_get_state(const char *path);
LIBTESSEL_API char *uci_safe_get_state_secname(const char *path, char *secname);
LIBTESSEL_API char *uci_safe_get_with_search_path(const char *path, const char *savedir, char *secname);
/* The committed value: no saved (uncommitted) changes applied. */
LIBTESSEL_API char *uci_safe_get_unchange(const char *path);
LIBTESSEL_API char *uci_safe_get_unchange_with_conf_path(const char *path, const char *confdir);
/* Frees every safe-get result. */
LIBTESSEL_API void uci_free(void);
LIBTESSEL_API void show_uci_mem_list(void);

/* Changing values: each change is saved as an uncommitted delta. */
LIBTESSEL_API int uci_set_option_with_path(const char *path, const char *value, const char *savedir,
					   const char *confdir);
LIBTESSEL_API int uci_set_option(const char *path, const char *value);
LIBTESSEL_API int uci_set_option_state(const char *path, const char *value);
LIBTESSEL_API int uci_set_option_with_conf_path(const char *path, const char *value, const char *confdir);
/* Adds one anonymous section of the given type to package. */
LIBTESSEL_API int uci_add_option(const char *package, const char *type);
LIBTESSEL_API int uci_del_option(const char *path);

/* Lists. text is split at commas not preceded by a backslash; each piece is
 * unescaped (backslash) and skipped when empty. */
LIBTESSEL_API int uci_add_list_value(const char *path, const char *text);
LIBTESSEL_API int uci_del_list_value(const char *path, const char *text);
LIBTESSEL_API int uci_set_list(const char *path, const char *text);
/* A new chain (free with uci_list_free): one kind-0 record for a plain option
 * or one kind-1 record per list item; NULL if the option does not exist. */
LIBTESSEL_API struct uci_get_data *uci_get_list(const char *path);
/* strcmp of the items joined with "," against text; -1 if an argument is NULL. */
LIBTESSEL_API int uci_list_match(const char *path, const char *text);
LIBTESSEL_API void uci_list_free(struct uci_get_data *first);
/* Removes escape in place (an escaped character is kept as is); returns a
 * pointer to the terminating NUL. */
LIBTESSEL_API char *remove_escape_char(char *text, char escape);
/* Allocates a zeroed record; if last holds a record, the new one is linked
 * behind it (*last itself is left unchanged). NULL when out of memory. */
LIBTESSEL_API struct uci_get_data *alloc_uci_get_data(struct uci_get_data **last);

/* Commit and revert. The commit family and uci_revert_all return 0 / -1. */
LIBTESSEL_API int uci_commit_package(const char *package);
LIBTESSEL_API int uci_commit_package_with_conf_path(const char *package, const char *confdir);
LIBTESSEL_API int uci_commit_all(void);
LIBTESSEL_API int uci_commit_all_with_conf_path(const char *confdir);
LIBTESSEL_API int uci_revert_package(const char *package);
LIBTESSEL_API int uci_revert_config_with_search_path(const char *path, const char *savedir);
LIBTESSEL_API int uci_revert_config(const char *path);
LIBTESSEL_API int uci_revert_state(const char *path);
LIBTESSEL_API int uci_revert_all(void);

/* Section-array search: prefix is "package.@type"; the index (start..999) of
 * the first section whose string option equals value, or -1. */
LIBTESSEL_API int uci_indexof_option_value_with_search_path_from(const char *prefix, const char *option,
								 const char *value, const char *savedir,
								 int start);
LIBTESSEL_API int uci_indexof_option_value_from(const char *prefix, const char *option, const char *value,
						int start);
LIBTESSEL_API int uci_indexof_option_state_from(const char *prefix, const char *option, const char *value,
						int start);
LIBTESSEL_API int uci_indexof_option_value(const char *prefix, const char *option, const char *value);
LIBTESSEL_API int uci_indexof_option_state(const char *prefix, const char *option, const char *value);

#ifdef __cplusplus
}
#endif

#endif /* LIBTESSEL_H */
