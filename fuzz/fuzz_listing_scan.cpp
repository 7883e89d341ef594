// Fuzz target: CountListedFiles. Inputs whose first byte is even are arbitrary texts, counted also by a
// plain recursive reading of the contract; odd ones describe a listing that the target writes with a
// known number of files among entries and members made to look like files. Every counted listing must
// keep its count with white space around it and lose it to a byte after it or a cut-off end.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "listing/listing_scan.h"

namespace {

// What CountListedFiles must give, read by recursive descent: a valid JSON text whose top level is an
// object; the files are the entries of its first "contents" member, when that is an array, that are
// objects whose first "is_dir" member is the literal false. Names are compared after decoding.
class ReferenceCount {
  public:
    explicit ReferenceCount(std::string_view text) : text_(text) {}

    uint32_t Count() {
        Space();
        if (at_ == text_.size() || text_[at_] != '{') return 0;
        if (!Value(0, Role::TopLevel) || (Space(), at_ != text_.size())) return 0;
        return contentsIsArray_ ? files_ : 0;
    }

  private:
    // Where a value stands: the top-level object, the first "contents", an entry of it, anything else.
    enum class Role { TopLevel, Contents, Entry, Other };

    char Peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
    bool Take(char c) {
        if (at_ == text_.size() || text_[at_] != c) return false;
        ++at_;
        return true;
    }
    void Space() {
        while (at_ < text_.size() &&
               (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
            ++at_;
    }

    // A string at at_; *equal tells whether its decoded units are exactly the bytes of name.
    bool String(std::string_view name, bool *equal) {
        if (!Take('"')) return false;
        size_t units = 0;
        bool same = true;
        for (;;) {
            if (at_ == text_.size()) return false;
            const auto byte = static_cast<unsigned char>(text_[at_++]);
            uint32_t unit = byte;
            if (byte == '"') break;
            if (byte < 0x20) return false;
            if (byte == '\\') {
                if (at_ == text_.size()) return false;
                const char letter = text_[at_++];
                switch (letter) {
                case '"':
                case '\\':
                case '/':
                    unit = static_cast<unsigned char>(letter);
                    break;
                case 'b':
                    unit = '\b';
                    break;
                case 'f':
                    unit = '\f';
                    break;
                case 'n':
                    unit = '\n';
                    break;
                case 'r':
                    unit = '\r';
                    break;
                case 't':
                    unit = '\t';
                    break;
                case 'u':
                    unit = 0;
                    for (int i = 0; i < 4; ++i) {
                        const char h = Peek();
                        ++at_;
                        if (h >= '0' && h <= '9')
                            unit = unit * 16 + static_cast<uint32_t>(h - '0');
                        else if (h >= 'a' && h <= 'f')
                            unit = unit * 16 + static_cast<uint32_t>(h - 'a' + 10);
                        else if (h >= 'A' && h <= 'F')
                            unit = unit * 16 + static_cast<uint32_t>(h - 'A' + 10);
                        else
                            return false;
                    }
                    break;
                default:
                    return false;
                }
            }
            same = same && units < name.size() && unit == static_cast<unsigned char>(name[units]);
            ++units;
        }
        *equal = same && units == name.size();
        return true;
    }

    bool Digits() {
        const size_t start = at_;
        while (Peek() >= '0' && Peek() <= '9') ++at_;
        return at_ > start;
    }
    bool Number() {
        Take('-');
        if (Take('0')) {
            // a leading zero stands alone
        } else if (!Digits()) {
            return false;
        }
        if (Take('.') && !Digits()) return false;
        if (Peek() == 'e' || Peek() == 'E') {
            ++at_;
            if (!Take('+')) Take('-');
            if (!Digits()) return false;
        }
        return true;
    }
    bool Word(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }

    // The value at at_, inside depth open containers.
    bool Value(int depth, Role role) {
        Space();
        const char c = Peek();
        if (c == '{' || c == '[') {
            if (depth + 1 > kMaxJsonDepth) return false;
            return c == '{' ? Object(depth + 1, role) : Array(depth + 1, role);
        }
        bool unused = false;
        if (c == '"') return String({}, &unused);
        if (c == '-' || (c >= '0' && c <= '9')) return Number();
        return Word(c == 't' ? "true" : c == 'f' ? "false" : "null");
    }

    bool Object(int depth, Role role) {
        ++at_;
        Space();
        if (Take('}')) return true; // an empty entry is no file
        bool isDirSeen = false;
        bool isFile = false;
        do {
            Space();
            std::string_view wanted;
            if (role == Role::TopLevel && !contentsSeen_) wanted = "contents";
            if (role == Role::Entry && !isDirSeen) wanted = "is_dir";
            bool equal = false;
            if (!String(wanted, &equal)) return false;
            equal = equal && !wanted.empty(); // no name is wanted here, not the empty one
            Space();
            if (!Take(':')) return false;
            Space();
            Role inner = Role::Other;
            if (equal && role == Role::TopLevel) {
                contentsSeen_ = true;
                contentsIsArray_ = Peek() == '[';
                inner = Role::Contents;
            }
            // The one valid value that starts with "f" is the literal false.
            const bool isFalse = Peek() == 'f';
            if (!Value(depth, inner)) return false;
            if (equal && role == Role::Entry) {
                isDirSeen = true;
                isFile = isFalse;
            }
            Space();
        } while (Take(','));
        if (!Take('}')) return false;
        if (role == Role::Entry && isFile) ++files_;
        return true;
    }

    bool Array(int depth, Role role) {
        ++at_;
        Space();
        if (Take(']')) return true;
        do {
            Space();
            // The entries of the first "contents" are what is counted; anything else only has to be valid.
            const Role inner = role == Role::Contents && Peek() == '{' ? Role::Entry : Role::Other;
            if (!Value(depth, inner)) return false;
            Space();
        } while (Take(','));
        return Take(']');
    }

    std::string_view text_;
    size_t at_ = 0;
    bool contentsSeen_ = false;
    bool contentsIsArray_ = false;
    uint32_t files_ = 0;
};

// Written listings longer than this are skipped: they would only slow the run down.
using Text = fuzz::TextBuffer<1 << 14>;

// A counted listing is one valid value: white space around it changes nothing, a byte after it
// makes it invalid, and so does cutting off its closing brace. One of the three is checked per listing,
// by its length, so that each costs one more scan.
void CheckCountedListing(std::string_view listing, uint32_t files) {
    static Text changed;
    changed.Clear();
    switch (listing.size() % 3) {
    case 0:
        changed.Append(" \r\n\t");
        changed.Append(listing);
        changed.Append("\t\n\r ");
        if (!changed.Overflowed()) FUZZ_REQUIRE(CountListedFiles(changed.View()) == files);
        break;
    case 1:
        changed.Append(listing);
        changed.Append("0}]\"x"[listing.size() % 5]);
        if (!changed.Overflowed()) FUZZ_REQUIRE(CountListedFiles(changed.View()) == 0);
        break;
    default: {
        size_t last = listing.size();
        while (last > 0 && (listing[last - 1] == ' ' || listing[last - 1] == '\t' || listing[last - 1] == '\r' ||
                            listing[last - 1] == '\n'))
            --last;
        FUZZ_REQUIRE(last > 0 && listing[last - 1] == '}');
        FUZZ_REQUIRE(CountListedFiles(listing.substr(0, last - 1)) == 0);
        break;
    }
    }
}

// Counts text and compares with the reference and, for a listing the target wrote, the files it wrote.
void CheckListing(std::string_view text, const uint32_t *written) {
    const uint32_t files = CountListedFiles(text);
    FUZZ_REQUIRE(files == ReferenceCount(text).Count());
    if (written != nullptr) FUZZ_REQUIRE(files == *written);
    if (files > 0) CheckCountedListing(text, files);
}

// Writes a listing from the input's choices and counts the files it writes.
class ListingWriter {
  public:
    ListingWriter(fuzz::Input &input, Text &text) : input_(input), text_(text) {}

    // The listing's expected count: the files of its first "contents", 0 when that is no array or
    // something nests too deep.
    uint32_t Write() {
        text_.Clear();
        Put("{");
        bool first = true;
        while (!input_.Empty() && !text_.Overflowed()) {
            if (!first) Put(",");
            first = false;
            TopLevelMember(input_.Byte());
        }
        Put("}");
        if (!contentsSeen_ || !contentsIsArray_ || tooDeep_) return 0;
        return files_;
    }

  private:
    // Text, with JSON white space from the input before it now and then.
    void Put(std::string_view piece) {
        const uint8_t blank = input_.Byte();
        if (blank < 0x20) text_.Append(std::string_view(" \t\r\n  \n\t", 8).substr(blank % 8, blank % 3));
        text_.Append(piece);
    }
    // A string value from the input: any byte is written, JSON-escaped where it must be.
    void Quoted(std::string_view raw) {
        text_.Append('"');
        for (char c : raw) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte == '"' || byte == '\\') {
                text_.Append('\\');
                text_.Append(c);
            } else if (byte < 0x20) {
                text_.Append("\\u00");
                text_.Append("0123456789abcdef"[byte >> 4]);
                text_.Append("0123456789abcdef"[byte & 15]);
            } else {
                text_.Append(c);
            }
        }
        text_.Append('"');
    }

