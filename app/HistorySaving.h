#pragma once
// The saving of a run's samples as text: one file per device into a folder the user picks
// ("Сохранить все", the close question's "Да", the last run's samples offered at start-up)
// or one device's file ("Сохранить"), and how many records each device's history file held
// at its last save, so the close knows whether anything is left unsaved.

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "regional_formats.h"

class QFileDialog;
class QWidget;

namespace grafimo {

namespace session {
class BusSession;
}

class HistorySaving {
public:
    // What the saving asks of the window that shows it.
    class Window {
    public:
        // The configured devices in tab order.
        virtual std::vector<std::uint8_t> deviceOrder() const = 0;
        // The device's description; none when the address is not configured.
        virtual std::optional<QString> deviceDescription(std::uint8_t address) const = 0;
        // The window has closed: no more boxes.
        virtual bool closed() const = 0;
        // The window is closing.
        virtual bool closing() const = 0;
        // The program ends without the user's word: the samples stay for the next start.
        virtual bool keepingHistory() const = 0;

    protected:
        ~Window() = default;
    };

    HistorySaving(QWidget& parent, Window& window, session::BusSession& session);
    HistorySaving(const HistorySaving&) = delete;
    HistorySaving& operator=(const HistorySaving&) = delete;

    // Made when first used: it holds a file-system model and icons.
    QFileDialog* folderDialog();

    // "Сохранить все": every device's samples, one file each, into a folder the user picks.
    // True when the folder was chosen and every file was written.
    bool saveAll();
    // "Сохранить": the device's samples into `target` (the user's choice).
    void saveDevice(std::uint8_t address, const QString& description, const QString& target,
                    const RegionalFormats& formats);
    bool hasUnsavedSamples() const;
    // A run that ended without the user's word left its samples: they are offered for
    // saving until written or let go.
    void recoverLastRun();
    // The device and its history file are gone.
    void forget(std::uint8_t address) { savedRecords_[address] = 0; }

    // A file is being written on the GUI thread, or the last run's question is open.
    bool exporting() const { return exporting_; }
    bool recovering() const { return recovering_; }

private:
    // One file of "Сохранить все" or of the last run's samples.
    struct SaveItem {
        std::uint8_t address;
        std::string description; // UTF-8: the file is named after it
        double time;             // and after this date-time
        QString fileName = {};   // in the chosen folder, once chosen
    };
    struct SaveOutcome {
        int files = 0;
        std::uint64_t records = 0;
        QStringList failures; // "file: reason"
        bool cancelled = false;
    };
    // Asks for the folder, writes the files with one progress box and shows the summary.
    // Nothing when the user cancelled the folder dialog. `thisRun`: the files are this run's,
    // so what they saved counts as saved at close.
    std::optional<SaveOutcome> saveHistories(std::vector<SaveItem> items, bool thisRun);
    std::filesystem::path historyFile(std::uint8_t address) const;

    QWidget& parent_;
    Window& window_;
    session::BusSession& session_;
    QFileDialog* folderDialog_ = nullptr;
    // Records each device's history file held at its last "Сохранить" or "Сохранить все".
    std::array<std::uint64_t, 256> savedRecords_{};
    bool exporting_ = false;
    bool recovering_ = false;
};

} // namespace grafimo
