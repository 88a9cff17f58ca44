#include "ReleaseAudit.h"

#include <cstdlib>
#include <set>

namespace vellum::reliability {
namespace {

constexpr unsigned long kAlreadyInitialized = 0x191;

}  // namespace

bool ReleaseAudit::released(const tokenkit::CallLog& log, std::string* why) {
    auto problem = [why](const std::string& text) {
        if (why != nullptr) {
            *why = text;
        }
        return false;
    };
    long loaded = 0;
    bool initialized = false;
    std::set<std::string> openSessions;
    std::set<std::string> loggedIn;
    size_t number = 0;
    for (const std::string& line : log.lines()) {
        ++number;
        const std::string where = " at line " + std::to_string(number) + " (" + line + ")";
        if (line.compare(0, 5, "@load") == 0) {
            ++loaded;
            continue;
        }
        if (line.compare(0, 7, "@unload") == 0) {
            if (initialized) {
                return problem("unloaded without C_Finalize after C_Initialize" + where);
            }
            --loaded;
            continue;
        }
        const size_t space = line.find(' ');
        if (line.empty() || line[0] == '@' || space == std::string::npos) {
            continue;
        }
        tokenkit::LoggedCall call;
        call.name = line.substr(0, space);
        call.args = line.substr(space + 1);
        const unsigned long rv = std::strtoul(call.arg("rv").c_str(), nullptr, 16);
        const std::string session = call.arg("session");
        if (call.name == "C_Initialize") {
            initialized = initialized || rv == 0 || rv == kAlreadyInitialized;
        } else if (call.name == "C_OpenSession" && rv == 0) {
            openSessions.insert(session);
        } else if (call.name == "C_CloseSession") {
            openSessions.erase(session);
            loggedIn.erase(session);
        } else if (call.name == "C_Login" && rv == 0) {
            loggedIn.insert(session);
        } else if (call.name == "C_Logout") {
            loggedIn.erase(session);
        } else if (call.name == "C_Finalize") {
            if (!openSessions.empty()) {
                return problem("session " + *openSessions.begin() +
                               " not closed before C_Finalize" + where);
            }
            if (!loggedIn.empty()) {
                return problem("login on session " + *loggedIn.begin() +
                               " not ended before C_Finalize" + where);
            }
            initialized = false;
        }
    }
    if (initialized) {
        return problem("C_Initialize never followed by C_Finalize");
    }
    if (loaded != 0) {
        return problem(std::to_string(log.loads()) + " loads but " + std::to_string(log.unloads()) +
                       " unloads");
    }
    return true;
}

}  // namespace vellum::reliability
