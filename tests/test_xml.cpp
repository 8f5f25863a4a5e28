#include "http/xml.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Parses a heap copy of exactly the text's size, so that the sanitizer reports any read at or
// beyond its end.
xml_error parse(const std::string& text, xml_document* document = nullptr,
                std::size_t* error_at = nullptr) {
    std::unique_ptr<char[]> copy(new char[text.size()]);
    std::memcpy(copy.get(), text.data(), text.size());
    return xml_parse(std::string_view(copy.get(), text.size()), document, error_at);
}

std::string repeat(const std::string& piece, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i)
        out += piece;
    return out;
}

// The expanded names of an element's children.
std::vector<std::string> child_names(const xml_element& element) {
    std::vector<std::string> names;
    for (const xml_element& child : element.children)
        names.push_back("{" + std::string(child.ns) + "}" + child.name);
    return names;
}

const std::string xml_ns(xml_namespace_of_xml);

TEST(XmlParse, TakesWellFormedDocuments) {
    struct row {
        const char* what;
        std::string text;
        std::string outline;
    };
    const row rows[] = {
        {"an empty element", "<a/>", "{}a"},
        {"the default namespace holds for descendants", "<a xmlns='urn:x'><b/></a>",
         "{urn:x}a({urn:x}b)"},
        {"a prefix redeclared inside, then back in scope",
         "<p:a xmlns:p='urn:1'><p:b xmlns:p='urn:2'/><p:c/></p:a>", "{urn:1}a({urn:2}b {urn:1}c)"},
        {"xmlns=\"\" undeclares the default", "<a xmlns='urn:x'><b xmlns=''/></a>",
         "{urn:x}a({}b)"},
        {"an attribute without prefix is in no namespace",
         "<a xmlns='urn:x' xmlns:p='urn:p' k='1' p:k='2'/>", "{urn:x}a[{}k=\"1\" {urn:p}k=\"2\"]"},
        {"one local name in two namespaces is no duplicate",
         "<a xmlns:p='urn:1' xmlns:q='urn:2' p:k='1' q:k='2'/>",
         "{}a[{urn:1}k=\"1\" {urn:2}k=\"2\"]"},
        {"the xml prefix needs no declaration", "<a xml:lang='en'/>",
         "{}a[{" + xml_ns + "}lang=\"en\"]"},
        {"predefined entities and character references",
         "<a>&lt;&gt;&amp;&quot;&apos;&#65;&#x42;&#x1F600;</a>", "{}a\"<>&\\\"'AB\U0001F600\""},
        {"a CDATA section is text as it stands", "<a><![CDATA[<b>&amp;]]]></a>",
         "{}a\"<b>&amp;]\""},
        {"comments and processing instructions are skipped",
         "<!-- c --><?pi x?><a><!----><?p?>t<!-- - --></a><!-- end -->", "{}a\"t\""},
        {"an XML declaration", "<?xml version=\"1.0\" encoding=\"utf-8\" standalone='yes' ?><a/>",
         "{}a"},
        {"a PI whose target only begins with xml", "<?xml-stylesheet href='s'?><a/>", "{}a"},
        {"a byte order mark", "\xEF\xBB\xBF<?xml version='1.0'?><a/>", "{}a"},
        {"CR LF and a lone CR are read as LF", "<a>1\r\n2\r3<![CDATA[\r\n]]></a>",
         "{}a\"1\\n2\\n3\\n\""},
        {"white space in attribute values becomes spaces, references stay",
         "<a k='x\r\ny\tz\nw&#10;&#13;&#9;'/>", "{}a[{}k=\"x y z w\\n\\r\\t\"]"},
        {"mixed content joins the text pieces", "<a>x<b>y</b>z</a>", "{}a\"xz\"({}b\"y\")"},
        {"quotes of the other kind and > in values", "<a k='\"&gt;>' j=\"'\"/>",
         "{}a[{}k=\"\\\">>\" {}j=\"'\"]"},
        {"space around = and before the end of tags", "<a \n k = \"1\" ></a\t>", "{}a[{}k=\"1\"]"},
        {"names beyond ASCII", "<\xC3\xA9:\xC3\xBC xmlns:\xC3\xA9='urn:e' \xE5\x90\x8D='v'/>",
         "{urn:e}\xC3\xBC[{}\xE5\x90\x8D=\"v\"]"},
        {"characters of every UTF-8 length, DEL and C1 controls",
         "<a>\x7F\xC2\x85\xE2\x82\xAC\xF0\x90\x80\x80\xF4\x8F\xBF\xBD</a>",
         "{}a\"\\x7f\xC2\x85\xE2\x82\xAC\xF0\x90\x80\x80\xF4\x8F\xBF\xBD\""},
        {"]] without > in text", "<a>]]</a>", "{}a\"]]\""},
        {"space around the root", " \r\n<a/>\n\t", "{}a"},
    };
    for (const row& r : rows) {
        xml_document document;
        ASSERT_EQ(parse(r.text, &document), xml_error::none) << r.what;
        EXPECT_EQ(xml_outline(document.root), r.outline) << r.what;
        EXPECT_EQ(document.source, r.text) << r.what;
    }
}

