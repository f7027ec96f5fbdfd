#pragma once
// The save-file dialog of "Start record", behind a seam so that tests choose the answer.

#include <optional>
#include <string>

class SaveDialog {
public:
    virtual ~SaveDialog() = default;
    // The chosen full path, or nothing when the user cancels. The dialog itself asks before
    // a chosen file is replaced. UI thread only.
    virtual std::optional<std::string> Execute(const std::string& initialDir, const std::string& proposedName) = 0;
    // Asks before replacing a file the dialog did not ask about. UI thread only.
    virtual bool ConfirmOverwrite(const std::string& path) = 0;
};

// QFileDialog with the filter "Wav files (*.wav)", the overwrite prompt and no default suffix.
class QtSaveDialog final : public SaveDialog {
public:
    std::optional<std::string> Execute(const std::string& initialDir, const std::string& proposedName) override;
    bool ConfirmOverwrite(const std::string& path) override;
};
