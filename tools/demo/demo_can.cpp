// The CAN instrument's cycles: power-on behind the simulated bridge, live
// acquisition with gain control settling, the sleep request, the motion
// controller holding the CAN events, the EEPROM check and power-off.
#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>

#include "acq/acq.h"
#include "can/can_agc.h"
#include "can/can_events.h"
#include "can/can_sleep.h"
#include "common/status.h"
#include "config/sbcal.h"
#include "config/sysinfo.h"
#include "devpoll/devpoll.h"
#include "instr/inst_power.h"
#include "motion/mwi.h"
#include "platform/clock.h"
#include "serial/wm.h"
#include "sim/acq/testing/simacq_session.h"
#include "sim/bench/simbench.h"
#include "sim/can/testing/simcan_session.h"
#include "sim/line.h"
#include "sim/motion/testing/simmotion_session.h"
#include "sim/wave_monitor_model.h"
#include "tools/demo/demo_console.h"
#include "tools/demo/demo_run.h"

namespace {

constexpr uint32_t kWandCobId = 0x1C8;  // the primary wand's key PDO
constexpr uint16_t kWheelLevelObject = 0x2028;
constexpr uint8_t kFocusNdwNode = 64;
constexpr uint8_t kBridgeNode = 127;
// Frames without a wheel move that count as settled (two are skipped after
// each move, five must ask for nothing, a few more for the reads in flight).
constexpr int kSettledReads = 10;
// Limits on the library's clock, far beyond what each step needs.
constexpr int64_t kSettleLimitMs = 600000;
constexpr int64_t kEventLimitMs = 60000;

// The pause between two looks at the simulators: 20 ms of the library's
// clock, but never under 2 ms of real time, so that a fast clock does not
// turn the demo's own polling into a busy loop beside the threads it watches.
void poll_pause() {
    plat_sleep_ms(std::max<int64_t>(20, static_cast<int64_t>(2 * plat_clock_scale())));
}

uint8_t status_byte(DemoBridgeStatus status) {
    switch (status) {
        case DemoBridgeStatus::Minus12VTrip:
            return 0x0C;
        case DemoBridgeStatus::Plus12VTrip:
            return 0x0A;
        case DemoBridgeStatus::ExternalFault:
            return 0x00;
        case DemoBridgeStatus::Ok:
            break;
    }
    return 0x08;
}

// Reads the CAN simulator's transcript as it grows: wheel writes and the
// library that delivered the last PDO.
class TranscriptWatch {
  public:
    explicit TranscriptWatch(SimCan* can) : can_(can) {}
    void restart() { next_ = 0, wheelWrites_ = 0, lastDelivery_.clear(); }
    void update() {
        const int count = can_->simcan_transcript_count();
        for (; next_ < count; ++next_) {
            SimCanRecord r{};
            if (!can_->simcan_transcript_entry(next_, &r)) continue;
            if (r.kind == SIMCAN_REC_SDO && r.node == kFocusNdwNode &&
                r.index == kWheelLevelObject && r.direction == SIMCAN_DIR_WRITE)
                ++wheelWrites_;
            if (r.kind == SIMCAN_REC_DELIVERY && std::strstr(r.name, "pdo") != nullptr)
                lastDelivery_ = r.name;
        }
    }
    int wheelWrites() const { return wheelWrites_; }
    const std::string& lastDelivery() const { return lastDelivery_; }

