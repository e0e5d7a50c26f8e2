// The in-memory tree: elements, lookups and recorded changes.
#include "internal.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace uci_host {

void list_init(uci_list *l)
{
	l->next = l;
	l->prev = l;
}

void list_insert_before(uci_list *pos, uci_list *n)
{
	n->next = pos;
	n->prev = pos->prev;
	pos->prev->next = n;
	pos->prev = n;
}

void list_add_tail(uci_list *head, uci_list *n)
{
	list_insert_before(head, n);
}

void list_del(uci_list *n)
{
	n->prev->next = n->next;
	n->next->prev = n->prev;
	list_init(n);
}

namespace {

bool is_alnum(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

char *dup(std::string_view s)
{
	char *r = static_cast<char *>(malloc(s.size() + 1));
	if (r) {
		memcpy(r, s.data(), s.size());
		r[s.size()] = 0;
	}
	return r;
}

template <class T>
T *element_new(uci_type type, std::string_view name)
{
	T *t = static_cast<T *>(calloc(1, sizeof(T)));
	if (!t)
		return nullptr;
	list_init(&t->e.list);
	t->e.type = type;
	t->e.name = dup(name);
	if (!t->e.name) {
		free(t);
		return nullptr;
	}
	return t;
}

uci_element *item_new(std::string_view text)
{
	uci_element *e = static_cast<uci_element *>(calloc(1, sizeof(uci_element)));
	if (!e)
		return nullptr;
	list_init(&e->list);
	e->type = UCI_TYPE_ITEM;
	e->name = dup(text);
	if (!e->name) {
		free(e);
		return nullptr;
	}
	return e;
}

void option_clear_value(uci_option *o)
{
	if (o->type == UCI_TYPE_STRING) {
		free(o->v.string);
		o->v.string = nullptr;
		return;
	}
	uci_element *e, *tmp;
	uci_foreach_element_safe(&o->v.list, tmp, e) {
		list_del(&e->list);
		free(e->name);
		free(e);
	}
}

} // namespace

bool valid_name(std::string_view s)
{
	if (s.empty())
		return false;
	for (char c : s)
		if (!is_alnum(c) && c != '_')
			return false;
	return true;
}

bool valid_package(std::string_view s)
{
	if (s.empty())
		return false;
	for (char c : s)
		if (!is_alnum(c) && c != '_' && c != '-')
			return false;
	return true;
}

bool valid_type(std::string_view s)
{
	if (s.empty())
		return false;
	for (unsigned char c : s)
		if (c < 33 || c > 126)
			return false;
	return true;
}

bool valid_text(std::string_view s)
{
	for (unsigned char c : s)
		if ((c < 32 && c != '\t' && c != '\r' && c != '\n') || c == 127)
			return false;
	return true;
}

std::string anonymous_name(int counter, std::string_view type)
{
	uint32_t h = 5381;
	for (unsigned char c : type)
		h = h * 33 + c;
	h &= 0x7fffffff;
	char buf[32];
	snprintf(buf, sizeof(buf), "cfg%02x%04x", unsigned(counter), unsigned(h % 65536));
	return buf;
}

uci_package *package_new(uci_context *ctx, const char *name)
{
	uci_package *p = element_new<uci_package>(UCI_TYPE_PACKAGE, name);
	if (!p)
		return nullptr;
	list_init(&p->sections);
	list_init(&p->delta);
	list_init(&p->saved_delta);
	p->ctx = ctx;
	p->backend = ctx->backend;
	return p;
}

void package_free(uci_package *p)
{
	if (!p)
		return;
	list_del(&p->e.list);
	uci_element *e, *tmp;
	uci_foreach_element_safe(&p->sections, tmp, e)
		section_free(uci_to_section(e));
	delta_list_free(&p->delta);
	delta_list_free(&p->saved_delta);
	free(p->path);
	free(p->e.name);
	free(p);
}

uci_section *section_find(uci_package *p, std::string_view name)
{
	uci_element *e;
	uci_foreach_element(&p->sections, e) {
		if (e->name && name == e->name)
			return uci_to_section(e);
	}
	return nullptr;
}

uci_section *section_create(uci_package *p, std::string_view name, std::string_view type)
{
	p->n_section++;
	std::string generated;
	if (name.empty())
		generated = anonymous_name(p->n_section, type);
	uci_section *s = element_new<uci_section>(UCI_TYPE_SECTION, name.empty() ? generated : name);
	if (!s)
		return nullptr;
	s->type = dup(type);
	if (!s->type) {
		free(s->e.name);
		free(s);
		return nullptr;
	}
	list_init(&s->options);
	s->package = p;
	s->anonymous = name.empty();
	list_add_tail(&p->sections, &s->e.list);
	return s;
}

bool section_set_type(uci_section *s, std::string_view type)
{
	char *t = dup(type);
	if (!t)
		return false;
	free(s->type);
	s->type = t;
	return true;
}

void section_free(uci_section *s)
{
	list_del(&s->e.list);
	uci_element *e, *tmp;
	uci_foreach_element_safe(&s->options, tmp, e)
		option_free(uci_to_option(e));
	free(s->type);
	free(s->e.name);
	free(s);
}

uci_option *option_find(uci_section *s, std::string_view name)
{
	uci_element *e;
	uci_foreach_element(&s->options, e) {
		if (name == e->name)
			return uci_to_option(e);
	}
	return nullptr;
}

uci_option *option_set_string(uci_section *s, std::string_view name, std::string_view value)
{
	char *v = dup(value);
	if (!v)
		return nullptr;
	uci_option *o = option_find(s, name);
	if (!o) {
		o = element_new<uci_option>(UCI_TYPE_OPTION, name);
		if (!o) {
			free(v);
			return nullptr;
		}
		o->section = s;
		list_add_tail(&s->options, &o->e.list);
	} else {
		option_clear_value(o);
	}
	o->type = UCI_TYPE_STRING;
	o->v.string = v;
	return o;
}

uci_option *option_list_add(uci_section *s, std::string_view name, std::string_view value)
{
	uci_element *item = item_new(value);
	if (!item)
		return nullptr;
	uci_option *o = option_find(s, name);
	if (!o) {
		o = element_new<uci_option>(UCI_TYPE_OPTION, name);
		if (!o) {
			free(item->name);
			free(item);
			return nullptr;
		}
		o->section = s;
		o->type = UCI_TYPE_LIST;
		list_init(&o->v.list);
		list_add_tail(&s->options, &o->e.list);
	} else if (o->type == UCI_TYPE_STRING) {
		// A plain value becomes the first item of the list.
		uci_element *first = item_new(o->v.string);
		if (!first) {
			free(item->name);
			free(item);
			return nullptr;
		}
		free(o->v.string);
		o->type = UCI_TYPE_LIST;
		list_init(&o->v.list);
		list_add_tail(&o->v.list, &first->list);
	}
	list_add_tail(&o->v.list, &item->list);
	return o;
}

void option_list_del(uci_option *o, std::string_view value)
{
	if (o->type != UCI_TYPE_LIST)
		return;
	uci_element *e, *tmp;
	uci_foreach_element_safe(&o->v.list, tmp, e) {
		if (value == e->name) {
			list_del(&e->list);
			free(e->name);
			free(e);
		}
	}
}

bool option_list_del_index(uci_option *o, long index)
{
	if (o->type != UCI_TYPE_LIST || index < 0)
		return false;
	long i = 0;
	uci_element *e;
	uci_foreach_element(&o->v.list, e) {
		if (i++ == index) {
			list_del(&e->list);
			free(e->name);
			free(e);
			return true;
		}
	}
	return false;
}

void option_free(uci_option *o)
{
	list_del(&o->e.list);
	option_clear_value(o);
	free(o->e.name);
	free(o);
}

bool element_rename(uci_element *e, std::string_view name)
{
	char *n = dup(name);
	if (!n)
		return false;
	free(e->name);
	e->name = n;
	return true;
}

void section_move(uci_section *s, int pos)
{
	uci_list *head = &s->package->sections;
	list_del(&s->e.list);
	uci_list *at = head->next;
	for (int i = 0; i < pos && at != head; i++)
		at = at->next;
	list_insert_before(at, &s->e.list);
}

uci_delta *delta_new(uci_command cmd, std::string_view section, const char *option, const char *value)
{
	uci_delta *d = static_cast<uci_delta *>(calloc(1, sizeof(uci_delta)));
	if (!d)
		return nullptr;
	list_init(&d->e.list);
	d->e.type = UCI_TYPE_DELTA;
	d->cmd = cmd;
	d->section = dup(section);
	d->e.name = option ? strdup(option) : nullptr;
	d->value = value ? strdup(value) : nullptr;
	if (!d->section || (option && !d->e.name) || (value && !d->value)) {
		delta_free(d);
		return nullptr;
	}
	return d;
}

void delta_free(uci_delta *d)
{
	list_del(&d->e.list);
	free(d->e.name);
	free(d->section);
	free(d->value);
	free(d);
}

void delta_list_free(uci_list *l)
{
	uci_element *e, *tmp;
	uci_foreach_element_safe(l, tmp, e)
		delta_free(uci_to_delta(e));
}

} // namespace uci_host