    void TopLevelMember(uint8_t kind) {
        switch (kind % 8) {
        case 0:
            Put("\"hash\": ");
            Quoted(input_.Text());
            break;
        case 1: // names that are not "contents"
            Put(kind % 16 < 8 ? "\"Contents\": " : "\"contents \": ");
            Put("[{\"is_dir\": false}]");
            break;
        case 2:
        case 3:
            Put(kind % 8 == 2 ? "\"contents\": " : "\"cont\\u0065nts\": ");
            if (contentsSeen_) {
                Put("[{\"is_dir\": false}]"); // a later "contents" counts nothing
                break;
            }
            contentsSeen_ = true;
            if (const uint8_t other = input_.Byte(); other % 8 == 7) {
                contentsIsArray_ = false;
                Put(other % 16 < 8 ? "null" : "{\"a\": {\"is_dir\": false}, \"is_dir\": false}");
                break;
            }
            contentsIsArray_ = true;
            Contents();
            break;
        case 4:
            Put("\"meta\": {\"contents\": [{\"is_dir\": false}], \"is_dir\": false}");
            break;
        case 5:
            Put("\"is_dir\": false");
            break;
        case 6:
            Put("\"revision\": -12.5e+3");
            break;
        default:
            Put("\"path\": ");
            Quoted(input_.Text());
            break;
        }
    }

