#pragma once
// The run marker: a small file beside the history files that says a run is under way. It is
// written at start and removed when the run closes cleanly, so one found at start-up means
// the last run in this working folder ended without the user's word (a signal, a crash, a
// power cut) and its history files may hold samples nobody saved.
#include <filesystem>
#include <optional>
#include <string>

namespace grafimo {

inline constexpr const char* kRunMarkerName = "run.marker";

struct RunMarker {
    double started = 0;  // date-time value of the run's start
    std::string folder;  // the working folder of that run
};

// Written whole (temporary file, then renamed over the old one), mode 0600; a link in its
// place is never followed. False on failure.
bool writeRunMarker(const std::filesystem::path& dir, const RunMarker& marker);
// The marker in `dir`, or nothing when there is none or it is not one of ours.
std::optional<RunMarker> readRunMarker(const std::filesystem::path& dir);
void removeRunMarker(const std::filesystem::path& dir);

} // namespace grafimo
