#include "install/BridgeFiles.h"

#include <fstream>
#include <iterator>
#include <system_error>

namespace vellum::host {

bool BridgeFiles::read(const std::filesystem::path& file, std::string& text, std::string& error) {
    std::ifstream in(file, std::ios::binary);
    if (in) {
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (!in && !in.eof()) {
        error = "cannot read " + file.string();
        return false;
    }
    return true;
}

bool BridgeFiles::replace(const std::filesystem::path& file, const std::string& text,
                          std::string& error) {
    namespace fs = std::filesystem;
    std::error_code code;
    fs::create_directories(file.parent_path(), code);
    if (code) {
        error = "cannot create " + file.parent_path().string() + ": " + code.message();
        return false;
    }
    const fs::path temporary = file.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            error = "cannot write " + temporary.string();
            fs::remove(temporary, code);
            return false;
        }
    }
    fs::permissions(temporary,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                        fs::perms::others_read,
                    code);
    if (!code) {
        fs::rename(temporary, file, code);
    }
    if (code) {
        error = "cannot write " + file.string() + ": " + code.message();
        fs::remove(temporary, code);
        return false;
    }
    return true;
}

bool BridgeFiles::remove(const std::filesystem::path& file, bool& removed, std::string& error) {
    std::error_code code;
    removed = std::filesystem::remove(file, code);
    if (code) {
        error = "cannot remove " + file.string() + ": " + code.message();
        return false;
    }
    return true;
}

}  // namespace vellum::host
