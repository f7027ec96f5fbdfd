#pragma once
// A PipeWire node of a test's own with one port, on a thread loop of its own, torn down in
// order: what the tests' MIDI sender and receivers are built on.

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>

#include <string>

namespace testsupport {

class PwFilterNode {
public:
    // `process` runs on PipeWire's realtime thread with `data`. The node takes `properties`.
    PwFilterNode(const std::string& name, pw_properties* properties, pw_direction direction, const char* dspFormat,
                 const char* portName, void (*process)(void* data, spa_io_position* position), void* data)
    {
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new(name.c_str(), nullptr);
        context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
        events_.version = PW_VERSION_FILTER_EVENTS;
        events_.process = process;
        pw_thread_loop_start(loop_);
        pw_thread_loop_lock(loop_);
        if (context_)
            core_ = pw_context_connect(context_, nullptr, 0);
        if (core_)
            filter_ = pw_filter_new(core_, name.c_str(), properties);
        else
            pw_properties_free(properties);
        if (filter_) {
            pw_filter_add_listener(filter_, &listener_, &events_, data);
            port_ = pw_filter_add_port(filter_, direction, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
                                       pw_properties_new(PW_KEY_FORMAT_DSP, dspFormat, PW_KEY_PORT_NAME, portName,
                                                         nullptr),
                                       nullptr, 0);
            ok_ = port_ && pw_filter_connect(filter_, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) == 0;
        }
        pw_thread_loop_unlock(loop_);
    }
    ~PwFilterNode()
    {
        pw_thread_loop_lock(loop_);
        if (filter_)
            pw_filter_destroy(filter_);
        if (core_)
            pw_core_disconnect(core_);
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
        if (context_)
            pw_context_destroy(context_);
        pw_thread_loop_destroy(loop_);
    }
    PwFilterNode(const PwFilterNode&) = delete;
    PwFilterNode& operator=(const PwFilterNode&) = delete;

    bool ok() const { return ok_; }
    // The port, for pw_filter_dequeue_buffer and pw_filter_queue_buffer.
    void* port() const { return port_; }

private:
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_filter* filter_ = nullptr;
    void* port_ = nullptr;
    spa_hook listener_{};
    pw_filter_events events_{};
    bool ok_ = false;
};

} // namespace testsupport
