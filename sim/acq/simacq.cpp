// The simulated frame-acquisition library: the 31 entries of acq/acq_api.h
// over a device tree read from an ini file, frames from an optics model that
// follows the bench's ND wheel and LED, and the simacq_* control entries. The
// model (ids, states, errors, frames, optics) is described in simacq.h.
//
// The ini, read by InitDeviceMgr(iniName) from $SystemRoot/iniName through
// the platform's ini reader (keys without regard to case):
//
//   [ACQDEVICE1]                 devices ACQDEVICE1..ACQDEVICE4, in order; the
//   NAME=FG0                     first without NAME ends the list (none: the
//   MODULE=pulsaracq.dll         file is invalid, error 23). MODULE is read by
//   GRAB DATA BUFFERS=4          the program, not here. Device parameters:
//   DISPLAY TYPE=0               GRAB DATA BUFFERS, DISPLAY TYPE, MAX DISPLAY
//   ONBOARD PROC=1               WIDTH, MAX DISPLAY HEIGHT, ONBOARD PROC.
//
//   [ACQDEVICE1.CAMERA1]         cameras CAMERA1..CAMERA4 of a device, the
//   NAME=CAM0                    first without NAME ends them (none is
//   PIXEL SIZE=7.4               allowed). Parameters: PIXEL SIZE, INVERTXY.
//
//   [ACQDEVICE1.CAMERA1.MODE1]   modes MODE1..MODE8 of a camera, likewise.
//   NAME=1024x1024               Every mode parameter may be given: DATA RATE,
//   DATA RATE=30                 MAX USER WIDTH, MAX USER HEIGHT, X DATA
//   MAX USER WIDTH=1024          SCALE, Y DATA SCALE, DATA RESOLUTION, MEAS
//   ...                          INTEGRATION PERIOD, HORZ. PERIOD, VERT.
//                                PERIOD, PIXEL CLOCK, DATA INTERLACE, DATA
//                                SKIP, AOI ORIGIN X, AOI ORIGIN Y, TRIGGER
//                                MODE, MAN SHUTTER, CHAB_GAIN, INTEGRATION
//                                PERIOD, READOUT CLOCKS.
//
// Values are numbers as strtod reads them ("nan" and "inf" included, so a
// test can hand the program unusable values); anything else makes the file
// invalid (error 23). A parameter not given is missing (query error 13) until
// it is set. A missing file, or SystemRoot unset, is error 24.
//
// One lock guards the state; frames are rendered outside it from a snapshot,
// into the caller's buffer. Blocked reads wait on one condition variable
// that every state change, hold change and reset notifies.
#include "sim/acq/simacq.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/export.h"
#include "platform/ini.h"
#include "sim/bench/simbench.h"

#define SIMACQ_EXPORT extern "C" PLAT_EXPORT
#ifdef SIMACQ_WITHOUT_MODE_SET
// The broken build: the same library lacking one entry.
#define SIMACQ_MODE_SET_EXPORT extern "C"  // hidden with the rest
#else
#define SIMACQ_MODE_SET_EXPORT SIMACQ_EXPORT
#endif

namespace {

constexpr int kMaxDevices = 4;
constexpr int kMaxCameras = 4;
constexpr int kMaxModes = 8;
constexpr int32_t kUnsupported = 26;
constexpr int32_t kConfigInvalid = 23;

const char* const kDeviceParams[] = {"GRAB DATA BUFFERS", "DISPLAY TYPE", "MAX DISPLAY WIDTH",
                                     "MAX DISPLAY HEIGHT", "ONBOARD PROC"};
const char* const kInputParams[] = {"PIXEL SIZE", "INVERTXY"};
const char* const kModeParams[] = {"DATA RATE",
                                   "MAX USER WIDTH",
                                   "MAX USER HEIGHT",
                                   "X DATA SCALE",
                                   "Y DATA SCALE",
                                   "DATA RESOLUTION",
                                   "MEAS INTEGRATION PERIOD",
                                   "HORZ. PERIOD",
                                   "VERT. PERIOD",
                                   "PIXEL CLOCK",
                                   "DATA INTERLACE",
                                   "DATA SKIP",
                                   "AOI ORIGIN X",
                                   "AOI ORIGIN Y",
                                   "TRIGGER MODE",
                                   "MAN SHUTTER",
                                   "CHAB_GAIN",
                                   "INTEGRATION PERIOD",
                                   "READOUT CLOCKS"};

template <size_t N>
bool known(const char* const (&names)[N], const char* name) {
    for (const char* n : names)
        if (std::strcmp(n, name) == 0) return true;
    return false;
}

using Params = std::map<std::string, double>;

struct Mode {
    std::string name;
    Params ini;     // as read, the reference of the exposure factors
    Params values;  // as read or set since
};

struct Camera {
    std::string name;
    Params values;
    std::vector<Mode> modes;
};

struct Device {
    std::string name;
    Params values;
    std::vector<Camera> cameras;
};

struct Script {
    int32_t count = 0;
    int32_t error = 0;
};

struct State {
    bool initialised = false;
    std::vector<Device> devices;
    int device = 0;  // 1-based indexes of the current selection, 0: none
    int camera = 0;
    int mode = 0;
    size_t nextDevice = 0;  // enumeration cursors
    size_t nextCamera = 0;
    size_t nextMode = 0;
    bool open = false;
    // The last acquisition started since the device opened: its frames stay
    // readable after it ends, until the next start or the close.
    bool haveRun = false;
    int32_t runKind = 0;
    int64_t runCount = 0;  // frames it takes: INT64_MAX live, 0 onboard
    int64_t runStartNs = 0;
    int64_t periodNs = 1;
    bool stopped = false;
    int64_t stopNs = 0;
    uint64_t runId = 0;      // changes with every start and stop
    uint64_t openEpoch = 0;  // changes with every close
    uint64_t resetEpoch = 0;
    bool hold = false;
    int32_t waiting = 0;