TEST(XmlParse, RefusesWhatIsNotWellFormedOrUnsafe) {
    struct row {
        const char* what;
        std::string text;
        xml_error error;
    };
    const row rows[] = {
        {"an empty document", "", xml_error::no_root},
        {"only space and a comment", " <!-- c --> ", xml_error::no_root},
        {"text before the root", "x<a/>", xml_error::outside_root},
        {"text after the root", "<a/>x", xml_error::outside_root},
        {"two root elements", "<a/><b/>", xml_error::outside_root},
        {"an end tag of another name", "<a></b>", xml_error::mismatched_tag},
        {"tags that overlap", "<a><b></a></b>", xml_error::mismatched_tag},
        {"the same namespace under another prefix", "<p:a xmlns:p='u' xmlns:q='u'></q:a>",
         xml_error::mismatched_tag},
        {"an element never closed", "<a><b/>", xml_error::unclosed},
        {"a start tag cut off", "<a k='1'", xml_error::unclosed},
        {"an attribute value cut off", "<a k='1", xml_error::unclosed},
        {"a comment never closed", "<a><!-- x", xml_error::unclosed},
        {"a CDATA section never closed", "<a><![CDATA[x", xml_error::unclosed},
        {"an XML declaration cut off", "<?xml version='1.0'", xml_error::unclosed},
        {"an unquoted attribute value", "<a k=1/>", xml_error::syntax},
        {"an attribute without value", "<a k/>", xml_error::syntax},
        {"attributes without space between", "<a k='1'j='2'/>", xml_error::syntax},
        {"space before the name", "< a/>", xml_error::syntax},
        {"a name that begins with a digit", "<1a/>", xml_error::syntax},
        {"a name of two colons", "<a:b:c xmlns:a='u'/>", xml_error::syntax},
        {"a name that begins with a colon", "<:a/>", xml_error::syntax},
        {"a local part that is no name", "<a:-b xmlns:a='u'/>", xml_error::syntax},
        {"< in an attribute value", "<a k='<'/>", xml_error::syntax},
        {"]]> in text", "<a>]]></a>", xml_error::syntax},
        {"-- inside a comment", "<a><!-- a -- b --></a>", xml_error::syntax},
        {"a comment that ends in --->", "<a><!-- a ---></a>", xml_error::syntax},
        {"markup that is neither comment nor CDATA", "<a><!b></a>", xml_error::syntax},
        {"an XML declaration not at the start", " <?xml version='1.0'?><a/>", xml_error::syntax},
        {"a second XML declaration", "<?xml version='1.0'?><?XML version='1.0'?><a/>",
         xml_error::syntax},
        {"an XML declaration without version", "<?xml encoding='utf-8'?><a/>", xml_error::syntax},
        {"an XML declaration of version 2", "<?xml version='2.0'?><a/>", xml_error::syntax},
        {"a PI target with a colon", "<a><?p:i?></a>", xml_error::syntax},
        {"a document type", "<!DOCTYPE a><a/>", xml_error::doctype},
        {"entity expansion",
         "<!DOCTYPE z [<!ENTITY a \"aaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]><z>&b;</z>",
         xml_error::doctype},
        {"an external entity", "<!DOCTYPE a [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><a>&x;</a>",
         xml_error::doctype},
        {"a document type inside the root", "<a><!DOCTYPE a></a>", xml_error::doctype},
        {"another encoding", "<?xml version='1.0' encoding='ISO-8859-1'?><a/>",
         xml_error::encoding},
        {"UTF-16 declared", "<?xml version='1.0' encoding='UTF-16'?><a/>", xml_error::encoding},
        {"an entity not predefined", "<a>&nbsp;</a>", xml_error::bad_reference},
        {"an entity in an attribute", "<a k='&x;'/>", xml_error::bad_reference},
        {"an entity without ;", "<a>&amp</a>", xml_error::bad_reference},
        {"a lone &", "<a>a & b</a>", xml_error::bad_reference},
        {"a reference to NUL", "<a>&#0;</a>", xml_error::bad_reference},
        {"a reference to a control character", "<a k='&#x1;'/>", xml_error::bad_reference},
        {"a reference to a surrogate", "<a>&#xD800;</a>", xml_error::bad_reference},
        {"a reference to U+FFFE", "<a>&#xFFFE;</a>", xml_error::bad_reference},
        {"a reference beyond U+10FFFF", "<a>&#x110000;</a>", xml_error::bad_reference},
        {"a reference too large for any integer", "<a>&#99999999999999999999999;</a>",
         xml_error::bad_reference},
        {"a reference without digits", "<a>&#;</a>", xml_error::bad_reference},
        {"a hexadecimal reference with X", "<a>&#X41;</a>", xml_error::bad_reference},
        {"an undeclared element prefix", "<p:a/>", xml_error::undeclared_prefix},
        {"an undeclared attribute prefix", "<a p:k='1'/>", xml_error::undeclared_prefix},
        {"a declaration out of scope after its element", "<a><b xmlns:p='u'/><p:c/></a>",
         xml_error::undeclared_prefix},
        {"a prefix undeclared", "<a xmlns:p=''/>", xml_error::bad_namespace},
        {"the xml prefix bound elsewhere", "<a xmlns:xml='urn:x'/>", xml_error::bad_namespace},
        {"the xml namespace under another prefix", "<a xmlns:x='" + xml_ns + "'/>",
         xml_error::bad_namespace},
        {"the xml namespace as the default", "<a xmlns='" + xml_ns + "'/>",
         xml_error::bad_namespace},
        {"the xmlns prefix declared", "<a xmlns:xmlns='urn:x'/>", xml_error::bad_namespace},
        {"the xmlns namespace bound", "<a xmlns:x='http://www.w3.org/2000/xmlns/'/>",
         xml_error::bad_namespace},
        {"an element with the xmlns prefix", "<xmlns:a/>", xml_error::bad_namespace},
        {"an attribute twice", "<a k='1' k='2'/>", xml_error::duplicate_attribute},
        {"a namespace declared twice", "<a xmlns:p='u' xmlns:p='v'/>",
         xml_error::duplicate_attribute},
        {"one attribute under two prefixes", "<a xmlns:p='u' xmlns:q='u' p:k='1' q:k='2'/>",
         xml_error::duplicate_attribute},
        {"a sequence cut short", "<a>\xC3</a>", xml_error::not_utf8},
        {"Latin-1 text", "<a>caf\xE9</a>", xml_error::not_utf8},
        {"an overlong form", "<a>\xC0\xAF</a>", xml_error::not_utf8},
        {"an encoded surrogate", "<a>\xED\xA0\x80</a>", xml_error::not_utf8},
        {"beyond U+10FFFF", "<a>\xF4\x90\x80\x80</a>", xml_error::not_utf8},
        {"a stray continuation byte", "<a>\x80</a>", xml_error::not_utf8},
        {"a NUL byte", std::string("<a>\0</a>", 8), xml_error::not_char},
        {"a control character", "<a k='\x1B'/>", xml_error::not_char},
        {"U+FFFF", "<a>\xEF\xBF\xBF</a>", xml_error::not_char},
    };
    for (const row& r : rows) {
        xml_document document;
        document.source = "kept";
        std::size_t at = 12345;
        EXPECT_EQ(parse(r.text, &document, &at), r.error) << r.what;
        EXPECT_LE(at, r.text.size()) << r.what;
        EXPECT_EQ(document.source, "kept") << r.what;
        EXPECT_NE(*xml_error_str(r.error), '\0') << r.what;
    }
}

