#pragma once

#include <string>
#include <vector>

// Makes certificates with the openssl command in a private temporary directory, removed again at
// destruction. One EC key signs everything; its subject and serial are what the tests vary.
class OpensslCommand {
public:
    OpensslCommand();
    ~OpensslCommand();
    OpensslCommand(const OpensslCommand&) = delete;
    OpensslCommand& operator=(const OpensslCommand&) = delete;

    // A DER certificate for `subject` in the command's "/type=value/..." form. `serial` is what
    // -set_serial takes; `extraArgs` is appended to the req command line as it stands.
    std::vector<unsigned char> certificate(const std::string& subject,
                                           const std::string& serial = "1",
                                           const std::string& extraArgs = "");

    // Runs "openssl <args>" in the directory; false when it fails.
    bool run(const std::string& args);
    // Writes a file into the directory and returns its name, for use in arguments.
    std::string writeFile(const std::string& name, const std::string& content);
    std::string path(const std::string& name) const;

    static std::string quote(const std::string& text);

private:
    std::string dir;
    int count = 0;
};