    int framesKind = SIMACQ_FRAMES_SCENE;
    int32_t framesLevel = 0;
    std::map<std::string, int32_t> calls;
    std::map<std::string, Script> scripts;
    Params lastSet;
    bool haveCfgPath = false;
    std::string cfgPath;
    bool haveRead = false, haveStart = false, haveGraphics = false, haveFrame = false;
    AcqReadRequest lastRead{};
    AcqStartRequest lastStart{};
    int32_t lastGraphics[ACQ_GRAPHICS_INTS] = {};
    SimAcqFrameInfo lastFrame{};
};

std::mutex g_lock;
std::condition_variable g_changed;
State g_state;
// Each thread's last error, kept in a table rather than in thread-local
// storage: the library is loaded and unloaded at run time, and the leak
// checker's scan of thread storage faults on an unloaded module's block.
// A thread whose last call succeeded has no entry.
std::mutex g_error_lock;  // a leaf
std::map<std::thread::id, int32_t> g_errors;

void set_thread_error(int32_t error) {
    std::lock_guard<std::mutex> guard(g_error_lock);
    if (error == 0)
        g_errors.erase(std::this_thread::get_id());
    else
        g_errors[std::this_thread::get_id()] = error;
}

int32_t thread_error() {
    std::lock_guard<std::mutex> guard(g_error_lock);
    auto it = g_errors.find(std::this_thread::get_id());
    return it == g_errors.end() ? 0 : it->second;
}

// Counts the call and applies a scripted failure. Call with the lock held.
bool scripted_failure(const char* entry) {
    ++g_state.calls[entry];
    auto it = g_state.scripts.find(entry);
    if (it == g_state.scripts.end() || it->second.count <= 0) return false;
    set_thread_error(it->second.error);
    if (--it->second.count == 0) g_state.scripts.erase(it);
    return true;
}

// Sets the thread's error; true for 0, so "return ok(0)" reads as success.
bool fail(int32_t error) {
    set_thread_error(error);
    return error == 0;
}

Device* current_device() {
    return g_state.device > 0 ? &g_state.devices[g_state.device - 1] : nullptr;
}
Camera* current_camera() {
    Device* d = current_device();
    return d != nullptr && g_state.camera > 0 ? &d->cameras[g_state.camera - 1] : nullptr;
}
Mode* current_mode() {
    Camera* c = current_camera();
    return c != nullptr && g_state.mode > 0 ? &c->modes[g_state.mode - 1] : nullptr;
}

double param(const Params& p, const char* name, double fallback) {
    auto it = p.find(name);
    return it == p.end() ? fallback : it->second;
}

double usable_scale(double scale) {
    return std::isfinite(scale) && scale > 0 ? scale : 1.0;
}

int mode_bits(const Mode& m) {
    double bits = param(m.values, "DATA RESOLUTION", 8);
    return std::isfinite(bits) && bits > 0 ? static_cast<int>(bits) : 8;
}

// Whether frames can be made in the mode: a rate, a size and at most 16 bits.
bool mode_usable(const Mode& m) {
    double rate = param(m.values, "DATA RATE", 0);
    double w = param(m.values, "MAX USER WIDTH", 0);
    double h = param(m.values, "MAX USER HEIGHT", 0);
    auto size_ok = [](double v) { return std::isfinite(v) && v >= 1 && v <= 32767; };
    return std::isfinite(rate) && rate > 0 && size_ok(w) && size_ok(h) && mode_bits(m) <= 16;
}

struct Geometry {
    int fullWidth, fullHeight, width, height, bits, bytes;
};

Geometry geometry(const Mode& m) {
    Geometry g{};
    g.fullWidth = static_cast<int>(param(m.values, "MAX USER WIDTH", 1));
    g.fullHeight = static_cast<int>(param(m.values, "MAX USER HEIGHT", 1));
    g.width = std::max(
        1, static_cast<int>(g.fullWidth / usable_scale(param(m.values, "X DATA SCALE", 1))));
    g.height = std::max(
        1, static_cast<int>(g.fullHeight / usable_scale(param(m.values, "Y DATA SCALE", 1))));
    g.bits = mode_bits(m);
    g.bytes = (g.bits + 7) / 8;
    return g;
}

bool window_fits(int32_t x, int32_t y, int32_t w, int32_t h, const Geometry& g) {
    return x >= 0 && y >= 0 && w >= 1 && h >= 1 && x <= g.width - w && y <= g.height - h;
}

// ---- Acquisitions ----

// Frames the last acquisition has taken by `now`.
int64_t frames_taken(int64_t now) {
    const State& st = g_state;
    if (!st.haveRun) return 0;
    int64_t end = st.stopped ? std::min(now, st.stopNs) : now;
    int64_t taken = end > st.runStartNs ? (end - st.runStartNs) / st.periodNs : 0;
    return std::min(taken, st.runCount);
}

// Whether it still takes frames: live until stopped, a grab until its last.
bool acquiring(int64_t now) {
    const State& st = g_state;
    return st.haveRun && !st.stopped && frames_taken(now) < st.runCount;
}

// INT64_MAX for a frame beyond what the clock holds.
int64_t frame_due(int64_t n) {
    if (n + 1 > (INT64_MAX - g_state.runStartNs) / g_state.periodNs) return INT64_MAX;
    return g_state.runStartNs + (n + 1) * g_state.periodNs;
}

// ---- Ini ----

constexpr char kMissing[] = "\x01";

bool read_params(const std::string& path, const std::string& section, const char* const* names,
                 size_t count, Params* out, bool* bad) {
    char buffer[256];
    plat_ini_get_string(section.c_str(), "NAME", kMissing, buffer, sizeof buffer, path.c_str());
    if (std::strcmp(buffer, kMissing) == 0) return false;
    for (size_t i = 0; i < count; ++i) {
        plat_ini_get_string(section.c_str(), names[i], kMissing, buffer, sizeof buffer,
                            path.c_str());
        if (std::strcmp(buffer, kMissing) == 0) continue;
        char* end = nullptr;
        double v = std::strtod(buffer, &end);
        if (end == buffer || *end != '\0') {
            *bad = true;
            continue;
        }
        (*out)[names[i]] = v;
    }
    return true;
}

std::string ini_name(const std::string& path, const std::string& section) {
    char buffer[ACQ_NAME_MAX];
    plat_ini_get_string(section.c_str(), "NAME", "", buffer, sizeof buffer, path.c_str());
    return buffer;
}

// The device tree of the file; error 0, 24 or 23.
int32_t load_tree(const std::string& path, std::vector<Device>* devices) {
    FILE* probe = std::fopen(path.c_str(), "r");
    if (probe == nullptr) return ACQ_LIB_CANNOT_FIND_FILE;
    std::fclose(probe);
    bool bad = false;
    for (int d = 1; d <= kMaxDevices; ++d) {
        std::string ds = "ACQDEVICE" + std::to_string(d);
        Device device;
        if (!read_params(path, ds, kDeviceParams, std::size(kDeviceParams), &device.values, &bad))
            break;
        device.name = ini_name(path, ds);
        for (int c = 1; c <= kMaxCameras; ++c) {
            std::string cs = ds + ".CAMERA" + std::to_string(c);
            Camera camera;
            if (!read_params(path, cs, kInputParams, std::size(kInputParams), &camera.values, &bad))
                break;
            camera.name = ini_name(path, cs);
            for (int m = 1; m <= kMaxModes; ++m) {
                std::string ms = cs + ".MODE" + std::to_string(m);
                Mode mode;
                if (!read_params(path, ms, kModeParams, std::size(kModeParams), &mode.values, &bad))
                    break;
                mode.name = ini_name(path, ms);
                mode.ini = mode.values;
                camera.modes.push_back(std::move(mode));
            }
            device.cameras.push_back(std::move(camera));
        }
        devices->push_back(std::move(device));
    }
    if (bad || devices->empty()) {
        devices->clear();
        return kConfigInvalid;
    }
    return 0;
}

// ---- Frames ----

// The scene of a full frame, built once per size.
std::mutex g_sceneLock;
std::map<std::pair<int, int>, std::shared_ptr<const std::vector<float>>> g_scenes;

std::shared_ptr<const std::vector<float>> scene(int width, int height) {
    std::lock_guard<std::mutex> guard(g_sceneLock);
    auto& slot = g_scenes[{width, height}];
    if (slot) return slot;
    auto pixels = std::make_shared<std::vector<float>>(static_cast<size_t>(width) * height);
    double shortest = std::min(width, height);
    double cx = (width - 1) / 2.0, cy = (height - 1) / 2.0;
    double disc = shortest / 8, spread = shortest / 3, pitch = std::max(6.0, shortest / 24);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double r = std::hypot(x - cx, y - cy);
            double s = 1.0;
            if (r > disc) {
                double u = (r - disc) / spread;
                s = 0.02 + 0.85 * std::exp(-u * u) *
                               (0.55 + 0.45 * std::cos(2 * std::numbers::pi * (r - disc) / pitch));
            }
            (*pixels)[static_cast<size_t>(y) * width + x] = static_cast<float>(s);
        }
    slot = pixels;
    return slot;
}