TEST(XmlParse, SaysWhereItStopped) {
    std::size_t at = 0;
    EXPECT_EQ(parse("<a><b></c></a>", nullptr, &at), xml_error::mismatched_tag);
    EXPECT_EQ(at, 9u);
    EXPECT_EQ(parse("<a>ok\xFF</a>", nullptr, &at), xml_error::not_utf8);
    EXPECT_EQ(at, 5u);
}

TEST(XmlParse, HoldsItsBounds) {
    const std::string name(xml_max_name, 'n');
    const std::string value(xml_max_value, 'v');
    const auto attributes = [](std::size_t count) {
        std::string tag = "<a";
        for (std::size_t i = 0; i < count; ++i)
            tag += " k" + std::to_string(i) + "=''";
        return tag + "/>";
    };
    struct row {
        const char* what;
        std::string text;
        xml_error error;
    };
    const row rows[] = {
        {"nested as deep as allowed", repeat("<a>", xml_max_depth) + repeat("</a>", xml_max_depth),
         xml_error::none},
        {"one level deeper", repeat("<a>", xml_max_depth + 1) + repeat("</a>", xml_max_depth + 1),
         xml_error::too_deep},
        {"as many elements as allowed", "<r>" + repeat("<a/>", xml_max_elements - 1) + "</r>",
         xml_error::none},
        {"one element more", "<r>" + repeat("<a/>", xml_max_elements) + "</r>",
         xml_error::too_many_elements},
        {"as many attributes as allowed", attributes(xml_max_attributes), xml_error::none},
        {"one attribute more", attributes(xml_max_attributes + 1), xml_error::too_many_attributes},
        {"a name as long as allowed", "<" + name + "/>", xml_error::none},
        {"a longer name", "<" + name + "n/>", xml_error::name_too_long},
        {"a prefix counts", "<p:" + name.substr(1) + " xmlns:p='u'/>", xml_error::name_too_long},
        {"a longer attribute name", "<a " + name + "n=''/>", xml_error::name_too_long},
        {"a longer entity name", "<a>&" + name + "n;</a>", xml_error::name_too_long},
        {"a value as long as allowed", "<a k='" + value + "'/>", xml_error::none},
        {"a longer value", "<a k='" + value + "v'/>", xml_error::value_too_long},
        {"a value counted as read, not as written",
         "<a k='" + repeat("&amp;", xml_max_value) + "'/>", xml_error::none},
    };
    for (const row& r : rows)
        EXPECT_EQ(parse(r.text), r.error) << r.what;
}

