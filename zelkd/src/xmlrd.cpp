/* The reply reader over pugixml.  A node handle is pugixml's own node pointer. */
#include "xmlrd.h"

#include "common/fileio.h"

#include <new>
#include <pugixml.hpp>
#include <stdlib.h>
#include <string.h>

struct xr_doc {
	pugi::xml_document doc;
};

static pugi::xml_node node_of(xr_node *n)
{
	return pugi::xml_node((pugi::xml_node_struct *)n);
}

static xr_node *handle(pugi::xml_node n)
{
	return n ? (xr_node *)n.internal_object() : nullptr;
}

/* Where the XML starts: past the response header blocks ("HTTP/1.1 100 Continue", then the final
 * one) that the transfer put in front of it.  A header line may hold "<" (Link: <...>), which the
 * XML parser would take for markup. */
static size_t body_start(const char *text, size_t len)
{
	size_t at = 0;

	while (len - at >= 5 && memcmp(text + at, "HTTP/", 5) == 0) {
		const char *end = (const char *)memmem(text + at, len - at, "\r\n\r\n", 4);
		if (!end)
			return at;
		at = (size_t)(end - text) + 4;
	}
	return at;
}

xr_doc *xr_parse_file(const char *path)
{
	size_t len;
	char *text = read_file(path, &len);

	if (!text)
		return nullptr;
	xr_doc *d = new (std::nothrow) xr_doc;
	if (!d) {
		free(text);
		return nullptr;
	}
	size_t at = body_start(text, len);
	pugi::xml_parse_result r = d->doc.load_buffer(text + at, len - at);
	free(text);
	if (!r || !d->doc.document_element()) {
		delete d;
		return nullptr;
	}
	return d;
}

void xr_free(xr_doc *doc)
{
	delete doc;
}

xr_node *xr_root(xr_doc *doc)
{
	return doc ? handle(doc->doc.document_element()) : nullptr;
}

xr_node *xr_child(xr_node *node, const char *name)
{
	return node ? handle(node_of(node).child(name)) : nullptr;
}

xr_node *xr_next(xr_node *node)
{
	if (!node)
		return nullptr;
	pugi::xml_node n = node_of(node);
	return handle(n.next_sibling(n.name()));
}

const char *xr_attr(xr_node *node, const char *name)
{
	if (!node)
		return nullptr;
	pugi::xml_attribute a = node_of(node).attribute(name);
	return a ? a.value() : nullptr;
}

const char *xr_txt(xr_node *node)
{
	return node ? node_of(node).child_value() : "";
}
