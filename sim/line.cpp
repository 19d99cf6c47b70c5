#include "sim/line.h"

#include <algorithm>
#include <chrono>

#include "platform/clock.h"

SimBytes SimDeviceModel::nak(const SimBytes&) {
    return {};
}

void SimDeviceModel::corrupt(SimBytes* reply) {
    if (!reply->empty()) reply->back() = static_cast<uint8_t>(~reply->back());
}

SimLine::~SimLine() {
    close();
}

bool SimLine::open(SimDeviceModel* model) {
    close();
    if (!plat_pty_open(&pty_)) return false;
    if (!plat_wakeup_open(&wakeup_)) {
        plat_pty_close(&pty_);
        return false;
    }
    model_ = model;
    opened_ns_ = plat_clock_ns();
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = false;
        reading_ = true;
        faults_.clear();
        output_.clear();
        transcript_.clear();
        received_count_ = sent_count_ = frame_count_ = 0;
    }
    pending_input_.clear();
    thread_ = plat_thread_start(&SimLine::run_thread, this);
    if (thread_ == nullptr) {
        plat_wakeup_close(&wakeup_);
        plat_pty_close(&pty_);
        return false;
    }
    return true;
}

void SimLine::close() {
    if (thread_ != nullptr) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
        }
        changed_.notify_all();
        plat_wakeup_signal(&wakeup_);
        plat_thread_join(thread_);
        thread_ = nullptr;
    }
    plat_wakeup_close(&wakeup_);
    plat_pty_close(&pty_);
}

int64_t SimLine::since_open_ms() const {
    return (plat_clock_ns() - opened_ns_) / 1000000;
}

void SimLine::add_fault(Fault fault) {
    if (fault.frames <= 0) return;
    {
        std::lock_guard<std::mutex> guard(lock_);
        faults_.push_back(std::move(fault));
    }
    plat_wakeup_signal(&wakeup_);
}

void SimLine::nak_next(int frames) {
    add_fault({FaultKind::Nak, frames, 0, 0, {}});
}

void SimLine::silent_next(int frames) {
    add_fault({FaultKind::Silent, frames, 0, 0, {}});
}

void SimLine::corrupt_next(int frames) {
    add_fault({FaultKind::Corrupt, frames, 0, 0, {}});
}

void SimLine::delay_next(int frames, int64_t ms) {
    add_fault({FaultKind::Delay, frames, ms, 0, {}});
}

void SimLine::truncate_next(int frames, std::size_t keep) {
    add_fault({FaultKind::Truncate, frames, 0, keep, {}});
}

void SimLine::unsolicited_before_next(int frames, const SimBytes& bytes) {
    add_fault({FaultKind::Unsolicited, frames, 0, 0, bytes});
}

std::size_t SimLine::faults_pending() const {
    std::lock_guard<std::mutex> guard(lock_);
    return faults_.size();
}

void SimLine::queue_output(SimBytes bytes, int64_t after_ms) {
    if (bytes.empty()) return;
    const int64_t now = plat_clock_ns();
    int64_t due = now;
    // A delay too long to count is never over.
    if (after_ms > 0)
        due = after_ms >= (PLAT_NO_DEADLINE - now) / 1000000 ? PLAT_NO_DEADLINE
                                                             : now + after_ms * 1000000;
    // Output keeps its order: nothing overtakes a late reply.
    if (!output_.empty()) due = std::max(due, output_.back().due_ns);
    output_.push_back({due, std::move(bytes)});
}

void SimLine::send(const SimBytes& bytes, int64_t after_ms) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        queue_output(bytes, after_ms);
    }
    changed_.notify_all();
    plat_wakeup_signal(&wakeup_);
}

void SimLine::set_reading(bool reading) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        reading_ = reading;
    }
    plat_wakeup_signal(&wakeup_);
}

void SimLine::handle_frame(const SimBytes& frame) {
    Fault fault{FaultKind::Delay, 0, 0, 0, {}};
    bool faulted = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++frame_count_;
        if (!faults_.empty()) {
            fault = faults_.front();
            faulted = true;
            if (--faults_.front().frames <= 0) faults_.pop_front();
        }
    }
    changed_.notify_all();

    SimBytes reply;
    SimBytes before;
    int64_t delay_ms = 0;
    if (faulted && fault.kind == FaultKind::Silent) return;
    if (faulted && fault.kind == FaultKind::Nak) {
        reply = model_ ? model_->nak(frame) : SimBytes{};
    } else {
        reply = model_ ? model_->reply(frame) : SimBytes{};
        if (faulted) {
            switch (fault.kind) {
                case FaultKind::Corrupt:
                    if (model_) model_->corrupt(&reply);
                    break;
                case FaultKind::Delay:
                    delay_ms = fault.ms;
                    break;
                case FaultKind::Truncate:
                    if (reply.size() > fault.keep) reply.resize(fault.keep);
                    break;
                case FaultKind::Unsolicited:
                    before = fault.bytes;
                    break;
                default:
                    break;
            }
        }
    }
    std::lock_guard<std::mutex> guard(lock_);
    queue_output(std::move(before), 0);
    queue_output(std::move(reply), delay_ms);
}