// Documents of about 1 MiB, wide and deep: each is read in time linear in its size (a reader
// that is quadratic anywhere takes minutes over these and fails by the test's timeout).
TEST(XmlParse, ReadsLargeDocumentsWhole) {
    const std::string deep =
        repeat("<a>", xml_max_depth - 1) + repeat("x", 16000) + repeat("</a>", xml_max_depth - 1);
    const std::string chain = "<r>" + repeat(deep, 60) + "</r>";
    xml_document document;
    ASSERT_EQ(parse(chain, &document), xml_error::none);
    EXPECT_EQ(document.root.children.size(), 60u);

    const std::string text = "<a>" + repeat("&amp;&#x1F600;<![CDATA[]]>", 40000) + "</a>";
    ASSERT_EQ(parse(text, &document), xml_error::none);
    EXPECT_EQ(document.root.text.size(), 40000u * 5);

    // Names share their namespace's one string however many there are, and each element given
    // back declares the prefix it takes from the root.
    const std::string uri = "urn:" + std::string(1000, 'u');
    std::string declarations = "<r";
    std::string uses;
    for (std::size_t i = 0; i < xml_max_attributes; ++i) {
        const std::string prefix = "p" + std::to_string(i);
        declarations += " xmlns:" + prefix + "='" + uri + "'";
        uses += repeat("<" + prefix + ":e " + prefix + ":k='v'/>", 30);
    }
    ASSERT_EQ(parse(declarations + ">" + uses + "</r>", &document), xml_error::none);
    EXPECT_EQ(document.namespaces.size(), xml_max_attributes);
    std::string markup;
    for (const xml_element& child : document.root.children)
        markup = xml_markup(document, child);
    EXPECT_EQ(markup, "<p255:e xmlns:p255=\"" + uri + "\" p255:k='v'/>");
}

