// Test support: an instrument whose board line is open to a simulated board
// behind a pseudo-terminal, with the device table running.
#pragma once

#include <memory>

#include "sim/board_model.h"
#include "sim/line.h"

struct SystemInfo;

class SimBoardSession {
  public:
    SimBoardSession() = default;
    ~SimBoardSession() { stop(); }
    SimBoardSession(const SimBoardSession&) = delete;
    SimBoardSession& operator=(const SimBoardSession&) = delete;

    // Starts the device table and a simulated board of `type`, and points the
    // instrument at it (instrBdType and instrComm). False when any step fails.
    bool open(SystemInfo* info, int type);
    // Opens the board line and drains it: ur_initUZ, then ur_drainUZ.
    // Returns the first failure's code.
    int connect();
    // open, then connect; false on any failure.
    bool start(SystemInfo* info, int type) { return open(info, type) && connect() == 0; }
    // Closes the board line (when open), the simulator and the device table.
    void stop();

    SimLine& line() { return line_; }
    const SimLine& line() const { return line_; }
    SimBoardModel& model() { return *model_; }
    const SimBoardModel& model() const { return *model_; }
    bool running() const { return model_ != nullptr; }

  private:
    SystemInfo* info_ = nullptr;
    std::unique_ptr<SimBoardModel> model_;
    SimLine line_;
};
