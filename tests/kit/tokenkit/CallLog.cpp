#include "tokenkit/CallLog.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

namespace vellum::tokenkit {
namespace {

bool isEvent(const std::string& line) {
    return !line.empty() && line[0] == '@';
}

bool parseCall(const std::string& line, LoggedCall& call) {
    if (line.empty() || isEvent(line)) {
        return false;
    }
    size_t space = line.find(' ');
    call.name = line.substr(0, space);
    call.rv = 0;
    call.args.clear();
    if (space == std::string::npos) {
        return true;
    }
    std::string rest = line.substr(space + 1);
    if (rest.compare(0, 3, "rv=") == 0) {
        size_t end = rest.find(' ');
        std::string value = rest.substr(3, end == std::string::npos ? end : end - 3);
        call.rv = std::strtoul(value.c_str(), nullptr, 16);
        rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
    }
    call.args = rest;
    return true;
}

std::string eventWord(const std::string& line, const std::string& key) {
    LoggedCall asCall;
    asCall.args = line;
    return asCall.arg(key);
}

}  // namespace

std::string LoggedCall::arg(const std::string& key) const {
    std::istringstream words(args);
    std::string word;
    std::string prefix = key + "=";
    while (words >> word) {
        if (word.compare(0, prefix.size(), prefix) == 0) {
            return word.substr(prefix.size());
        }
    }
    return std::string();
}

CallLog::CallLog(std::string path) : path_(std::move(path)) {}

std::vector<std::string> CallLog::lines() const {
    std::vector<std::string> result;
    std::ifstream in(path_);
    std::string line;
    while (std::getline(in, line)) {
        result.push_back(line);
    }
    return result;
}

std::vector<LoggedCall> CallLog::calls() const {
    std::vector<LoggedCall> result;
    for (const std::string& line : lines()) {
        LoggedCall call;
        if (parseCall(line, call)) {
            result.push_back(call);
        }
    }
    return result;
}

std::vector<LoggedCall> CallLog::calls(const std::string& name) const {
    std::vector<LoggedCall> result;
    for (LoggedCall& call : calls()) {
        if (call.name == name) {
            result.push_back(std::move(call));
        }
    }
    return result;
}

size_t CallLog::count(const std::string& name) const {
    return calls(name).size();
}

size_t CallLog::loads() const {
    size_t n = 0;
    for (const std::string& line : lines()) {
        n += line.compare(0, 6, "@load ") == 0 || line == "@load";
    }
    return n;
}

size_t CallLog::unloads() const {
    size_t n = 0;
    for (const std::string& line : lines()) {
        n += line.compare(0, 8, "@unload ") == 0 || line == "@unload";
    }
    return n;
}

bool CallLog::balanced(std::string* why) const {
    auto problem = [why](const std::string& text) {
        if (why != nullptr) {
            *why = text;
        }
        return false;
    };
    long loaded = 0;
    bool initialized = false;
    size_t number = 0;
    for (const std::string& line : lines()) {
        ++number;
        std::string where = "line " + std::to_string(number) + " (" + line + ")";
        if (line.compare(0, 5, "@load") == 0) {
            ++loaded;
            continue;
        }
        if (line.compare(0, 7, "@unload") == 0) {
            if (initialized || eventWord(line, "initialized") == "yes") {
                return problem("unloaded while still initialised at " + where);
            }
            --loaded;
            continue;
        }
        LoggedCall call;
        if (!parseCall(line, call)) {
            continue;
        }
        if (call.name == "C_Initialize" && (call.rv == 0 || call.rv == 0x191)) {
            initialized = true;
        } else if (call.name == "C_Finalize") {
            if (call.arg("openSessions") != "0") {
                return problem("sessions still open at " + where);
            }
            if (call.arg("loggedIn") != "no") {
                return problem("login still active at " + where);
            }
            if (call.rv == 0) {
                initialized = false;
            }
        }
    }
    if (initialized) {
        return problem("the last C_Initialize was never finalised");
    }
    if (loaded != 0) {
        return problem(std::to_string(loads()) + " loads but " + std::to_string(unloads()) +
                       " unloads");
    }
    return true;
}

bool CallLog::clear() const {
    std::ofstream out(path_, std::ios::trunc);
    return static_cast<bool>(out);
}

}  // namespace vellum::tokenkit