// RFC 4918's request bodies, in the words of its examples.
TEST(XmlParse, ReadsWebdavRequestBodies) {
    xml_document document;
    ASSERT_EQ(parse(R"(<?xml version="1.0" encoding="utf-8" ?>
<D:propfind xmlns:D="DAV:">
  <D:prop xmlns:R="http://ns.example.com/boxschema/">
    <R:bigbox/>
    <R:author/>
    <R:DingALing/>
    <R:Random/>
  </D:prop>
</D:propfind>)",
                    &document),
              xml_error::none);
    ASSERT_TRUE(document.root.is("DAV:", "propfind"));
    const xml_element* prop = document.root.child("DAV:", "prop");
    ASSERT_NE(prop, nullptr);
    const std::string box = "{http://ns.example.com/boxschema/}";
    EXPECT_EQ(child_names(*prop), (std::vector<std::string>{box + "bigbox", box + "author",
                                                            box + "DingALing", box + "Random"}));

    ASSERT_EQ(parse(R"(<?xml version="1.0" encoding="utf-8" ?>
<propfind xmlns="DAV:">
  <propname/>
</propfind>)",
                    &document),
              xml_error::none);
    EXPECT_EQ(child_names(document.root), std::vector<std::string>{"{DAV:}propname"});

    ASSERT_EQ(parse(R"(<?xml version="1.0" encoding="utf-8" ?>
<D:propfind xmlns:D="DAV:">
  <D:allprop/>
  <D:include>
    <D:supported-live-property-set/>
    <D:supported-report-set/>
  </D:include>
</D:propfind>)",
                    &document),
              xml_error::none);
    EXPECT_NE(document.root.child("DAV:", "allprop"), nullptr);
    const xml_element* include = document.root.child("DAV:", "include");
    ASSERT_NE(include, nullptr);
    EXPECT_EQ(child_names(*include), (std::vector<std::string>{"{DAV:}supported-live-property-set",
                                                               "{DAV:}supported-report-set"}));

    ASSERT_EQ(parse(R"(<?xml version="1.0" encoding="utf-8" ?>
<D:lockinfo xmlns:D='DAV:'>
  <D:lockscope><D:exclusive/></D:lockscope>
  <D:locktype><D:write/></D:locktype>
  <D:owner>
    <D:href>http://example.org/~ejw/contact.html</D:href>
  </D:owner>
</D:lockinfo>)",
                    &document),
              xml_error::none);
    const xml_element* scope = document.root.child("DAV:", "lockscope");
    const xml_element* type = document.root.child("DAV:", "locktype");
    const xml_element* owner = document.root.child("DAV:", "owner");
    ASSERT_TRUE(scope && type && owner);
    EXPECT_NE(scope->child("DAV:", "exclusive"), nullptr);
    EXPECT_NE(type->child("DAV:", "write"), nullptr);
    EXPECT_EQ(owner->child("DAV:", "href")->text, "http://example.org/~ejw/contact.html");
    EXPECT_EQ(xml_markup(document, *owner), R"(<D:owner xmlns:D="DAV:">
    <D:href>http://example.org/~ejw/contact.html</D:href>
  </D:owner>)");
}

