#include "pluginhost/IdentifierTable.h"

namespace vellum::pluginhost {

NPIdentifier IdentifierTable::stringIdentifier(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    auto found = byName_.find(name);
    if (found != byName_.end()) {
        return found->second;
    }
    Entry& entry = entries_.emplace_back(Entry{true, name, 0});
    known_.insert(&entry);
    byName_.emplace(entry.name, &entry);
    return &entry;
}

NPIdentifier IdentifierTable::intIdentifier(int32_t value) {
    auto found = byValue_.find(value);
    if (found != byValue_.end()) {
        return found->second;
    }
    Entry& entry = entries_.emplace_back(Entry{false, std::string(), value});
    known_.insert(&entry);
    byValue_.emplace(value, &entry);
    return &entry;
}

const IdentifierTable::Entry* IdentifierTable::find(NPIdentifier identifier) const noexcept {
    if (identifier == nullptr || known_.count(identifier) == 0) {
        return nullptr;
    }
    return static_cast<const Entry*>(identifier);
}

bool IdentifierTable::isKnown(NPIdentifier identifier) const noexcept {
    return find(identifier) != nullptr;
}

bool IdentifierTable::isString(NPIdentifier identifier) const noexcept {
    const Entry* entry = find(identifier);
    return entry != nullptr && entry->isString;
}

const std::string* IdentifierTable::name(NPIdentifier identifier) const noexcept {
    const Entry* entry = find(identifier);
    return entry != nullptr && entry->isString ? &entry->name : nullptr;
}

bool IdentifierTable::intValue(NPIdentifier identifier, int32_t& value) const noexcept {
    const Entry* entry = find(identifier);
    if (entry == nullptr || entry->isString) {
        return false;
    }
    value = entry->value;
    return true;
}

}  // namespace vellum::pluginhost
