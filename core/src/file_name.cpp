#include "grafimo/file_name.h"

namespace grafimo {

namespace {

bool isContinuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

// Each character FAT or exFAT refuses becomes "_": the nine marks, and the control
// characters, C0 (NUL included), DEL and C1 (U+0080 to U+009F, two bytes in UTF-8).
std::string cleaned(std::string_view part)
{
    std::string out;
    out.reserve(part.size());
    for (std::size_t i = 0; i < part.size(); ++i) {
        const auto c = static_cast<unsigned char>(part[i]);
        if (c < 0x20 || c == 0x7F) {
            out += '_';
        } else if (c == 0xC2 && i + 1 < part.size() && static_cast<unsigned char>(part[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(part[i + 1]) <= 0x9F) {
            out += '_';
            ++i;
        } else if (std::string_view("\"*/:<>?\\|").find(static_cast<char>(c)) != std::string_view::npos) {
            out += '_';
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The longest start of `text` of at most `bytes` bytes that ends at a character boundary.
std::string_view cutAtCharacter(std::string_view text, std::size_t bytes)
{
    if (text.size() <= bytes)
        return text;
    std::size_t end = bytes;
    while (end > 0 && isContinuation(static_cast<unsigned char>(text[end])))
        --end;
    return text.substr(0, end);
}

}  // namespace

std::string suggestedFileName(const SuggestedName& name)
{
    const std::string prefix = cleaned(name.prefix);
    const std::string description = cleaned(name.description);
    const std::string stamp = cleaned(name.stamp);
    std::string end = name.copy > 1 ? " (" + std::to_string(name.copy) + ")" : std::string();
    end += cleaned(name.extension);
    end = std::string(cutAtCharacter(end, kMaxFileNameBytes));

    const std::size_t fixed = prefix.size() + stamp.size() + end.size();
    if (fixed <= kMaxFileNameBytes) {
        const std::size_t room = kMaxFileNameBytes - fixed;
        std::string out = prefix;
        out += cutAtCharacter(description, room);
        return out + stamp + end;
    }
    // A date pattern of its own making can be long: the description goes, then the rest
    // is cut before the copy number and the extension.
    return std::string(cutAtCharacter(prefix + stamp, kMaxFileNameBytes - end.size())) + end;
}

std::string firstFreeFileName(const std::function<std::string(unsigned copy)>& nameFor,
                              const std::function<bool(const std::string&)>& taken)
{
    for (unsigned copy = 1;; ++copy) {
        std::string candidate = nameFor(copy);
        if (!taken(candidate))
            return candidate;
    }
}

}  // namespace grafimo