TEST(XmlParse, ReadsPropertyUpdates) {
    xml_document document;
    ASSERT_EQ(parse(R"(<?xml version="1.0" encoding="utf-8" ?>
<D:propertyupdate xmlns:D="DAV:"
        xmlns:Z="http://ns.example.com/standards/z39.50/">
  <D:set>
    <D:prop>
      <Z:Authors>
        <Z:Author>Jim Whitehead</Z:Author>
        <Z:Author>Roy Fielding</Z:Author>
      </Z:Authors>
    </D:prop>
  </D:set>
  <D:remove>
    <D:prop><Z:Copyright-Owner/></D:prop>
  </D:remove>
</D:propertyupdate>)",
                    &document),
              xml_error::none);
    const std::string z = "http://ns.example.com/standards/z39.50/";
    const std::vector<const xml_element*> sets = document.root.children_named("DAV:", "set");
    ASSERT_EQ(sets.size(), 1u);
    const xml_element* authors = sets[0]->child("DAV:", "prop")->child(z, "Authors");
    ASSERT_NE(authors, nullptr);
    const std::vector<const xml_element*> names = authors->children_named(z, "Author");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[1]->text, "Roy Fielding");
    EXPECT_EQ(xml_markup(document, *authors), R"(<Z:Authors xmlns:Z=")" + z + R"(">
        <Z:Author>Jim Whitehead</Z:Author>
        <Z:Author>Roy Fielding</Z:Author>
      </Z:Authors>)");
    const xml_element* removed = document.root.child("DAV:", "remove")->child("DAV:", "prop");
    EXPECT_EQ(child_names(*removed), std::vector<std::string>{"{" + z + "}Copyright-Owner"});
}

// The outline of `read`, the element `original` given back, without the xml:lang that it took
// from the ancestors of `original`.
std::string outline_without_inherited_lang(xml_element read, const xml_element& original) {
    const auto is_lang = [](const xml_attribute& a) {
        return a.ns == xml_namespace_of_xml && a.name == "lang";
    };
    if (std::none_of(original.attributes.begin(), original.attributes.end(), is_lang))
        std::erase_if(read.attributes, is_lang);
    return xml_outline(read);
}

