#pragma once
// A save dialog that always answers with one path, so a test's take lands where it reads it.

#include "ui/SaveDialog.h"

#include <optional>
#include <string>
#include <utility>

namespace testsupport {

class TakeHere final : public SaveDialog {
public:
    explicit TakeHere(std::string path) : path_(std::move(path)) {}
    std::optional<std::string> Execute(const std::string&, const std::string&) override { return path_; }
    bool ConfirmOverwrite(const std::string&) override { return true; }

private:
    std::string path_;
};

} // namespace testsupport
