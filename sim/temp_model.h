// The simulated temperature controller: answers parameter writes (STX ...
// ETX BCC) with ACK or NAK and polls (mnemonic ENQ) with a framed,
// block-checked value, refuses wrong block checks and unknown mnemonics,
// ignores messages for another address, and answers the error-status
// request that follows a NAK. Tests script EOT and over-long answers here;
// NAK and bad block checks also come from the line's fault script.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sim/line.h"

class SimTempController : public SimDeviceModel {
  public:
    static constexpr uint8_t EOT = 0x04;
    static constexpr uint8_t STX = 0x02;
    static constexpr uint8_t ETX = 0x03;
    static constexpr uint8_t ENQ = 0x05;
    static constexpr uint8_t ACK = 0x06;
    static constexpr uint8_t NAK = 0x15;

    // Error-status codes reported after a NAK.
    static constexpr int ERROR_NONE = 0;
    static constexpr int ERROR_BCC = 1;
    static constexpr int ERROR_MNEMONIC = 2;
    static constexpr int ERROR_REFUSED = 3;  // a scripted NAK

    SimTempController();

    long frame_length(const uint8_t* data, std::size_t size) override;
    SimBytes reply(const SimBytes& frame) override;
    SimBytes nak(const SimBytes& frame) override;

    // A parameter and its value text ("PV", "0025.").
    void set_param(const std::string& mnemonic, const std::string& value);
    std::string param(const std::string& mnemonic) const;

    // The next message is answered by EOT, by STX and `count` characters
    // without ETX, or by the given bytes.
    void eot_next();
    void overlong_next(std::size_t count);
    void raw_next(const SimBytes& bytes);
    // The error-status answer: STX "EE" value ETX BCC, or these bytes.
    void set_error_status_reply(const SimBytes& bytes);

    // Accepted writes in order, as mnemonic and value ("IM0002.").
    std::vector<std::string> writes() const;
    int error_status_requests() const;

    static uint8_t bcc(const uint8_t* bytes, std::size_t count);
    static SimBytes framed(const std::string& text);  // STX text ETX BCC

  private:
    SimBytes refuse(int error);  // caller holds lock_

    mutable std::mutex lock_;
    std::map<std::string, std::string> params_;
    std::deque<SimBytes> scripted_;
    bool error_status_expected_ = false;
    int error_ = ERROR_NONE;
    bool error_reply_set_ = false;
    SimBytes error_reply_;
    std::vector<std::string> writes_;
    int error_status_requests_ = 0;
};
