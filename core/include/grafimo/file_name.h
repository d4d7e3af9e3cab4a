#pragma once
// The names the program suggests for the files the user saves (the text exports, "Сохранить
// все", the last run's samples, the chart pictures). They are made from the device's
// description, so they must be names that the target can hold, a USB stick's FAT or exFAT
// included.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace grafimo {

// The longest name ext4, FAT and exFAT all take: 255 bytes of UTF-8 are never more than
// the 255 UTF-16 units of FAT and exFAT.
inline constexpr std::size_t kMaxFileNameBytes = 255;

struct SuggestedName {
    std::string_view prefix = {};       // before the description ("Prot" for a device log)
    std::string_view description = {};  // UTF-8; the part that is shortened when the name is too long
    std::string_view stamp = {};        // after the description, its separating blank included
    std::string_view extension = {};    // ".txt"
    unsigned copy = 1;                  // 2, 3...: " (2)" before the extension
};

// prefix + description + stamp [+ " (copy)"] + extension as one file name that FAT and
// exFAT accept: each of  " * / : < > ? \ |  and each control character (a NUL too) becomes
// "_", and the description is cut at a character boundary so that the whole name fits in
// kMaxFileNameBytes. Should the other parts alone be too long, they are cut too, the copy
// number and the extension last.
std::string suggestedFileName(const SuggestedName& name);

// The first of nameFor(1), nameFor(2)... that `taken` says is free: a name is never given
// to a second file. `taken` must say yes only to names in use, of which there are finitely
// many, and nameFor must give a new name for each copy number.
std::string firstFreeFileName(const std::function<std::string(unsigned copy)>& nameFor,
                              const std::function<bool(const std::string&)>& taken);

}  // namespace grafimo
