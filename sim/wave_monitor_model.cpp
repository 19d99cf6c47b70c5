#include "sim/wave_monitor_model.h"

#include <cstdlib>
#include <cstring>

namespace {

void put32(SimBytes* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void put_float(SimBytes* out, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    put32(out, bits);
}

void put16(SimBytes* out, uint16_t value) {
    out->push_back(static_cast<uint8_t>(value));
    out->push_back(static_cast<uint8_t>(value >> 8));
}

}  // namespace

long SimWaveMonitor::frame_length(const uint8_t* data, std::size_t size) {
    const void* end = std::memchr(data, '\r', size);
    return end ? static_cast<const uint8_t*>(end) - data + 1 : 0;
}

SimBytes SimWaveMonitor::reply(const SimBytes& frame) {
    std::string command(frame.begin(), frame.end() - 1);
    std::lock_guard<std::mutex> guard(lock_);
    ++commands_;
    auto fixed = fixed_.find(command);
    if (fixed != fixed_.end()) return fixed->second;
    return answer(command);
}

SimBytes SimWaveMonitor::nak(const SimBytes&) {
    std::lock_guard<std::mutex> guard(lock_);
    ++commands_;
    return {NAK};
}

uint32_t SimWaveMonitor::current_flags() {
    if (next_flags_set_) {
        next_flags_set_ = false;
        return next_flags_;
    }
    return flags_;
}

SimBytes SimWaveMonitor::answer(const std::string& command) {
    SimBytes out;
    if (command == "LO?") {
        if (laser_on_ != laser_wanted_ && laser_delay_ >= 0 && laser_polls_++ >= laser_delay_)
            laser_on_ = laser_wanted_;
        put32(&out, laser_on_ ? LASER_ON_BIT | 0x1 : 0x1);
        out.push_back(ACK);
    } else if (command == "LO=1" || command == "LO=0") {
        laser_wanted_ = command.back() == '1';
        laser_polls_ = 0;
        if (laser_delay_ == 0) laser_on_ = laser_wanted_;
        out.push_back(ACK);
    } else if (command == "MS?") {
        put32(&out, current_flags());
        put32(&out, 0);
        put32(&out, 0);
        for (float limit : limits_) put_float(&out, limit);
        put32(&out, static_cast<uint32_t>(seconds_since_cal_));
        put32(&out, 0);
        put32(&out, 0);
        out.push_back(ACK);
    } else if (command == "CC?") {
        if (flags_ & (1u << 30)) {
            for (float gain : cal_.adcGain) put_float(&out, gain);
            put_float(&out, cal_.sysGain);
            for (uint16_t offset : cal_.adcOffset) put16(&out, offset);
            for (float offset : cal_.phaseOffset) put_float(&out, offset);
        } else {
            put_float(&out, cal_.sysGain);
        }
        out.push_back(ACK);
    } else if (command.rfind("CL=", 0) == 0 && command.size() > 3) {
        wavelength_ = std::atoi(command.c_str() + 3);
        out.push_back(ACK);
    } else if (command.rfind("SS=", 0) == 0 && command.size() > 3) {
        sys_gain_ = std::atof(command.c_str() + 3);
        out.push_back(ACK);
    } else if (command.rfind("RR=", 0) == 0) {
        int first = 0;
        int second = 0;
        const char* text = command.c_str() + 3;
        char* end = nullptr;
        first = static_cast<int>(std::strtol(text, &end, 10));
        if (end == text || *end != ',') return {NAK};
        text = end + 1;
        second = static_cast<int>(std::strtol(text, &end, 10));
        if (end == text || *end != '\0') return {NAK};
        // The device echoes the pair in reverse.
        put32(&out, static_cast<uint32_t>(second));
        put32(&out, static_cast<uint32_t>(first));
        out.push_back(ACK);
    } else {
        out.push_back(NAK);
    }
    return out;
}

void SimWaveMonitor::set_laser_delay(int polls) {
    std::lock_guard<std::mutex> guard(lock_);
    laser_delay_ = polls;
}

bool SimWaveMonitor::laser_on() const {
    std::lock_guard<std::mutex> guard(lock_);
    return laser_on_;
}

void SimWaveMonitor::set_status(uint32_t flags, float maxRange, float minRate, float maxRate,
                                int32_t secondsSinceCal) {
    std::lock_guard<std::mutex> guard(lock_);
    flags_ = flags;
    limits_[0] = maxRange;
    limits_[1] = minRate;
    limits_[2] = maxRate;
    seconds_since_cal_ = secondsSinceCal;
}

void SimWaveMonitor::set_next_status_flags(uint32_t flags) {
    std::lock_guard<std::mutex> guard(lock_);
    next_flags_set_ = true;
    next_flags_ = flags;
}

void SimWaveMonitor::set_cal(const SimWaveMonitorCal& cal) {
    std::lock_guard<std::mutex> guard(lock_);
    cal_ = cal;
}

void SimWaveMonitor::set_reply(const std::string& command, const SimBytes& bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    fixed_[command] = bytes;
}

int SimWaveMonitor::wavelength() const {
    std::lock_guard<std::mutex> guard(lock_);
    return wavelength_;
}

double SimWaveMonitor::sys_gain() const {
    std::lock_guard<std::mutex> guard(lock_);
    return sys_gain_;
}

int SimWaveMonitor::commands() const {
    std::lock_guard<std::mutex> guard(lock_);
    return commands_;
}
