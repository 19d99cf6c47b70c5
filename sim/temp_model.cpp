#include "sim/temp_model.h"

#include <cstdio>
#include <cstring>

namespace {
constexpr std::size_t kHeader = 5;       // EOT and the four address characters
constexpr std::size_t kMaxMessage = 64;  // longer without an end is noise
const char kAddress[] = "0011";
}  // namespace

SimTempController::SimTempController() {
    params_ = {{"IM", "0000."}, {"QD", "0000."}, {"Q1", "0000."},
               {"PV", "0025."}, {"SL", "0025."}, {"OP", "0000."}};
}

uint8_t SimTempController::bcc(const uint8_t* bytes, std::size_t count) {
    uint8_t value = 0;
    for (std::size_t i = 0; i < count; ++i) value ^= bytes[i];
    return value;
}

SimBytes SimTempController::framed(const std::string& text) {
    SimBytes out;
    out.reserve(text.size() + 3);
    out.push_back(STX);
    for (char c : text) out.push_back(static_cast<uint8_t>(c));
    out.push_back(ETX);
    out.push_back(bcc(out.data() + 1, out.size() - 1));
    return out;
}

long SimTempController::frame_length(const uint8_t* data, std::size_t size) {
    if (data[0] != EOT) return -1;
    if (size <= kHeader) return 0;
    if (data[kHeader] == STX) {
        const void* etx = std::memchr(data + kHeader + 1, ETX, size - kHeader - 1);
        if (etx == nullptr) return size > kMaxMessage ? -1 : 0;
        std::size_t end = static_cast<std::size_t>(static_cast<const uint8_t*>(etx) - data) + 2;
        return size >= end ? static_cast<long>(end) : 0;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (error_status_expected_ && size >= kHeader + 2 && data[kHeader] == 'E' &&
            data[kHeader + 1] == 'E')
            return static_cast<long>(kHeader + 2);
    }
    const void* enq = std::memchr(data + kHeader, ENQ, size - kHeader);
    if (enq == nullptr) return size > kMaxMessage ? -1 : 0;
    return static_cast<const uint8_t*>(enq) - data + 1;
}

SimBytes SimTempController::refuse(int error) {
    error_ = error;
    error_status_expected_ = true;
    return {NAK};
}

SimBytes SimTempController::reply(const SimBytes& frame) {
    std::lock_guard<std::mutex> guard(lock_);
    // Another controller's address: not ours to answer.
    if (std::memcmp(frame.data() + 1, kAddress, 4) != 0) return {};
    if (!scripted_.empty()) {
        SimBytes out = scripted_.front();
        scripted_.pop_front();
        return out;
    }
    const uint8_t* body = frame.data() + kHeader;
    const std::size_t body_size = frame.size() - kHeader;

    if (body[0] == STX) {
        // STX text ETX BCC: the check covers text and ETX.
        const std::size_t checked = body_size - 2;
        if (bcc(body + 1, checked) != body[body_size - 1]) return refuse(ERROR_BCC);
        std::string text(body + 1, body + body_size - 2);
        if (text.size() < 2 || params_.count(text.substr(0, 2)) == 0) return refuse(ERROR_MNEMONIC);
        params_[text.substr(0, 2)] = text.substr(2);
        writes_.push_back(text);
        return {ACK};
    }
    if (body_size == 2 && error_status_expected_) {
        // The error-status request: EE without ENQ.
        error_status_expected_ = false;
        ++error_status_requests_;
        if (error_reply_set_) return error_reply_;
        char value[16];
        std::snprintf(value, sizeof value, "%04d.", error_);
        return framed(std::string("EE") + value);
    }
    std::string mnemonic(body, body + body_size - 1);
    auto found = params_.find(mnemonic);
    if (mnemonic.size() != 2 || found == params_.end()) return {EOT};
    return framed(mnemonic + found->second);
}

SimBytes SimTempController::nak(const SimBytes& frame) {
    std::lock_guard<std::mutex> guard(lock_);
    if (std::memcmp(frame.data() + 1, kAddress, 4) != 0) return {};
    return refuse(ERROR_REFUSED);
}

void SimTempController::set_param(const std::string& mnemonic, const std::string& value) {
    std::lock_guard<std::mutex> guard(lock_);
    params_[mnemonic] = value;
}

std::string SimTempController::param(const std::string& mnemonic) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = params_.find(mnemonic);
    return found == params_.end() ? std::string() : found->second;
}

void SimTempController::eot_next() {
    raw_next({EOT});
}

void SimTempController::overlong_next(std::size_t count) {
    SimBytes out;
    out.push_back(STX);
    for (std::size_t i = 0; i < count; ++i) out.push_back(static_cast<uint8_t>('0' + i % 10));
    raw_next(out);
}

void SimTempController::raw_next(const SimBytes& bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    scripted_.push_back(bytes);
}

void SimTempController::set_error_status_reply(const SimBytes& bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    error_reply_set_ = true;
    error_reply_ = bytes;
}

std::vector<std::string> SimTempController::writes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return writes_;
}

int SimTempController::error_status_requests() const {
    std::lock_guard<std::mutex> guard(lock_);
    return error_status_requests_;
}
