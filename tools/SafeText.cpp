#include "tools/SafeText.h"

#include <cstdint>
#include <cstdio>

namespace tools {
namespace {

// One code point at the start of text, or, where the bytes there are not UTF-8, the first byte
// alone marked invalid. Overlong forms, surrogates and values past U+10FFFF are invalid.
struct Decoded {
    std::uint32_t codePoint;
    std::size_t length;
    bool valid;
};

Decoded decodeFirst(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text.front());
    if (lead < 0x80) return {lead, 1, true};
    std::size_t length = 0;
    std::uint32_t smallest = 0;
    std::uint32_t value = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, smallest = 0x80, value = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, smallest = 0x800, value = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, smallest = 0x10000, value = lead & 0x07u;
    } else {
        return {lead, 1, false};
    }
    if (text.size() < length) return {lead, 1, false};
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80) return {lead, 1, false};
        value = (value << 6) | (next & 0x3Fu);
    }
    if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return {lead, 1, false};
    }
    return {value, length, true};
}

// Calls onPiece(bytes, decoded) for each code point, or each byte that is not UTF-8, in order.
template <typename OnPiece>
void forEachPiece(std::string_view text, OnPiece&& onPiece) {
    while (!text.empty()) {
        const Decoded decoded = decodeFirst(text);
        onPiece(text.substr(0, decoded.length), decoded);
        text.remove_prefix(decoded.length);
    }
}

bool isTerminalControl(std::uint32_t codePoint) {
    return codePoint < 0x20 || codePoint == 0x7F || (codePoint >= 0x80 && codePoint <= 0x9F) ||
           (codePoint >= 0x202A && codePoint <= 0x202E) ||
           (codePoint >= 0x2066 && codePoint <= 0x2069);
}

void appendEscape(std::string& out, const char* format, std::uint32_t value) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, format, static_cast<unsigned>(value));
    out += escaped;
}

}  // namespace

std::string escapedForTerminal(std::string_view text, std::string_view alsoEscaped) {
    std::string out;
    out.reserve(text.size());
    forEachPiece(text, [&](std::string_view bytes, const Decoded& decoded) {
        const bool asked =
            decoded.codePoint < 0x80 &&
            alsoEscaped.find(static_cast<char>(decoded.codePoint)) != alsoEscaped.npos;
        if (!decoded.valid || decoded.codePoint < 0x80) {
            if (!decoded.valid || asked || isTerminalControl(decoded.codePoint)) {
                appendEscape(out, "\\x%02x", static_cast<unsigned char>(bytes.front()));
            } else {
                out += bytes;
            }
        } else if (isTerminalControl(decoded.codePoint)) {
            appendEscape(out, "\\u%04x", decoded.codePoint);
        } else {
            out += bytes;
        }
    });
    return out;
}

std::string validUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    forEachPiece(text, [&](std::string_view bytes, const Decoded& decoded) {
        out += decoded.valid ? bytes : std::string_view("\xEF\xBF\xBD");
    });
    return out;
}

}  // namespace tools