// A dead property's value is given back as written, with what it takes from its ancestors, and
// reads back as the same element alone and inside an answer that binds other namespaces.
TEST(XmlMarkup, GivesBackElementsAsWritten) {
    struct row {
        const char* what;
        std::string document;
        std::string markup;  // of the first child of the root's first child
    };
    const row rows[] = {
        {"declarations of its own suffice",
         "<D:p xmlns:D='DAV:'><D:prop><x xmlns='urn:x'>1</x></D:prop></D:p>",
         "<x xmlns='urn:x'>1</x>"},
        {"a prefix declared above",
         "<D:p xmlns:D='DAV:' xmlns:Z='urn:z'><D:prop><Z:a Z:k='1'><Z:b/></Z:a></D:prop></D:p>",
         "<Z:a xmlns:Z=\"urn:z\" Z:k='1'><Z:b/></Z:a>"},
        {"a default namespace declared above",
         "<p xmlns='urn:d'><prop><a>x<b xmlns:q='urn:q'><q:c/></b></a></prop></p>",
         "<a xmlns=\"urn:d\">x<b xmlns:q='urn:q'><q:c/></b></a>"},
        {"no namespace stays no namespace",
         "<D:p xmlns:D='DAV:'><D:prop><a><b/></a></D:prop></D:p>", "<a xmlns=\"\"><b/></a>"},
        {"a prefix only its content uses",
         "<D:p xmlns:D='DAV:' xmlns:h='urn:h'><D:prop><x xmlns='urn:x'><h:em>1</h:em></x></D:prop>"
         "</D:p>",
         "<x xmlns:h=\"urn:h\" xmlns='urn:x'><h:em>1</h:em></x>"},
        {"the xml:lang in scope",
         "<D:p xmlns:D='DAV:' xml:lang='en'><D:prop xml:lang='de'><x "
         "xmlns='urn:x'/></D:prop></D:p>",
         "<x xml:lang=\"de\" xmlns='urn:x'/>"},
        {"its own xml:lang is not doubled",
         "<D:p xmlns:D='DAV:' xml:lang='en'><D:prop><x xml:lang='fr' "
         "xmlns='urn:x'/></D:prop></D:p>",
         "<x xml:lang='fr' xmlns='urn:x'/>"},
        {"mixed content, comments, CDATA, references and high characters as they stand",
         "<D:p xmlns:D='DAV:' xmlns:Z='urn:z'><D:prop><Z:v>a<!-- c --><Z:i k='&amp;'>\xF0\x9F\x98"
         "\x80</Z:i><![CDATA[<&>]]>&#x10000;\r\n</Z:v></D:prop></D:p>",
         "<Z:v xmlns:Z=\"urn:z\">a<!-- c --><Z:i k='&amp;'>\xF0\x9F\x98\x80</Z:i><![CDATA[<&>]]>"
         "&#x10000;\r\n</Z:v>"},
    };
    for (const row& r : rows) {
        xml_document document;
        ASSERT_EQ(parse(r.document, &document), xml_error::none) << r.what;
        const xml_element& value = document.root.children.at(0).children.at(0);
        const std::string markup = xml_markup(document, value);
        EXPECT_EQ(markup, r.markup) << r.what;

        xml_document alone;
        ASSERT_EQ(parse(markup, &alone), xml_error::none) << r.what;
        EXPECT_EQ(outline_without_inherited_lang(alone.root, value), xml_outline(value)) << r.what;
        xml_document answer;
        ASSERT_EQ(parse("<D:multistatus xmlns:D='DAV:' xmlns='urn:other' xmlns:Z='urn:other' "
                        "xmlns:h='urn:other' xml:lang='se'><D:prop>" +
                            markup + "</D:prop></D:multistatus>",
                        &answer),
                  xml_error::none)
            << r.what;
        EXPECT_EQ(outline_without_inherited_lang(answer.root.children.at(0).children.at(0), value),
                  xml_outline(value))
            << r.what;
    }
}

TEST(XmlMarkup, GivesNothingForAnElementOfAnotherDocument) {
    xml_document one;
    xml_document other;
    ASSERT_EQ(parse("<a><b/><c/></a>", &one), xml_error::none);
    ASSERT_EQ(parse("<a><b/><c/></a>", &other), xml_error::none);
    EXPECT_EQ(xml_markup(one, other.root.children[1]), "");
    EXPECT_EQ(xml_markup(one, one.root.children[1]), "<c xmlns=\"\"/>");
}

