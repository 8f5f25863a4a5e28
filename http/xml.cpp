#include "http/xml.h"

#include <algorithm>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <utility>

#include "http/http_utils.h"

namespace {

constexpr std::string_view xmlns_namespace = "http://www.w3.org/2000/xmlns/";
constexpr std::string_view replacement_char = "\xEF\xBF\xBD";  // U+FFFD
constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

// One character decoded from UTF-8: its code point and its length in bytes. The length is 0
// when the bytes there are not UTF-8: a stray continuation byte, a sequence cut short, an
// overlong form, a surrogate, a code point beyond U+10FFFF.
struct utf8_char {
    char32_t code = 0;
    std::size_t length = 0;
};

utf8_char decode_utf8(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return {lead, 1};
    std::size_t length = 0;
    char32_t least = 0;  // the least code point of this length: below it the form is overlong
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        least = 0x10000;
    } else {
        return {};
    }
    if (text.size() - at < length) return {};
    char32_t code = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return {};
        code = (code << 6) | (byte(i) & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return {};
    return {code, length};
}

void append_utf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

bool is_xml_char(char32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

struct code_range {
    char32_t first;
    char32_t last;
};

bool in_ranges(char32_t c, const code_range* begin, const code_range* end) {
    return std::any_of(begin, end,
                       [c](const code_range& r) { return c >= r.first && c <= r.last; });
}

bool is_name_start(char32_t c) {
    static const code_range ranges[] = {
        {':', ':'},       {'A', 'Z'},       {'_', '_'},       {'a', 'z'},
        {0xC0, 0xD6},     {0xD8, 0xF6},     {0xF8, 0x2FF},    {0x370, 0x37D},
        {0x37F, 0x1FFF},  {0x200C, 0x200D}, {0x2070, 0x218F}, {0x2C00, 0x2FEF},
        {0x3001, 0xD7FF}, {0xF900, 0xFDCF}, {0xFDF0, 0xFFFD}, {0x10000, 0xEFFFF},
    };
    return in_ranges(c, std::begin(ranges), std::end(ranges));
}

bool is_name_char(char32_t c) {
    static const code_range ranges[] = {
        {'-', '.'}, {'0', '9'}, {0xB7, 0xB7}, {0x300, 0x36F}, {0x203F, 0x2040},
    };
    return is_name_start(c) || in_ranges(c, std::begin(ranges), std::end(ranges));
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The first byte of `text` that is not UTF-8 or not a character XML allows; `text.size()` when
// every byte is well.
xml_error check_characters(std::string_view text, std::size_t* at) {
    for (*at = 0; *at < text.size();) {
        const utf8_char c = decode_utf8(text, *at);
        if (c.length == 0) return xml_error::not_utf8;
        if (!is_xml_char(c.code)) return xml_error::not_char;
        *at += c.length;
    }
    return xml_error::none;
}

// Appends `text` with every CR LF and every lone CR made LF, as XML reads line ends.
void append_lines(std::string& out, std::string_view text) {
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '\r') {
            out += text[at];
            continue;
        }
        out += '\n';
        if (at + 1 < text.size() && text[at + 1] == '\n') ++at;
    }
}

// A name as written, split at its colon.
struct qualified_name {
    std::string_view whole;
    std::string_view prefix;  // empty for none
    std::string_view local;
};

// An attribute as read from a start tag, before its namespace is known.
struct raw_attribute {
    qualified_name name;
    std::string value;
};

bool is_declaration(const qualified_name& name) {
    return name.prefix == "xmlns" || (name.prefix.empty() && name.local == "xmlns");
}

// Reads one document. Each step looks at text_[at_] only after checking that at_ is inside the
// text, and leaves at_ where it stopped, also on a failure.
class reader {
  public:
    explicit reader(std::string_view text) : text_(text) {
        bindings_["xml"].push_back(xml_namespace_of_xml);
    }

