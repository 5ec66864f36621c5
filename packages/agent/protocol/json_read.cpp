#include "protocol/json_read.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "common/bytes.h"
#include "common/utf8.h"
#include "common/wipe.h"

namespace quillon {
namespace {

// Bytes inside a string: those that may be copied as they stand, and the
// ones that end the quick scan.
enum ByteClass : std::uint8_t { kPlainByte, kQuote, kBackslash, kControl, kHighByte };

constexpr std::array<std::uint8_t, 256> makeStringByteTable() {
    std::array<std::uint8_t, 256> t{};
    for (int b = 0; b < 0x20; ++b) t[b] = kControl;
    for (int b = 0x80; b < 0x100; ++b) t[b] = kHighByte;
    t['"'] = kQuote;
    t['\\'] = kBackslash;
    return t;
}
constexpr std::array<std::uint8_t, 256> kStringByte = makeStringByteTable();

// Skips the bytes from `p` that a string may hold as they stand, eight at a
// time while none of them needs a look (quote, backslash, control or a byte
// from 0x80 up); may stop early on a false alarm, never late.
const unsigned char* skipPlainWords(const unsigned char* p, const unsigned char* end) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
    auto zeroByte = [](std::uint64_t x) { return (x - kOnes) & ~x & kHighBits; };
    while (end - p >= 8) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        const std::uint64_t special = zeroByte(v ^ (kOnes * '"')) | zeroByte(v ^ (kOnes * '\\')) |
                                      ((v - kOnes * 0x20) & ~v) | v;
        if (special & kHighBits) break;
        p += 8;
    }
    return p;
}

int hexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hex digits at `p`, already checked by the scan.
std::uint32_t hex4(const unsigned char* p) {
    return static_cast<std::uint32_t>(hexValue(p[0]) << 12 | hexValue(p[1]) << 8 |
                                      hexValue(p[2]) << 4 | hexValue(p[3]));
}

const char* kindNameAt(unsigned char c) {
    switch (c) {
        case '{': return "an object";
        case '[': return "an array";
        case '"': return "a string";
        case 't':
        case 'f': return "a boolean";
        case 'n': return "null";
        default: return "a number";
    }
}

// Keys can be as long as the body; the description quotes a bounded part.
std::string quotedKey(std::string_view key) {
    constexpr std::size_t kMaxShown = 64;
    std::string out = "\"";
    out.append(key.substr(0, kMaxShown));
    if (key.size() > kMaxShown) out += "...";
    out += '"';
    return out;
}

// Decodes the body of a string whose syntax the scan has already checked:
// escapes resolved, surrogate pairs joined, unpaired surrogates and bytes
// outside well-formed UTF-8 turned into U+FFFD.
void decodeStringBody(const unsigned char* p, const unsigned char* end, std::string& out) {
    while (p < end) {
        const unsigned char* run = p;
        p = skipPlainWords(p, end);
        while (p < end && kStringByte[*p] == kPlainByte) ++p;
        out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
        if (p == end) break;

        if (*p == '\\') {
            const unsigned char e = p[1];
            p += 2;
            switch (e) {
                case 'b': out += '\b'; continue;
                case 'f': out += '\f'; continue;
                case 'n': out += '\n'; continue;
                case 'r': out += '\r'; continue;
                case 't': out += '\t'; continue;
                case 'u': break;
                default: out += static_cast<char>(e); continue;  // " \ /
            }
            std::uint32_t cp = hex4(p);
            p += 4;
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                if (end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
                    const std::uint32_t low = hex4(p + 2);
                    if (low >= 0xDC00 && low <= 0xDFFF) {
                        appendUtf8(out, 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00));
                        p += 6;
                        continue;
                    }
                }
                cp = 0xFFFD;
            } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                cp = 0xFFFD;
            }
            appendUtf8(out, cp);
            continue;
        }
        // A byte from 0x80 up.
        const std::size_t n = wellFormedUtf8Length(p, end);
        if (n == 0) {
            out.append(kReplacementCharacterUtf8);
            ++p;
        } else {
            out.append(reinterpret_cast<const char*>(p), n);
            p += n;
        }
    }
}

class Reader {
public:
    explicit Reader(std::string_view body)
        : begin_(reinterpret_cast<const unsigned char*>(body.data())),
          p_(begin_),
          end_(begin_ + body.size()) {}

