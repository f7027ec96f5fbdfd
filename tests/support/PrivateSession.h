#pragma once
// A PipeWire session of a test's own (scripts/pipewire-session.sh), so that killing its
// server leaves the shared one alone. Needs VOBBLIX_SOURCE_DIR.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace testsupport {

struct PrivateServer {
    std::filesystem::path dir;
    PrivateServer()
    {
        const std::string out = [] {
            std::string s;
            if (std::FILE* p = ::popen("bash " VOBBLIX_SOURCE_DIR "/scripts/pipewire-session.sh start", "r")) {
                char buf[512];
                while (std::fgets(buf, sizeof buf, p))
                    s += buf;
                ::pclose(p);
            }
            return s;
        }();
        const auto at = out.find("VOBBLIX_PIPEWIRE_SESSION='");
        if (at != std::string::npos)
            dir = out.substr(at + 26, out.find('\'', at + 26) - at - 26);
    }
    // The pids file lists dbus-daemon, pipewire, wireplumber.
    pid_t pipewire() const
    {
        std::ifstream f(dir / "pids");
        pid_t a = 0, b = 0;
        f >> a >> b;
        return b;
    }
    ~PrivateServer()
    {
        if (!dir.empty())
            std::system(("bash " VOBBLIX_SOURCE_DIR "/scripts/pipewire-session.sh stop '" + dir.string() + "'").c_str());
    }
};

// What a program started on the private server needs in its environment.
inline std::vector<std::pair<std::string, std::string>> SessionEnvironment(const PrivateServer& server)
{
    return {{"XDG_RUNTIME_DIR", server.dir.string()},
            {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + server.dir.string() + "/bus"}};
}

// The test's own clients and tools talk to the server of XDG_RUNTIME_DIR while it is set.
struct TalkTo {
    std::string before;
    explicit TalkTo(const std::filesystem::path& runtime) : before(std::getenv("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : "")
    {
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
    ~TalkTo() { ::setenv("XDG_RUNTIME_DIR", before.c_str(), 1); }
};

} // namespace testsupport