    xml_error read(xml_element* root);
    std::deque<std::string>& namespaces() { return namespaces_; }
    std::size_t at() const { return at_; }

  private:
    struct open_element {
        xml_element element;
        std::string_view name;   // as written, for the end tag
        std::size_t scope_mark;  // declared_.size() before its declarations
    };

    bool at_end() const { return at_ >= text_.size(); }
    bool looking_at(std::string_view s) const { return text_.substr(at_).starts_with(s); }
    bool skip(std::string_view s);
    bool skip_space();
    // Moves past the next `close`; unclosed when there is none.
    xml_error skip_past(std::string_view close);
    // The error for text that is missing at at_: the document ended, or something else stands.
    xml_error missing() const { return at_end() ? xml_error::unclosed : xml_error::syntax; }

    xml_error read_misc();
    xml_error read_xml_declaration();
    xml_error read_pseudo_attribute(std::string_view name, std::string_view* value);
    xml_error read_comment();
    xml_error read_processing_instruction();
    xml_error read_content();
    xml_error read_name(std::string_view* name);
    xml_error read_qualified_name(qualified_name* name);
    xml_error read_reference(std::string& out);
    xml_error read_attribute_value(std::string& out);
    xml_error read_start_tag();
    xml_error read_end_tag();
    xml_error read_char_data();
    xml_error read_cdata();
    xml_error take_attributes(std::vector<raw_attribute>& raw, xml_element& element);

    xml_error declare(std::string_view prefix, std::string_view uri);
    xml_error resolve(std::string_view prefix, bool element, std::string_view* uri) const;
    void close_scope(std::size_t mark);
    void close_element(xml_element&& element);

