// xml_parse on any bytes: it reads only its input, a refusal says where it
// stopped, and a document it takes keeps the bounds; every element's markup,
// read again alone and inside an answer that binds other namespaces, gives the
// same element; text and values written out by the writer read back as they
// were. An input that begins with a NUL byte (which no document may hold) is
// a piece repeated into a document of 64 KiB instead, which must be read in
// a time that only a linear reader keeps.
#include <algorithm>
#include <chrono>

#include "fuzz/fuzz_support.h"
#include "http/xml.h"

namespace {

const std::string_view replacement_char = "\xEF\xBF\xBD";

xml_error parse_exact(std::string_view text, xml_document* document) {
    exact_copy copy(text);
    return xml_parse(copy.text(), document);
}

void check_bounds(const xml_element& element, std::size_t depth, std::size_t* elements) {
    require(depth <= xml_max_depth, "an element deeper than the bound");
    require(++*elements <= xml_max_elements, "more elements than the bound");
    require(element.attributes.size() + element.declarations.size() <= xml_max_attributes,
            "more attributes than the bound");
    const auto fits = [](const std::string& prefix, const std::string& name) {
        return prefix.size() + (prefix.empty() ? 0 : 1) + name.size() <= xml_max_name;
    };
    require(fits(element.prefix, element.name), "an element name longer than the bound");
    for (const xml_attribute& a : element.attributes) {
        require(fits(a.prefix, a.name), "an attribute name longer than the bound");
        require(a.value.size() <= xml_max_value, "an attribute value longer than the bound");
    }
    require(element.begin < element.name_end && element.name_end < element.end,
            "an element's offsets do not nest");
    for (const xml_element& child : element.children) {
        require(element.name_end < child.begin && child.end < element.end,
                "a child lies outside its parent");
        check_bounds(child, depth + 1, elements);
    }
}

bool is_lang(const xml_attribute& a) {
    return a.ns == xml_namespace_of_xml && a.name == "lang";
}

// The markup gives the element back; an xml:lang it inherits becomes its own.
void require_same(xml_element read, const xml_element& element) {
    if (std::none_of(element.attributes.begin(), element.attributes.end(), is_lang))
        std::erase_if(read.attributes, is_lang);
    require(read.prefix == element.prefix, "the markup reads back with another prefix");
    require(xml_outline(read) == xml_outline(element), "the markup reads back as another element");
}

// Reads an element's markup again, alone or inside an answer. Only the bounds may refuse it:
// the attributes when the markup added declarations to an element near their bound, and inside
// the answer the depth and element count that its two elements add.
void check_read_back(const std::string& text, const xml_element& element, bool attributes_over,
                     bool in_answer) {
    xml_document read;
    const xml_error error = parse_exact(text, &read);
    if (error == xml_error::too_many_attributes) {
        require(attributes_over, "the markup is refused for its attributes");
        return;
    }
    if (in_answer && (error == xml_error::too_deep || error == xml_error::too_many_elements))
        return;
    require(error == xml_error::none, "the markup is refused");
    const xml_element& value = in_answer ? read.root.children.at(0).children.at(0) : read.root;
    require_same(value, element);
}

void check_markup(const xml_document& document, const xml_element& element) {
    const std::string markup = xml_markup(document, element);
    // What xml_markup added to the start tag: attributes in double quotes, whose escaped values
    // hold no double quote.
    const std::string added = markup.substr(element.name_end - element.begin,
                                            markup.size() - (element.end - element.begin));
    const std::size_t attributes = element.attributes.size() + element.declarations.size() +
                                   std::count(added.begin(), added.end(), '"') / 2;
    const bool attributes_over = attributes > xml_max_attributes;
    check_read_back(markup, element, attributes_over, false);
    check_read_back(
        "<D:multistatus xmlns:D='DAV:' xmlns='urn:o' xmlns:a='urn:o' xml:lang='x'>"
        "<D:prop>" +
            markup + "</D:prop></D:multistatus>",
        element, attributes_over, true);
    for (const xml_element& child : element.children)
        check_markup(document, child);
}

// Reads back what the writer made of `bytes`: the same bytes when they were all characters XML
// allows (`valid`), else with U+FFFD for those that were not.
void require_written(const std::string& read, std::string_view bytes, bool valid) {
    if (valid || read.find(replacement_char) == std::string::npos)
        require(read == bytes, "written text reads back as something else");
}

// Any bytes written as text and as an attribute value read back as they were. The attribute
// is left empty for more than a third of the value bound, as each byte may become a U+FFFD of
// three.
void check_writer(std::string_view bytes, bool valid) {
    const std::string_view value = bytes.size() <= xml_max_value / 3 ? bytes : "";
    std::string written = "<a k=\"";
    xml_append_attribute_value(written, value);
    written += "\">";
    xml_append_text(written, bytes);
    written += "</a>";
    xml_document document;
    require(parse_exact(written, &document) == xml_error::none, "the writer's text is refused");
    require_written(document.root.text, bytes, valid);
    require_written(document.root.attributes.at(0).value, value, valid);
}

void check_linear_time(std::string_view piece) {
    constexpr std::size_t size = 64 * 1024;
    std::string document = "<r>";
    while (!piece.empty() && document.size() < size)
        document += piece;
    document += "</r>";
    const auto start = std::chrono::steady_clock::now();
    xml_document read;
    if (parse_exact(document, &read) == xml_error::none) {
        for (const xml_element& child : read.root.children)
            xml_markup(read, child);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // Linear reading takes milliseconds here; a quadratic one takes seconds.
    require(elapsed < std::chrono::seconds(2), "a document of 64 KiB takes seconds");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0 && data[0] == 0) {
        check_linear_time(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
        return 0;
    }
    exact_copy input(data, size);
    xml_document document;
    std::size_t at = size + 1;
    const xml_error error = xml_parse(input.text(), &document, &at);
    require(input.unchanged(), "the reader wrote into its input");
    check_writer(input.text(), error != xml_error::not_utf8 && error != xml_error::not_char);
    if (error != xml_error::none) {
        require(at <= size, "a refusal points beyond the input");
        require(*xml_error_str(error) != '\0', "a refusal without a reason");
        return 0;
    }
    require(document.source == input.text(), "the document does not keep its bytes");
    std::size_t elements = 0;
    check_bounds(document.root, 1, &elements);
    check_markup(document, document.root);
    return 0;
}
