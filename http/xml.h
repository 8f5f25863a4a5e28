// XML for WebDAV bodies: a reader that takes a whole request body held in memory into a tree of
// elements with their namespaces resolved, and a writer that appends an answer to a string in
// pieces, as it is sent.
//
// The reader takes XML 1.0 with namespaces, in UTF-8, and nothing that could make it expand or
// fetch anything: a document type declaration is refused, so no entity is ever declared, and
// only the five predefined entities and character references are replaced. Comments and
// processing instructions are skipped; an XML declaration is checked and skipped. Depth, element
// count, attributes per element, name length and attribute value length are bounded; time and
// memory grow linearly with the document. The caller bounds the document's size.
//
// Failures are codes with printable names; nothing throws except the allocator.
#pragma once

#include <cstddef>
#include <deque>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

// Bounds of a document the reader takes.
constexpr std::size_t xml_max_depth = 64;        // elements nested in each other, the root is 1
constexpr std::size_t xml_max_elements = 10000;  // elements in one document
constexpr std::size_t xml_max_attributes = 256;  // of one element, namespace declarations included
constexpr std::size_t xml_max_name = 256;        // bytes of a name as written, prefix included
constexpr std::size_t xml_max_value = 8192;      // bytes of an attribute value, as read
constexpr std::string_view xml_namespace_of_xml = "http://www.w3.org/XML/1998/namespace";

// Why a document was refused. The caller answers 400 and may tell the reason.
enum class xml_error {
    none,
    not_utf8,             // a byte sequence that is not UTF-8
    not_char,             // a character XML does not allow (most control characters, U+FFFE)
    encoding,             // the XML declaration names an encoding other than UTF-8
    doctype,              // a document type declaration: no entities are declared here
    syntax,               // markup that is not well-formed
    mismatched_tag,       // an end tag that does not close the element open there
    unclosed,             // the document ends inside an element, a tag, a comment or the like
    bad_reference,        // an entity other than the five predefined, or a bad character reference
    undeclared_prefix,    // a namespace prefix without a declaration in scope
    bad_namespace,        // a declaration namespaces forbid: xmlns:p="", a reserved prefix or URI
    duplicate_attribute,  // the same attribute twice, by name or by namespace and local name
    no_root,              // no element at all
    outside_root,         // text or another element before or after the root element
    too_deep,             // elements nested deeper than xml_max_depth
    too_many_elements,    // more than xml_max_elements
    too_many_attributes,  // more than xml_max_attributes on one element
    name_too_long,        // a name longer than xml_max_name
    value_too_long,       // an attribute value longer than xml_max_value
};

// A short reason for the refusal, in lower case ("not well-formed"); "" for none.
const char* xml_error_str(xml_error error);

struct xml_attribute {
    std::string_view ns;  // namespace URI (see xml_document); empty for an attribute without prefix
    std::string name;     // local name
    std::string prefix;   // as written; empty for none
    std::string value;    // references replaced, line ends and white space made spaces
};

struct xml_namespace {
    std::string prefix;  // empty: the default namespace
    std::string uri;     // empty only for the default: undeclares it
};

struct xml_element {
    std::string_view ns;                      // namespace URI (see xml_document); empty: none
    std::string name;                         // local name
    std::string prefix;                       // as written; empty for none
    std::vector<xml_attribute> attributes;    // in order; namespace declarations are not here
    std::vector<xml_namespace> declarations;  // the xmlns and xmlns:p attributes, in order
    std::string text;  // the character data directly inside, its pieces joined: references and
                       // CDATA sections replaced, CR LF and lone CR made LF
    std::vector<xml_element> children;  // in document order

    // Where the element lies in its document: byte offsets of its "<", of the end of its name in
    // the start tag, and one past its last ">".
    std::size_t begin = 0;
    std::size_t name_end = 0;
    std::size_t end = 0;

    bool is(std::string_view ns_uri, std::string_view local_name) const;
    // The first child with this namespace and local name; null when there is none.
    const xml_element* child(std::string_view ns_uri, std::string_view local_name) const;
    // Every child with this namespace and local name, in order.
    std::vector<const xml_element*> children_named(std::string_view ns_uri,
                                                   std::string_view local_name) const;
};