TEST(XmlWriter, EscapesTextAndAttributeValues) {
    struct row {
        const char* what;
        std::string input;
        std::string text;
        std::string attribute;
        std::string read_back;  // what a reader takes from either
    };
    const std::string fffd = "\xEF\xBF\xBD";
    const row rows[] = {
        {"plain text and UTF-8 stay", "ab \xC3\xA9\xF0\x9F\x98\x80", "ab \xC3\xA9\xF0\x9F\x98\x80",
         "ab \xC3\xA9\xF0\x9F\x98\x80", "ab \xC3\xA9\xF0\x9F\x98\x80"},
        {"markup characters", "<a&b>\"'", "&lt;a&amp;b&gt;\"'", "&lt;a&amp;b&gt;&quot;'",
         "<a&b>\"'"},
        {"]]> is never written", "]]>", "]]&gt;", "]]&gt;", "]]>"},
        {"line ends and tabs survive the reading", "a\tb\nc\r\nd", "a\tb\nc&#13;\nd",
         "a&#9;b&#10;c&#13;&#10;d", "a\tb\nc\r\nd"},
        {"control characters are replaced", std::string("a\x01z\0", 4), "a" + fffd + "z" + fffd,
         "a" + fffd + "z" + fffd, "a" + fffd + "z" + fffd},
        {"bytes that are not UTF-8 are replaced", "\xC3(\xFF\xED\xA0\x80",
         fffd + "(" + fffd + fffd + fffd + fffd, fffd + "(" + fffd + fffd + fffd + fffd,
         fffd + "(" + fffd + fffd + fffd + fffd},
        {"U+FFFE is replaced", "\xEF\xBF\xBE", fffd, fffd, fffd},
    };
    for (const row& r : rows) {
        std::string text = "<";
        xml_append_text(text, r.input);
        std::string attribute = "<";
        xml_append_attribute_value(attribute, r.input);
        EXPECT_EQ(text, "<" + r.text) << r.what;
        EXPECT_EQ(attribute, "<" + r.attribute) << r.what;

        xml_document document;
        ASSERT_EQ(parse("<a k=\"" + r.attribute + "\">" + r.text + "</a>", &document),
                  xml_error::none)
            << r.what;
        EXPECT_EQ(document.root.text, r.read_back) << r.what;
        EXPECT_EQ(document.root.attributes.at(0).value, r.read_back) << r.what;
    }
}

TEST(XmlWriter, WritesAMultistatusThatReadsBack) {
    xml_document request;
    ASSERT_EQ(parse("<D:propertyupdate xmlns:D='DAV:'><D:set><D:prop><Z:dead xmlns:Z='urn:z'>"
                    "v</Z:dead></D:prop></D:set></D:propertyupdate>",
                    &request),
              xml_error::none);
    const xml_writer writer({{"DAV:", "D"}, {"urn:m", "M"}});
    std::string out;
    writer.begin_document(out, "DAV:", "multistatus");
    writer.start(out, "DAV:", "response");
    writer.text_element(out, "DAV:", "href", "/a&b/");
    writer.start(out, "DAV:", "propstat");
    writer.start(out, "DAV:", "prop");
    out += xml_markup(request, request.root.children[0].children[0].children[0]);
    writer.empty(out, "urn:m", "mapped");
    writer.empty(out, "urn:u", "unmapped");
    writer.start(out, "urn:u", "outer");
    writer.text_element(out, "", "bare", "t");
    writer.end(out, "urn:u", "outer");
    writer.end(out, "DAV:", "prop");
    writer.text_element(out, "DAV:", "status", "HTTP/1.1 200 OK");
    writer.end(out, "DAV:", "propstat");
    writer.end(out, "DAV:", "response");
    writer.end(out, "DAV:", "multistatus");
    EXPECT_EQ(out,
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<D:multistatus xmlns:D=\"DAV:\" xmlns:M=\"urn:m\"><D:response>"
              "<D:href>/a&amp;b/</D:href><D:propstat><D:prop>"
              "<Z:dead xmlns:Z='urn:z'>v</Z:dead><M:mapped/><unmapped xmlns=\"urn:u\"/>"
              "<outer xmlns=\"urn:u\"><bare xmlns=\"\">t</bare></outer></D:prop>"
              "<D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response></D:multistatus>");

    xml_document answer;
    ASSERT_EQ(parse(out, &answer), xml_error::none);
    EXPECT_EQ(xml_outline(answer.root),
              "{DAV:}multistatus({DAV:}response({DAV:}href\"/a&b/\" {DAV:}propstat({DAV:}prop("
              "{urn:z}dead\"v\" {urn:m}mapped {urn:u}unmapped {urn:u}outer({}bare\"t\")) "
              "{DAV:}status\"HTTP/1.1 200 OK\")))");

    std::string customary;
    xml_writer({{"DAV:", "D"}}).begin_document(customary, "DAV:", "multistatus");
    EXPECT_EQ(customary,
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<D:multistatus xmlns:D=\"DAV:\">");
}

}  // namespace
