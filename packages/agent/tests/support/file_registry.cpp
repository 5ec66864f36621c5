// Test double for the Windows registry on Linux: the keys live in
// one JSON file under $HOME, so tests can give each run a folder of its own.
// It keeps what the installer relies on: missing keys above a created key
// are created too, a value replaces one of the same name whatever its type,
// names compare without regard to ASCII letter case, and only a key without
// subkeys can be deleted (status 2 when it is missing, 5 when it has
// subkeys). Values are kept as the exact bytes and size they were given.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "platform/registry.h"
#include "common/wide_text.h"

namespace quillon::platform {

namespace {

constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kBadPathname = 161;
constexpr std::uint32_t kRegistryCorrupt = 1015;
constexpr std::uint32_t kRegistryIoFailed = 1016;
constexpr std::uint32_t kKeyDeleted = 1018;

using Json = nlohmann::ordered_json;

std::string folded(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::string rootName(RootKey root) {
    return root == kHkeyLocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

// The member of `object` whose name matches without regard to case.
Json::iterator findFolded(Json& object, std::string_view name) {
    const std::string want = folded(name);
    for (auto it = object.begin(); it != object.end(); ++it)
        if (folded(it.key()) == want) return it;
    return object.end();
}

std::string hexOf(const std::uint8_t* data, std::uint32_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::uint32_t i = 0; i < size; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0xF];
    }
    return out;
}

class FileRegistryCalls final : public RegistryCalls {
public:
    explicit FileRegistryCalls(std::string file) : file_(std::move(file)) {}

    std::uint32_t createKey(RootKey root, const char16_t* subkey, KeyHandle& key) override {
        std::vector<std::string> elements;
        if (!splitElements(subkey, elements)) return kBadPathname;
        return update([&](Json& keys) {
            std::string path = rootName(root);
            for (const std::string& element : elements) {
                path += '\\';
                path += element;
                auto it = findFolded(keys, path);
                if (it == keys.end())
                    keys[path] = Json::object();
                else
                    path = it.key();  // keep the letter case it was created with
            }
            key = nextHandle_++;
            openKeys_[key] = path;
            return 0u;
        });
    }

    std::uint32_t setValue(KeyHandle key, const char16_t* name, std::uint32_t type,
                           const std::uint8_t* data, std::uint32_t size) override {
        const auto open = openKeys_.find(key);
        if (open == openKeys_.end()) return kKeyDeleted;
        return update([&](Json& keys) {
            auto it = findFolded(keys, open->second);
            if (it == keys.end()) return kKeyDeleted;
            Json& values = it.value();
            const std::string valueName = utf16ToUtf8(name);
            if (auto old = findFolded(values, valueName); old != values.end()) values.erase(old);
            values[valueName] = Json{{"type", type}, {"data", hexOf(data, size)}};
            return 0u;
        });
    }

    void closeKey(KeyHandle key) override { openKeys_.erase(key); }

    std::uint32_t deleteKey(RootKey root, const char16_t* subkey) override {
        std::vector<std::string> elements;
        if (!splitElements(subkey, elements)) return kFileNotFound;
        return update([&](Json& keys) {
            std::string path = rootName(root);
            for (const std::string& element : elements) path += '\\' + element;
            auto it = findFolded(keys, path);
            if (it == keys.end()) return kFileNotFound;
            const std::string below = folded(path) + '\\';
            for (auto other = keys.begin(); other != keys.end(); ++other)
                if (folded(other.key()).starts_with(below)) return kAccessDenied;
            keys.erase(it);
            return 0u;
        });
    }

private:
    static bool splitElements(const char16_t* subkey, std::vector<std::string>& elements) {
        const std::string text = utf16ToUtf8(subkey);
        std::size_t start = 0;
        while (true) {
            const std::size_t end = text.find('\\', start);
            elements.push_back(text.substr(start, end - start));
            if (elements.back().empty()) return false;
            if (end == std::string::npos) return true;
            start = end + 1;
        }
    }

    // Reads the file, applies the change and, when it succeeded, writes the
    // file anew through a temporary file so a crash leaves the old one whole.
    template <class Change>
    std::uint32_t update(Change change) {
        Json doc = Json::object();
        if (std::ifstream in(file_, std::ios::binary); in) {
            std::stringstream text;
            text << in.rdbuf();
            doc = Json::parse(text.str(), nullptr, false);
            if (doc.is_discarded() || !doc.is_object()) return kRegistryCorrupt;
        }
        Json& keys = doc["keys"];
        if (keys.is_null()) keys = Json::object();
        if (!keys.is_object()) return kRegistryCorrupt;
        const std::uint32_t status = change(keys);
        if (status != 0) return status;
        const std::string temp = file_ + ".tmp";
        {
            std::ofstream out(temp, std::ios::binary | std::ios::trunc);
            out << doc.dump(2);
            if (!out.flush()) return kRegistryIoFailed;
        }
        if (std::rename(temp.c_str(), file_.c_str()) != 0) return kRegistryIoFailed;
        return 0;
    }

    std::string file_;
    std::map<KeyHandle, std::string> openKeys_;
    KeyHandle nextHandle_ = 1;
};

}  // namespace

Result<std::unique_ptr<RegistryCalls>> openRegistryCalls() {
    const char* home = std::getenv("HOME");
    if (!home || !*home) return fail("registry stand-in: HOME is not set");
    return std::make_unique<FileRegistryCalls>(std::string(home) + "/.quillon-registry.json");
}

}  // namespace quillon::platform
