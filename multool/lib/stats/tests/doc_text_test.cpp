/* The documents' text writer against the JSON library's own dump of the same values. */
#include "stats/doc_text.h"

#include "spine/jsonutil.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

static std::string text_of(const doc_text &t)
{
	EXPECT_FALSE(t.nomem);
	return std::string(t.buf ? t.buf : "", t.len);
}

static std::string dump(const json_t *v)
{
	char *s = json_dumps(v, JSON_DOC_FLAGS);
	std::string out = s ? s : "(refused)";
	free(s);
	return out;
}

// Texts that need every kind of escape, and bytes that are no UTF-8.
static const char *const texts[] = {
	"", "plain", "a/b//c", "q\"uote", "back\\slash", "\b\f\n\r\t", "\x01\x1f\x7f", "caf\xc3\xa9 \xe2\x98\x83",
	"\xf0\x9f\x98\x80 4 bytes", "\xff\xfe", "cut \xc3", "\xed\xa0\x80 surrogate", "over\xc0\xaflong", "\xf4\x90\x80\x80",
};

TEST(DocText, SameBytesAsTheLibrary)
{
	doc_text t;
	doc_text_init(&t, 0);
	json_t *ref = json_object();

	doc_text_object(&t);
	doc_text_key(&t, "empty object");
	doc_text_object(&t);
	doc_text_end(&t, '}');
	json_object_set_new(ref, "empty object", json_object());
	doc_text_key(&t, "empty/array");
	doc_text_array(&t);
	doc_text_end(&t, ']');
	json_object_set_new(ref, "empty/array", json_array());
	doc_text_key(&t, "ints");
	doc_text_array(&t);
	json_t *ints = json_array();
	for (int64_t v : { (int64_t)0, (int64_t)-1, (int64_t)7, (int64_t)4294967295, INT64_MAX, INT64_MIN }) {
		doc_text_int(&t, v);
		json_array_append_new(ints, json_integer(v));
	}
	doc_text_end(&t, ']');
	json_object_set_new(ref, "ints", ints);
	doc_text_key(&t, "texts");
	doc_text_array(&t);
	json_t *arr = json_array();
	for (const char *s : texts) {
		doc_text_object(&t);
		doc_text_key(&t, "t");
		doc_text_bytes(&t, s, strlen(s));
		doc_text_key(&t, "b");
		doc_text_bool(&t, strlen(s) % 2);
		doc_text_end(&t, '}');
		json_array_append_new(arr, json_pack("{s:o,s:b}", "t", json_text(s), "b", (int)(strlen(s) % 2)));
	}
	doc_text_end(&t, ']');
	json_object_set_new(ref, "texts", arr);
	doc_text_key(&t, "nested");
	doc_text_array(&t);
	doc_text_array(&t);
	doc_text_array(&t);
	doc_text_int(&t, 1);
	doc_text_end(&t, ']');
	doc_text_end(&t, ']');
	doc_text_string(&t, "x\xc3\xa9", 3);
	doc_text_end(&t, ']');
	json_object_set_new(ref, "nested", json_pack("[[[i]],s]", 1, "x\xc3\xa9"));
	doc_text_end(&t, '}');

	EXPECT_EQ(text_of(t), dump(ref));
	json_decref(ref);
	doc_text_free(&t);
}

// A part written on its own and set into a document reads as if the library had dumped it there.
TEST(DocText, PartWrittenApartFitsItsPlace)
{
	doc_text part, doc;
	doc_text_init(&part, 1);
	doc_text_array(&part);
	for (int i = 0; i < 2; i++) {
		doc_text_object(&part);
		doc_text_key(&part, "n");
		doc_text_int(&part, i);
		doc_text_end(&part, '}');
	}
	doc_text_end(&part, ']');

	doc_text_init(&doc, 0);
	doc_text_object(&doc);
	doc_text_key(&doc, "first");
	doc_text_int(&doc, 1);
	doc_text_key(&doc, "part");
	doc_text_value(&doc, part.buf, part.len);
	doc_text_key(&doc, "last");
	doc_text_bool(&doc, false);
	doc_text_end(&doc, '}');

	json_t *ref = json_pack("{s:i,s:[{s:i},{s:i}],s:b}", "first", 1, "part", "n", 0, "n", 1, "last", 0);
	EXPECT_EQ(text_of(doc), dump(ref));
	json_decref(ref);
	doc_text_free(&part);
	doc_text_free(&doc);
}

TEST(DocText, ValidIsWhatTheLibraryTakesAsText)
{
	for (const char *s : texts) {
		json_t *j = json_stringn(s, strlen(s));
		EXPECT_EQ(doc_text_valid(s, strlen(s)), j != nullptr) << s;
		json_decref(j);
	}
	EXPECT_FALSE(doc_text_valid("a\0b", 3)); // a name with NUL is no C text
}
