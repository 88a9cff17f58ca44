#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "npapi/npfunctions.h"

namespace vellum::pluginhost {

// The host's recording mode: a function table whose entries, up to `setexception`, do no work
// but record each call (entry name and arguments) and give fixed answers, so that a test of
// the module's gates sees exactly what reached the host and what came back.
class RecordingHost {
public:
    // Answers of the recording entries.
    static constexpr NPError kError = 42;  // not an NPAPI code, so never one of the module's own
    static constexpr int32_t kWritten = 4242;
    static constexpr uint32_t kFlushed = 77;
    static constexpr bool kBool = true;
    static const char* const kUserAgent;
    static void* const kMemory;
    static const NPIdentifier kIdentifier;
    static NPUTF8* const kUTF8;

    // A table of the given version whose entries up to `setexception` record, `size` the whole
    // record.
    static NPNetscapeFuncs table(uint16_t version);

    static std::vector<std::string>& calls();

    // The text recorded for a call of `entry` with `args`.
    template <typename... Args>
    static std::string call(const char* entry, Args... args) {
        std::string text = entry;
        text += '(';
        [[maybe_unused]] const char* separator = "";
        ((text += separator, text += toText(args), separator = ","), ...);
        return text + ')';
    }

private:
    template <typename T>
    static std::string toText(T value) {
        std::ostringstream out;
        if constexpr (std::is_pointer_v<T>) {
            out << static_cast<const void*>(value);
        } else if constexpr (std::is_enum_v<T> || std::is_integral_v<T>) {
            out << static_cast<long long>(value);
        } else {
            out << value;
        }
        return out.str();
    }
};

}  // namespace vellum::pluginhost