    std::string_view text_;
    std::size_t at_ = 0;
    std::vector<open_element> open_;
    std::size_t elements_ = 0;
    xml_element root_;
    // Each prefix's URIs in scope, the innermost last; "" is the default namespace. The URIs are
    // views into namespaces_, which never moves a string it holds.
    std::map<std::string, std::vector<std::string_view>, std::less<>> bindings_;
    std::deque<std::string> namespaces_;
    std::vector<std::string> declared_;  // prefixes in declaration order, undone as elements close
};

bool reader::skip(std::string_view s) {
    if (!looking_at(s)) return false;
    at_ += s.size();
    return true;
}

xml_error reader::skip_past(std::string_view close) {
    const std::size_t found = text_.find(close, at_);
    if (found == std::string_view::npos) {
        at_ = text_.size();
        return xml_error::unclosed;
    }
    at_ = found + close.size();
    return xml_error::none;
}

bool reader::skip_space() {
    const std::size_t start = at_;
    while (!at_end() && is_space(text_[at_]))
        ++at_;
    return at_ != start;
}

xml_error reader::read(xml_element* root) {
    skip(byte_order_mark);
    // "<?xml" begins the declaration only when space follows; "<?xml-stylesheet" is a PI.
    if (looking_at("<?xml") && at_ + 5 < text_.size() && is_space(text_[at_ + 5])) {
        if (xml_error e = read_xml_declaration(); e != xml_error::none) return e;
    }
    if (xml_error e = read_misc(); e != xml_error::none) return e;
    if (at_end()) return xml_error::no_root;
    if (text_[at_] != '<') return xml_error::outside_root;
    if (xml_error e = read_content(); e != xml_error::none) return e;
    if (xml_error e = read_misc(); e != xml_error::none) return e;
    if (!at_end()) return xml_error::outside_root;
    *root = std::move(root_);
    return xml_error::none;
}

// Space, comments and processing instructions before or after the root element.
xml_error reader::read_misc() {
    for (;;) {
        skip_space();
        xml_error e = xml_error::none;
        if (looking_at("<!--"))
            e = read_comment();
        else if (looking_at("<?"))
            e = read_processing_instruction();
        else if (looking_at("<!DOCTYPE"))
            return xml_error::doctype;
        else
            return xml_error::none;
        if (e != xml_error::none) return e;
    }
}

xml_error reader::read_xml_declaration() {
    at_ += 5;  // "<?xml"
    std::string_view version;
    if (xml_error e = read_pseudo_attribute("version", &version); e != xml_error::none) return e;
    if (!version.starts_with("1.") || version.size() < 3 ||
        version.substr(2).find_first_not_of("0123456789") != std::string_view::npos)
        return xml_error::syntax;
    bool space = skip_space();
    if (space && looking_at("encoding")) {
        std::string_view encoding;
        if (xml_error e = read_pseudo_attribute("encoding", &encoding); e != xml_error::none)
            return e;
        if (!equal_ignoring_case(encoding, "UTF-8")) return xml_error::encoding;
        space = skip_space();
    }
    if (space && looking_at("standalone")) {
        std::string_view standalone;
        if (xml_error e = read_pseudo_attribute("standalone", &standalone); e != xml_error::none)
            return e;
        if (standalone != "yes" && standalone != "no") return xml_error::syntax;
        skip_space();
    }
    return skip("?>") ? xml_error::none : missing();
}

// S name S? "=" S? quoted value, as the XML declaration has them.
xml_error reader::read_pseudo_attribute(std::string_view name, std::string_view* value) {
    skip_space();
    if (!skip(name)) return missing();
    skip_space();
    if (!skip("=")) return missing();
    skip_space();
    if (at_end()) return xml_error::unclosed;
    const char quote = text_[at_];
    if (quote != '"' && quote != '\'') return xml_error::syntax;
    const std::size_t close = text_.find(quote, at_ + 1);
    if (close == std::string_view::npos) return xml_error::unclosed;
    *value = text_.substr(at_ + 1, close - at_ - 1);
    at_ = close + 1;
    return xml_error::none;
}

xml_error reader::read_comment() {
    at_ += 4;  // "<!--"
    const std::size_t dashes = std::min(text_.find("--", at_), text_.size());
    at_ = dashes;
    if (dashes + 2 >= text_.size()) return xml_error::unclosed;
    if (text_[dashes + 2] != '>') return xml_error::syntax;  // "--" inside a comment
    at_ = dashes + 3;
    return xml_error::none;
}

xml_error reader::read_processing_instruction() {
    at_ += 2;  // "<?"
    std::string_view target;
    if (xml_error e = read_name(&target); e != xml_error::none) return e;
    // No colons in targets; "xml" in any case is reserved for the declaration at the start.
    if (target.find(':') != std::string_view::npos || equal_ignoring_case(target, "xml"))
        return xml_error::syntax;
    if (skip("?>")) return xml_error::none;
    if (!skip_space()) return missing();
    return skip_past("?>");
}

// The root element and everything in it, from its "<" to its last ">".
xml_error reader::read_content() {
    if (xml_error e = read_start_tag(); e != xml_error::none) return e;
    while (!open_.empty()) {
        if (at_end()) return xml_error::unclosed;
        xml_error e = xml_error::none;
        if (text_[at_] == '&')
            e = read_reference(open_.back().element.text);
        else if (text_[at_] != '<')
            e = read_char_data();
        else if (looking_at("</"))
            e = read_end_tag();
        else if (looking_at("<!--"))
            e = read_comment();
        else if (looking_at("<![CDATA["))
            e = read_cdata();
        else if (looking_at("<?"))
            e = read_processing_instruction();
        else if (looking_at("<!DOCTYPE"))
            e = xml_error::doctype;
        else
            e = read_start_tag();
        if (e != xml_error::none) return e;
    }
    return xml_error::none;
}

xml_error reader::read_name(std::string_view* name) {
    const std::size_t start = at_;
    while (!at_end()) {
        const utf8_char c = decode_utf8(text_, at_);
        const bool fits = at_ == start ? is_name_start(c.code) : is_name_char(c.code);
        if (c.length == 0 || !fits) break;
        at_ += c.length;
        if (at_ - start > xml_max_name) return xml_error::name_too_long;
    }
    if (at_ == start) return missing();
    *name = text_.substr(start, at_ - start);
    return xml_error::none;
}

// A name of at most one colon, with a name on either side of it.
xml_error reader::read_qualified_name(qualified_name* name) {
    const std::size_t start = at_;
    if (xml_error e = read_name(&name->whole); e != xml_error::none) return e;
    const std::size_t colon = name->whole.find(':');
    if (colon == std::string_view::npos) {
        name->prefix = {};
        name->local = name->whole;
        return xml_error::none;
    }
    name->prefix = name->whole.substr(0, colon);
    name->local = name->whole.substr(colon + 1);
    // The local part must begin as a name does: "a:-b" is no qualified name.
    const bool local_starts_well =
        !name->local.empty() && is_name_start(decode_utf8(name->local, 0).code);
    if (colon == 0 || !local_starts_well || name->local.find(':') != std::string_view::npos) {
        at_ = start;
        return xml_error::syntax;
    }
    return xml_error::none;
}

xml_error reader::read_reference(std::string& out) {
    ++at_;  // "&"
    if (skip("#")) {
        const bool hex = skip("x");
        const std::string_view digits = hex ? "0123456789abcdefABCDEF" : "0123456789";
        char32_t code = 0;
        const std::size_t start = at_;
        for (; !at_end() && digits.find(text_[at_]) != std::string_view::npos; ++at_) {
            const char c = text_[at_];
            const auto digit = static_cast<char32_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
            code = std::min<char32_t>(code * (hex ? 16 : 10) + digit, 0x110000);  // no overflow
        }
        if (at_end()) return xml_error::unclosed;
        if (at_ == start || text_[at_] != ';' || !is_xml_char(code))
            return xml_error::bad_reference;
        ++at_;
        append_utf8(out, code);
        return xml_error::none;
    }
    std::string_view name;
    if (xml_error e = read_name(&name); e != xml_error::none)
        return e == xml_error::syntax ? xml_error::bad_reference : e;
    if (at_end()) return xml_error::unclosed;
    if (text_[at_] != ';') return xml_error::bad_reference;
    static const std::pair<std::string_view, char> predefined[] = {
        {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''},
    };
    for (const auto& [entity, c] : predefined) {
        if (name == entity) {
            ++at_;
            out += c;
            return xml_error::none;
        }
    }
    at_ -= name.size();
    return xml_error::bad_reference;
}

// A quoted value: references replaced, then each line end, tab and LF made one space.
xml_error reader::read_attribute_value(std::string& out) {
    if (at_end()) return xml_error::unclosed;
    const char quote = text_[at_];
    if (quote != '"' && quote != '\'') return xml_error::syntax;
    ++at_;
    for (;;) {
        if (at_end()) return xml_error::unclosed;
        const char c = text_[at_];
        if (c == quote) break;
        if (c == '<') return xml_error::syntax;
        if (c == '&') {
            if (xml_error e = read_reference(out); e != xml_error::none) return e;
        } else {
            ++at_;
            if (c == '\r' && !at_end() && text_[at_] == '\n') ++at_;
            out += is_space(c) ? ' ' : c;
        }
        if (out.size() > xml_max_value) return xml_error::value_too_long;
    }
    ++at_;
    return xml_error::none;
}

xml_error reader::read_start_tag() {
    const std::size_t begin = at_;
    if (open_.size() >= xml_max_depth) return xml_error::too_deep;
    if (elements_ >= xml_max_elements) return xml_error::too_many_elements;
    ++elements_;
    ++at_;  // "<"
    qualified_name name;
    if (xml_error e = read_qualified_name(&name); e != xml_error::none) return e;
    xml_element element;
    element.begin = begin;
    element.name_end = at_;
    element.prefix = name.prefix;
    element.name = name.local;

    std::vector<raw_attribute> raw;
    bool empty = false;
    for (;;) {
        const bool space = skip_space();
        if (skip("/>")) {
            empty = true;
            break;
        }
        if (skip(">")) break;
        if (!space) return missing();
        if (raw.size() == xml_max_attributes) return xml_error::too_many_attributes;
        raw_attribute attribute;
        if (xml_error e = read_qualified_name(&attribute.name); e != xml_error::none) return e;
        skip_space();
        if (!skip("=")) return missing();
        skip_space();
        if (xml_error e = read_attribute_value(attribute.value); e != xml_error::none) return e;
        raw.push_back(std::move(attribute));
    }

    const std::size_t scope_mark = declared_.size();
    if (xml_error e = take_attributes(raw, element); e != xml_error::none) return e;
    if (name.prefix == "xmlns") return xml_error::bad_namespace;
    if (xml_error e = resolve(name.prefix, true, &element.ns); e != xml_error::none) return e;
    if (!empty) {
        open_.push_back({std::move(element), name.whole, scope_mark});
        return xml_error::none;
    }
    element.end = at_;
    close_scope(scope_mark);
    close_element(std::move(element));
    return xml_error::none;
}

// Declares the namespaces of a start tag and resolves its attributes, refusing any attribute
// that stands twice: by its name as written, or by its namespace and local name.
xml_error reader::take_attributes(std::vector<raw_attribute>& raw, xml_element& element) {
    std::vector<std::string_view> written;
    for (const raw_attribute& a : raw)
        written.push_back(a.name.whole);
    std::sort(written.begin(), written.end());
    if (std::adjacent_find(written.begin(), written.end()) != written.end())
        return xml_error::duplicate_attribute;

    for (const raw_attribute& a : raw) {
        if (!is_declaration(a.name)) continue;
        const std::string_view prefix = a.name.prefix.empty() ? "" : a.name.local;
        if (xml_error e = declare(prefix, a.value); e != xml_error::none) return e;
        element.declarations.push_back({std::string(prefix), a.value});
    }

    for (raw_attribute& a : raw) {
        if (is_declaration(a.name)) continue;
        xml_attribute attribute{
            {}, std::string(a.name.local), std::string(a.name.prefix), std::move(a.value)};
        if (xml_error e = resolve(a.name.prefix, false, &attribute.ns); e != xml_error::none)
            return e;
        element.attributes.push_back(std::move(attribute));
    }
    std::vector<std::pair<std::string_view, std::string_view>> expanded;
    for (const xml_attribute& a : element.attributes)
        expanded.emplace_back(a.ns, a.name);
    std::sort(expanded.begin(), expanded.end());
    if (std::adjacent_find(expanded.begin(), expanded.end()) != expanded.end())
        return xml_error::duplicate_attribute;
    return xml_error::none;
}

xml_error reader::read_end_tag() {
    at_ += 2;  // "</"
    qualified_name name;
    if (xml_error e = read_qualified_name(&name); e != xml_error::none) return e;
    if (name.whole != open_.back().name) return xml_error::mismatched_tag;
    skip_space();
    if (!skip(">")) return missing();
    open_element closed = std::move(open_.back());
    open_.pop_back();
    closed.element.end = at_;
    close_scope(closed.scope_mark);
    close_element(std::move(closed.element));
    return xml_error::none;
}

xml_error reader::read_char_data() {
    const std::size_t stop = std::min(text_.find_first_of("<&", at_), text_.size());
    const std::string_view run = text_.substr(at_, stop - at_);
    if (const std::size_t bad = run.find("]]>"); bad != std::string_view::npos) {
        at_ += bad;
        return xml_error::syntax;
    }
    append_lines(open_.back().element.text, run);
    at_ = stop;
    return xml_error::none;
}

xml_error reader::read_cdata() {
    at_ += 9;  // "<![CDATA["
    const std::size_t start = at_;
    if (xml_error e = skip_past("]]>"); e != xml_error::none) return e;
    append_lines(open_.back().element.text, text_.substr(start, at_ - 3 - start));
    return xml_error::none;
}

xml_error reader::declare(std::string_view prefix, std::string_view uri) {
    // "xml" is bound to its namespace and nothing else is; "xmlns" is never declared, nor its
    // namespace; a prefix can not be undeclared (only the default can, with xmlns="").
    if (prefix == "xmlns" || uri == xmlns_namespace ||
        (prefix == "xml") != (uri == xml_namespace_of_xml) || (!prefix.empty() && uri.empty()))
        return xml_error::bad_namespace;
    namespaces_.emplace_back(uri);
    bindings_[std::string(prefix)].push_back(namespaces_.back());
    declared_.emplace_back(prefix);
    return xml_error::none;
}

// The namespace of a prefix in scope. Without prefix an element takes the default namespace,
// an attribute none.
xml_error reader::resolve(std::string_view prefix, bool element, std::string_view* uri) const {
    *uri = {};
    if (prefix.empty() && !element) return xml_error::none;
    const auto found = bindings_.find(prefix);
    if (found == bindings_.end() || found->second.empty())
        return prefix.empty() ? xml_error::none : xml_error::undeclared_prefix;
    *uri = found->second.back();
    return xml_error::none;
}

void reader::close_scope(std::size_t mark) {
    while (declared_.size() > mark) {
        bindings_.find(declared_.back())->second.pop_back();
        declared_.pop_back();
    }
}

void reader::close_element(xml_element&& element) {
    if (open_.empty())
        root_ = std::move(element);
    else
        open_.back().element.children.push_back(std::move(element));
}

// The elements from the root down to `element`'s parent, found by the offsets, which nest.
bool find_ancestors(const xml_element& root, const xml_element& element,
                    std::vector<const xml_element*>* ancestors) {
    const xml_element* at = &root;
    while (at != &element) {
        ancestors->push_back(at);
        const auto after = std::upper_bound(
            at->children.begin(), at->children.end(), element.begin,
            [](std::size_t offset, const xml_element& child) { return offset < child.begin; });
        if (after == at->children.begin() || element.begin >= std::prev(after)->end) return false;
        at = &*std::prev(after);
    }
    return true;
}

// Adds to `needed` each prefix that `element` or its content uses ("" for an element without
// prefix) and that no declaration inside it binds: the prefixes it takes from its ancestors.
void collect_inherited_prefixes(const xml_element& element,
                                std::map<std::string, int, std::less<>>& declared,
                                std::set<std::string, std::less<>>& needed) {
    for (const xml_namespace& d : element.declarations)
        ++declared[d.prefix];
    const auto use = [&](const std::string& prefix) {
        if (prefix != "xml" && !declared.contains(prefix)) needed.insert(prefix);
    };
    use(element.prefix);
    for (const xml_attribute& a : element.attributes)
        if (!a.prefix.empty()) use(a.prefix);
    for (const xml_element& child : element.children)
        collect_inherited_prefixes(child, declared, needed);
    for (const xml_namespace& d : element.declarations)
        if (--declared[d.prefix] == 0) declared.erase(d.prefix);
}

const xml_attribute* find_lang(const xml_element& element) {
    for (const xml_attribute& a : element.attributes)
        if (a.ns == xml_namespace_of_xml && a.name == "lang") return &a;
    return nullptr;
}

void append_attribute(std::string& out, std::string_view name, std::string_view value) {
    out += ' ';
    out += name;
    out += "=\"";
    xml_append_attribute_value(out, value);
    out += '"';
}

void append_quoted(std::string& out, std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        } else {
            out += c;
        }
    }
    out += '"';
}

