#include "http/if_field.h"

namespace {

// Reads one field value from left to right; every step checks what is left
// before it looks at a byte.
class if_reader {
  public:
    explicit if_reader(std::string_view value) : rest(value) {}

    bool read(std::vector<if_list>* lists) {
        skip_blanks();
        const bool tagged = !rest.empty() && rest.front() == '<';
        std::string resource;
        while (!rest.empty()) {
            if (tagged && rest.front() == '<') {
                // A tag names the resource of the lists that follow it: at
                // least one, as read_list then requires.
                if (!read_angle_text(&resource)) return false;
                skip_blanks();
            }
            if (!read_list(resource, lists)) return false;
            skip_blanks();
        }
        return !lists->empty();
    }

  private:
    std::string_view rest;
    std::size_t conditions = 0;

    void skip_blanks() {
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
            rest.remove_prefix(1);
    }

    bool take(char c) {
        if (rest.empty() || rest.front() != c) return false;
        rest.remove_prefix(1);
        return true;
    }

    // "<" URI ">": no blanks, controls or angle brackets inside, not empty.
    bool read_angle_text(std::string* text) {
        if (!take('<')) return false;
        std::size_t n = 0;
        while (n < rest.size() && rest[n] != '>') {
            const auto c = static_cast<unsigned char>(rest[n]);
            if (c <= ' ' || c == 0x7F || c == '<') return false;
            ++n;
        }
        if (n == 0 || n == rest.size()) return false;
        *text = std::string(rest.substr(0, n));
        rest.remove_prefix(n + 1);
        return true;
    }

    // "[" ["W/"] DQUOTE etag characters DQUOTE "]"
    bool read_entity_tag(std::string* text) {
        if (!take('[')) return false;
        const std::string_view start = rest;
        if (rest.starts_with("W/")) rest.remove_prefix(2);
        if (!take('"')) return false;
        while (!rest.empty() && rest.front() != '"') {
            const auto c = static_cast<unsigned char>(rest.front());
            if (c < 0x21 || c == 0x7F) return false;
            rest.remove_prefix(1);
        }
        if (!take('"')) return false;
        *text = std::string(start.substr(0, start.size() - rest.size()));
        return take(']');
    }

    bool read_not() {
        if (rest.size() < 3) return false;
        const std::string_view word = rest.substr(0, 3);
        for (std::size_t i = 0; i < 3; ++i) {
            if ((word[i] | 0x20) != "not"[i]) return false;
        }
        rest.remove_prefix(3);
        return true;
    }

    bool read_condition(if_condition* condition) {
        condition->negated = read_not();
        skip_blanks();
        if (rest.empty()) return false;
        condition->entity_tag = rest.front() == '[';
        return condition->entity_tag ? read_entity_tag(&condition->text)
                                     : read_angle_text(&condition->text);
    }

    bool read_list(const std::string& resource, std::vector<if_list>* lists) {
        if (!take('(') || lists->size() == if_max_lists) return false;
        if_list list;
        list.resource = resource;
        skip_blanks();
        while (!take(')')) {
            if_condition condition;
            if (++conditions > if_max_conditions || !read_condition(&condition)) return false;
            list.conditions.push_back(std::move(condition));
            skip_blanks();
        }
        if (list.conditions.empty()) return false;
        lists->push_back(std::move(list));
        return true;
    }
};

}  // namespace

bool parse_if_field(std::string_view value, std::vector<if_list>* lists) {
    std::vector<if_list> read;
    if (!if_reader(value).read(&read)) return false;
    *lists = std::move(read);
    return true;
}

std::string if_field_text(const std::vector<if_list>& lists) {
    std::string text;
    const std::string* tag = nullptr;
    for (const if_list& list : lists) {
        if (!text.empty()) text += ' ';
        if (!list.resource.empty() && (tag == nullptr || *tag != list.resource)) {
            text += '<' + list.resource + "> ";
            tag = &list.resource;
        }
        text += '(';
        for (std::size_t i = 0; i < list.conditions.size(); ++i) {
            const if_condition& condition = list.conditions[i];
            if (i > 0) text += ' ';
            if (condition.negated) text += "Not ";
            text += condition.entity_tag ? '[' + condition.text + ']' : '<' + condition.text + '>';
        }
        text += ')';
    }
    return text;
}