    void Contents() {
        Put("[");
        const int entries = input_.Byte() % 16;
        for (int i = 0; i < entries && !text_.Overflowed(); ++i) {
            if (i > 0) Put(",");
            Entry(input_.Byte());
        }
        Put("]");
    }

    void Entry(uint8_t kind) {
        switch (kind % 12) {
        case 0:
            Put("{\"rev\": \"7a\", \"is_dir\": false, \"path\": ");
            Quoted(input_.Text());
            Put("}");
            ++files_;
            break;
        case 1:
            Put("{\"is_dir\": true, \"path\": ");
            Quoted(input_.Text());
            Put("}");
            break;
        case 2:
            Put("{\"is_dir\": false, \"is_dir\": true}");
            ++files_;
            break;
        case 3:
            Put("{\"is_dir\": true, \"is_dir\": false}");
            break;
        case 4:
            Put("{\"meta\": {\"is_dir\": false}, \"is_dir\": true}");
            break;
        case 5:
            Put("{\"meta\": {\"is_dir\": true}, \"is_\\u0064ir\": false}");
            ++files_;
            break;
        case 6: {
            // Entries that are no objects count nothing, whatever they hold.
            constexpr std::string_view kOthers[] = {"[{\"is_dir\": false}]", "\"is_dir\"", "false", "null", "-0", "[]"};
            Put(kOthers[input_.Byte() % 6]);
            break;
        }
        case 7:
            Put(kind % 24 < 12 ? "{\"is_dir\": \"false\"}" : "{\"is_dir\": 0}");
            break;
        case 8:
            Put("{}");
            break;
        case 9:
            Put("{\"is_dir\": [false]}");
            break;
        case 10:
            Put("{\"is_dir \": false, \"is_di\": false}");
            break;
        default: {
            // A file whose member nests arrays: the entry is at depth 3, so depth 3 + arrays must stay
            // within the limit or the whole listing is invalid.
            const int arrays = input_.Byte() * 3;
            Put("{\"is_dir\": false, \"deep\": ");
            for (int i = 0; i < arrays; ++i) text_.Append('[');
            for (int i = 0; i < arrays; ++i) text_.Append(']');
            if (arrays == 0) text_.Append('0');
            Put("}");
            if (3 + arrays > kMaxJsonDepth) tooDeep_ = true;
            ++files_;
            break;
        }
        }
    }

    fuzz::Input &input_;
    Text &text_;
    bool contentsSeen_ = false;
    bool contentsIsArray_ = false;
    bool tooDeep_ = false;
    uint32_t files_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input input(data, size);
    if ((input.Byte() & 1) == 0) {
        CheckListing(input.Rest(), nullptr);
        return 0;
    }
    static Text listing;
    const uint32_t files = ListingWriter(input, listing).Write();
    if (listing.Overflowed()) return 0;
    CheckListing(listing.View(), &files);
    return 0;
}