void append_expanded_name(std::string& out, std::string_view ns, std::string_view name) {
    out += '{';
    out += ns;
    out += '}';
    out += name;
}

void append_outline(std::string& out, const xml_element& element) {
    append_expanded_name(out, element.ns, element.name);
    if (!element.attributes.empty()) {
        out += '[';
        for (const xml_attribute& a : element.attributes) {
            if (&a != &element.attributes.front()) out += ' ';
            append_expanded_name(out, a.ns, a.name);
            out += '=';
            append_quoted(out, a.value);
        }
        out += ']';
    }
    if (!element.text.empty()) append_quoted(out, element.text);
    if (!element.children.empty()) {
        out += '(';
        for (const xml_element& child : element.children) {
            if (&child != &element.children.front()) out += ' ';
            append_outline(out, child);
        }
        out += ')';
    }
}

// How an ASCII character is written: its entity or reference, or null when it stands as it is.
const char* escape_of(char c, bool in_attribute) {
    switch (c) {
        case '&':
            return "&amp;";
        case '<':
            return "&lt;";
        case '>':
            return "&gt;";
        case '\r':
            return "&#13;";
        case '"':
            return in_attribute ? "&quot;" : nullptr;
        case '\n':
            return in_attribute ? "&#10;" : nullptr;
        case '\t':
            return in_attribute ? "&#9;" : nullptr;
        default:
            return nullptr;
    }
}

