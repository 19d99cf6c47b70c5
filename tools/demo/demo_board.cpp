// The serial board instrument's cycles: power-on over the simulated board's
// pseudo-terminal, the power check, the EEPROM checked both ways with a
// mismatch between them, reset and power-off.
#include <string>

#include "board/testing/sim_board.h"
#include "common/dirs.h"
#include "common/status.h"
#include "config/sbcal.h"
#include "config/sysinfo.h"
#include "devpoll/devpoll.h"
#include "instr/inst_power.h"
#include "instr/testing/bias_ramp.h"
#include "tools/demo/demo_console.h"
#include "tools/demo/demo_run.h"

namespace {

constexpr int kSystemSlot = 1;

// The instrument's calibration file, agreeing with its EEPROM, written by the
// library's own writer and read back into the slot.
bool write_calibration(const DemoScenario& s, const DemoWorkspace& ws, SimBoardSession* board,
                       SystemInfo* info, DemoTally* tally) {
    const DemoEeprom& e = s.eeprom;
    sb_readCal(kSystemSlot, "+DEFAULTS");
    info->instrName = "demo-board-" + std::to_string(e.board);
    info->systemType = e.system;
    info->systemDate = e.date;
    info->serialNumber = e.serial;
    info->versionSet = true;
    info->instrBdType = e.board;
    info->frameGrabberType = s.camera.frameGrabber;
    info->instrComm = board->line().path();
    info->cameraType = e.camera;
    info->lightSet = true;
    info->lightType = e.light;
    info->llcTargetSet = true;
    info->llcTarget = s.camera.llcTarget;
    info->pifocSet = true;
    info->pifocId = e.pifocId;
    info->rampConfig.clear();  // every ramp of the drive in the ramps folder
    const std::string path = ws.config() + "/demo-board.cal";
    if (!demo_step(tally, "writing " + path, sb_writeCal(kSystemSlot, path.c_str()))) return false;
    if (!demo_step(tally, "reading " + path, sb_readCal(kSystemSlot, path.c_str()))) return false;
    info->power.pztType = 1;  // the board drives the piezo focus
    return true;
}

// Returns the device count while the instrument was on (-1: never on).
int one_cycle(SystemInfo* info, DemoTally* tally) {
    if (!demo_step(tally, "inst_on", inst_on(info))) {
        inst_off(info);
        return -1;
    }
    const int devicesOn = dev_device_count();
    demo_step(tally, "inst_check", inst_check(info));
    demo_step(tally, "inst_check_eeprom against the EEPROM", inst_check_eeprom(info, true));
    // A calibration file from another instrument: its serial number differs.
    const int32_t serial = info->serialNumber;
    info->serialNumber = serial + 1;
    demo_step(tally, "inst_check_eeprom with another serial number", inst_check_eeprom(info, true),
              ERR_SB_INST_CONFIG);
    // Taking the EEPROM's values mends it.
    demo_step(tally, "inst_check_eeprom taking the EEPROM's values",
              inst_check_eeprom(info, false));
    if (info->serialNumber != serial) tally->fail("the EEPROM's serial number was not taken");
    demo_step(tally, "inst_check_eeprom against the EEPROM", inst_check_eeprom(info, true));
    demo_step(tally, "inst_reset", inst_reset(info));
    demo_step(tally, "inst_off", inst_off(info));
    return devicesOn;
}

}  // namespace

void demo_board_cycles(const DemoScenario& s, const DemoWorkspace& ws, int cycles,
                       DemoTally* tally) {
    const DemoEeprom& e = s.eeprom;
    SystemInfo* info = sb_system_info(kSystemSlot);
    SimBoardSession board;  // runs the device table while it lives
    if (!board.open(info, e.board)) {
        tally->fail("cannot start the simulated board " + std::to_string(e.board));
        return;
    }
    SimBoardEeprom eeprom;
    eeprom.serial = static_cast<uint32_t>(e.serial);
    eeprom.sysdate = static_cast<uint16_t>(e.date);
    eeprom.camera = static_cast<uint8_t>(e.camera);
    eeprom.light = static_cast<uint8_t>(e.light);
    eeprom.system = static_cast<uint8_t>(e.system);
    eeprom.instrBd = static_cast<uint8_t>(e.board);
    board.model().set_eeprom(eeprom);
    board.model().set_sw_version(static_cast<uint8_t>(e.softwareVersion));
    if (!write_calibration(s, ws, &board, info, tally)) return;
    const int ramp = inst_write_bias_ramp(u_ramps_dir(), e.pifocId);
    if (!demo_step(tally, "writing the piezo-focus ramp", ramp)) return;
    demo_say("board-%d instrument on %s: system type %d, camera %d", e.board,
             info->instrComm.c_str(), e.system, e.camera);
    demo_cycles("board", cycles, info, tally, [&] { return one_cycle(info, tally); });
    board.stop();
    info->pifocState.reset();
}
