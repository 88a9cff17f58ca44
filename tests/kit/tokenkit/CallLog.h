// Reads the call log of the forwarding module (VELLUM_P11FWD_LOG). Each line is an event:
//
//     @load pid=123                       the library was loaded (its constructor ran)
//     @unload pid=123 initialized=no      it was unloaded; "yes" if the real module was
//                                         still initialised
//     C_Login rv=0xA0 session=1 userType=1 pin=null pinLength=0 pinSupplied=yes
//     C_Finalize rv=0x0 openSessions=0 loggedIn=no
//
// A call line is the function name, its return value in hexadecimal and its arguments as
// key=value words; "injected=yes" marks a return value injected by VELLUM_P11FWD_FAIL.
// The file is read afresh by every query.
#pragma once

#include <string>
#include <vector>

namespace vellum::tokenkit {

struct LoggedCall {
    std::string name;
    unsigned long rv = 0;
    std::string args;  // everything after the return value

    // Value of the word "key=value" in args, or "" when there is none.
    std::string arg(const std::string& key) const;
};

class CallLog {
public:
    explicit CallLog(std::string path);

    const std::string& path() const { return path_; }

    std::vector<std::string> lines() const;
    // Every call, in order; the @ events are left out.
    std::vector<LoggedCall> calls() const;
    std::vector<LoggedCall> calls(const std::string& name) const;
    size_t count(const std::string& name) const;
    size_t loads() const;
    size_t unloads() const;

    // True when every load was followed by an unload, every successful C_Initialize by a
    // successful C_Finalize before the unload, and every C_Finalize found no session open
    // and no login active. Otherwise false, with the first problem in *why.
    bool balanced(std::string* why = nullptr) const;

    // Empties the log (the forwarding module creates it again when needed).
    bool clear() const;

private:
    std::string path_;
};

}  // namespace vellum::tokenkit