void append_escaped(std::string& out, std::string_view text, bool in_attribute) {
    std::size_t kept = 0;  // text[kept, at) is written as it stands, once a byte needs more
    for (std::size_t at = 0; at < text.size();) {
        const char* escape = escape_of(text[at], in_attribute);
        const utf8_char c = escape ? utf8_char{} : decode_utf8(text, at);
        if (c.length != 0 && is_xml_char(c.code)) {
            at += c.length;
            continue;
        }
        out.append(text.substr(kept, at - kept));
        out += escape ? std::string_view(escape) : replacement_char;
        at += std::max<std::size_t>(c.length, 1);  // a character XML does not allow, whole
        kept = at;
    }
    out.append(text.substr(kept));
}

}  // namespace

const char* xml_error_str(xml_error error) {
    // In the order of the enumerators.
    static const char* const reasons[] = {
        "",
        "not UTF-8",
        "a character XML does not allow",
        "an encoding other than UTF-8",
        "a document type declaration",
        "not well-formed",
        "an end tag that does not match",
        "the document ends too early",
        "an unknown entity or a bad character reference",
        "an undeclared namespace prefix",
        "a namespace declaration that is not allowed",
        "an attribute given twice",
        "no root element",
        "text or markup outside the root element",
        "elements nested too deeply",
        "too many elements",
        "too many attributes on one element",
        "a name too long",
        "an attribute value too long",
    };
    static_assert(std::size(reasons) == static_cast<std::size_t>(xml_error::value_too_long) + 1);
    const auto index = static_cast<std::size_t>(error);
    return index < std::size(reasons) ? reasons[index] : "unknown";
}

