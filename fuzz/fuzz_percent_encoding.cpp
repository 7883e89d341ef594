// Fuzz target: the encoders of request/encoding (percent-encoding, UTF-8, URL components, byte widening).
// The first byte picks the encoders (even: those of bytes, odd: those of UTF-16 text), the second the
// capacity handed over, a few units either side of what the length call says; the rest is the text, its
// bytes taken in pairs for UTF-16. Every encoder must refuse a
// short buffer without writing, never write past the capacity it was given, and, when it fits, write
// only its alphabet and exactly what decodes back to the input.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "fuzz_support.h"
#include "request/encoding.h"

namespace {

using fuzz::kMaxInput;

// The value of an upper-case hex digit; -1 for any other unit.
int UpperHexValue(uint32_t unit) {
    if (unit >= '0' && unit <= '9') return static_cast<int>(unit - '0');
    if (unit >= 'A' && unit <= 'F') return static_cast<int>(unit - 'A' + 10);
    return -1;
}

bool IsAlnum(unsigned char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The capacity to hand over for an output that needs needed units with its terminator.
size_t Capacity(uint8_t choice, size_t needed) {
    if (choice >= 0xF0) return choice % 2; // nothing or the terminator alone
    const auto slack = static_cast<int>(choice % 9) - 4;
    if (slack < 0 && needed < static_cast<size_t>(-slack)) return 0;
    return slack < 0 ? needed - static_cast<size_t>(-slack) : needed + static_cast<size_t>(slack);
}

// A unit of an encoder's output as a number (a char as its byte).
template <class Unit> uint32_t UnitValue(Unit unit) { return static_cast<std::make_unsigned_t<Unit>>(unit); }

// Decodes percent-encoded text (units below 0x80) into bytes; false unless it is in the canonical form:
// letters and digits as they are, every other byte as "%" and two upper-case hex digits.
template <class Unit> bool DecodePercent(const Unit *text, size_t size, unsigned char *bytes, size_t *count) {
    size_t out = 0;
    for (size_t at = 0; at < size; ++at) {
        const uint32_t unit = UnitValue(text[at]);
        if (unit >= 0x80) return false;
        if (unit != '%') {
            if (!IsAlnum(static_cast<unsigned char>(unit))) return false;
            bytes[out++] = static_cast<unsigned char>(unit);
            continue;
        }
        if (size - at < 3) return false;
        const int high = UpperHexValue(UnitValue(text[at + 1]));
        const int low = UpperHexValue(UnitValue(text[at + 2]));
        if (high < 0 || low < 0) return false;
        const auto byte = static_cast<unsigned char>(high * 16 + low);
        if (IsAlnum(byte)) return false; // escaped although it need not be
        bytes[out++] = byte;
        at += 2;
    }
    *count = out;
    return true;
}

bool SameBytes(const unsigned char *a, std::string_view b) {
    for (size_t i = 0; i < b.size(); ++i)
        if (a[i] != static_cast<unsigned char>(b[i])) return false;
    return true;
}

void CheckPercentEncode(std::string_view text, uint8_t choice) {
    static fuzz::GuardedBuffer<char, 3 * kMaxInput + 8> out;
    static unsigned char decoded[kMaxInput];
    const size_t length = PercentEncodedLength(text);
    size_t expected = 0;
    for (char c : text) expected += IsAlnum(static_cast<unsigned char>(c)) ? 1 : 3;
    FUZZ_REQUIRE(length == expected);
    FUZZ_REQUIRE(!PercentEncodeInto(text, nullptr, length + 1));

    const size_t capacity = Capacity(choice, length + 1);
    char *buffer = out.Give(capacity);
    if (buffer == nullptr) return;
    const bool fits = PercentEncodeInto(text, buffer, capacity);
    FUZZ_REQUIRE(fits == (capacity >= length + 1));
    if (!fits) {
        FUZZ_REQUIRE(out.Untouched());
        return;
    }
    FUZZ_REQUIRE(buffer[length] == '\0');
    size_t count = 0;
    FUZZ_REQUIRE(DecodePercent(buffer, length, decoded, &count));
    FUZZ_REQUIRE(count == text.size() && SameBytes(decoded, text));
}

void CheckWiden(std::string_view bytes, uint8_t choice) {
    static fuzz::GuardedBuffer<char16_t, kMaxInput + 8> out;
    FUZZ_REQUIRE(!WidenBytesInto(bytes, nullptr, bytes.size() + 1));
    const size_t capacity = Capacity(choice, bytes.size() + 1);
    char16_t *buffer = out.Give(capacity);
    if (buffer == nullptr) return;
    const bool fits = WidenBytesInto(bytes, buffer, capacity);
    FUZZ_REQUIRE(fits == (capacity >= bytes.size() + 1));
    if (!fits) {
        FUZZ_REQUIRE(out.Untouched());
        return;
    }
    for (size_t i = 0; i < bytes.size(); ++i) FUZZ_REQUIRE(buffer[i] == static_cast<unsigned char>(bytes[i]));
    FUZZ_REQUIRE(buffer[bytes.size()] == u'\0');
}

// The code points text stands for: surrogate pairs joined, every other surrogate U+FFFD.
size_t ExpectedCodePoints(std::u16string_view text, uint32_t *points) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const uint32_t unit = text[i];
        const bool high = unit >= 0xD800 && unit < 0xDC00;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            points[count++] = 0x10000 + (unit - 0xD800) * 0x400 + (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
            ++i;
        } else {
            points[count++] = unit >= 0xD800 && unit < 0xE000 ? 0xFFFD : unit;
        }
    }
    return count;
}

