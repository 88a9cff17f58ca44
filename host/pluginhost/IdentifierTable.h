// The host's identifiers: each string or integer is interned once and keeps the same
// NPIdentifier for the life of the table, so identifiers compare by value as NPAPI promises.
// An identifier is the address of its entry; only addresses handed out here are recognised.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <unordered_set>

#include "npapi/npruntime.h"

namespace vellum::pluginhost {

class IdentifierTable {
public:
    IdentifierTable() = default;
    IdentifierTable(const IdentifierTable&) = delete;
    IdentifierTable& operator=(const IdentifierTable&) = delete;

    // Null for a null name. May throw std::bad_alloc.
    NPIdentifier stringIdentifier(const char* name);
    NPIdentifier intIdentifier(int32_t value);

    bool isKnown(NPIdentifier identifier) const noexcept;
    bool isString(NPIdentifier identifier) const noexcept;
    // The name of a string identifier; null for an integer or unknown identifier.
    const std::string* name(NPIdentifier identifier) const noexcept;
    // The value of an integer identifier; false for a string or unknown identifier.
    bool intValue(NPIdentifier identifier, int32_t& value) const noexcept;

    size_t size() const noexcept { return entries_.size(); }

private:
    struct Entry {
        bool isString;
        std::string name;
        int32_t value;
    };

    const Entry* find(NPIdentifier identifier) const noexcept;

    std::deque<Entry> entries_;  // a deque, so that entry addresses stay put
    std::map<std::string, Entry*> byName_;
    std::map<int32_t, Entry*> byValue_;
    std::unordered_set<const void*> known_;
};

}  // namespace vellum::pluginhost
