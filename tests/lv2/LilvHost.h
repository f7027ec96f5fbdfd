#pragma once
// A host for the tests: the built bundle loaded through lilv, as Ardour or jalv load it, and
// instances run over a signal in blocks of given lengths with MIDI messages at given frames.

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/midi/midi.h>
#include <lv2/urid/urid.h>

#include <array>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace lv2test {

struct MidiAt {
    uint64_t frame = 0;
    std::array<uint8_t, 3> bytes{};
};

class World {
public:
    World()
    {
        world_ = lilv_world_new();
        LilvNode* bundle = lilv_new_file_uri(world_, nullptr, VOBBLIX_LV2_BUNDLE "/");
        lilv_world_load_specifications(world_);
        lilv_world_load_bundle(world_, bundle);
        lilv_node_free(bundle);
        LilvNode* uri = lilv_new_uri(world_, "urn:vobblix:wah");
        plugin_ = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), uri);
        lilv_node_free(uri);
        if (plugin_ == nullptr)
            throw std::runtime_error("the bundle " VOBBLIX_LV2_BUNDLE " has no urn:vobblix:wah");
        map_ = {this, [](LV2_URID_Map_Handle self, const char* u) { return static_cast<World*>(self)->Map(u); }};
        features_[0] = &mapFeature_;
    }
    ~World() { lilv_world_free(world_); }
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    LV2_URID Map(const std::string& uri)
    {
        auto [it, added] = urids_.try_emplace(uri, LV2_URID(urids_.size() + 1));
        return it->second;
    }
    const LilvPlugin* plugin() const { return plugin_; }
    const LV2_Feature* const* features() const { return features_.data(); }
    uint32_t Index(const std::string& symbol) const
    {
        LilvNode* s = lilv_new_string(world_, symbol.c_str());
        const LilvPort* port = lilv_plugin_get_port_by_symbol(plugin_, s);
        lilv_node_free(s);
        if (port == nullptr)
            throw std::runtime_error("no port " + symbol);
        return lilv_port_get_index(plugin_, port);
    }

private:
    LilvWorld* world_ = nullptr;
    const LilvPlugin* plugin_ = nullptr;
    std::map<std::string, LV2_URID> urids_;
    LV2_URID_Map map_{};
    LV2_Feature mapFeature_{LV2_URID__map, &map_};
    std::array<const LV2_Feature*, 2> features_{};
};

class Wah {
public:
    Wah(World& world, double rate, const std::map<std::string, float>& settings = {})
        : world_(world), in_(world.Index("in")), out_(world.Index("out")), sequence_(world.Map(LV2_ATOM__Sequence)),
          midiEvent_(world.Map(LV2_MIDI__MidiEvent))
    {
        const uint32_t n = lilv_plugin_get_num_ports(world.plugin());
        controls_.resize(n);
        lilv_plugin_get_port_ranges_float(world.plugin(), nullptr, nullptr, controls_.data());
        for (const auto& [symbol, value] : settings)
            controls_[world.Index(symbol)] = value;
        instance_ = lilv_plugin_instantiate(world.plugin(), rate, world.features());
        if (instance_ == nullptr)
            throw std::runtime_error("the plugin did not instantiate");
        for (uint32_t i = 0; i < n; ++i)
            lilv_instance_connect_port(instance_, i, &controls_[i]);
        lilv_instance_connect_port(instance_, world.Index("midi_in"), events_.data());
        lilv_instance_activate(instance_);
    }
    ~Wah()
    {
        lilv_instance_deactivate(instance_);
        lilv_instance_free(instance_);
    }
    Wah(const Wah&) = delete;
    Wah& operator=(const Wah&) = delete;

    void Set(const std::string& symbol, float value) { controls_[world_.Index(symbol)] = value; }
    float Get(const std::string& symbol) const { return controls_[world_.Index(symbol)]; }

    // One block, in place or not; messages at frames within it.
    void Run(const float* in, float* out, uint32_t frames, const std::vector<MidiAt>& midi = {}, uint64_t start = 0)
    {
        Queue(frames, midi, start);
        RunQueued(in, out, frames);
    }

    // The block's messages into the atom port's buffer, as a host fills it before run().
    void Queue(uint32_t frames, const std::vector<MidiAt>& midi, uint64_t start)
    {
        auto* seq = reinterpret_cast<LV2_Atom_Sequence*>(events_.data());
        seq->atom.type = sequence_;
        seq->atom.size = sizeof(LV2_Atom_Sequence_Body);
        seq->body = {0, 0};
        for (const MidiAt& m : midi) {
            if (m.frame < start || m.frame >= start + frames)
                continue;
            struct {
                LV2_Atom_Event head;
                std::array<uint8_t, 8> data;
            } ev{{{int64_t(m.frame - start)}, {3, midiEvent_}}, {m.bytes[0], m.bytes[1], m.bytes[2]}};
            lv2_atom_sequence_append_event(seq, uint32_t(sizeof events_) - sizeof(LV2_Atom), &ev.head);
        }
    }

    // The plugin's run() over the queued messages, and nothing else of the host's.
    void RunQueued(const float* in, float* out, uint32_t frames)
    {
        lilv_instance_connect_port(instance_, in_, const_cast<float*>(in));
        lilv_instance_connect_port(instance_, out_, out);
        lilv_instance_run(instance_, frames);
    }

    // The whole signal in blocks whose lengths repeat the pattern; depths, if asked, gets
    // depth_out after each block at the frame the block ended.
    std::vector<float> Play(const std::vector<float>& in, const std::vector<uint32_t>& pattern,
                            const std::vector<MidiAt>& midi = {}, std::vector<std::pair<uint64_t, float>>* depths = nullptr)
    {
        std::vector<float> out(in.size());
        uint64_t done = 0;
        for (size_t k = 0; done < in.size(); ++k) {
            const auto frames = uint32_t(std::min<uint64_t>(pattern[k % pattern.size()], in.size() - done));
            Run(in.data() + done, out.data() + done, frames, midi, done);
            done += frames;
            if (depths)
                depths->emplace_back(done, Get("depth_out"));
        }
        return out;
    }

private:
    World& world_;
    const uint32_t in_, out_;
    const LV2_URID sequence_, midiEvent_;
    std::vector<float> controls_;
    std::array<uint64_t, 512> events_{};
    LilvInstance* instance_ = nullptr;
};

} // namespace lv2test
