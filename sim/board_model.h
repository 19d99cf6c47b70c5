// The simulated instrument board: speaks the framed board protocol of board
// types 1, 3, 6 and 7 from its own copy of their command tables, and keeps
// what a board keeps (EEPROM, supply ADCs, light level, PZT values, I/O
// ports, ramp slots, status codes). Runs on a SimLine; tests set and read its
// state from their own thread, and script faults through the line.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "sim/line.h"

struct SimBoardCmd {
    int code;
    const char* name;
    int reqLen;
    int replyLen;
};

// The board's command table of a board type (null, count 0, for others).
const SimBoardCmd* sim_board_table(int boardType, int* count);

struct SimBoardEeprom {
    uint32_t serial = 0;
    uint16_t sysdate = 0;
    uint8_t camera = 0;
    uint8_t light = 0;
    uint8_t system = 0;
    uint8_t instrBd = 0;
};

struct SimRampSlot {
    bool loaded = false;    // load received
    bool complete = false;  // ramp complete received with every point
    uint8_t rampID = 0;
    char polar = 0;
    uint16_t nPoints = 0;
    uint16_t offset = 0;
    uint16_t trigStart = 0;
    uint16_t trigEnd = 0;
    uint16_t updateRate = 0;
    std::vector<uint16_t> words;
};

struct SimPifocComp {
    int16_t values[2] = {};
    uint32_t min = 0, max = 0, first = 0, mid = 0, last = 0;
    uint8_t resolution = 4;
};

class SimBoardModel : public SimDeviceModel {
  public:
    explicit SimBoardModel(int boardType);

    long frame_length(const uint8_t* data, std::size_t size) override;
    SimBytes reply(const SimBytes& frame) override;
    SimBytes nak(const SimBytes& frame) override;

    int board_type() const { return type_; }
    int ramp_slot_count() const { return static_cast<int>(slots_.size()); }

    // A complete frame (length byte, bytes, checksum) around `body`.
    static SimBytes frame(const SimBytes& body);
    // The unsolicited report of a report command (code + 100, one data byte).
    static SimBytes report(int command, uint8_t data);

    // State, for tests.
    void set_eeprom(const SimBoardEeprom& eeprom);
    SimBoardEeprom eeprom() const;
    void set_adc(int index, uint8_t raw);  // 0 +12 V, 1 -15 V, 2 +15 V, 3 +200 V
    void set_power_status(uint8_t status);
    void set_syserr(uint8_t status);
    void set_sw_version(uint8_t version);
    int llc_wire() const;  // the value as the board received it
    void set_llc_wire(int value);
    std::vector<uint16_t> pzt() const;
    void set_io(int address, uint8_t value);
    uint8_t io(int address) const;
    SimRampSlot ramp_slot(int slot) const;
    int started_ramp() const;  // -1 before a start
    void set_idle(bool idle);
    // Status byte the next ramp data replies carry (0: the board's own check).
    void set_ramp_data_status(uint8_t status);
    std::vector<int> ramp_block_sizes() const;  // words per ramp data frame received
    void set_motor(int motor, uint8_t value);
    bool zoom_reports() const;
    bool turret_reports() const;
    void set_pifoc_adc(int channel, uint32_t raw, uint8_t resolution);
    std::vector<int> pifoc_adc_settings() const;  // mode, gain, switch, value
    void set_pifoc_comp(const SimPifocComp& comp);
    // Codes of the well-formed requests taken, in order.
    std::vector<int> commands() const;
    // The payload of the last request of a code the board took (empty before).
    SimBytes last_payload(int code) const;
    // Reply payload of a data command the simulation keeps no state for
    // (zeros until set; cut or padded to the table's reply length).
    void set_reply(int code, const SimBytes& payload);

  private:
    const SimBoardCmd* command(int code) const;
    SimBytes data_reply(int code, const SimBytes& payload) const;
    SimBytes ack() const;
    SimBytes ramp_data(const SimBytes& frame);
    SimBytes handle(const SimBoardCmd& cmd, const uint8_t* p);

    int type_;
    const SimBoardCmd* table_;
    int count_;
    int ramp_data_code_;

    mutable std::mutex lock_;
    SimBoardEeprom eeprom_;
    uint8_t adc_[4] = {204, 14, 223, 120};
    uint8_t power_status_ = 0;
    uint8_t syserr_ = 0;
    uint8_t sw_version_ = 0x21;
    int llc_wire_ = 0;
    uint8_t llc_mode_ = 0;
    uint16_t pzt_[3] = {};
    uint8_t pzt_power_ = 0;
    std::map<int, uint8_t> io_;
    std::vector<SimRampSlot> slots_;
    int pending_slot_ = -1;  // the slot a load opened for data
    int started_ = -1;
    bool idle_ = true;
    uint8_t forced_ramp_status_ = 0;
    std::vector<int> blocks_;
    uint8_t motor_[2] = {};
    bool zoom_reports_ = false;
    bool turret_reports_ = false;
    uint32_t pifoc_raw_[2] = {};
    uint8_t pifoc_res_[2] = {4, 4};
    std::vector<int> pifoc_settings_;
    SimPifocComp comp_;
    std::vector<int> commands_;
    std::map<int, SimBytes> last_payload_;
    std::map<int, SimBytes> canned_;
};
