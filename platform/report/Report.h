#pragma once
// The user-facing reports: the error dialog, the information box, the plain box with a
// title of its own, and the event loop's default handler for errors that escape a handler.
// Every report is also written as one line to standard error, so a user who started the
// program from a terminal sees what went wrong.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace report {

enum class Kind { Error, Information, Plain, Unhandled };

// Where reports are shown. The Qt program installs message boxes; tests install a recorder.
class Sink {
public:
    virtual ~Sink() = default;
    // Called on any thread; a sink that shows windows must queue to the UI thread itself.
    virtual void show(Kind kind, std::string_view title, std::string_view text) = 0;
    // Closes whatever the sink has on screen. UI thread only.
    virtual void dismissAll() {}
};

// Error dialog: title "Error", error icon, one OK button.
// Called on any thread.
void Error(std::string_view text);
// Information box with one OK button.
// Called on any thread.
void Information(std::string_view text);
// Plain box, no icon, one OK button, with its own title.
// Called on any thread.
void Plain(std::string_view title, std::string_view text);
// The event loop's default handler: title "Vobblix", error icon, "." added when the last
// character sorts after ".".
// Called on any thread.
void Unhandled(std::string_view message);

// A line on standard error only, "vobblix: warning: <text>", for what the user may want to
// know but need not stop for (the sound crackled). Not for realtime threads.
// Called on any thread.
void Warning(std::string_view text);

// A line on standard error only, "vobblix: <text>", for what a user in a terminal may want to
// see of a run that goes well (what the sound goes through, how late it comes back).
// Called on any thread but a realtime one.
void Note(std::string_view text);

// The error dialog's line on standard error, without the dialog: for failures that come in
// while the program is already closing, where a box would hold the close.
// Called on any thread.
void ErrorLine(std::string_view text);

// The text the default handler shows for a message.
std::string UnhandledText(std::string_view message);

// Replaces the sink; nullptr restores the standard-error-only sink. Returns the previous one.
// UI thread only, before or after the audio runs.
Sink* Install(Sink* sink);

// One box as it was raised.
struct Box {
    Kind kind;
    std::string title;
    std::string text;
};

// Keeps the boxes raised while it lives instead of showing them (their lines on standard
// error go out at once), for a start-up whose boxes must not hold the sound: Release shows
// them later. UI thread only, while no other thread reports.
class HeldBoxes final : public Sink {
public:
    HeldBoxes();
    ~HeldBoxes() override;
    HeldBoxes(const HeldBoxes&) = delete;
    HeldBoxes& operator=(const HeldBoxes&) = delete;

    void show(Kind kind, std::string_view title, std::string_view text) override;
    // Puts the sink back and gives the boxes kept so far.
    std::vector<Box> take();

private:
    Sink* previous_ = nullptr;
    bool installed_ = true;
    std::vector<Box> held_;
};

// Shows boxes held earlier, in their order, with no second line on standard error.
// UI thread only.
void Show(const std::vector<Box>& boxes);

// An error raised by a framework service (store, number conversion, file creation). The
// handler that raised it stops there; the event loop's default handler shows it.
class FrameworkError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// From now on reports only go to standard error, and the boxes on screen close: for a
// program that was told to end (a signal, a logout), where a box would hold the end.
// UI thread only.
void Hush();
// Called on any thread.
bool Hushed();
// Boxes again (tests run several programs' lives in one process). UI thread only.
void ResetHush();

// Asks the program to end when control returns to its event loop. The program maps this to
// its event loop's exit; without one installed the request is only remembered.
// UI thread only.
void RequestTermination();
// UI thread only.
bool TerminationRequested();
// Installs what a termination request does; nullptr restores remembering only.
// UI thread only.
void InstallTerminationHandler(void (*handler)());
// Forgets an earlier request (tests run several start-ups in one process).
// UI thread only.
void ResetTermination();

} // namespace report