bool xml_element::is(std::string_view ns_uri, std::string_view local_name) const {
    return ns == ns_uri && name == local_name;
}

const xml_element* xml_element::child(std::string_view ns_uri, std::string_view local_name) const {
    for (const xml_element& c : children)
        if (c.is(ns_uri, local_name)) return &c;
    return nullptr;
}

std::vector<const xml_element*> xml_element::children_named(std::string_view ns_uri,
                                                            std::string_view local_name) const {
    std::vector<const xml_element*> found;
    for (const xml_element& c : children)
        if (c.is(ns_uri, local_name)) found.push_back(&c);
    return found;
}

xml_error xml_parse(std::string_view text, xml_document* document, std::size_t* error_at) {
    std::size_t at = 0;
    xml_element root;
    std::deque<std::string> namespaces;
    xml_error error = check_characters(text, &at);
    if (error == xml_error::none) {
        reader r(text);
        error = r.read(&root);
        at = r.at();
        namespaces = std::move(r.namespaces());
    }
    if (error != xml_error::none) {
        if (error_at != nullptr) *error_at = std::min(at, text.size());
        return error;
    }
    if (document != nullptr) {
        document->source.assign(text);
        document->namespaces = std::move(namespaces);
        document->root = std::move(root);
    }
    return xml_error::none;
}

