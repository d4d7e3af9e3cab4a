#include "grafimo/file_fault.h"

#include <cstring>

namespace grafimo {

std::string describe(const FileFault& fault)
{
    const char* what = "";
    switch (fault.step) {
    case FileFault::Step::None: return {};
    case FileFault::Step::Open: what = "cannot open"; break;
    case FileFault::Step::Create: what = "cannot create"; break;
    case FileFault::Step::Read: what = "cannot read"; break;
    case FileFault::Step::Write: what = "cannot write"; break;
    case FileFault::Step::Replace: what = "cannot replace"; break;
    case FileFault::Step::Permissions: what = "cannot set permissions of"; break;
    case FileFault::Step::ForeignLink:
        return fault.file.string() + ": a link of another user, not followed";
    }
    std::string text = std::string(what) + " " + fault.file.string();
    if (fault.error != 0)
        text += std::string(": ") + std::strerror(fault.error);
    return text;
}

} // namespace grafimo