  private:
    SimCan* can_;
    int next_ = 0;
    int wheelWrites_ = 0;
    std::string lastDelivery_;
};

// The simulators and the instrument record of the CAN phase.
struct CanBench {
    SimCan* can = nullptr;
    SimAcq* acq = nullptr;
    SimMotion* motion = nullptr;
    SimWaveMonitor monitor;
    SimLine monitorLine;
    SystemInfo* info = nullptr;
};

// The network as the scenario describes it, from cold: the bridge, its
// status, latched error and late answer, the nodes, the light on the camera.
bool set_up_network(const DemoScenario& s, CanBench* bench, DemoTally* tally) {
    SimCan* can = bench->can;
    simcan_session_reset();
    const DemoBridge& b = s.bridge;
    const int bridge = can->simcan_bridge_add(b.mac, b.ip);
    const uint8_t status = status_byte(b.status);
    bool ok = bridge >= 0 &&
              can->simcan_bridge_set_firmware(bridge, b.firmwareMajor, b.firmwareMinor) &&
              can->simcan_bridge_found_from(bridge, b.foundOnEnumeration) &&
              can->simcan_object_set(kBridgeNode, 0x2010, 1, &status, 1);
    if (ok && b.latchedReads > 0)
        ok = can->simcan_bridge_latch_error(bridge, b.latchedError, b.latchedReads);
    for (const auto& [id, node] : s.nodes) {
        if (!ok) break;
        ok = can->simcan_model_add(id, node.productId, node.version) ||
             can->simcan_node_add(id, node.productId, node.version);
        for (const auto& [name, value] : node.params) {
            if (ok && !can->simcan_model_param(id, name.c_str(), value)) {
                tally->fail("node " + std::to_string(id) + " has no parameter " + name);
                return false;
            }
        }
    }
    if (!ok) {
        tally->fail("the simulated network refused the scenario's bridge or nodes");
        return false;
    }
    simbench_set_light_level(s.camera.lightLevel);
    const DemoWaveMonitor& w = s.waveMonitor;
    bench->monitor.set_status(w.calibrated ? WM_STATUS_CALIBRATED : 0,
                              static_cast<float>(w.maxTuneRange), static_cast<float>(w.minTuneRate),
                              static_cast<float>(w.maxTuneRate), w.secondsSinceCal);
    bench->monitor.set_laser_delay(w.laserDelay);
    return true;
}

// The CAN instrument's calibration file, written by the library's own writer
// and read back by the acquisition start-up.
bool write_calibration(const DemoScenario& s, const DemoWorkspace& ws, CanBench* bench,
                       std::string* path, DemoTally* tally) {
    SystemInfo* info = sb_system_info(0);
    sb_readCal(0, "+DEFAULTS");
    info->instrName = "demo-" + std::to_string(s.instrument.systemType);
    info->systemType = s.instrument.systemType;
    info->systemDate = s.eeprom.date;
    info->serialNumber = s.instrument.serial;
    info->versionSet = true;
    info->instrBdType = SB_BOARD_CAN;
    info->frameGrabberType = s.camera.frameGrabber;
    info->macAddressSet = true;
    std::memcpy(info->macAddress, s.bridge.mac, 6);
    info->cameraType = s.camera.camera;
    info->lightSet = true;
    info->lightType = s.instrument.lightType;
    info->llcTargetSet = true;
    info->llcTarget = s.camera.llcTarget;
    info->wmComm = bench->monitorLine.path();
    info->wmMonOpdSet = true;
    info->wmMonOpd = s.waveMonitor.opd;
    info->wmSysGainSet = s.waveMonitor.sysGain > 0;
    info->wmSysGain = s.waveMonitor.sysGain;
    info->sleepTimeout = s.instrument.sleepTimeoutSeconds;
    *path = ws.config() + "/demo-can.cal";
    if (!demo_step(tally, "writing " + *path, sb_writeCal(0, path->c_str()))) return false;
    bench->info = info;
    return true;
}

// The acquisition library's device tree, its two modes at the scenario's size.
bool write_acq_ini(const DemoScenario& s, const DemoWorkspace& ws, DemoTally* tally) {
    std::istringstream in(simacq_default_ini());
    std::string ini, line;
    while (std::getline(in, line)) {
        if (line.rfind("MAX USER WIDTH=", 0) == 0)
            line = "MAX USER WIDTH=" + std::to_string(s.camera.width);
        if (line.rfind("MAX USER HEIGHT=", 0) == 0)
            line = "MAX USER HEIGHT=" + std::to_string(s.camera.height);
        ini += line + "\n";
    }
    if (!simacq_write_ini(ws.acqRoot(), ini)) {
        tally->fail("cannot write " + ws.acqRoot() + "/TsnAcq.ini");
        return false;
    }
    return true;
}

// Polls the CAN queues until an application event of `kind` comes (true), or
// the limit on the library's clock passes. Other events are passed over.
bool wait_for_event(SystemInfo* info, uint32_t kind, int64_t limitMs) {
    const int64_t end = plat_clock_ms() + limitMs;
    for (;;) {
        can_poll_events(info);
        CanAppEvent event;
        while (can_get_app_event(&event))
            if (event.kind == kind) return true;
        if (plat_clock_ms() >= end) return false;
        poll_pause();
    }
}

void drain_events(SystemInfo* info) {
    can_poll_events(info);
    CanAppEvent event;
    while (can_get_app_event(&event)) {
    }
    CanAppEmcy emcy;
    while (can_get_app_emcy(&emcy)) {
    }
}

// Live with gain control until the wheel stays put for kSettledReads frames.
void settle_gain_control(CanBench* bench, TranscriptWatch* watch, DemoTally* tally) {
    SystemInfo* info = bench->info;
    if (!demo_step(tally, "live", pl_switch_live(info, 1))) return;
    if (!demo_step(tally, "gain control start", can_agc_start(info, 1))) return;
    watch->update();
    const int writesAtStart = watch->wheelWrites();
    int writes = writesAtStart;
    int readsAtChange = bench->acq->simacq_call_count("ReadDevice");
    const int64_t end = plat_clock_ms() + kSettleLimitMs;
    bool settled = false;
    while (!settled && plat_clock_ms() < end && can_agc_thread_running()) {
        poll_pause();
        watch->update();
        const int reads = bench->acq->simacq_call_count("ReadDevice");
        if (watch->wheelWrites() != writes) {
            writes = watch->wheelWrites();
            readsAtChange = reads;
        }
        settled = reads - readsAtChange >= kSettledReads;
    }
    SimAcqFrameInfo frame{};
    bench->acq->simacq_last_frame(&frame);
    if (settled)
        demo_say("gain control settled after %d wheel moves, wheel at %u", writes - writesAtStart,
                 static_cast<unsigned>(frame.wheelLevel));
    else
        tally->fail(can_agc_thread_running() ? "gain control did not settle"
                                             : "gain control ended by itself");
    // Measurement: the gain control is suspended and the instrument idles.
    demo_step(tally, "measurement", pl_switch_live(info, 0));
}

void sleep_and_wake(CanBench* bench, DemoTally* tally) {
    const int64_t limit = bench->info->sleepTimeout * int64_t{1000} + kEventLimitMs;
    if (!wait_for_event(bench->info, CAN_EVENT_SLEEP_REQUEST, limit)) {
        tally->fail("no sleep request came");
        return;
    }
    demo_say("sleep request: answered with Sleep");
    sleep_mode_signal_sleep();
    demo_say("instrument in use again: Wakeup");
    sleep_mode_signal_wakeup();
}

// A wand press on the bus; true when it reached the application. *path names
// the library that delivered it.
bool press_wand(CanBench* bench, TranscriptWatch* watch, std::string* path) {
    drain_events(bench->info);
    const uint8_t data[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    bench->can->simcan_emit_pdo(kWandCobId, data, sizeof data);
    const bool arrived = wait_for_event(bench->info, CAN_EVENT_WAND_1, kEventLimitMs);
    watch->update();
    *path = watch->lastDelivery() == "motion pdo" ? "the motion library" : "the bridge library";
    return arrived;
}

void motion_hand_over(const DemoScenario& s, CanBench* bench, TranscriptWatch* watch,
                      DemoTally* tally) {
    SystemInfo* info = bench->info;
    info->motion.controllerType = MC_TYPE_MWI;
    McOpenRequest request{info, s.instrument.motionConfig.c_str(), 0, 0, -1, {false}};
    if (!demo_step(tally, "motion controller open", mc_open_comm_tsnx(&request))) return;
    std::string path;
    const bool held = simbench_can_receiver() == SIMBENCH_CAN_MOTION;
    if (!press_wand(bench, watch, &path))
        tally->fail("the wand press did not arrive");
    else
        demo_say("wand press arrived through %s", path.c_str());
    if (!held || path != "the motion library")
        tally->fail("the motion controller did not take the CAN events");
    if (!demo_step(tally, "motion controller close", mc_close_comm_tsnx(info, nullptr))) return;
    if (!press_wand(bench, watch, &path))
        tally->fail("the wand press after close did not arrive");
    else
        demo_say("wand press arrived through %s", path.c_str());
    if (path != "the bridge library") tally->fail("the CAN events did not come back to the bridge");
}

// What the power-on did that its messages do not show.
void report_power_on(CanBench* bench) {
    int enumerations = 0;
    for (const SimCanRecord& r : simcan_transcript())
        enumerations +=
            r.kind == SIMCAN_REC_CALL && std::strcmp(r.name, "CAN_EnumerateBridges") == 0;
    const SysCanState& can = bench->info->can;
    demo_say("bridge found on enumeration %d, %d reset(s) to clear its latched error", enumerations,
             bench->can->simcan_bridge_resets(bench->can->simcan_connected_bridge()));
    demo_say("nodes up%s%s", can.focusNdwPresent ? ", ND wheel homed" : "",
             bench->monitor.laser_on() ? ", laser on" : ", laser OFF");
}

// Returns the device count while the instrument was on (-1: never on).
int one_cycle(const DemoScenario& s, CanBench* bench, TranscriptWatch* watch, DemoTally* tally) {
    SystemInfo* info = bench->info;
    if (!set_up_network(s, bench, tally)) return -1;
    watch->restart();
    if (!demo_step(tally, "inst_on", inst_on(info))) {
        inst_off(info);
        return -1;
    }
    const int devicesOn = dev_device_count();
    report_power_on(bench);
    demo_step(tally, "inst_check", inst_check(info));
    settle_gain_control(bench, watch, tally);
    sleep_and_wake(bench, tally);
    motion_hand_over(s, bench, watch, tally);
    demo_step(tally, "inst_check_eeprom", inst_check_eeprom(info, true));
    demo_step(tally, "inst_off", inst_off(info));
    return devicesOn;
}

}  // namespace

void demo_can_cycles(const DemoScenario& s, const DemoWorkspace& ws, int cycles, DemoTally* tally) {
    CanBench bench;
    bench.can = simcan_session();
    bench.acq = simacq_session();
    bench.motion = simmotion_session();
    if (bench.can == nullptr || bench.acq == nullptr || bench.motion == nullptr) {
        tally->fail("the simulated libraries cannot be loaded");
        return;
    }
    simacq_session_reset();
    bench.motion->simmotion_reset();
    // The wave monitor's line. Its simulator thread never reads the
    // environment, which the acquisition start-up below sets.
    if (!bench.monitorLine.open(&bench.monitor)) {
        tally->fail("cannot open the wave monitor's pseudo-terminal");
        return;
    }
    std::string calibration;
    if (!write_calibration(s, ws, &bench, &calibration, tally) || !write_acq_ini(s, ws, tally)) {
        bench.monitorLine.close();
        return;
    }
    demo_say("CAN instrument: system type %d, camera %d, frame grabber %d", s.instrument.systemType,
             s.camera.camera, s.camera.frameGrabber);
    if (!demo_step(tally, "acq_mgrinit", acq_mgrinit(0, calibration.c_str()))) {
        acq_mgrrelease();
        bench.monitorLine.close();
        return;
    }
    SystemInfo* info = bench.info;
    dev_init_cntrl(true);
    can_events_install_poll();
    mwi_install_hooks();
    TranscriptWatch watch(bench.can);
    demo_cycles("CAN", cycles, info, tally, [&] { return one_cycle(s, &bench, &watch, tally); });
    dev_close_cntrl();
    acq_mgrrelease();
    bench.monitorLine.close();
    simcan_session_reset();
    bench.motion->simmotion_reset();
    simacq_session_reset();
    simbench_reset();
}