// -1, 0 or +1 per pixel, as floats: a fixed table from which each row takes
// a run starting at an offset of its own (per frame and row), so that a row
// of up to 32767 pixels reads it without wrapping.
constexpr int kNoisePeriod = 1 << 16;
const std::vector<float>& noise_table() {
    static const std::vector<float> table = [] {
        std::vector<float> t(kNoisePeriod + 32768);
        uint32_t seed = 12345;
        for (int i = 0; i < kNoisePeriod; ++i) {
            seed = seed * 1664525u + 1013904223u;
            t[i] = static_cast<float>(static_cast<int>((seed >> 16) % 3) - 1);
        }
        for (size_t i = kNoisePeriod; i < t.size(); ++i) t[i] = t[i - kNoisePeriod];
        return t;
    }();
    return table;
}

struct Render {
    Geometry geo;
    int kind;
    int32_t level;
    double factor;  // F × LED × T × G × E
    int64_t number;
};

void put(uint8_t* out, int bytes, uint32_t value) {
    out[0] = static_cast<uint8_t>(value);
    if (bytes > 1) out[1] = static_cast<uint8_t>(value >> 8);
}

// The scene scaled by the frame's factor, with noise, rounded and clipped.
// The loop over a row without subsampling reads the scene in order, so the
// compiler vectorises it: a 1024 × 1024 frame takes a few milliseconds.
template <typename Pixel>
void render_scene(const Render& r, const AcqReadRequest& req) {
    static_assert(std::endian::native == std::endian::little);  // pixels go out little-endian
    const Geometry& g = r.geo;
    auto pixels = scene(g.fullWidth, g.fullHeight);
    const float* noise = noise_table().data();
    const bool subsampled = g.width != g.fullWidth;
    std::vector<int> columns(subsampled ? req.width : 0);
    for (int x = 0; subsampled && x < req.width; ++x)
        columns[x] = static_cast<int>(static_cast<int64_t>(req.x + x) * g.fullWidth / g.width);
    std::vector<float> line(req.width);
    std::vector<Pixel> out(req.width);
    const float factor = static_cast<float>(r.factor);
    const float top = static_cast<float>((1u << g.bits) - 1);
    auto* dst = static_cast<uint8_t*>(req.buffer);
    for (int y = 0; y < req.height; ++y) {
        int sy = static_cast<int>(static_cast<int64_t>(req.y + y) * g.fullHeight / g.height);
        const float* row = pixels->data() + static_cast<size_t>(sy) * g.fullWidth;
        const float* n = noise + ((r.number * 7919 + y * 104729) & (kNoisePeriod - 1));
        if (subsampled) {
            for (int x = 0; x < req.width; ++x) line[x] = row[columns[x]];
            row = line.data();
        } else {
            row += req.x;
        }
        for (int x = 0; x < req.width; ++x) {
            float v = std::min(std::max(row[x] * factor + n[x] + 0.5f, 0.0f), top);
            out[x] = static_cast<Pixel>(v);
        }
        std::memcpy(dst, out.data(), out.size() * sizeof(Pixel));
        dst += out.size() * sizeof(Pixel);
    }
}

