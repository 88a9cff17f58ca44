#include "OpensslCommand.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <unistd.h>

OpensslCommand::OpensslCommand() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vellum-x509-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary directory");
    }
    dir = pattern;
    if (!run("genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out key.pem")) {
        throw std::runtime_error("openssl cannot make a key");
    }
}

OpensslCommand::~OpensslCommand() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

std::string OpensslCommand::quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

std::string OpensslCommand::path(const std::string& name) const {
    return dir + "/" + name;
}

bool OpensslCommand::run(const std::string& args) {
    const std::string command =
        "cd " + quote(dir) + " && " + quote(VELLUM_OPENSSL_COMMAND) + " " + args + " 2>openssl.err";
    return std::system(command.c_str()) == 0;
}

std::string OpensslCommand::writeFile(const std::string& name, const std::string& content) {
    std::ofstream(path(name), std::ios::binary) << content;
    return name;
}

std::vector<unsigned char> OpensslCommand::certificate(const std::string& subject,
                                                       const std::string& serial,
                                                       const std::string& extraArgs) {
    const std::string out = "cert" + std::to_string(++count) + ".der";
    if (!run("req -x509 -key key.pem -days 1 -outform DER -out " + out + " -subj " +
             quote(subject) + " -set_serial " + quote(serial) + " " + extraArgs)) {
        std::ifstream err(path("openssl.err"));
        throw std::runtime_error("openssl req failed for " + subject + ": " +
                                 std::string(std::istreambuf_iterator<char>(err), {}));
    }
    std::ifstream in(path(out), std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}