std::string xml_markup(const xml_document& document, const xml_element& element) {
    std::vector<const xml_element*> ancestors;
    if (!find_ancestors(document.root, element, &ancestors)) return {};
    const std::string_view source = document.source;
    if (element.begin > element.name_end || element.name_end > element.end ||
        element.end > source.size())
        return {};

    std::map<std::string, int, std::less<>> declared;
    std::set<std::string, std::less<>> needed;
    collect_inherited_prefixes(element, declared, needed);
    // The innermost declaration of each prefix needed; only those are looked at twice.
    std::map<std::string_view, std::string_view> in_scope;
    for (const xml_element* ancestor : ancestors)
        for (const xml_namespace& d : ancestor->declarations)
            if (needed.contains(d.prefix)) in_scope[d.prefix] = d.uri;

    std::string out(source.substr(element.begin, element.name_end - element.begin));
    for (const std::string& prefix : needed) {
        const auto binding = in_scope.find(prefix);
        // A default namespace that none declares is none: xmlns="" keeps it so elsewhere.
        const std::string_view uri = binding == in_scope.end() ? "" : binding->second;
        append_attribute(out, prefix.empty() ? "xmlns" : "xmlns:" + prefix, uri);
    }
    if (find_lang(element) == nullptr) {
        for (auto at = ancestors.rbegin(); at != ancestors.rend(); ++at) {
            if (const xml_attribute* lang = find_lang(**at)) {
                append_attribute(out, "xml:lang", lang->value);
                break;
            }
        }
    }
    out += source.substr(element.name_end, element.end - element.name_end);
    return out;
}