void SimLine::flush_output() {
    for (;;) {
        {
            // The write and its transcript entry happen under one lock, so a
            // test that has seen the bytes arrive also finds them recorded.
            // The descriptor does not block, so the lock is held only briefly.
            std::lock_guard<std::mutex> guard(lock_);
            if (output_.empty() || output_.front().due_ns > plat_clock_ns()) return;
            Output& front = output_.front();
            long n = plat_fd_write(pty_.controller, front.bytes.data(), front.bytes.size());
            if (n <= 0) return;  // full (the library is not reading) or broken: try again later
            transcript_.push_back({since_open_ms(), SimDirection::FromDevice,
                                   SimBytes(front.bytes.begin(), front.bytes.begin() + n)});
            front.bytes.erase(front.bytes.begin(), front.bytes.begin() + n);
            if (front.bytes.empty()) output_.pop_front();
            sent_count_ += static_cast<std::size_t>(n);
        }
        changed_.notify_all();
    }
}

void SimLine::run_thread(void* self) {
    static_cast<SimLine*>(self)->run();
}

void SimLine::run() {
    for (;;) {
        // Drained before the state is looked at: a change made after the look
        // leaves the wake-up signalled and the wait below returns at once.
        plat_wakeup_drain(&wakeup_);
        flush_output();
        bool reading = true;
        bool blocked = false;
        int64_t deadline = PLAT_NO_DEADLINE;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stop_) return;
            reading = reading_;
            if (!output_.empty()) {
                // Due output that did not fit waits for room, which the
                // terminal reports when the library reads or purges.
                blocked = output_.front().due_ns <= plat_clock_ns();
                if (!blocked) deadline = output_.front().due_ns;
            }
        }
        int ready = plat_wakeup_wait(&wakeup_, pty_.controller, reading, blocked, deadline);
        if ((ready & PLAT_READY_READ) != 0) read_input();
    }
}

void SimLine::read_input() {
    uint8_t buffer[4096];
    {
        // Reading may have been stopped while the thread waited.
        std::lock_guard<std::mutex> guard(lock_);
        if (!reading_) return;
    }
    long n = plat_fd_read(pty_.controller, buffer, sizeof buffer, 0);
    if (n <= 0) {
        // A broken line would wake the thread again at once: pause for a real
        // millisecond, or until a stop or another change.
        const int64_t pause_ns = static_cast<int64_t>(plat_clock_scale() * 1e6);
        plat_wakeup_wait(&wakeup_, -1, false, false, plat_clock_ns() + pause_ns);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        transcript_.push_back(
            {since_open_ms(), SimDirection::ToDevice, SimBytes(buffer, buffer + n)});
        received_count_ += static_cast<std::size_t>(n);
    }
    changed_.notify_all();
    if (model_ == nullptr) return;
    pending_input_.insert(pending_input_.end(), buffer, buffer + n);
    while (!pending_input_.empty()) {
        long length = model_->frame_length(pending_input_.data(), pending_input_.size());
        if (length == 0) break;
        std::size_t take = static_cast<std::size_t>(length < 0 ? -length : length);
        take = std::min(take, pending_input_.size());
        SimBytes frame(pending_input_.begin(), pending_input_.begin() + take);
        pending_input_.erase(pending_input_.begin(), pending_input_.begin() + take);
        if (length > 0) handle_frame(frame);
    }
}

namespace {
template <typename Pred>
bool wait_until(std::mutex& lock, std::condition_variable& changed, int64_t timeout_ms, Pred pred) {
    std::unique_lock<std::mutex> guard(lock);
    // Saturated: a huge time-out must not wrap round into no wait at all.
    const int64_t library_ns =
        timeout_ms > INT64_MAX / 4000000 ? INT64_MAX / 4 : timeout_ms * 1000000;
    auto real = std::chrono::nanoseconds(plat_real_ns(library_ns));
    return changed.wait_for(guard, real, pred);
}
}  // namespace

bool SimLine::wait_received(std::size_t count, int64_t timeout_ms) const {
    return wait_until(lock_, changed_, timeout_ms, [&] { return received_count_ >= count; });
}

bool SimLine::wait_frames(std::size_t count, int64_t timeout_ms) const {
    return wait_until(lock_, changed_, timeout_ms, [&] { return frame_count_ >= count; });
}

bool SimLine::wait_sent(std::size_t count, int64_t timeout_ms) const {
    return wait_until(lock_, changed_, timeout_ms, [&] { return sent_count_ >= count; });
}

std::vector<SimTranscriptEntry> SimLine::transcript() const {
    std::lock_guard<std::mutex> guard(lock_);
    return transcript_;
}

SimBytes SimLine::received() const {
    std::lock_guard<std::mutex> guard(lock_);
    SimBytes all;
    for (const SimTranscriptEntry& entry : transcript_)
        if (entry.direction == SimDirection::ToDevice)
            all.insert(all.end(), entry.bytes.begin(), entry.bytes.end());
    return all;
}

SimBytes SimLine::sent() const {
    std::lock_guard<std::mutex> guard(lock_);
    SimBytes all;
    for (const SimTranscriptEntry& entry : transcript_)
        if (entry.direction == SimDirection::FromDevice)
            all.insert(all.end(), entry.bytes.begin(), entry.bytes.end());
    return all;
}

std::size_t SimLine::output_pending() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::size_t total = 0;
    for (const Output& output : output_) total += output.bytes.size();
    return total;
}

std::size_t SimLine::frames() const {
    std::lock_guard<std::mutex> guard(lock_);
    return frame_count_;
}

void SimLine::clear_transcript() {
    std::lock_guard<std::mutex> guard(lock_);
    transcript_.clear();
}
