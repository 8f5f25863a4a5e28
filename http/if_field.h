// The If field of WebDAV requests, read into its lists of conditions. Each
// condition names a state of a resource, a lock's state token or an entity
// tag, which the request holds to, or with "Not" holds not to:
//
//   If: (<urn:uuid:a5c1...> ["1f-3-5e"]) (Not <DAV:no-lock>)
//   If: <http://h/docs/> (<urn:uuid:a5c1...>) </docs/a.txt> (["1f-3-5e"])
//
// A field holds either untagged lists, which are about the request's own
// resource, or tagged ones: each list is about the resource tag before it.
// What the conditions are checked against (locks, files) is the caller's:
// this only reads the text.
//
// Reading is bounded (if_max_lists, if_max_conditions), linear in the text,
// and never reads outside it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

constexpr std::size_t if_max_lists = 64;        // lists of one field
constexpr std::size_t if_max_conditions = 256;  // conditions of one field, all lists together

struct if_condition {
    bool negated = false;     // "Not" (in any letter case) stood before it
    bool entity_tag = false;  // an entity tag in brackets; otherwise a state token in <>
    // The token's URI without its angle brackets, or the entity tag as
    // written, its quotes and any "W/" included.
    std::string text;
};

struct if_list {
    std::string resource;                  // the URI of the resource tag before it; empty: untagged
    std::vector<if_condition> conditions;  // at least one; the list holds when all hold
};

// Reads an If field's value. False for anything that is not one or more
// lists, all tagged or all untagged, each of one or more conditions, within
// the bounds; `*lists` is then unchanged. Blanks may stand between the parts.
bool parse_if_field(std::string_view value, std::vector<if_list>* lists);

// The lists written back as a field value, with one space between the parts:
// what parse_if_field reads as the same lists.
std::string if_field_text(const std::vector<if_list>& lists);
