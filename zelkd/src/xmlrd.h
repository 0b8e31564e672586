/* The reply reader: a parsed file, a child element by name, an attribute, the element's text and the
 * next element of the same name, and freeing the tree.  The parser skips text before the first
 * element, so response headers in front of the XML do no harm. */
#pragma once

typedef struct xr_doc xr_doc;
typedef struct xr_node xr_node;

/* NULL when the file cannot be read or is not well-formed XML with a root element. */
xr_doc *xr_parse_file(const char *path);
void xr_free(xr_doc *doc);
xr_node *xr_root(xr_doc *doc);
/* First child element of that name, or NULL (also for a NULL node). */
xr_node *xr_child(xr_node *node, const char *name);
/* Next sibling element of the same name, or NULL. */
xr_node *xr_next(xr_node *node);
/* The attribute's value (entities decoded), or NULL when absent. */
const char *xr_attr(xr_node *node, const char *name);
/* The element's text ("" when it has none). */
const char *xr_txt(xr_node *node);