// Decodes well-formed UTF-8 (shortest forms, no surrogates, nothing past U+10FFFF); false on anything else.
bool DecodeUtf8(std::string_view bytes, uint32_t *points, size_t *count) {
    size_t out = 0;
    for (size_t at = 0; at < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[at]);
        size_t extra = 0;
        uint32_t point = lead;
        uint32_t least = 0;
        if (lead >= 0xF0 && lead < 0xF8) {
            extra = 3, point = lead & 0x07u, least = 0x10000;
        } else if (lead >= 0xE0 && lead < 0xF0) {
            extra = 2, point = lead & 0x0Fu, least = 0x800;
        } else if (lead >= 0xC0 && lead < 0xE0) {
            extra = 1, point = lead & 0x1Fu, least = 0x80;
        } else if (lead >= 0x80) {
            return false;
        }
        if (bytes.size() - at <= extra) return false;
        for (size_t i = 1; i <= extra; ++i) {
            const auto next = static_cast<unsigned char>(bytes[at + i]);
            if ((next & 0xC0u) != 0x80u) return false;
            point = point << 6 | (next & 0x3Fu);
        }
        if (point < least || point > 0x10FFFF || (point >= 0xD800 && point < 0xE000)) return false;
        points[out++] = point;
        at += extra + 1;
    }
    *count = out;
    return true;
}

void CheckUtf8AndUrl(std::u16string_view text, uint8_t choice) {
    static fuzz::GuardedBuffer<char, 3 * (kMaxInput / 2) + 8> utf8;
    static fuzz::GuardedBuffer<char16_t, 9 * (kMaxInput / 2) + 8> url;
    static unsigned char formBytes[3 * (kMaxInput / 2)];
    static uint32_t expected[kMaxInput / 2];
    static uint32_t decoded[3 * (kMaxInput / 2)];

    const size_t length = Utf8Length(text);
    FUZZ_REQUIRE(!Utf8EncodeInto(text, nullptr, length + 1));
    const size_t capacity = Capacity(choice, length + 1);
    char *bytes = utf8.Give(capacity);
    if (bytes == nullptr) return;
    const bool fits = Utf8EncodeInto(text, bytes, capacity);
    FUZZ_REQUIRE(fits == (capacity >= length + 1));
    if (!fits) {
        FUZZ_REQUIRE(utf8.Untouched());
        // The whole form, to compare the URL component with.
        bytes = utf8.Give(length + 1);
        FUZZ_REQUIRE(Utf8EncodeInto(text, bytes, length + 1));
    }
    FUZZ_REQUIRE(bytes[length] == '\0');
    const std::string_view form(bytes, length);
    size_t points = 0;
    FUZZ_REQUIRE(DecodeUtf8(form, decoded, &points));
    FUZZ_REQUIRE(points == ExpectedCodePoints(text, expected));
    for (size_t i = 0; i < points; ++i) FUZZ_REQUIRE(decoded[i] == expected[i]);

    // The URL component is the UTF-8 form percent-encoded, one unit per character.
    size_t escaped = 0;
    for (char c : form) escaped += IsAlnum(static_cast<unsigned char>(c)) ? 1 : 3;
    const size_t urlLength = UrlComponentLength(text);
    FUZZ_REQUIRE(urlLength == escaped);
    FUZZ_REQUIRE(!UrlComponentInto(text, nullptr, urlLength + 1));
    const size_t urlCapacity = Capacity(static_cast<uint8_t>(choice * 7 + 3), urlLength + 1);
    char16_t *units = url.Give(urlCapacity);
    if (units == nullptr) return;
    const bool urlFits = UrlComponentInto(text, units, urlCapacity);
    FUZZ_REQUIRE(urlFits == (urlCapacity >= urlLength + 1));
    if (!urlFits) {
        FUZZ_REQUIRE(url.Untouched());
        return;
    }
    FUZZ_REQUIRE(units[urlLength] == u'\0');
    size_t count = 0;
    FUZZ_REQUIRE(DecodePercent(units, urlLength, formBytes, &count));
    FUZZ_REQUIRE(count == form.size() && SameBytes(formBytes, form));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > kMaxInput + 2) return 0;
    const uint8_t choice = data[1];
    const std::string_view text(reinterpret_cast<const char *>(data + 2), size - 2);
    if ((data[0] & 1) == 0) {
        CheckPercentEncode(text, choice);
        CheckWiden(text, choice);
        return 0;
    }
    static char16_t units[kMaxInput / 2];
    const size_t count = text.size() / 2;
    for (size_t i = 0; i < count; ++i)
        units[i] = static_cast<char16_t>(static_cast<unsigned char>(text[2 * i]) |
                                         static_cast<unsigned char>(text[2 * i + 1]) << 8);
    CheckUtf8AndUrl(std::u16string_view(units, count), choice);
    return 0;
}
