#include "tokenkit/KeyCache.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

#include "tokenkit/Subprocess.h"

namespace vellum::tokenkit {

namespace fs = std::filesystem;

KeyCache::KeyCache(std::string directory) : directory_(std::move(directory)) {}

bool KeyCache::key(int bits, size_t index, std::string& path, std::string& error) {
    return ensure(bits, "rsa" + std::to_string(bits) + "-" + std::to_string(index) + ".pem", path,
                  error);
}

bool KeyCache::sharedKey(int bits, std::string& path, std::string& error) {
    return ensure(bits, "rsa" + std::to_string(bits) + "-shared.pem", path, error);
}

bool KeyCache::ensure(int bits, const std::string& name, std::string& path, std::string& error) {
    if (bits != 1024 && bits != 2048 && bits != 4096) {
        error = "unsupported RSA key size " + std::to_string(bits);
        return false;
    }
    std::error_code ec;
    fs::create_directories(directory_, ec);
    if (ec) {
        error = "cannot create key cache " + directory_ + ": " + ec.message();
        return false;
    }
    path = (fs::path(directory_) / name).string();
    if (fs::exists(path, ec)) {
        return true;
    }
    // Another test process may be making the same key: each writes its own file and the
    // rename makes one of them the key, whole.
    std::string partial = path + ".partial." + std::to_string(static_cast<long>(::getpid()));
    std::vector<std::string> argv = {"openssl",    "genpkey",
                                     "-algorithm", "RSA",
                                     "-pkeyopt",   "rsa_keygen_bits:" + std::to_string(bits),
                                     "-out",       partial};
    ProcessResult result = Subprocess::run(argv);
    if (!result.succeeded()) {
        fs::remove(partial, ec);
        error = Subprocess::describe(argv, result);
        return false;
    }
    if (std::rename(partial.c_str(), path.c_str()) != 0) {
        fs::remove(partial, ec);
        error = "cannot store key " + path;
        return false;
    }
    return true;
}

}  // namespace vellum::tokenkit
