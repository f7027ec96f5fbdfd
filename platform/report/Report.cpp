#include "platform/report/Report.h"

#include <atomic>
#include <cstdio>
#include <utility>

namespace report {
namespace {

constexpr std::string_view kProgramTitle = "Vobblix";
constexpr std::string_view kErrorTitle = "Error";
constexpr std::string_view kInformationTitle = "Information";

std::string_view KindName(Kind kind)
{
    switch (kind) {
    case Kind::Error: return "error";
    case Kind::Information: return "information";
    case Kind::Plain: return "message";
    case Kind::Unhandled: return "error";
    }
    return "error";
}

class StderrOnly final : public Sink {
public:
    void show(Kind, std::string_view, std::string_view) override {}
};

StderrOnly gStderrOnly;
std::atomic<Sink*> gSink{&gStderrOnly};
std::atomic<bool> gHushed{false};
bool gTerminationRequested = false;
void (*gTerminationHandler)() = nullptr;

void Emit(Kind kind, std::string_view title, std::string_view text)
{
    // One line per report; a plain box shows its detail in the title, so both go out.
    if (kind == Kind::Plain)
        std::fprintf(stderr, "vobblix: %.*s: %.*s: %.*s\n", int(KindName(kind).size()), KindName(kind).data(),
                     int(title.size()), title.data(), int(text.size()), text.data());
    else
        std::fprintf(stderr, "vobblix: %.*s: %.*s\n", int(KindName(kind).size()), KindName(kind).data(),
                     int(text.size()), text.data());
    if (!gHushed.load(std::memory_order_acquire))
        gSink.load(std::memory_order_acquire)->show(kind, title, text);
}

} // namespace

void Error(std::string_view text) { Emit(Kind::Error, kErrorTitle, text); }
void Information(std::string_view text) { Emit(Kind::Information, kInformationTitle, text); }
void Plain(std::string_view title, std::string_view text) { Emit(Kind::Plain, title, text); }
void Warning(std::string_view text)
{
    std::fprintf(stderr, "vobblix: warning: %.*s\n", int(text.size()), text.data());
}
void Note(std::string_view text)
{
    std::fprintf(stderr, "vobblix: %.*s\n", int(text.size()), text.data());
}
void ErrorLine(std::string_view text)
{
    std::fprintf(stderr, "vobblix: error: %.*s\n", int(text.size()), text.data());
}
void Unhandled(std::string_view message) { Emit(Kind::Unhandled, kProgramTitle, UnhandledText(message)); }

std::string UnhandledText(std::string_view message)
{
    std::string text(message);
    if (!text.empty() && static_cast<unsigned char>(text.back()) > '.')
        text += '.';
    return text;
}

HeldBoxes::HeldBoxes() { previous_ = Install(this); }

HeldBoxes::~HeldBoxes()
{
    if (installed_)
        Install(previous_);
}

void HeldBoxes::show(Kind kind, std::string_view title, std::string_view text)
{
    held_.push_back({kind, std::string(title), std::string(text)});
}

std::vector<Box> HeldBoxes::take()
{
    if (installed_) {
        Install(previous_);
        installed_ = false;
    }
    return std::exchange(held_, {});
}

void Show(const std::vector<Box>& boxes)
{
    for (const Box& box : boxes)
        if (!gHushed.load(std::memory_order_acquire))
            gSink.load(std::memory_order_acquire)->show(box.kind, box.title, box.text);
}

Sink* Install(Sink* sink)
{
    Sink* previous = gSink.exchange(sink ? sink : &gStderrOnly, std::memory_order_acq_rel);
    return previous == &gStderrOnly ? nullptr : previous;
}

void Hush()
{
    gHushed.store(true, std::memory_order_release);
    gSink.load(std::memory_order_acquire)->dismissAll();
}

bool Hushed() { return gHushed.load(std::memory_order_acquire); }
void ResetHush() { gHushed.store(false, std::memory_order_release); }

void RequestTermination()
{
    gTerminationRequested = true;
    if (gTerminationHandler)
        gTerminationHandler();
}

bool TerminationRequested() { return gTerminationRequested; }
void InstallTerminationHandler(void (*handler)()) { gTerminationHandler = handler; }
void ResetTermination() { gTerminationRequested = false; }

} // namespace report