void render(const Render& r, const AcqReadRequest& req) {
    const Geometry& g = r.geo;
    const uint32_t full = (1u << g.bits) - 1;
    auto* out = static_cast<uint8_t*>(req.buffer);
    const size_t stride = static_cast<size_t>(req.width) * g.bytes;
    if (r.kind != SIMACQ_FRAMES_SCENE) {
        uint32_t level = static_cast<uint32_t>(std::clamp<int64_t>(r.level, 0, full));
        for (int y = 0; y < req.height; ++y)
            for (int x = 0; x < req.width; ++x) {
                uint32_t v = 0;
                if (r.kind == SIMACQ_FRAMES_SATURATED) {
                    v = full;
                } else if (r.kind == SIMACQ_FRAMES_LEVEL) {
                    int64_t index = static_cast<int64_t>(req.y + y) * g.width + req.x + x;
                    v = index < 100 ? level : level / 2;
                }
                put(out + y * stride + static_cast<size_t>(x) * g.bytes, g.bytes, v);
            }
        return;
    }
    if (g.bytes == 1)
        render_scene<uint8_t>(r, req);
    else
        render_scene<uint16_t>(r, req);
}

double ratio(const Mode& m, const char* name) {
    double reference = param(m.ini, name, 0);
    if (!(std::isfinite(reference) && reference > 0)) return 1.0;
    double v = param(m.values, name, reference);
    return std::isfinite(v) && v > 0 ? v / reference : 0.0;
}

// ---- Reads ----

int64_t ns_to_real_wait(int64_t libraryNs) {
    return plat_real_ns(std::max<int64_t>(libraryNs, 1));
}

// Waits on the condition variable up to `untilNs` on the library's clock.
void wait_until_ns(std::unique_lock<std::mutex>& lock, int64_t untilNs) {
    int64_t span = untilNs - plat_clock_ns();
    if (span <= 0) return;
    int64_t real = ns_to_real_wait(span);
    if (real == INT64_MAX) {
        g_changed.wait(lock);
    } else {
        g_changed.wait_for(lock, std::chrono::nanoseconds(real));
    }
}

struct WaitingRead {
    explicit WaitingRead() {
        ++g_state.waiting;
        g_changed.notify_all();
    }
    ~WaitingRead() { --g_state.waiting; }
};

// Which frame a read gets, once it is due: the read binds to the acquisition
// running when it is made or, if none runs, to the next one started; a stop
// or new start of its acquisition fails it. Without a running acquisition the
// frames of the last one can still be read: kind 3 any frame it took, kind 2
// the last frame of a grab that completed.
int32_t read_frame(std::unique_lock<std::mutex>& lock, AcqReadRequest* req) {
    const int64_t deadline = plat_clock_deadline_ns(static_cast<int64_t>(req->timeoutMs) * 1000000);
    const uint64_t reset = g_state.resetEpoch;
    const uint64_t openEpoch = g_state.openEpoch;
    const bool numbered = req->kind == ACQ_READ_NUMBERED;
    bool bound = false;
    uint64_t run = 0;
    int64_t target = -1;  // frame number once chosen
    {
        WaitingRead counted;
        for (;;) {  // leaves with the lock held and a due target, or an error
            if (g_state.resetEpoch != reset || g_state.openEpoch != openEpoch || !g_state.open)
                return ACQ_LIB_DEVICE_CLOSED;
            if (bound && g_state.runId != run) return ACQ_LIB_TIMEOUT;
            int64_t now = plat_clock_ns();
            if (!bound && acquiring(now)) {
                bound = true;
                run = g_state.runId;
            }
            int64_t wake = deadline;
            if (g_state.hold) {
                target = -1;
            } else if (bound || g_state.haveRun) {
                const State& st = g_state;
                bool grab = st.runKind == ACQ_START_GRAB;
                if (numbered && grab && req->frame >= st.runCount) return ACQ_LIB_INVALID_PARAMETER;
                if (numbered && req->frame < frames_taken(now)) {
                    target = req->frame;
                } else if (!numbered && bound && target < 0) {
                    // The one being taken now; the last of a grab that has ended.
                    target = std::min(frames_taken(now), st.runCount - 1);
                } else if (!numbered && !bound && grab && !st.stopped &&
                           frames_taken(now) == st.runCount && st.runCount > 0) {
                    target = st.runCount - 1;
                } else if (numbered && bound) {
                    target = req->frame;
                }
                if (target >= 0) {
                    if (target < frames_taken(now)) break;
                    if (bound) wake = std::min(wake, frame_due(target));
                }
            }
            if (now >= deadline) return ACQ_LIB_TIMEOUT;
            wait_until_ns(lock, wake);
        }
    }

    Mode* mode = current_mode();
    Geometry geo = geometry(*mode);
    if (!window_fits(req->x, req->y, req->width, req->height, geo))
        return ACQ_LIB_INVALID_PARAMETER;
    int64_t takenNs = frame_due(target);
    int64_t takenMs = takenNs / 1000000;
    Render r{};
    r.geo = geo;
    r.kind = g_state.framesKind;
    r.level = g_state.framesLevel;
    r.number = target;
    uint16_t wheel = simbench_ndwheel_level_at(takenMs);
    uint16_t led = simbench_light_level();
    double transmission = std::pow(10.0, -3.0 * (65535 - wheel) / 65535.0);
    double gain = std::pow(10.0, param(mode->values, "CHAB_GAIN", 0) / 20.0);
    if (!std::isfinite(gain)) gain = 1.0;
    double exposure = ratio(*mode, "INTEGRATION PERIOD") * ratio(*mode, "MAN SHUTTER");
    r.factor = ((1u << geo.bits) - 1) * (led / 65535.0) * transmission * gain * exposure;
    g_state.lastFrame = {target, takenMs, wheel, led, geo.width, geo.height};
    g_state.haveFrame = true;
    AcqReadRequest copy = *req;
    lock.unlock();
    render(r, copy);
    lock.lock();
    return 0;
}