using namespace uci_host;

namespace {

int record(uci_context *ctx, uci_package *p, uci_command cmd, const char *section, const char *option,
	   const char *value)
{
	uci_delta *d = delta_new(cmd, section, option, value);
	if (!d)
		return set_error(ctx, UCI_ERR_MEM, __func__);
	list_add_tail(&p->delta, &d->e.list);
	return UCI_OK;
}

// Parses "@type[index]" and finds the section. false: bad syntax.
bool lookup_extended(uci_package *p, std::string_view sec, uci_section **res)
{
	*res = nullptr;
	if (sec.size() < 4 || sec[0] != '@' || sec.back() != ']')
		return false;
	size_t open = sec.find('[');
	if (open == std::string_view::npos)
		return false;
	std::string_view type = sec.substr(1, open - 1);
	std::string_view idx = sec.substr(open + 1, sec.size() - open - 2);
	if (!type.empty() && (!valid_type(type) || type.find_first_of("[]") != std::string_view::npos))
		return false;
	size_t i = (!idx.empty() && idx[0] == '-') ? 1 : 0;
	if (i == idx.size() || idx.size() - i > 9)
		return false;
	long index = 0;
	for (; i < idx.size(); i++) {
		if (idx[i] < '0' || idx[i] > '9')
			return false;
		index = index * 10 + (idx[i] - '0');
	}
	if (idx[0] == '-')
		index = -index;

	std::vector<uci_section *> matches;
	uci_element *e;
	uci_foreach_element(&p->sections, e) {
		uci_section *s = uci_to_section(e);
		if (type.empty() || type == s->type)
			matches.push_back(s);
	}
	if (index < 0)
		index += long(matches.size());
	if (index >= 0 && index < long(matches.size()))
		*res = matches[size_t(index)];
	return true;
}

uci_option *ptr_option(uci_ptr *ptr)
{
	if (ptr->o)
		return ptr->o;
	if (ptr->s && ptr->option)
		return option_find(ptr->s, ptr->option);
	return nullptr;
}

} // namespace

