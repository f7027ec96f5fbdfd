#pragma once
// A fresh per-user store for one test: XDG_CONFIG_HOME points at an empty temporary folder,
// the settings record and the termination request start as at program load.

#include "config/Settings.h"
#include "platform/registry/Registry.h"
#include "platform/report/Report.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace testsupport {

class TempStore {
public:
    TempStore()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vobblix-test-XXXXXX").string();
        root_ = ::mkdtemp(tmpl.data());
        ::setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
        ResetSettingsRecord();
        report::ResetTermination();
        report::ResetHush();
    }
    ~TempStore()
    {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
        report::ResetTermination();
        report::ResetHush();
    }
    TempStore(const TempStore&) = delete;
    TempStore& operator=(const TempStore&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path file() const { return registry::StorePath(settings::kKeyPath); }

    void write(const std::string& text) const
    {
        std::filesystem::create_directories(file().parent_path());
        std::ofstream(file(), std::ios::binary) << text;
    }
    std::string read() const
    {
        std::ifstream in(file(), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    static std::string defaults()
    {
        return "Sample_rate = 44100\nmemBlockLength = 1000\nUsingMouse = 1\nPedalDevice = 0\n"
               "InvertPedal = 0\nPriority = 1\nPedalAxis = 1\nLastFreqofs = 10\n"
               "LastResonance = 90\nLastPAF = 100\nLastPATH = \"\"\n";
    }

private:
    std::filesystem::path root_;
};

} // namespace testsupport