int32_t read_onboard(AcqReadRequest* req) {
    Device* device = current_device();
    if (param(device->values, "ONBOARD PROC", 0) <= 0) return kUnsupported;
    Geometry geo = geometry(*current_mode());
    if (!window_fits(req->x, req->y, req->width, req->height, geo))
        return ACQ_LIB_INVALID_PARAMETER;
    uint32_t mask = (1u << geo.bits) - 1;
    auto* out = static_cast<uint8_t*>(req->buffer);
    for (int y = 0; y < req->height; ++y)
        for (int x = 0; x < req->width; ++x)
            put(out + (static_cast<size_t>(y) * req->width + x) * geo.bytes, geo.bytes,
                static_cast<uint32_t>(req->kind * 16 + req->x + x + req->y + y) & mask);
    return 0;
}

bool copy_name(const std::string& name, char* out, int32_t size) {
    if (out == nullptr || size < static_cast<int32_t>(name.size()) + 1)
        return fail(ACQ_LIB_INVALID_PARAMETER);
    std::memcpy(out, name.c_str(), name.size() + 1);
    return fail(0);
}

void close_device() {
    if (!g_state.open) return;
    g_state.open = false;
    g_state.haveRun = false;
    ++g_state.runId;
    ++g_state.openEpoch;
    g_changed.notify_all();
}

void free_resources() {
    close_device();
    g_state.initialised = false;
    g_state.devices.clear();
    g_state.device = g_state.camera = g_state.mode = 0;
    g_state.nextDevice = g_state.nextCamera = g_state.nextMode = 0;
}

using Guard = std::lock_guard<std::mutex>;

}  // namespace

// ---- The library's entries ----

SIMACQ_EXPORT int32_t InitDeviceMgr(const char* iniName) {
    Guard guard(g_lock);
    if (scripted_failure("InitDeviceMgr")) return 0;
    free_resources();
    if (iniName == nullptr || *iniName == '\0') return fail(ACQ_LIB_INVALID_PARAMETER);
    const char* root = std::getenv("SystemRoot");
    if (root == nullptr) return fail(ACQ_LIB_CANNOT_FIND_FILE);
    std::vector<Device> devices;
    int32_t error = load_tree(std::string(root) + "/" + iniName, &devices);
    if (error != 0) return fail(error);
    g_state.devices = std::move(devices);
    g_state.initialised = true;
    return fail(0);
}

SIMACQ_EXPORT void FreeDeviceResources() {
    Guard guard(g_lock);
    if (scripted_failure("FreeDeviceResources")) return;
    free_resources();
    fail(0);
}

SIMACQ_EXPORT int32_t GetNumAcqDevices() {
    Guard guard(g_lock);
    if (scripted_failure("GetNumAcqDevices")) return 0;
    if (!g_state.initialised) return fail(ACQ_LIB_INVALID_DEVICE);
    fail(0);
    return static_cast<int32_t>(g_state.devices.size());
}

SIMACQ_EXPORT int32_t GetFirstAcqDeviceName(char* name, int32_t size) {
    Guard guard(g_lock);
    if (scripted_failure("GetFirstAcqDeviceName")) return 0;
    if (g_state.devices.empty()) return fail(ACQ_LIB_INVALID_DEVICE);
    g_state.nextDevice = 1;
    return copy_name(g_state.devices[0].name, name, size);
}

SIMACQ_EXPORT int32_t GetNextAcqDeviceName(char* name, int32_t size) {
    Guard guard(g_lock);
    if (scripted_failure("GetNextAcqDeviceName")) return 0;
    if (g_state.nextDevice == 0 || g_state.nextDevice >= g_state.devices.size())
        return fail(ACQ_LIB_INVALID_DEVICE);
    if (!copy_name(g_state.devices[g_state.nextDevice].name, name, size)) return 0;
    ++g_state.nextDevice;
    return 1;
}

SIMACQ_EXPORT int32_t GetAcqDeviceId(const char* name) {
    Guard guard(g_lock);
    if (scripted_failure("GetAcqDeviceId")) return 0;
    for (size_t i = 0; name != nullptr && i < g_state.devices.size(); ++i)
        if (g_state.devices[i].name == name) {
            fail(0);
            return static_cast<int32_t>(i + 1);
        }
    return fail(ACQ_LIB_INVALID_DEVICE);
}

SIMACQ_EXPORT int32_t SetCurrentAcqDevice(int32_t id) {
    Guard guard(g_lock);
    if (scripted_failure("SetCurrentAcqDevice")) return 0;
    if (id < 1 || id > static_cast<int32_t>(g_state.devices.size()))
        return fail(ACQ_LIB_INVALID_DEVICE);
    if (id == g_state.device) return fail(0);
    if (g_state.open) return fail(ACQ_LIB_DEVICE_BUSY);
    g_state.device = id;
    g_state.camera = g_state.mode = 0;
    g_state.nextCamera = g_state.nextMode = 0;
    return fail(0);
}

SIMACQ_EXPORT int32_t OpenDevice() {
    Guard guard(g_lock);
    if (scripted_failure("OpenDevice")) return -1;
    if (current_camera() == nullptr) {
        fail(ACQ_LIB_INVALID_DEVICE);
        return -1;
    }
    if (g_state.open) {
        fail(ACQ_LIB_DEVICE_BUSY);
        return -1;
    }
    Mode* mode = current_mode();
    if (mode == nullptr || !mode_usable(*mode)) {
        fail(ACQ_LIB_INVALID_MODE);
        return -1;
    }
    Geometry geo = geometry(*mode);
    g_state.open = true;
    fail(0);
    scene(geo.fullWidth, geo.fullHeight);  // built now rather than at the first read
    return 0;
}

SIMACQ_EXPORT int32_t CloseDevice() {
    Guard guard(g_lock);
    if (scripted_failure("CloseDevice")) return -1;
    close_device();
    fail(0);
    return 0;
}

