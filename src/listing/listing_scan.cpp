// Folder listings: a validating, non-recursive JSON scanner that counts the file entries of "contents".
#include "listing/listing_scan.h"

#include <cstddef>

namespace {

constexpr size_t kInvalid = std::string_view::npos;

constexpr std::string_view kContentsName = "contents";
constexpr std::string_view kIsDirName = "is_dir";
// Depths of the "contents" array and of its entries (the top-level object is depth 1).
constexpr int kContentsDepth = 2;
constexpr int kEntryDepth = 3;

bool IsJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The character a one-letter escape (the letter after "\") stands for; '\0' when the letter is not one.
char SimpleEscape(char letter) {
    constexpr std::string_view kLetters = "\"\\/bfnrt";
    constexpr std::string_view kCharacters = "\"\\/\b\f\n\r\t";
    const size_t at = kLetters.find(letter);
    return at == std::string_view::npos ? '\0' : kCharacters[at];
}

size_t SkipSpace(std::string_view text, size_t at) {
    while (at < text.size() && IsJsonSpace(text[at])) ++at;
    return at;
}

// Scans the string whose opening quote is at text[at]. Returns the index just past its closing quote, or
// kInvalid when it is unterminated, holds a byte below 0x20, or has an escape other than \" \\ \/ \b \f \n
// \r \t \uXXXX. Bytes from 0x80 up pass as they are. *equal tells whether the decoded string is name (ASCII text).
size_t ScanString(std::string_view text, size_t at, std::string_view name, bool *equal) {
    size_t matched = 0;
    bool same = true;
    ++at;
    while (at < text.size()) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte == '"') {
            *equal = same && matched == name.size();
            return at + 1;
        }
        if (byte < 0x20) return kInvalid;
        uint32_t unit = byte;
        if (byte != '\\') {
            ++at;
        } else if (at + 1 < text.size() && text[at + 1] == 'u') {
            if (text.size() - at < 6) return kInvalid;
            unit = 0;
            for (size_t i = at + 2; i < at + 6; ++i) {
                const int digit = HexValue(text[i]);
                if (digit < 0) return kInvalid;
                unit = unit * 16 + static_cast<uint32_t>(digit);
            }
            at += 6;
        } else {
            const char escaped = at + 1 < text.size() ? SimpleEscape(text[at + 1]) : '\0';
            if (escaped == 0) return kInvalid;
            unit = static_cast<unsigned char>(escaped);
            at += 2;
        }
        if (same) {
            same = matched < name.size() && unit == static_cast<uint32_t>(static_cast<unsigned char>(name[matched]));
            ++matched;
        }
    }
    return kInvalid;
}

// Scans the number that starts at text[at] ("-" or a digit): -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
// Returns the index just past it, or kInvalid when it breaks that form. What follows is the caller's check.
size_t ScanNumber(std::string_view text, size_t at) {
    if (text[at] == '-') ++at;
    if (at == text.size() || !IsDigit(text[at])) return kInvalid;
    if (text[at] == '0') {
        ++at;
    } else {
        while (at < text.size() && IsDigit(text[at])) ++at;
    }
    if (at < text.size() && text[at] == '.') {
        if (++at == text.size() || !IsDigit(text[at])) return kInvalid;
        while (at < text.size() && IsDigit(text[at])) ++at;
    }
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        if (++at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
        if (at == text.size() || !IsDigit(text[at])) return kInvalid;
        while (at < text.size() && IsDigit(text[at])) ++at;
    }
    return at;
}

// Index just past word when text continues with it at at, else kInvalid.
size_t ScanWord(std::string_view text, size_t at, std::string_view word) {
    return text.substr(at, word.size()) == word ? at + word.size() : kInvalid;
}

// The open arrays and objects, one bit each (1 for an object); its size is fixed, whatever the input.
class NestingStack {
  public:
    // False, changing nothing, when kMaxJsonDepth containers are already open.
    bool Push(bool isObject) {
        if (depth_ == kMaxJsonDepth) return false;
        const auto at = static_cast<unsigned>(depth_++);
        const uint32_t bit = 1u << (at % 32);
        bits_[at / 32] = isObject ? bits_[at / 32] | bit : bits_[at / 32] & ~bit;
        return true;
    }
    void Pop() { --depth_; }
    int Depth() const { return depth_; }
    // Whether the innermost open container is an object; only while Depth() > 0.
    bool TopIsObject() const {
        const auto at = static_cast<unsigned>(depth_ - 1);
        return ((bits_[at / 32] >> (at % 32)) & 1u) != 0;
    }

