// libFuzzer target for the settings reader: any bytes as the store file must load or fail
// with a framework error, never crash or hang. Build with clang:
//   bash scripts/build.sh build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DVOBBLIX_FUZZ=ON -DVOBBLIX_BUILD_UI=OFF
//   build-fuzz/tests/fuzz/settings_fuzz -max_total_time=300

#include "config/Settings.h"
#include "platform/registry/Registry.h"
#include "platform/report/Report.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

class QuietSink final : public report::Sink {
public:
    void show(report::Kind, std::string_view, std::string_view) override {}
};

std::filesystem::path StoreFile()
{
    static const std::filesystem::path file = [] {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vobblix-fuzz-XXXXXX").string();
        ::setenv("XDG_CONFIG_HOME", ::mkdtemp(tmpl.data()), 1);
        static QuietSink sink;
        report::Install(&sink);
        auto f = registry::StorePath(settings::kKeyPath);
        std::filesystem::create_directories(f.parent_path());
        return f;
    }();
    return file;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::ofstream(StoreFile(), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    ResetSettingsRecord();
    try {
        LoadSettings();
    } catch (const report::FrameworkError&) {
    }
    return 0;
}