SIMACQ_EXPORT int32_t ReadDevice(AcqReadRequest* request) {
    std::unique_lock<std::mutex> lock(g_lock);
    if (scripted_failure("ReadDevice")) return 0;
    if (request == nullptr) return fail(ACQ_LIB_INVALID_PARAMETER);
    g_state.lastRead = *request;
    g_state.haveRead = true;
    if (!g_state.open) return fail(ACQ_LIB_DEVICE_CLOSED);
    AcqReadRequest& r = *request;
    bool frameKind = r.kind == ACQ_READ_LATEST || r.kind == ACQ_READ_NUMBERED;
    bool onboard = r.kind >= ACQ_READ_ONBOARD_FIRST && r.kind <= ACQ_READ_ONBOARD_LAST;
    if ((!frameKind && !onboard) || r.zero != 0 || r.one != 1 || r.buffer == nullptr ||
        r.timeoutMs < 0 || (r.kind == ACQ_READ_NUMBERED && r.frame < 0) ||
        !window_fits(r.x, r.y, r.width, r.height, geometry(*current_mode())))
        return fail(ACQ_LIB_INVALID_PARAMETER);
    return fail(onboard ? read_onboard(request) : read_frame(lock, request));
}

SIMACQ_EXPORT int32_t AcquireStart(AcqStartRequest* request) {
    Guard guard(g_lock);
    if (scripted_failure("AcquireStart")) return 0;
    if (request == nullptr) return fail(ACQ_LIB_INVALID_PARAMETER);
    g_state.lastStart = *request;
    g_state.haveStart = true;
    if (!g_state.open) return fail(ACQ_LIB_DEVICE_CLOSED);
    int64_t now = plat_clock_ns();
    if (acquiring(now)) return fail(ACQ_LIB_DEVICE_BUSY);
    const AcqStartRequest& r = *request;
    Mode* mode = current_mode();
    if (r.zero != 0) return fail(ACQ_LIB_INVALID_PARAMETER);
    if (r.kind == ACQ_START_GRAB) {
        if (r.arg1 < 0 || r.arg2 < 1) return fail(ACQ_LIB_INVALID_PARAMETER);
    } else if (r.kind == ACQ_START_ONBOARD) {
        if (param(current_device()->values, "ONBOARD PROC", 0) <= 0) return fail(kUnsupported);
        if (!window_fits(r.x, r.y, r.width, r.height, geometry(*mode)))
            return fail(ACQ_LIB_INVALID_PARAMETER);
    } else if (r.kind != ACQ_START_LIVE) {
        return fail(ACQ_LIB_INVALID_PARAMETER);
    }
    double rate = param(mode->values, "DATA RATE", 0);
    // At most about 31 years a frame: a rate of almost 0 must not overflow.
    g_state.periodNs = static_cast<int64_t>(std::clamp(1e9 / rate, 1.0, 1e18));
    g_state.runStartNs = now;
    g_state.runKind = r.kind;
    g_state.runCount = r.kind == ACQ_START_GRAB ? r.arg2 : r.kind == ACQ_START_LIVE ? INT64_MAX : 0;
    g_state.haveRun = true;
    g_state.stopped = false;
    ++g_state.runId;
    g_changed.notify_all();
    return fail(0);
}

SIMACQ_EXPORT int32_t AcquireStop() {
    Guard guard(g_lock);
    if (scripted_failure("AcquireStop")) return 0;
    int64_t now = plat_clock_ns();
    if (acquiring(now)) {
        g_state.stopped = true;
        g_state.stopNs = now;
        ++g_state.runId;
        g_changed.notify_all();
    }
    return fail(0);
}

SIMACQ_EXPORT int32_t AcqDeviceQuery(const char* name, double* value) {
    Guard guard(g_lock);
    if (scripted_failure("AcqDeviceQuery")) return 0;
    Device* device = current_device();
    if (device == nullptr) return fail(ACQ_LIB_INVALID_DEVICE);
    if (name == nullptr || value == nullptr || !known(kDeviceParams, name))
        return fail(ACQ_LIB_INVALID_PARAMETER);
    auto it = device->values.find(name);
    if (it == device->values.end()) return fail(ACQ_LIB_MISSING_PARAMETER);
    *value = it->second;
    return fail(0);
}

SIMACQ_EXPORT int32_t AcqDeviceSet(const char* name, const void* value) {
    Guard guard(g_lock);
    if (scripted_failure("AcqDeviceSet")) return 0;
    Device* device = current_device();
    if (device == nullptr) return fail(ACQ_LIB_INVALID_DEVICE);
    if (name == nullptr || value == nullptr) return fail(ACQ_LIB_INVALID_PARAMETER);
    if (std::strcmp(name, "CFG FILE PATH") == 0) {
        g_state.cfgPath = static_cast<const char*>(value);
        g_state.haveCfgPath = true;
        return fail(0);
    }
    if (std::strcmp(name, "GRAPHICS COMMAND") == 0) {
        std::memcpy(g_state.lastGraphics, value, sizeof g_state.lastGraphics);
        g_state.haveGraphics = true;
        return fail(0);
    }
    if (!known(kDeviceParams, name)) return fail(ACQ_LIB_INVALID_PARAMETER);
    double v;
    std::memcpy(&v, value, sizeof v);
    device->values[name] = v;
    g_state.lastSet[name] = v;
    return fail(0);
}

SIMACQ_EXPORT int32_t GetLastAcqError() {
    Guard guard(g_lock);
    ++g_state.calls["GetLastAcqError"];
    return thread_error();
}

SIMACQ_EXPORT int32_t GetNumInputDevices() {
    Guard guard(g_lock);
    if (scripted_failure("GetNumInputDevices")) return 0;
    Device* device = current_device();
    if (device == nullptr) return fail(ACQ_LIB_INVALID_DEVICE);
    fail(0);
    return static_cast<int32_t>(device->cameras.size());
}