    Status readTop(std::span<const JsonField> fields) {
        skipSpace();
        if (p_ == end_) return endOfInput();
        Status s;
        if (*p_ == '{') {
            ++p_;
            s = readObject(fields, 1);
        } else if (*p_ == 'n') {
            s = literal("null");
        } else {
            const char* kind = kindNameAt(*p_);
            s = skipValue(0);
            if (s) noteKindFailure(std::string("the body is ") + kind + ", expected an object");
        }
        if (!s) return s;
        skipSpace();
        if (p_ != end_) return syntaxError("after top-level value");
        if (kindFailure_) return fail(std::move(*kindFailure_));
        return {};
    }

private:
    void skipSpace() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }

    std::unexpected<Error> endOfInput() const { return fail("unexpected end of JSON input"); }

    // Names the byte at p_ (or the end of input) and where it was met.
    std::unexpected<Error> syntaxError(std::string_view context) const {
        if (p_ >= end_) return endOfInput();
        const unsigned char c = *p_;
        std::string text = "invalid character ";
        if (c > 0x20 && c < 0x7F) {
            text += '\'';
            text += static_cast<char>(c);
            text += '\'';
        } else {
            text += "0x";
            appendHexByte(text, c);
        }
        text += ' ';
        text += context;
        text += " at offset ";
        text += std::to_string(p_ - begin_);
        return fail(std::move(text));
    }

    std::unexpected<Error> tooDeep() const {
        return fail("nesting deeper than " + std::to_string(kMaxJsonNesting) + " levels at offset " +
                    std::to_string(p_ - begin_));
    }

    void noteKindFailure(std::string text) {
        if (!kindFailure_) kindFailure_ = newError(std::move(text));
    }

    Status literal(std::string_view word) {
        for (char c : word) {
            if (p_ == end_) return endOfInput();
            if (*p_ != static_cast<unsigned char>(c)) return syntaxError("in literal");
            ++p_;
        }
        return {};
    }

    Status number() {
        auto digit = [&] { return p_ < end_ && *p_ >= '0' && *p_ <= '9'; };
        auto digits = [&]() -> Status {
            if (p_ == end_) return endOfInput();
            if (!digit()) return syntaxError("in numeric literal");
            while (digit()) ++p_;
            return {};
        };
        if (*p_ == '-') ++p_;
        if (p_ < end_ && *p_ == '0') {
            ++p_;
        } else if (Status s = digits(); !s) {
            return s;
        }
        if (p_ < end_ && *p_ == '.') {
            ++p_;
            if (Status s = digits(); !s) return s;
        }
        if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (Status s = digits(); !s) return s;
        }
        return {};
    }

    // After the opening quote: finds the closing one, checking escapes and
    // control characters on the way, and appends the decoded text to `out`
    // unless it is null (a skipped value).
    Status string(std::string* out, JsonText* inBody = nullptr) {
        const unsigned char* start = p_;
        const unsigned char* q = p_;
        bool plain = true;
        std::size_t highBytes = 0;
        for (;;) {
            q = skipPlainWords(q, end_);
            while (q < end_ && kStringByte[*q] == kPlainByte) ++q;
            if (q == end_) return endOfInput();
            const std::uint8_t cls = kStringByte[*q];
            if (cls == kQuote) break;
            if (cls == kControl) {
                p_ = q;
                return syntaxError("in string literal");
            }
            plain = false;
            if (cls == kHighByte) {
                ++highBytes;
                ++q;
                continue;
            }
            // A backslash.
            if (++q == end_) return endOfInput();
            switch (*q) {
                case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
                    ++q;
                    continue;
                case 'u':
                    for (int i = 0; i < 4; ++i) {
                        if (++q == end_) return endOfInput();
                        if (hexValue(*q) < 0) {
                            p_ = q;
                            return syntaxError("in \\u hexadecimal character escape");
                        }
                    }
                    ++q;
                    continue;
                default:
                    p_ = q;
                    return syntaxError("in string escape code");
            }
        }
        const auto size = static_cast<std::size_t>(q - start);
        // The decoded text never outgrows this, so it is never reallocated
        // (a reallocation would free a block still holding part of a secret):
        // escapes only shrink, well-formed UTF-8 stays as long, and a byte
        // outside it becomes U+FFFD, three bytes.
        const std::size_t decodedAtMost = size + 2 * highBytes;
        if (inBody) {
            if (plain)
                inBody->setInBody(std::string_view(reinterpret_cast<const char*>(start), size));
            else
                decodeStringBody(start, q, inBody->decodedFor(decodedAtMost));
        } else if (out) {
            if (plain) {
                out->append(reinterpret_cast<const char*>(start), size);
            } else {
                out->reserve(out->size() + decodedAtMost);
                decodeStringBody(start, q, *out);
            }
        }
        p_ = q + 1;
        return {};
    }

    // An object key and its colon, from the opening quote on.
    Status keyAndColon(std::string* key) {
        if (p_ == end_) return endOfInput();
        if (*p_ != '"') return syntaxError("looking for beginning of object key string");
        ++p_;
        if (Status s = string(key); !s) return s;
        skipSpace();
        if (p_ == end_) return endOfInput();
        if (*p_ != ':') return syntaxError("after object key");
        ++p_;
        skipSpace();
        return {};
    }

    // Checks one value without keeping anything. `depth` is the nesting of
    // the container holding it; nested containers are tracked in a stack of
    // their closing characters, so no nesting reaches the call stack.
    Status skipValue(int depth) {
        std::vector<unsigned char>& open = skipStack_;
        open.clear();
        for (;;) {
            // A value starts here.
            skipSpace();
            if (p_ == end_) return endOfInput();
            bool containerOpened = false;
            switch (*p_) {
                case '{':
                case '[': {
                    if (depth + static_cast<int>(open.size()) + 1 > kMaxJsonNesting) return tooDeep();
                    const unsigned char close = *p_ == '{' ? '}' : ']';
                    ++p_;
                    skipSpace();
                    if (p_ < end_ && *p_ == close) {
                        ++p_;
                        break;
                    }
                    open.push_back(close);
                    if (close == '}') {
                        if (Status s = keyAndColon(nullptr); !s) return s;
                    }
                    containerOpened = true;
                    break;
                }
                case '"': {
                    ++p_;
                    if (Status s = string(nullptr); !s) return s;
                    break;
                }
                case 't': if (Status s = literal("true"); !s) return s; break;
                case 'f': if (Status s = literal("false"); !s) return s; break;
                case 'n': if (Status s = literal("null"); !s) return s; break;
                default:
                    if (*p_ != '-' && !(*p_ >= '0' && *p_ <= '9'))
                        return syntaxError("looking for beginning of value");
                    if (Status s = number(); !s) return s;
                    break;
            }
            if (containerOpened) continue;

            // A value ended: close what it ends, until the next value starts.
            for (;;) {
                if (open.empty()) return {};
                skipSpace();
                if (p_ == end_) return endOfInput();
                const unsigned char close = open.back();
                if (*p_ == close) {
                    ++p_;
                    open.pop_back();
                    continue;
                }
                if (*p_ != ',')
                    return syntaxError(close == '}' ? "after object key:value pair" : "after array element");
                ++p_;
                if (close == '}') {
                    skipSpace();
                    if (Status s = keyAndColon(nullptr); !s) return s;
                }
                break;
            }
        }
    }

    static const JsonField* matchField(std::span<const JsonField> fields, std::string_view key) {
        for (const JsonField& f : fields)
            if (f.key == key) return &f;
        for (const JsonField& f : fields)
            if (jsonKeyFoldsTo(key, f.key)) return &f;
        return nullptr;
    }

    // After the opening brace of an object at nesting `depth`.
    Status readObject(std::span<const JsonField> fields, int depth) {
        skipSpace();
        if (p_ < end_ && *p_ == '}') {
            ++p_;
            return {};
        }
        for (;;) {
            skipSpace();
            key_.clear();
            if (Status s = keyAndColon(&key_); !s) return s;
            const JsonField* field = matchField(fields, key_);
            Status s = field ? readField(*field, depth) : skipValue(depth);
            if (!s) return s;
            skipSpace();
            if (p_ == end_) return endOfInput();
            if (*p_ == ',') {
                ++p_;
                continue;
            }
            if (*p_ == '}') {
                ++p_;
                return {};
            }
            return syntaxError("after object key:value pair");
        }
    }

    // The value of a known key, inside an object at nesting `depth`.
    Status readField(const JsonField& field, int depth) {
        if (p_ == end_) return endOfInput();
        const unsigned char c = *p_;
        if (c == 'n') {
            if (Status s = literal("null"); !s) return s;
            if (field.list) field.list->truncate(0);
            return {};
        }
        if (field.text && c == '"') {
            ++p_;
            field.text->clear();
            return string(field.text);
        }
        if (field.textInBody && c == '"') {
            ++p_;
            return string(nullptr, field.textInBody);
        }
        if (field.list && c == '[') {
            if (depth + 1 > kMaxJsonNesting) return tooDeep();
            ++p_;
            const std::string listKey = quotedKey(key_);  // key_ is reused by the entries
            return readList(*field.list, depth + 1, listKey);
        }
        noteKindFailure("the value of key " + quotedKey(key_) + " is " + kindNameAt(c) + ", expected " +
                        (field.list ? "an array" : "a string"));
        return skipValue(depth);
    }

    // After the opening bracket of a list at nesting `depth`; entries already
    // in the list (from a repeated key) are read over, surplus ones dropped.
    Status readList(JsonRecordList& list, int depth, const std::string& listKey) {
        std::size_t count = 0;
        skipSpace();
        if (p_ < end_ && *p_ == ']') {
            ++p_;
            list.truncate(0);
            return {};
        }
        for (;;) {
            skipSpace();
            if (p_ == end_) return endOfInput();
            const std::span<const JsonField> fields = list.entry(count);
            const unsigned char c = *p_;
            Status s;
            if (c == '{') {
                if (depth + 1 > kMaxJsonNesting) return tooDeep();
                ++p_;
                s = readObject(fields, depth + 1);
            } else if (c == 'n') {
                s = literal("null");
            } else {
                noteKindFailure("element " + std::to_string(count) + " of key " + listKey + " is " +
                                kindNameAt(c) + ", expected an object");
                s = skipValue(depth);
            }
            if (!s) return s;
            ++count;
            skipSpace();
            if (p_ == end_) return endOfInput();
            if (*p_ == ',') {
                ++p_;
                continue;
            }
            if (*p_ == ']') {
                ++p_;
                list.truncate(count);
                return {};
            }
            return syntaxError("after array element");
        }
    }

    const unsigned char* begin_;
    const unsigned char* p_;
    const unsigned char* end_;
    std::optional<Error> kindFailure_;
    std::string key_;
    std::vector<unsigned char> skipStack_;
};

}  // namespace

