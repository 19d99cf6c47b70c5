// The simulated wave monitor: answers the controller's CR-ended commands
// ("LO?", "LO=", "MS?", "CC?", "CL=", "SS=", "RR=") as the real one does,
// switches its laser after a set number of status polls (or never), and
// lets tests set its status words, calibration and any command's reply.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "sim/line.h"

struct SimWaveMonitorCal {
    float adcGain[4] = {1, 1, 1, 1};
    float sysGain = 1;
    uint16_t adcOffset[4] = {};
    float phaseOffset[3] = {};
};

class SimWaveMonitor : public SimDeviceModel {
  public:
    static constexpr uint8_t ACK = 0x06;
    static constexpr uint8_t NAK = 0x15;
    static constexpr uint32_t LASER_ON_BIT = 1u << 15;

    long frame_length(const uint8_t* data, std::size_t size) override;
    SimBytes reply(const SimBytes& frame) override;
    SimBytes nak(const SimBytes& frame) override;

    // The laser reaches the state last asked for after this many "LO?" polls
    // have seen it still switching (0: at once; negative: never).
    void set_laser_delay(int polls);
    bool laser_on() const;

    // The nine "MS?" words: flags, then the tuning limits (floats) and the
    // seconds since calibration; the other words stay 0.
    void set_status(uint32_t flags, float maxRange, float minRate, float maxRate,
                    int32_t secondsSinceCal);
    // Flags for the next "MS?" only (a monitor whose first status is stale).
    void set_next_status_flags(uint32_t flags);
    // "CC?" answers 40 bytes when the status flags have bit 30, else 4.
    void set_cal(const SimWaveMonitorCal& cal);

    // A fixed reply (exact bytes) for a command text, in place of the normal one.
    void set_reply(const std::string& command, const SimBytes& bytes);

    // What the "CL=", "SS=" and "RR=" commands last set.
    int wavelength() const;
    double sys_gain() const;
    int commands() const;  // commands answered or refused so far

  private:
    SimBytes answer(const std::string& command);  // caller holds lock_
    uint32_t current_flags();                     // caller holds lock_

    mutable std::mutex lock_;
    bool laser_on_ = false;
    bool laser_wanted_ = false;
    int laser_delay_ = 0;
    int laser_polls_ = 0;
    uint32_t flags_ = 0;
    bool next_flags_set_ = false;
    uint32_t next_flags_ = 0;
    float limits_[3] = {};
    int32_t seconds_since_cal_ = 0;
    SimWaveMonitorCal cal_;
    std::map<std::string, SimBytes> fixed_;
    int wavelength_ = 0;
    double sys_gain_ = 0;
    int commands_ = 0;
};
