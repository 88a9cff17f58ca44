// RSA private keys (PEM, PKCS#8) kept in a directory and reused across test runs, since making
// them is the slow part of provisioning. Keys are written under a temporary name and renamed,
// so that test processes running at once never see half a key.
#pragma once

#include <string>

namespace vellum::tokenkit {

class KeyCache {
public:
    explicit KeyCache(std::string directory = std::string());

    const std::string& directory() const { return directory_; }
    void setDirectory(const std::string& directory) { directory_ = directory; }

    // Path of key number `index` of `bits` bits, made now if the cache lacks it.
    bool key(int bits, size_t index, std::string& path, std::string& error);
    // Path of the one key of `bits` bits that certificates may share.
    bool sharedKey(int bits, std::string& path, std::string& error);

private:
    bool ensure(int bits, const std::string& name, std::string& path, std::string& error);

    std::string directory_;
};

}  // namespace vellum::tokenkit
