#include "board/testing/sim_board.h"

#include "board/board.h"
#include "config/sysinfo.h"
#include "devpoll/devpoll.h"

bool SimBoardSession::open(SystemInfo* info, int type) {
    stop();
    if (info == nullptr || dev_init_cntrl(true) != 0) return false;
    info_ = info;
    model_ = std::make_unique<SimBoardModel>(type);
    if (!line_.open(model_.get())) return false;
    info->instrBdType = type;
    info->instrComm = line_.path();
    return true;
}

int SimBoardSession::connect() {
    int result = ur_initUZ(info_);
    return result != 0 ? result : ur_drainUZ(info_);
}

void SimBoardSession::stop() {
    if (model_ == nullptr) return;
    if (info_->serial.instrBdPort != SIO_INVALID_HANDLE) ur_closeUZ(info_);
    line_.close();
    dev_close_cntrl();
    model_.reset();
}
