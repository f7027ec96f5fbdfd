#include "ui/Program.h"

#include "pedal/MidiPedal.h"
#include "platform/report/Report.h"
#include "platform/thread/Doorbell.h"
#include "recorder/SaveToFile.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

TfrmWaves* frmWaves = nullptr;

namespace {

// Called on the capture callback thread.
void RecordProcessedBlock(const void* buffer, uint32_t length, bool final)
{
    RecordBlock(buffer, static_cast<int32_t>(length), final);
}

} // namespace

Program::Program(wave::WaveService& service, joystick::JoystickService& joysticks)
{
    main = std::make_unique<TfrmMain>(joysticks);
    about = std::make_unique<TfrmAbout>();
    settings = std::make_unique<TfrmSettings>();
    joySetup = std::make_unique<TfrmJoySetup>();
    waves = std::make_unique<TfrmWaves>(service, main->Stopping, QtPump());
    frmWaves = waves.get();
    main->setWaves(waves.get());
    settings->setService(&service);
    joySetup->setService(&service);
    ProcessedBlockHook = &RecordProcessedBlock;
    // Settings that could not be created leave nothing to open the devices with. The MIDI
    // port is made with the stream, so the pedal is handed over first.
    if (!report::TerminationRequested()) {
        OpenMidiPedal(service);
        waves->FormCreate();
    }
}

Program::~Program()
{
    // Whatever ended the event loop, the devices are stopped and closed before the stream
    // that their callbacks use goes away.
    main->StopSequence();
    ProcessedBlockHook = nullptr;
    main->setWaves(nullptr);
    frmWaves = nullptr;
}

UiPump Program::QtPump()
{
    // The wake is a doorbell the event loop watches: a queued call would allocate on the
    // audio thread that rings it.
    auto bell = std::make_shared<thread::Doorbell>();
    auto* notifier = new QSocketNotifier(bell->fd(), QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [bell] { bell->clear(); });
    auto* timer = new QTimer(QCoreApplication::instance());
    timer->setSingleShot(true);
    return UiPump{
        [] { QCoreApplication::processEvents(QEventLoop::AllEvents); },
        [timer](std::chrono::milliseconds timeout) {
            // The timer's event ends the wait when nothing else does.
            timer->start(timeout);
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
            timer->stop();
        },
        [bell] { bell->ring(); },
    };
}

namespace {

int gSignalPipe[2] = {-1, -1};
bool gStartedUp = false;
bool gEndRequested = false;

void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(gSignalPipe[1], &byte, 1);
}

void OnSignalNoticed()
{
    char byte = 0;
    [[maybe_unused]] const auto n = ::read(gSignalPipe[0], &byte, 1);
    if (!gStartedUp) {
        // A box of the start-up is open: it closes, the start-up finishes without more boxes,
        // and the program then ends in order.
        gEndRequested = true;
        report::Hush();
        return;
    }
    if (frmMain && !frmMain->Stopping.load()) {
        frmMain->close();
        return;
    }
    // The way out is already under way and waits on a box (a save that failed): a second
    // signal ends it now. The sound is stopped; nothing more can be saved.
    report::Hush();
    QCoreApplication::exit(0);
}

} // namespace

void CatchSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPipe) != 0)
        return;
    struct sigaction action{};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &action, nullptr);
}

void CloseMainWindowOnSignals()
{
    if (gSignalPipe[0] < 0)
        return;
    // A signal that came before the event loop existed is waiting in the pipe: it is read
    // as soon as the loop runs, or by the start-up's first box.
    auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, &OnSignalNoticed);
}

void StartUpFinished() { gStartedUp = true; }

bool EndRequestedDuringStartUp() { return gEndRequested; }

void EndThroughTheStopSequence()
{
    if (frmMain)
        frmMain->StopSequence();
    QCoreApplication::exit(0);
}

void GuardStandardStreams()
{
    // A reader that went away (vobblix 2>&1 | head -1) must not kill the program.
    std::signal(SIGPIPE, SIG_IGN);
    // A closed standard stream would hand its number to the next file opened, and report
    // lines would land in the settings or in a recording.
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int null = ::open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) {
                ::dup2(null, fd);
                ::close(null);
            }
        }
}
