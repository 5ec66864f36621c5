// Reading a request body into a record. The reader checks the syntax of the
// whole body, fills text fields and lists of records by key, and reports the
// first value of the wrong kind only after the whole body has been read:
//
// - the body is exactly one value with optional blanks, tabs, CR and LF
//   around it; no byte-order mark; nesting deeper than 10000 is refused;
// - the top value is an object, or null (fills nothing);
// - a key matches a field exactly, else by simple case folding (ASCII letters
//   without case, U+017F with "s", U+212A with "k"); other keys are skipped;
// - a text field takes a string, null leaves it alone; a repeated key is read
//   again into the same field, a repeated list over the earlier entries;
// - unpaired surrogate escapes and invalid UTF-8 bytes become U+FFFD.
//
// The reader works without recursion on the skipped parts, so any nesting
// the limit allows is safe on a small stack.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "common/error.h"

namespace quillon {

class JsonRecordList;

// A text value left where it lies in the body when there is nothing in it to
// decode (no escape, no byte from 0x80 up), which is always so for Base64:
// a large document is then neither copied nor held twice. Otherwise it holds
// its own decoded copy. The body must outlive it. The copy is wiped when it
// goes, so the field may carry a secret.
class JsonText {
public:
    JsonText() = default;
    JsonText(const JsonText&) = default;
    JsonText(JsonText&&) = default;
    JsonText& operator=(const JsonText& other);
    JsonText& operator=(JsonText&& other);
    ~JsonText();

    std::string_view view() const { return ownsText_ ? std::string_view(decoded_) : inBody_; }
    bool empty() const { return view().empty(); }

    void setInBody(std::string_view text);
    // Emptied and made the holder of the text, at most `size` bytes about to
    // be appended. Kept on the heap so that moving the field moves the buffer
    // and leaves no copy behind.
    std::string& decodedFor(std::size_t size);

private:
    std::string_view inBody_;
    std::string decoded_;
    bool ownsText_ = false;
};

// One field of a record: a text (copied, or a JsonText) or a list of records.
struct JsonField {
    std::string_view key;
    std::string* text = nullptr;
    JsonRecordList* list = nullptr;
    JsonText* textInBody = nullptr;
};

// A list of records being read from a JSON array.
class JsonRecordList {
public:
    virtual ~JsonRecordList() = default;
    // The fields of entry `index`, appending an empty entry when `index` is
    // the current size. Valid until the next call.
    virtual std::span<const JsonField> entry(std::size_t index) = 0;
    // Drops the entries from `size` on.
    virtual void truncate(std::size_t size) = 0;
};

inline constexpr int kMaxJsonNesting = 10000;

// Fills `fields` from `body`; the error is a one-line English description of
// the syntax error or the first kind failure.
Status readJsonRecord(std::string_view body, std::span<const JsonField> fields);

// Whether a request key names a field whose key is `fieldKey` (ASCII):
// exactly equal, or equal once both are case-folded.
bool jsonKeyFoldsTo(std::string_view key, std::string_view fieldKey);

}  // namespace quillon
