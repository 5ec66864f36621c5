// Writing replies and the manifest as compact JSON: keys in the order they are written, no
// whitespace, and strings escaped so a reply is safe to embed anywhere
// ("<", ">", "&", U+2028 and U+2029 escaped; invalid UTF-8 replaced).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillon {

// Appends `text` as one JSON string, quotes included.
void appendJsonString(std::string& out, std::string_view text);

// Writes one JSON object member by member; the object is opened on
// construction and closed by finish().
class JsonObjectWriter {
public:
    explicit JsonObjectWriter(std::string& out) : out_(out) { out_ += '{'; }

    void text(std::string_view key, std::string_view value) {
        key_(key);
        appendJsonString(out_, value);
    }
    void textUnlessEmpty(std::string_view key, std::string_view value) {
        if (!value.empty()) text(key, value);
    }
    // An array of objects, each written by `writeElement(JsonObjectWriter&, const T&)`;
    // "[]" when the list is empty.
    template <class T, class WriteElement>
    void objectList(std::string_view key, const std::vector<T>& list, WriteElement writeElement) {
        key_(key);
        out_ += '[';
        bool first = true;
        for (const T& element : list) {
            if (!first) out_ += ',';
            first = false;
            JsonObjectWriter inner(out_);
            writeElement(inner, element);
            inner.finish();
        }
        out_ += ']';
    }
    void finish() { out_ += '}'; }

private:
    void key_(std::string_view key) {
        if (!first_) out_ += ',';
        first_ = false;
        appendJsonString(out_, key);
        out_ += ':';
    }

    std::string& out_;
    bool first_ = true;
};

}  // namespace quillon
