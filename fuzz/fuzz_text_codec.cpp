// The text codec both ways on any bytes: Windows-1251 bytes always become UTF-8 that turns
// back into the same bytes (0x98 excepted: it has no character), and UTF-8 that is accepted
// comes back unchanged.

#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "grafimo/text_codec.h"

using namespace grafimo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const std::string utf8 = cp1251ToUtf8(bytes);
    const auto back = utf8ToCp1251(utf8);
    if (bytes.find('\x98') == std::string_view::npos) {
        FUZZ_CHECK(back && *back == bytes);
    } else {
        FUZZ_CHECK(!back); // U+FFFD cannot be stored
    }

    const auto cp = utf8ToCp1251(bytes);
    if (cp) {
        FUZZ_CHECK(cp->size() <= bytes.size());
        FUZZ_CHECK(cp1251ToUtf8(*cp) == bytes);
    }
    return 0;
}
