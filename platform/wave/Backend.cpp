#include "platform/wave/Backend.h"

#include "platform/report/Report.h"
#include "platform/wave/JackDevice.h"
#include "platform/wave/PipeWireDevice.h"
#include "platform/wave/PulseDevice.h"
#include "platform/wave/SdlDevice.h"

namespace wave {
namespace {

template <typename Device, typename... Args>
std::unique_ptr<WaveEngine> Connect(std::string* why, Args&&... args)
{
    auto device = std::make_unique<Device>(std::forward<Args>(args)...);
    if (!device->connected()) {
        if (why)
            *why = device->connectError();
        return nullptr;
    }
    return std::make_unique<WaveEngine>(std::move(device));
}

} // namespace

std::unique_ptr<WaveEngine> OpenPipeWire(std::string* why)
{
    return Connect<PipeWireDevice>(why);
}

std::unique_ptr<WaveEngine> OpenJack(bool connectPorts, std::string* why)
{
    return Connect<JackDevice>(why, connectPorts);
}

std::unique_ptr<WaveEngine> OpenPulse(std::string* why)
{
    return Connect<PulseDevice>(why);
}

std::unique_ptr<WaveEngine> OpenSdl()
{
    return std::make_unique<WaveEngine>(std::make_unique<SdlDevice>());
}

std::unique_ptr<WaveEngine> OpenBackend(Backend backend, bool connectPorts)
{
    std::string why;
    std::string tried;
    if (backend == Backend::Automatic || backend == Backend::PipeWire) {
        if (auto pipewire = OpenPipeWire(&why))
            return pipewire;
        if (backend == Backend::PipeWire) {
            report::Error("Could not connect to the PipeWire sound server (" + why +
                          "). Vobblix plays through SDL instead.");
            return OpenSdl();
        }
        tried = "no PipeWire server answered (" + why + ")";
    }
    if (backend == Backend::Automatic || backend == Backend::Jack) {
        if (auto jack = OpenJack(connectPorts, &why))
            return jack;
        if (backend == Backend::Jack) {
            report::Error("Could not connect to the JACK server (" + why + "). Vobblix plays through SDL instead.");
            return OpenSdl();
        }
        tried += " and " + why;
    }
    if (backend == Backend::Automatic || backend == Backend::Pulse) {
        if (auto pulse = OpenPulse(&why))
            return pulse;
        if (backend == Backend::Pulse) {
            report::Error("Could not connect to the PulseAudio sound server (" + why +
                          "). Vobblix plays through SDL instead.");
            return OpenSdl();
        }
        report::Warning(tried + " and no PulseAudio server answered (" + why + "); playing through SDL");
    }
    return OpenSdl();
}

} // namespace wave