JsonText& JsonText::operator=(const JsonText& other) {
    if (this != &other) {
        wipeString(decoded_);
        inBody_ = other.inBody_;
        decoded_ = other.decoded_;
        ownsText_ = other.ownsText_;
    }
    return *this;
}

JsonText& JsonText::operator=(JsonText&& other) {
    if (this != &other) {
        wipeString(decoded_);
        inBody_ = other.inBody_;
        decoded_ = std::move(other.decoded_);
        ownsText_ = other.ownsText_;
    }
    return *this;
}

JsonText::~JsonText() { wipeString(decoded_); }

void JsonText::setInBody(std::string_view text) {
    wipeString(decoded_);
    ownsText_ = false;
    inBody_ = text;
}

std::string& JsonText::decodedFor(std::size_t size) {
    wipeString(decoded_);
    // Past the in-object capacity of any std::string, so the text is never
    // stored inside the object itself.
    constexpr std::size_t kBeyondInlineCapacity = 32;
    decoded_.reserve(std::max(size, kBeyondInlineCapacity));
    ownsText_ = true;
    inBody_ = {};
    return decoded_;
}

bool jsonKeyFoldsTo(std::string_view key, std::string_view fieldKey) {
    auto upper = [](unsigned char c) { return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 32) : c; };
    std::size_t i = 0;
    for (const char fc : fieldKey) {
        const unsigned char want = upper(static_cast<unsigned char>(fc));
        if (i >= key.size()) return false;
        const unsigned char b = static_cast<unsigned char>(key[i]);
        if (b < 0x80) {
            if (upper(b) != want) return false;
            ++i;
        } else if (want == 'S' && key.substr(i, 2) == "\xC5\xBF") {  // U+017F long s
            i += 2;
        } else if (want == 'K' && key.substr(i, 3) == "\xE2\x84\xAA") {  // U+212A Kelvin sign
            i += 3;
        } else {
            return false;  // no other character folds to an ASCII one
        }
    }
    return i == key.size();
}

Status readJsonRecord(std::string_view body, std::span<const JsonField> fields) {
    try {
        Reader reader(body);
        return reader.readTop(fields);
    } catch (const std::bad_alloc&) {
        // A body can ask for many small records; running out of memory fails
        // this request, not the process.
        return fail("out of memory while reading the JSON body");
    }
}

}  // namespace quillon
