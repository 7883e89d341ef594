// Text conversions for URLs and replies: percent-encoding, UTF-16 to UTF-8, byte widening.
#include "request/encoding.h"

#include <cstdint>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsUnreserved(unsigned char byte) {
    return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
}

// Calls sink(byte) for each UTF-8 byte of text, lone surrogates as U+FFFD.
template <class Sink> void ForEachUtf8Byte(std::u16string_view text, Sink sink) {
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            sink(static_cast<unsigned char>(code));
        } else if (code < 0x800) {
            sink(static_cast<unsigned char>(0xC0 | (code >> 6)));
            sink(static_cast<unsigned char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            sink(static_cast<unsigned char>(0xE0 | (code >> 12)));
            sink(static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F)));
            sink(static_cast<unsigned char>(0x80 | (code & 0x3F)));
        } else {
            sink(static_cast<unsigned char>(0xF0 | (code >> 18)));
            sink(static_cast<unsigned char>(0x80 | ((code >> 12) & 0x3F)));
            sink(static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F)));
            sink(static_cast<unsigned char>(0x80 | (code & 0x3F)));
        }
    }
}

// Calls put(character) for the escaped form of one byte.
template <class Put> void EscapeByte(unsigned char byte, Put put) {
    if (IsUnreserved(byte)) {
        put(static_cast<char>(byte));
        return;
    }
    put('%');
    put(kHexDigits[byte >> 4]);
    put(kHexDigits[byte & 0x0F]);
}

} // namespace

size_t PercentEncodedLength(std::string_view text) {
    size_t length = 0;
    for (char c : text) length += IsUnreserved(static_cast<unsigned char>(c)) ? 1 : 3;
    return length;
}

bool PercentEncodeInto(std::string_view text, char *out, size_t capacity) {
    if (out == nullptr || capacity < PercentEncodedLength(text) + 1) return false;
    size_t at = 0;
    for (char c : text) EscapeByte(static_cast<unsigned char>(c), [&](char e) { out[at++] = e; });
    out[at] = '\0';
    return true;
}

size_t Utf8Length(std::u16string_view text) {
    size_t length = 0;
    ForEachUtf8Byte(text, [&](unsigned char) { ++length; });
    return length;
}

bool Utf8EncodeInto(std::u16string_view text, char *out, size_t capacity) {
    if (out == nullptr || capacity < Utf8Length(text) + 1) return false;
    size_t at = 0;
    ForEachUtf8Byte(text, [&](unsigned char byte) { out[at++] = static_cast<char>(byte); });
    out[at] = '\0';
    return true;
}

size_t UrlComponentLength(std::u16string_view text) {
    size_t length = 0;
    ForEachUtf8Byte(text, [&](unsigned char byte) { length += IsUnreserved(byte) ? 1 : 3; });
    return length;
}

bool UrlComponentInto(std::u16string_view text, char16_t *out, size_t capacity) {
    if (out == nullptr || capacity < UrlComponentLength(text) + 1) return false;
    size_t at = 0;
    ForEachUtf8Byte(
        text, [&](unsigned char byte) { EscapeByte(byte, [&](char e) { out[at++] = static_cast<char16_t>(e); }); });
    out[at] = u'\0';
    return true;
}

bool WidenBytesInto(std::string_view bytes, char16_t *out, size_t capacity) {
    if (out == nullptr || capacity < bytes.size() + 1) return false;
    size_t at = 0;
    for (char c : bytes) out[at++] = static_cast<char16_t>(static_cast<unsigned char>(c));
    out[at] = u'\0';
    return true;
}