std::string xml_outline(const xml_element& element) {
    std::string out;
    append_outline(out, element);
    return out;
}

void xml_append_text(std::string& out, std::string_view text) {
    append_escaped(out, text, false);
}

void xml_append_attribute_value(std::string& out, std::string_view value) {
    append_escaped(out, value, true);
}

xml_writer::xml_writer(std::initializer_list<xml_prefix> prefixes) : prefixes_(prefixes) {}

void xml_writer::begin_document(std::string& out, std::string_view ns,
                                std::string_view name) const {
    out += "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    open_tag(out, ns, name);
    for (const xml_prefix& p : prefixes_)
        append_attribute(out, "xmlns:" + p.prefix, p.ns);
    out += '>';
}

void xml_writer::start(std::string& out, std::string_view ns, std::string_view name) const {
    open_tag(out, ns, name);
    out += '>';
}

void xml_writer::end(std::string& out, std::string_view ns, std::string_view name) const {
    out += "</";
    append_name(out, ns, name);
    out += '>';
}

void xml_writer::empty(std::string& out, std::string_view ns, std::string_view name) const {
    open_tag(out, ns, name);
    out += "/>";
}

void xml_writer::text_element(std::string& out, std::string_view ns, std::string_view name,
                              std::string_view text) const {
    start(out, ns, name);
    xml_append_text(out, text);
    end(out, ns, name);
}

void xml_writer::open_tag(std::string& out, std::string_view ns, std::string_view name) const {
    out += '<';
    append_name(out, ns, name);
    if (prefix_of(ns) == nullptr) append_attribute(out, "xmlns", ns);
}

void xml_writer::append_name(std::string& out, std::string_view ns, std::string_view name) const {
    if (const std::string* prefix = prefix_of(ns)) {
        out += *prefix;
        out += ':';
    }
    out += name;
}

const std::string* xml_writer::prefix_of(std::string_view ns) const {
    for (const xml_prefix& p : prefixes_)
        if (p.ns == ns) return &p.prefix;
    return nullptr;
}
