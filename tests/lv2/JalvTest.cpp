// The plugin in a real host: jalv on the private jackd of the test command passes sound
// through the filter, and a MIDI pedal on its atom port moves the depth it reports.

#include "support/JackMidiSender.h"
#include "support/JackProbe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kClient = "vobblix-wah-jalv";

// jalv with its console on pipes: asked for its monitors, it prints the output controls'
// values; it ends with SIGTERM. Its output is line-buffered, so an answer is never held back.
class Jalv {
public:
    explicit Jalv(const std::vector<std::string>& controls)
    {
        int out[2], in[2];
        if (::pipe(out) != 0 || ::pipe(in) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::close(in[1]);
            ::close(out[0]);
            ::setenv("LV2_PATH", std::string(VOBBLIX_LV2_BUNDLE).substr(0, std::string(VOBBLIX_LV2_BUNDLE).rfind('/')).c_str(), 1);
            std::vector<std::string> args = {"stdbuf", "-oL", "jalv", "-x", "-n", kClient};
            for (const std::string& c : controls) {
                args.push_back("-c");
                args.push_back(c);
            }
            args.push_back("urn:vobblix:wah");
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execvp("stdbuf", argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~Jalv()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(stdin_);
        ::close(stdout_);
    }

    // The first value jalv prints for depth_out that satisfies wanted; NaN after 10 s.
    template <typename Wanted>
    double DepthOutWhen(Wanted wanted)
    {
        static constexpr char kAsk[] = "monitors\n";
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            if (::write(stdin_, kAsk, sizeof kAsk - 1) != ssize_t(sizeof kAsk - 1))
                break;
            // Asked again at most every 20 ms, so the glide has time to move between answers.
            ::usleep(20000);
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                char buf[4096];
                const ssize_t n = ::read(stdout_, buf, sizeof buf);
                if (n <= 0)
                    break;
                printed_.append(buf, size_t(n));
            }
            const size_t at = printed_.rfind("depth_out = ");
            if (at != std::string::npos && wanted(std::atof(printed_.c_str() + at + 12)))
                return std::atof(printed_.c_str() + at + 12);
        }
        return std::nan("");
    }
    // What jalv printed, for a failure's message.
    std::string printed() const { return printed_.substr(printed_.size() > 300 ? printed_.size() - 300 : 0); }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    std::string printed_;
};

TEST(Jalv, PassesSoundAndFollowsAMidiPedal)
{
    if (std::getenv("JACK_DEFAULT_SERVER") == nullptr)
        GTEST_SKIP() << "runs on the private jackd of scripts/with-jack.sh";
    Jalv jalv({"midi_pedal=1", "depth=0.5"});
    testsupport::JackProbe probe(48000);
    ASSERT_TRUE(probe.ok());
    const std::string in = std::string(kClient) + ":in", out = std::string(kClient) + ":out";
    bool patched = false;
    for (int tries = 0; tries < 1000 && !patched; ++tries) {
        patched = probe.HasPort(out) && probe.Patch(in, out);
        if (!patched)
            ::usleep(20000);
    }
    ASSERT_TRUE(patched) << "jalv's ports did not come up";

    // 220 Hz and 4 kHz: below the cutoff of depth 0.5 (about 1.48 kHz) the tone passes, far
    // above it the filter takes most of it away.
    const double rate = probe.rate();
    std::vector<float> signal(size_t(rate / 2));
    for (size_t i = 0; i < signal.size(); ++i)
        signal[i] = float(0.3 * std::sin(2 * M_PI * 220 * double(i) / rate) + 0.3 * std::sin(2 * M_PI * 4000 * double(i) / rate));
    probe.Play(signal);
    ASSERT_TRUE(probe.WaitRecorded(signal.size()));
    const auto level = [&](const std::vector<float>& s, double hz) {
        double c = 0, q = 0;
        for (size_t i = signal.size() / 4; i < signal.size(); ++i) {
            c += s[i] * std::cos(2 * M_PI * hz * double(i) / rate);
            q += s[i] * std::sin(2 * M_PI * hz * double(i) / rate);
        }
        return std::hypot(c, q);
    };
    const std::vector<float>& heard = probe.recording();
    EXPECT_GT(level(heard, 220), 0.7 * level(signal, 220)) << "the tone below the cutoff did not pass";
    EXPECT_LT(level(heard, 4000), 0.2 * level(signal, 4000)) << "the tone above the cutoff was not filtered";

    EXPECT_NEAR(jalv.DepthOutWhen([](double d) { return std::abs(d - 0.5) < 1e-3; }), 0.5, 1e-3);
    testsupport::JackMidiSender pedal("vobblix-wah-pedal");
    ASSERT_TRUE(pedal.ok());
    ASSERT_TRUE(pedal.Connect(std::string(kClient) + ":midi_in"));
    ASSERT_TRUE(pedal.Send({testsupport::ControllerMessage(1, 11, 0)}));
    EXPECT_LT(jalv.DepthOutWhen([](double d) { return d < 0.01; }), 0.01) << "the pedal at its heel did not close the wah; jalv said " << jalv.printed();
    ASSERT_TRUE(pedal.Send({testsupport::ControllerMessage(1, 11, 127)}));
    EXPECT_GT(jalv.DepthOutWhen([](double d) { return d > 0.98; }), 0.98) << "the pedal at its toe did not open the wah";
}

} // namespace