SIMACQ_EXPORT int32_t GetFirstInputDeviceName(char* name, int32_t size) {
    Guard guard(g_lock);
    if (scripted_failure("GetFirstInputDeviceName")) return 0;
    Device* device = current_device();
    if (device == nullptr || device->cameras.empty()) return fail(ACQ_LIB_INVALID_DEVICE);
    g_state.nextCamera = 1;
    return copy_name(device->cameras[0].name, name, size);
}

SIMACQ_EXPORT int32_t GetNextInputDeviceName(char* name, int32_t size) {
    Guard guard(g_lock);
    if (scripted_failure("GetNextInputDeviceName")) return 0;
    Device* device = current_device();
    if (device == nullptr || g_state.nextCamera == 0 ||
        g_state.nextCamera >= device->cameras.size())
        return fail(ACQ_LIB_INVALID_DEVICE);
    if (!copy_name(device->cameras[g_state.nextCamera].name, name, size)) return 0;
    ++g_state.nextCamera;
    return 1;
}

SIMACQ_EXPORT int32_t GetInputDeviceId(const char* name) {
    Guard guard(g_lock);
    if (scripted_failure("GetInputDeviceId")) return 0;
    Device* device = current_device();
    for (size_t i = 0; device != nullptr && name != nullptr && i < device->cameras.size(); ++i)
        if (device->cameras[i].name == name) {
            fail(0);
            return g_state.device * 10 + static_cast<int32_t>(i + 1);
        }
    return fail(ACQ_LIB_INVALID_DEVICE);
}

SIMACQ_EXPORT int32_t SetCurrentInputDevice(int32_t id) {
    Guard guard(g_lock);
    if (scripted_failure("SetCurrentInputDevice")) return 0;
    Device* device = current_device();
    int camera = id - g_state.device * 10;
    if (device == nullptr || camera < 1 || camera > static_cast<int>(device->cameras.size()))
        return fail(ACQ_LIB_INVALID_DEVICE);
    if (camera == g_state.camera) return fail(0);
    if (g_state.open) return fail(ACQ_LIB_DEVICE_BUSY);
    g_state.camera = camera;
    g_state.mode = 0;
    g_state.nextMode = 0;
    return fail(0);
}

SIMACQ_EXPORT int32_t GetCurrentInputDevice() {
    Guard guard(g_lock);
    if (scripted_failure("GetCurrentInputDevice")) return 0;
    fail(0);
    return g_state.camera > 0 ? g_state.device * 10 + g_state.camera : 0;
}

SIMACQ_EXPORT int32_t AcqInputDeviceQuery(const char* name, double* value) {
    Guard guard(g_lock);
    if (scripted_failure("AcqInputDeviceQuery")) return 0;
    Camera* camera = current_camera();
    if (camera == nullptr) return fail(ACQ_LIB_INVALID_DEVICE);
    if (name == nullptr || value == nullptr || !known(kInputParams, name))
        return fail(ACQ_LIB_INVALID_PARAMETER);
    auto it = camera->values.find(name);
    if (it == camera->values.end()) return fail(ACQ_LIB_MISSING_PARAMETER);
    *value = it->second;
    return fail(0);
}

SIMACQ_EXPORT int32_t AcqInputDeviceSet(const char* name, const double* value) {
    Guard guard(g_lock);
    if (scripted_failure("AcqInputDeviceSet")) return 0;
    Camera* camera = current_camera();
    if (camera == nullptr) return fail(ACQ_LIB_INVALID_DEVICE);
    if (name == nullptr || value == nullptr || !known(kInputParams, name) || !std::isfinite(*value))
        return fail(ACQ_LIB_INVALID_PARAMETER);
    camera->values[name] = *value;
    g_state.lastSet[name] = *value;
    return fail(0);
}

SIMACQ_EXPORT int32_t GetNumInputModes() {
    Guard guard(g_lock);
    if (scripted_failure("GetNumInputModes")) return 0;
    Camera* camera = current_camera();
    if (camera == nullptr) return fail(ACQ_LIB_INVALID_DEVICE);
    fail(0);
    return static_cast<int32_t>(camera->modes.size());
}

SIMACQ_EXPORT int32_t GetFirstInputModeName(char* name, int32_t size) {
    Guard guard(g_lock);
    if (scripted_failure("GetFirstInputModeName")) return 0;
    Camera* camera = current_camera();
    if (camera == nullptr) return fail(ACQ_LIB_INVALID_DEVICE);
    if (camera->modes.empty()) return fail(ACQ_LIB_INVALID_MODE);
    g_state.nextMode = 1;
    return copy_name(camera->modes[0].name, name, size);
}

SIMACQ_EXPORT int32_t GetNextInputModeName(char* name, int32_t size) {
    Guard guard(g_lock);
    if (scripted_failure("GetNextInputModeName")) return 0;
    Camera* camera = current_camera();
    if (camera == nullptr) return fail(ACQ_LIB_INVALID_DEVICE);
    if (g_state.nextMode == 0 || g_state.nextMode >= camera->modes.size())
        return fail(ACQ_LIB_INVALID_MODE);
    if (!copy_name(camera->modes[g_state.nextMode].name, name, size)) return 0;
    ++g_state.nextMode;
    return 1;
}

SIMACQ_EXPORT int32_t GetInputModeId(const char* name) {
    Guard guard(g_lock);
    if (scripted_failure("GetInputModeId")) return 0;
    Camera* camera = current_camera();
    if (camera == nullptr) return fail(ACQ_LIB_INVALID_DEVICE);
    for (size_t i = 0; name != nullptr && i < camera->modes.size(); ++i)
        if (camera->modes[i].name == name) {
            fail(0);
            return 100 + static_cast<int32_t>(i + 1);
        }
    return fail(ACQ_LIB_INVALID_MODE);
}

SIMACQ_EXPORT int32_t SetCurrentInputMode(int32_t id) {
    Guard guard(g_lock);
    if (scripted_failure("SetCurrentInputMode")) return 0;
    Camera* camera = current_camera();
    if (camera == nullptr) return fail(ACQ_LIB_INVALID_DEVICE);
    int mode = id - 100;
    if (mode < 1 || mode > static_cast<int>(camera->modes.size()))
        return fail(ACQ_LIB_INVALID_MODE);
    if (mode == g_state.mode) return fail(0);
    if (g_state.open) return fail(ACQ_LIB_DEVICE_BUSY);
    g_state.mode = mode;
    return fail(0);
}