// The namespace URIs of its elements and attributes are views into `namespaces`, one string for
// each declaration however many names it serves: they stay valid while the document lives, also
// when it is moved, and a document is never copied.
struct xml_document {
    std::string source;                  // the bytes read, as they were given
    std::deque<std::string> namespaces;  // every namespace URI declared in it
    xml_element root;

    xml_document() = default;
    xml_document(xml_document&&) = default;
    xml_document& operator=(xml_document&&) = default;
    xml_document(const xml_document&) = delete;
    xml_document& operator=(const xml_document&) = delete;
};

// Reads the whole of `text` as one XML document into `*document`. xml_error::none when it is a
// well-formed, namespace-well-formed document within the bounds; otherwise the reason, with
// `*document` unchanged and `*error_at` (when not null) the byte offset where reading stopped.
// Never reads outside `text`.
xml_error xml_parse(std::string_view text, xml_document* document, std::size_t* error_at = nullptr);

// The markup of `element`, an element of `document`, as it was written: its bytes from its "<"
// to its last ">", with declarations added to its start tag for the namespaces that it and its
// content take from its ancestors, and for the xml:lang it inherits, so that it reads back as
// the same element on its own or inside any other element. Empty when `element` is not part of
// `document`. Takes time linear in the element's size and in its ancestors' attributes.
std::string xml_markup(const xml_document& document, const xml_element& element);

// A one-line description of an element and its content, for logs and tests: the element as
// {namespace}name, its attributes in brackets as {namespace}name="value", its text in quotes
// when there is any, and its children in parentheses, separated by spaces; quotes, backslashes
// and control characters are escaped as in C: {DAV:}prop({urn:x}a[{}type="t"] {urn:x}b"text").
std::string xml_outline(const xml_element& element);

// Escaping for the writer. Both replace each byte that does not begin a UTF-8 sequence, and
// each character XML does not allow (control characters other than tab, LF and CR; U+FFFE,
// U+FFFF), by U+FFFD, so that whatever they are given they write well-formed XML.

// Appends `text` as character data: "&", "<" and ">" as entities, CR as "&#13;" (so that it is
// not read back as LF).
void xml_append_text(std::string& out, std::string_view text);

// Appends `value` as the content of an attribute value in double quotes: "&", "<", ">" and
// "\"" as entities, tab, LF and CR as character references (so that they are not read back as
// spaces).
void xml_append_attribute_value(std::string& out, std::string_view value);

// The prefix the writer gives the elements of one namespace.
struct xml_prefix {
    std::string ns;      // a namespace URI
    std::string prefix;  // a distinct, non-empty name without ":"
};

// Writes elements with a fixed map of namespace prefixes, such as "D" for "DAV:". The root
// element declares every prefix of the map; an element of a namespace outside the map is written
// without prefix, with its namespace declared as the default on the element itself (and
// xmlns="" for no namespace), so that it is right inside any other element. Names are the
// caller's: local names must be XML names without ":". Nothing is kept between calls, so one
// writer serves any number of answers written in pieces.
class xml_writer {
  public:
    // xml_writer dav({{"DAV:", "D"}});
    explicit xml_writer(std::initializer_list<xml_prefix> prefixes);

    // The XML declaration, a line end and the start tag of the root element.
    void begin_document(std::string& out, std::string_view ns, std::string_view name) const;
    void start(std::string& out, std::string_view ns, std::string_view name) const;
    void end(std::string& out, std::string_view ns, std::string_view name) const;
    // An element without content: <D:name/>.
    void empty(std::string& out, std::string_view ns, std::string_view name) const;
    // An element holding only `text`, escaped.
    void text_element(std::string& out, std::string_view ns, std::string_view name,
                      std::string_view text) const;

  private:
    // "<" and the name, with the namespace declared when it is not in the map.
    void open_tag(std::string& out, std::string_view ns, std::string_view name) const;
    void append_name(std::string& out, std::string_view ns, std::string_view name) const;
    const std::string* prefix_of(std::string_view ns) const;

    std::vector<xml_prefix> prefixes_;
};
