// The reader of the If field on any text. A field read must be within the
// bounds, all tagged or all untagged, without an empty list or condition,
// and written back it must read as the same lists; the reader never touches
// the bytes it reads.
#include "fuzz/fuzz_support.h"
#include "http/if_field.h"

namespace {

bool same(const std::vector<if_list>& a, const std::vector<if_list>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].resource != b[i].resource || a[i].conditions.size() != b[i].conditions.size())
            return false;
        for (size_t j = 0; j < a[i].conditions.size(); ++j) {
            const if_condition& x = a[i].conditions[j];
            const if_condition& y = b[i].conditions[j];
            if (x.negated != y.negated || x.entity_tag != y.entity_tag || x.text != y.text)
                return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    exact_copy field(data, size);
    std::vector<if_list> lists;
    const bool read = parse_if_field(field.text(), &lists);
    require(field.unchanged(), "the reader changed its input");
    if (!read) {
        require(lists.empty(), "a refused field left lists behind");
        return 0;
    }
    require(!lists.empty() && lists.size() <= if_max_lists, "lists beyond the bound");
    size_t conditions = 0;
    for (const if_list& list : lists) {
        require(list.resource.empty() == lists[0].resource.empty(), "tagged and untagged lists");
        require(!list.conditions.empty(), "an empty list");
        conditions += list.conditions.size();
        for (const if_condition& condition : list.conditions)
            require(!condition.text.empty(), "an empty condition");
    }
    require(conditions <= if_max_conditions, "conditions beyond the bound");

    std::vector<if_list> again;
    require(parse_if_field(if_field_text(lists), &again), "a field written back does not read");
    require(same(lists, again), "a field written back reads as other lists");
    return 0;
}