SIMACQ_EXPORT int32_t GetCurrentInputMode() {
    Guard guard(g_lock);
    if (scripted_failure("GetCurrentInputMode")) return 0;
    fail(0);
    return g_state.mode > 0 ? 100 + g_state.mode : 0;
}

SIMACQ_EXPORT int32_t AcqInputModeQuery(const char* name, double* value) {
    Guard guard(g_lock);
    if (scripted_failure("AcqInputModeQuery")) return 0;
    if (current_camera() == nullptr) return fail(ACQ_LIB_INVALID_DEVICE);
    Mode* mode = current_mode();
    if (mode == nullptr) return fail(ACQ_LIB_INVALID_MODE);
    if (name == nullptr || value == nullptr || !known(kModeParams, name))
        return fail(ACQ_LIB_INVALID_PARAMETER);
    auto it = mode->values.find(name);
    if (it == mode->values.end()) return fail(ACQ_LIB_MISSING_PARAMETER);
    *value = it->second;
    return fail(0);
}

SIMACQ_MODE_SET_EXPORT int32_t AcqInputModeSet(const char* name, const double* value) {
    Guard guard(g_lock);
    if (scripted_failure("AcqInputModeSet")) return 0;
    if (current_camera() == nullptr) return fail(ACQ_LIB_INVALID_DEVICE);
    Mode* mode = current_mode();
    if (mode == nullptr) return fail(ACQ_LIB_INVALID_MODE);
    if (name == nullptr || value == nullptr || !known(kModeParams, name) || !std::isfinite(*value))
        return fail(ACQ_LIB_INVALID_PARAMETER);
    bool positive = std::strcmp(name, "X DATA SCALE") == 0 ||
                    std::strcmp(name, "Y DATA SCALE") == 0 || std::strcmp(name, "DATA RATE") == 0;
    if (positive && *value <= 0) return fail(ACQ_LIB_INVALID_PARAMETER);
    mode->values[name] = *value;
    g_state.lastSet[name] = *value;
    return fail(0);
}

// ---- Control ----

SIMACQ_EXPORT void simacq_reset() {
    {
        std::lock_guard<std::mutex> errors(g_error_lock);
        g_errors.clear();
    }
    Guard guard(g_lock);
    free_resources();
    State fresh;
    fresh.resetEpoch = g_state.resetEpoch + 1;
    fresh.openEpoch = g_state.openEpoch;
    fresh.runId = g_state.runId;
    fresh.waiting = g_state.waiting;
    g_state = std::move(fresh);
    g_changed.notify_all();
}

SIMACQ_EXPORT void simacq_set_frames(int kind, int32_t level) {
    Guard guard(g_lock);
    g_state.framesKind = kind;
    g_state.framesLevel = level;
}

SIMACQ_EXPORT void simacq_fail_next(const char* entry, int32_t count, int32_t error) {
    Guard guard(g_lock);
    if (entry == nullptr) return;
    if (count <= 0)
        g_state.scripts.erase(entry);
    else
        g_state.scripts[entry] = Script{count, error};
}

SIMACQ_EXPORT void simacq_hold_reads(bool hold) {
    Guard guard(g_lock);
    g_state.hold = hold;
    g_changed.notify_all();
}

SIMACQ_EXPORT int32_t simacq_reads_waiting() {
    Guard guard(g_lock);
    return g_state.waiting;
}

SIMACQ_EXPORT bool simacq_wait_reads_waiting(int32_t count, int64_t timeoutMs) {
    std::unique_lock<std::mutex> lock(g_lock);
    int64_t deadline = plat_clock_deadline_ns(timeoutMs * 1000000);
    while (g_state.waiting < count) {
        if (plat_clock_ns() >= deadline) return false;
        wait_until_ns(lock, deadline);
    }
    return true;
}

SIMACQ_EXPORT int32_t simacq_call_count(const char* entry) {
    Guard guard(g_lock);
    auto it = g_state.calls.find(entry == nullptr ? "" : entry);
    return it == g_state.calls.end() ? 0 : it->second;
}

SIMACQ_EXPORT bool simacq_last_read(AcqReadRequest* request) {
    Guard guard(g_lock);
    if (g_state.haveRead && request != nullptr) *request = g_state.lastRead;
    return g_state.haveRead;
}

SIMACQ_EXPORT bool simacq_last_start(AcqStartRequest* request) {
    Guard guard(g_lock);
    if (g_state.haveStart && request != nullptr) *request = g_state.lastStart;
    return g_state.haveStart;
}

SIMACQ_EXPORT bool simacq_last_graphics(int32_t block[ACQ_GRAPHICS_INTS]) {
    Guard guard(g_lock);
    if (g_state.haveGraphics && block != nullptr)
        std::memcpy(block, g_state.lastGraphics, sizeof g_state.lastGraphics);
    return g_state.haveGraphics;
}

SIMACQ_EXPORT bool simacq_last_set(const char* name, double* value) {
    Guard guard(g_lock);
    auto it = g_state.lastSet.find(name == nullptr ? "" : name);
    if (it == g_state.lastSet.end()) return false;
    if (value != nullptr) *value = it->second;
    return true;
}

SIMACQ_EXPORT bool simacq_last_frame(SimAcqFrameInfo* info) {
    Guard guard(g_lock);
    if (g_state.haveFrame && info != nullptr) *info = g_state.lastFrame;
    return g_state.haveFrame;
}

SIMACQ_EXPORT bool simacq_cfg_file_path(char* path, int32_t size) {
    Guard guard(g_lock);
    if (g_state.haveCfgPath && path != nullptr && size > 0) {
        size_t n = std::min(g_state.cfgPath.size(), static_cast<size_t>(size - 1));
        std::memcpy(path, g_state.cfgPath.data(), n);
        path[n] = '\0';
    }
    return g_state.haveCfgPath;
}
