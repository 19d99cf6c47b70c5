// The virtual serial line: a pseudo-terminal whose terminal side the library
// opens by path and whose controlling side a device model drives on the
// line's own thread. Tests script faults that the line applies before the
// model's normal reply, and read back a time-stamped transcript of the bytes
// in both directions.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/pty.h"
#include "platform/thread.h"
#include "platform/wakeup.h"

using SimBytes = std::vector<uint8_t>;

// A device at frame level. Called on the line's thread only.
class SimDeviceModel {
  public:
    virtual ~SimDeviceModel() = default;

    // How the bytes received so far begin: > 0, a complete frame of that many
    // bytes; 0, more bytes are needed; < 0, that many bytes of noise to drop.
    virtual long frame_length(const uint8_t* data, std::size_t size) = 0;

    // The device's normal reply to a frame (empty for none).
    virtual SimBytes reply(const SimBytes& frame) = 0;

    // The device's refusal of a frame, sent instead of the reply by a NAK
    // fault. None by default.
    virtual SimBytes nak(const SimBytes& frame);

    // Spoils a reply's checksum. By default the last byte's bits are inverted.
    virtual void corrupt(SimBytes* reply);
};

enum class SimDirection { ToDevice, FromDevice };

struct SimTranscriptEntry {
    int64_t time_ms;  // library clock, since the line opened
    SimDirection direction;
    SimBytes bytes;
};

class SimLine {
  public:
    SimLine() = default;
    ~SimLine();
    SimLine(const SimLine&) = delete;
    SimLine& operator=(const SimLine&) = delete;

    // Creates the pseudo-terminal and starts the line's thread. A null model
    // records what arrives and answers nothing. False when the system refuses.
    bool open(SimDeviceModel* model);
    // Stops the thread and closes both sides.
    void close();

    // The path the library opens.
    const std::string& path() const { return pty_.path; }

    // The fault script. Each call appends one step that applies to the next
    // `frames` frames that arrive after the steps before it are used up.
    // NAK and silence keep the frame from the model (the device never took
    // it); the other faults change the model's reply.
    void nak_next(int frames);
    void silent_next(int frames);
    void corrupt_next(int frames);
    void delay_next(int frames, int64_t ms);
    void truncate_next(int frames, std::size_t keep);
    void unsolicited_before_next(int frames, const SimBytes& bytes);
    // Script steps not yet used up.
    std::size_t faults_pending() const;

    // Sends bytes now (an unsolicited frame), or after `ms` of the library's
    // clock. Output leaves the line in the order it was queued.
    void send(const SimBytes& bytes, int64_t after_ms = 0);

    // Bytes queued for sending and not yet on the line.
    std::size_t output_pending() const;

    // Stops or resumes taking bytes off the line (a stalled peer).
    void set_reading(bool reading);

    // Waits up to `timeout_ms` until at least `count` bytes (or frames) have
    // arrived in all, or `count` bytes have been sent in all. Sent bytes are
    // noted just after they are written: the library may read them first.
    bool wait_received(std::size_t count, int64_t timeout_ms) const;
    bool wait_frames(std::size_t count, int64_t timeout_ms) const;
    bool wait_sent(std::size_t count, int64_t timeout_ms) const;

    std::vector<SimTranscriptEntry> transcript() const;
    SimBytes received() const;  // every byte that arrived, in order
    SimBytes sent() const;      // every byte sent, in order
    std::size_t frames() const;
    void clear_transcript();

  private:
    enum class FaultKind { Nak, Silent, Corrupt, Delay, Truncate, Unsolicited };
    struct Fault {
        FaultKind kind;
        int frames;
        int64_t ms = 0;
        std::size_t keep = 0;
        SimBytes bytes;
    };
    struct Output {
        int64_t due_ns;
        SimBytes bytes;
    };

    static void run_thread(void* self);
    void run();
    void handle_frame(const SimBytes& frame);
    void queue_output(SimBytes bytes, int64_t after_ms);  // caller holds lock_
    void flush_output();
    void read_input();
    void add_fault(Fault fault);
    int64_t since_open_ms() const;

    PlatPty pty_;
    PlatWakeup wakeup_;  // tells the line's thread that the state below changed
    PlatThread* thread_ = nullptr;
    SimDeviceModel* model_ = nullptr;
    int64_t opened_ns_ = 0;

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    bool stop_ = false;
    bool reading_ = true;
    std::deque<Fault> faults_;
    std::deque<Output> output_;
    SimBytes pending_input_;  // bytes of an incomplete frame (line thread only)
    std::vector<SimTranscriptEntry> transcript_;
    std::size_t received_count_ = 0;
    std::size_t sent_count_ = 0;
    std::size_t frame_count_ = 0;
};