  private:
    uint32_t bits_[kMaxJsonDepth / 32] = {};
    int depth_ = 0;
};
static_assert(kMaxJsonDepth % 32 == 0);

// What the scanner accepts next.
enum class Expect { Value, ValueOrClose, Name, NameOrClose, Colon, CommaOrClose };

// What the next value means to the listing: the first "contents" array, or an entry's first "is_dir".
enum class Role { None, Contents, IsDir };

} // namespace

uint32_t CountListedFiles(std::string_view listing) {
    size_t at = SkipSpace(listing, 0);
    if (at == listing.size() || listing[at] != '{') return 0;

    NestingStack stack;
    Expect expect = Expect::Value;
    Role role = Role::None;
    bool contentsSeen = false; // the first "contents" name of the top-level object has been read
    bool inContents = false;   // the "contents" array is open
    bool isDirSeen = false;    // the current entry's first "is_dir" name has been read
    bool isFile = false;       // and its value was the literal false
    uint32_t files = 0;

    for (;;) {
        at = SkipSpace(listing, at);
        if (at == listing.size()) return 0; // the top-level object never closed
        const char c = listing[at];
        bool close = false;
        switch (expect) {
        case Expect::NameOrClose:
        case Expect::Name: {
            if (c == '}' && expect == Expect::NameOrClose) {
                close = true;
                break;
            }
            if (c != '"') return 0;
            const int depth = stack.Depth();
            std::string_view wanted;
            if (depth == 1 && !contentsSeen) wanted = kContentsName;
            if (depth == kEntryDepth && inContents && !isDirSeen) wanted = kIsDirName;
            bool equal = false;
            at = ScanString(listing, at, wanted, &equal);
            if (at == kInvalid) return 0;
            if (equal && wanted == kContentsName) {
                contentsSeen = true;
                role = Role::Contents;
            } else if (equal && wanted == kIsDirName) {
                isDirSeen = true;
                role = Role::IsDir;
            }
            expect = Expect::Colon;
            break;
        }
        case Expect::Colon:
            if (c != ':') return 0;
            ++at;
            expect = Expect::Value;
            break;
        case Expect::CommaOrClose:
            if (c == ',') {
                ++at;
                expect = stack.TopIsObject() ? Expect::Name : Expect::Value;
                break;
            }
            if (c != (stack.TopIsObject() ? '}' : ']')) return 0;
            close = true;
            break;
        case Expect::ValueOrClose:
        case Expect::Value:
            if (c == ']' && expect == Expect::ValueOrClose) {
                close = true;
                break;
            }
            if (c == '{' || c == '[') {
                if (!stack.Push(c == '{')) return 0;
                if (role == Role::Contents && c == '[') inContents = true;
                if (inContents && c == '{' && stack.Depth() == kEntryDepth) isDirSeen = isFile = false;
                ++at;
                expect = c == '{' ? Expect::NameOrClose : Expect::ValueOrClose;
            } else {
                if (c == '"') {
                    bool unused = false;
                    at = ScanString(listing, at, {}, &unused);
                } else if (c == '-' || IsDigit(c)) {
                    at = ScanNumber(listing, at);
                } else if (c == 'f') {
                    at = ScanWord(listing, at, "false");
                    if (role == Role::IsDir) isFile = true;
                } else {
                    at = ScanWord(listing, at, c == 't' ? "true" : "null");
                }
                if (at == kInvalid) return 0;
                expect = Expect::CommaOrClose;
            }
            role = Role::None;
            break;
        }
        if (!close) continue;

        // c closes the innermost container, which matches it.
        const int depth = stack.Depth();
        if (inContents && depth == kEntryDepth && c == '}' && isFile) ++files;
        if (inContents && depth == kContentsDepth) inContents = false;
        stack.Pop();
        ++at;
        if (depth == 1) return SkipSpace(listing, at) == listing.size() ? files : 0;
        expect = Expect::CommaOrClose;
    }
}