extern "C" {

int uci_lookup_next(uci_context *ctx, uci_element **e, uci_list *list, const char *name)
{
	if (!ctx || !e || !list || !name)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;
	uci_element *it;
	uci_foreach_element(list, it) {
		if (it->name && !strcmp(it->name, name)) {
			*e = it;
			return set_error(ctx, UCI_OK, __func__);
		}
	}
	return set_error(ctx, UCI_ERR_NOTFOUND, __func__);
}

int uci_lookup_ptr(uci_context *ctx, uci_ptr *ptr, char *str, bool extended)
{
	if (!ctx || !ptr)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;

	if (str) {
		memset(ptr, 0, sizeof(*ptr));
		char *eq = strchr(str, '=');
		if (eq) {
			*eq = 0;
			ptr->value = eq + 1;
		}
		char *parts[3] = {str, nullptr, nullptr};
		int count = 1;
		for (char *c = str; *c; c++) {
			if (*c != '.')
				continue;
			if (count == 3)
				return set_error(ctx, UCI_ERR_PARSE, __func__);
			*c = 0;
			parts[count++] = c + 1;
		}
		ptr->package = parts[0];
		ptr->section = parts[1];
		ptr->option = parts[2];
	} else {
		ptr->p = nullptr;
		ptr->s = nullptr;
		ptr->o = nullptr;
		ptr->last = nullptr;
	}
	ptr->flags = decltype(ptr->flags)(0);

	if (!ptr->package || !valid_package(ptr->package))
		return set_error(ctx, UCI_ERR_PARSE, __func__);
	if (ptr->option && (!ptr->section || !valid_name(ptr->option)))
		return set_error(ctx, UCI_ERR_PARSE, __func__);
	if (ptr->value && !valid_text(ptr->value))
		return set_error(ctx, UCI_ERR_PARSE, __func__);
	bool ext = false;
	if (ptr->section) {
		if (!*ptr->section)
			return set_error(ctx, UCI_ERR_PARSE, __func__);
		if (!valid_name(ptr->section)) {
			ext = true;
			uci_section *dummy;
			uci_package none{};
			list_init(&none.sections);
			if (!extended || !lookup_extended(&none, ptr->section, &dummy)) {
				memset(ptr, 0, sizeof(*ptr));
				return set_error(ctx, UCI_ERR_INVAL, __func__);
			}
			ptr->flags = decltype(ptr->flags)(ptr->flags | uci_ptr::UCI_LOOKUP_EXTENDED);
		}
	}
	ptr->target = ptr->option ? UCI_TYPE_OPTION : ptr->section ? UCI_TYPE_SECTION : UCI_TYPE_PACKAGE;

	uci_package *p = uci_lookup_package(ctx, ptr->package);
	if (!p) {
		int rc = uci_load(ctx, ptr->package, &p);
		if (rc != UCI_OK)
			return rc;
	}
	ptr->p = p;
	ptr->last = &p->e;
	bool complete = true;
	if (ptr->section) {
		uci_section *s = nullptr;
		if (ext)
			lookup_extended(p, ptr->section, &s);
		else
			s = section_find(p, ptr->section);
		if (s) {
			ptr->s = s;
			ptr->last = &s->e;
			if (ext)
				ptr->section = s->e.name;
			if (ptr->option) {
				ptr->o = option_find(s, ptr->option);
				if (ptr->o)
					ptr->last = &ptr->o->e;
				else
					complete = false;
			}
		} else {
			complete = false;
		}
	}
	ptr->flags = decltype(ptr->flags)(ptr->flags | uci_ptr::UCI_LOOKUP_DONE);
	if (complete)
		ptr->flags = decltype(ptr->flags)(ptr->flags | uci_ptr::UCI_LOOKUP_COMPLETE);
	return set_error(ctx, UCI_OK, __func__);
}

int uci_delete(uci_context *ctx, uci_ptr *ptr)
{
	if (!ctx || !ptr || !ptr->p)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;
	uci_package *p = ptr->p;
	if (!ptr->section || !ptr->s)
		return set_error(ctx, UCI_ERR_NOTFOUND, __func__);
	std::string section = ptr->s->e.name;

	if (!ptr->option) {
		int rc = record(ctx, p, UCI_CMD_REMOVE, section.c_str(), nullptr, nullptr);
		if (rc)
			return rc;
		section_free(ptr->s);
		ptr->s = nullptr;
		ptr->o = nullptr;
		ptr->last = &p->e;
		return UCI_OK;
	}
	uci_option *o = ptr_option(ptr);
	if (!o)
		return set_error(ctx, UCI_ERR_NOTFOUND, __func__);
	if (o->type == UCI_TYPE_LIST && ptr->value && *ptr->value) {
		char *end;
		long index = strtol(ptr->value, &end, 10);
		if (*end)
			return set_error(ctx, UCI_ERR_INVAL, __func__);
		long items = 0;
		uci_element *e;
		uci_foreach_element(&o->v.list, e)
			items++;
		if (index < 0 || index >= items)
			return set_error(ctx, UCI_ERR_NOTFOUND, __func__);
		std::string idx = std::to_string(index);
		int rc = record(ctx, p, UCI_CMD_REMOVE, section.c_str(), o->e.name, idx.c_str());
		if (rc)
			return rc;
		option_list_del_index(o, index);
		return UCI_OK;
	}
	int rc = record(ctx, p, UCI_CMD_REMOVE, section.c_str(), o->e.name, nullptr);
	if (rc)
		return rc;
	option_free(o);
	ptr->o = nullptr;
	ptr->last = &ptr->s->e;
	return UCI_OK;
}

int uci_set(uci_context *ctx, uci_ptr *ptr)
{
	if (!ctx || !ptr || !ptr->p)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;
	uci_package *p = ptr->p;

	if (!ptr->value || !*ptr->value) {
		// An empty value removes the element if there is one.
		if (ptr->option ? !ptr_option(ptr) : !ptr->s)
			return set_error(ctx, UCI_OK, __func__);
		return uci_delete(ctx, ptr);
	}
	if (!valid_text(ptr->value))
		return set_error(ctx, UCI_ERR_INVAL, __func__);

	if (ptr->option) {
		if (!ptr->s || !valid_name(ptr->option))
			return set_error(ctx, UCI_ERR_INVAL, __func__);
		uci_option *o = ptr_option(ptr);
		if (o && o->type == UCI_TYPE_STRING && !strcmp(o->v.string, ptr->value)) {
			ptr->o = o;
			ptr->last = &o->e;
			return set_error(ctx, UCI_OK, __func__);
		}
		int rc = record(ctx, p, UCI_CMD_CHANGE, ptr->s->e.name, ptr->option, ptr->value);
		if (rc)
			return rc;
		o = option_set_string(ptr->s, ptr->option, ptr->value);
		if (!o)
			return set_error(ctx, UCI_ERR_MEM, __func__);
		ptr->o = o;
		ptr->last = &o->e;
		return set_error(ctx, UCI_OK, __func__);
	}

	if (!ptr->section || !valid_type(ptr->value))
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	if (ptr->s) {
		if (!strcmp(ptr->s->type, ptr->value))
			return set_error(ctx, UCI_OK, __func__);
		int rc = record(ctx, p, UCI_CMD_CHANGE, ptr->s->e.name, nullptr, ptr->value);
		if (rc)
			return rc;
		if (!section_set_type(ptr->s, ptr->value))
			return set_error(ctx, UCI_ERR_MEM, __func__);
	} else {
		if (!valid_name(ptr->section))
			return set_error(ctx, UCI_ERR_INVAL, __func__);
		int rc = record(ctx, p, UCI_CMD_CHANGE, ptr->section, nullptr, ptr->value);
		if (rc)
			return rc;
		uci_section *s = section_create(p, ptr->section, ptr->value);
		if (!s)
			return set_error(ctx, UCI_ERR_MEM, __func__);
		ptr->s = s;
	}
	ptr->last = &ptr->s->e;
	return set_error(ctx, UCI_OK, __func__);
}

int uci_add_list(uci_context *ctx, uci_ptr *ptr)
{
	if (!ctx || !ptr || !ptr->p || !ptr->s || !ptr->option || !ptr->value)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;
	if (!valid_name(ptr->option) || !valid_text(ptr->value))
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	int rc = record(ctx, ptr->p, UCI_CMD_LIST_ADD, ptr->s->e.name, ptr->option, ptr->value);
	if (rc)
		return rc;
	uci_option *o = option_list_add(ptr->s, ptr->option, ptr->value);
	if (!o)
		return set_error(ctx, UCI_ERR_MEM, __func__);
	ptr->o = o;
	ptr->last = &o->e;
	return set_error(ctx, UCI_OK, __func__);
}

int uci_del_list(uci_context *ctx, uci_ptr *ptr)
{
	if (!ctx || !ptr || !ptr->p || !ptr->s || !ptr->option || !ptr->value)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;
	uci_option *o = ptr_option(ptr);
	if (!o || o->type != UCI_TYPE_LIST)
		return set_error(ctx, UCI_OK, __func__);
	int rc = record(ctx, ptr->p, UCI_CMD_LIST_DEL, ptr->s->e.name, ptr->option, ptr->value);
	if (rc)
		return rc;
	option_list_del(o, ptr->value);
	return set_error(ctx, UCI_OK, __func__);
}

int uci_rename(uci_context *ctx, uci_ptr *ptr)
{
	if (!ctx || !ptr || !ptr->p || !ptr->value)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;
	if (!ptr->s)
		return set_error(ctx, UCI_ERR_NOTFOUND, __func__);
	if (!valid_name(ptr->value))
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	if (ptr->option) {
		uci_option *o = ptr_option(ptr);
		if (!o)
			return set_error(ctx, UCI_ERR_NOTFOUND, __func__);
		if (option_find(ptr->s, ptr->value))
			return set_error(ctx, UCI_ERR_DUPLICATE, __func__);
		int rc = record(ctx, ptr->p, UCI_CMD_RENAME, ptr->s->e.name, o->e.name, ptr->value);
		if (rc)
			return rc;
		if (!element_rename(&o->e, ptr->value))
			return set_error(ctx, UCI_ERR_MEM, __func__);
		ptr->o = o;
		return set_error(ctx, UCI_OK, __func__);
	}
	if (section_find(ptr->p, ptr->value))
		return set_error(ctx, UCI_ERR_DUPLICATE, __func__);
	int rc = record(ctx, ptr->p, UCI_CMD_RENAME, ptr->s->e.name, nullptr, ptr->value);
	if (rc)
		return rc;
	if (!element_rename(&ptr->s->e, ptr->value))
		return set_error(ctx, UCI_ERR_MEM, __func__);
	ptr->s->anonymous = false;
	return set_error(ctx, UCI_OK, __func__);
}

int uci_reorder_section(uci_context *ctx, uci_section *s, int pos)
{
	if (!ctx || !s)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;
	if (pos < 0)
		pos = 0;
	std::string v = std::to_string(pos);
	int rc = record(ctx, s->package, UCI_CMD_REORDER, s->e.name, nullptr, v.c_str());
	if (rc)
		return rc;
	section_move(s, pos);
	return set_error(ctx, UCI_OK, __func__);
}

int uci_add_section(uci_context *ctx, uci_package *p, const char *type, uci_section **res)
{
	if (res)
		*res = nullptr;
	if (!ctx || !p || !type)
		return ctx ? set_error(ctx, UCI_ERR_INVAL, __func__) : UCI_ERR_INVAL;
	if (!valid_type(type))
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	uci_section *s = section_create(p, "", type);
	if (!s)
		return set_error(ctx, UCI_ERR_MEM, __func__);
	int rc = record(ctx, p, UCI_CMD_ADD, s->e.name, nullptr, type);
	if (rc) {
		section_free(s);
		return rc;
	}
	if (res)
		*res = s;
	return set_error(ctx, UCI_OK, __func__);
}

} // extern "C"
