#pragma once
// What failed on a file, as data: the step, the file and the system's error number. The
// windows word it in the user's language; `describe` gives the plain text for a log.

#include <filesystem>
#include <string>

namespace grafimo {

struct FileFault {
    enum class Step {
        None,
        Open,          // opening an existing file
        Create,        // making the new file (or its temporary) beside the old one
        Read,
        Write,
        Replace,       // putting the new file in the old one's place
        Permissions,   // giving the new file the old one's permission bits
        ForeignLink,   // a link planted by another user: not followed
    };
    Step step = Step::None;
    std::filesystem::path file;
    int error = 0; // errno; 0 when the step has no system error

    explicit operator bool() const noexcept { return step != Step::None; }
};

// "cannot write /x/grafimo.cfg: No space left on device".
std::string describe(const FileFault& fault);

} // namespace grafimo
