// How soon the sound is back after its server or device returned: ten tries each of an
// amplifier node unplugged and plugged back under its name and of the whole PipeWire server
// killed and started again (on a private session of its own), and of a jackd stopped and
// started again; each try is timed from the return to the first sound a probe hears through
// the program. Run by hand: bash bench/comeback.sh [pipewire|jack|all]

#include "support/Comeback.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int kTries = 10;

void Print(const char* what, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    const size_t lost = size_t(std::count_if(ms.begin(), ms.end(), [](double v) { return v < 0; }));
    if (ms.empty() || lost == ms.size()) {
        std::printf("%-34s no sound came back in %zu tries\n", what, ms.size());
        return;
    }
    ms.erase(ms.begin(), ms.begin() + long(lost));
    std::printf("%-34s median %7.0f ms, worst %7.0f ms over %zu tries%s\n", what, ms[ms.size() / 2], ms.back(),
                ms.size(), lost ? (", " + std::to_string(lost) + " without sound").c_str() : "");
}

fs::path Store()
{
    std::string tmpl = (fs::temp_directory_path() / "vobblix-comeback-XXXXXX").string();
    const fs::path dir = ::mkdtemp(tmpl.data());
    testsupport::WriteStore(dir, testsupport::StoreFor(44100, 256));
    return dir;
}

int OnServer(const fs::path& runtime, const std::string& cmd)
{
    return std::system(("XDG_RUNTIME_DIR='" + runtime.string() + "' " + cmd + " >/dev/null 2>&1").c_str());
}

void PipeWire()
{
    testsupport::PrivateServer server;
    if (server.dir.empty()) {
        std::printf("no private PipeWire session\n");
        return;
    }
    const fs::path dir = Store();
    const pid_t child = testsupport::SpawnProgram(
        VOBBLIX_EXE, testsupport::Launch{dir, testsupport::SessionEnvironment(server), {"--audio=pipewire"}, dir / "stderr.txt"});
    {
        testsupport::TalkTo talk(server.dir);
        WaitForLink("vobblix.output:output_MONO", "amp:playback_MONO", 15000);
    }
    std::vector<double> replug;
    for (int i = 0; i < kTries; ++i) {
        OnServer(server.dir, "pw-cli destroy amp");
        {
            testsupport::TalkTo talk(server.dir);
            WaitForPort("amp:playback_MONO", 5000, false);
        }
        OnServer(server.dir, "pw-cli create-node adapter '{ factory.name=support.null-audio-sink node.name=amp "
                             "node.description=Amp media.class=Audio/Sink audio.channels=1 audio.position=MONO "
                             "object.linger=true }'");
        replug.push_back(testsupport::PwMsToSound(server.dir, std::chrono::steady_clock::now()));
    }
    Print("PipeWire node replugged", replug);
    std::vector<double> restart;
    const std::string session = "bash " VOBBLIX_SOURCE_DIR "/scripts/pipewire-session.sh ";
    for (int i = 0; i < kTries; ++i) {
        std::system((session + "kill '" + server.dir.string() + "'").c_str());
        std::this_thread::sleep_for(500ms);
        std::system((session + "revive '" + server.dir.string() + "' >/dev/null").c_str());
        restart.push_back(testsupport::PwMsToSound(server.dir, std::chrono::steady_clock::now()));
    }
    Print("PipeWire server restarted", restart);
    testsupport::Terminate(child);
    fs::remove_all(dir);
}

void Jack()
{
    const std::string name = "vobblix-bench-comeback";
    ::setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
    pid_t server = testsupport::StartJackd(name);
    if (!testsupport::WaitForJackd()) {
        std::printf("jackd did not start\n");
        return;
    }
    const fs::path dir = Store();
    const pid_t child = testsupport::SpawnProgram(
        VOBBLIX_EXE, testsupport::Launch{dir, {{"JACK_DEFAULT_SERVER", name}}, {"--audio=jack"}, dir / "stderr.txt"});
    std::vector<double> restart;
    for (int i = 0; i < kTries; ++i) {
        {
            auto probe = testsupport::WaitForJackd();
            if (probe)
                probe->PatchProgramWhenReady();
        }
        ::kill(server, SIGKILL);
        ::waitpid(server, nullptr, 0);
        std::this_thread::sleep_for(500ms);
        server = testsupport::StartJackd(name);
        auto probe = testsupport::WaitForJackd();
        const auto back = std::chrono::steady_clock::now();
        restart.push_back(probe ? testsupport::JackMsToSound(*probe, back) : -1.0);
    }
    Print("jackd restarted", restart);
    testsupport::Terminate(child);
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    fs::remove_all(dir);
}

} // namespace

int main(int argc, char** argv)
{
    const std::string what = argc > 1 ? argv[1] : "all";
    if (what == "all" || what == "pipewire")
        PipeWire();
    if (what == "all" || what == "jack")
        Jack();
    return 0;
}
