// The encoded zoom's magnification calibration file (QEL family): a table of
// encoder positions and magnifications, its reader and the cached load.
//
// This header depends on nothing above common/: SystemInfo holds the loaded
// table as its run-time block `zoomCal`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/filestamp.h"

constexpr int ZOOM_CAL_MIN_POINTS = 2;
constexpr int ZOOM_CAL_MAX_POINTS = 100;
constexpr int ZOOM_CAL_MAX_LINE = 511;  // characters, without the line end
constexpr double ZOOM_CAL_MAX_VALUE = 3.40282e38;
constexpr double ZOOM_CAL_MIN_MAG = 0.5;
constexpr double ZOOM_CAL_MAX_MAG = 6;
// The size, in bytes with the terminator, of the message buffer that
// zoom_cal_read, zoom_cal_read_text and zoom_cal_load write to. The caller's
// buffer must hold at least this many: the functions are not told its size,
// write at most this many bytes and cut a longer message (a path of any
// length may be part of it).
constexpr std::size_t ZOOM_CAL_MSG_SIZE = 4096;
// The calibration file when the system calibration file names none.
constexpr const char* ZOOM_CAL_DEFAULT_FILE = "QEL\\ZoomCal.txt";

struct ZoomCalPoint {
    double position;  // encoder position
    float magnification;
};

// `count` points (allocation hooks), positions and magnifications both
// strictly increasing. Empty when zeroed.
struct ZoomCalTable {
    int count;
    ZoomCalPoint* points;
};

// The loaded table of a system and what tells whether its file changed.
struct SysZoomCalState {
    ZoomCalTable table{};
    std::string path;  // the file the table came from; empty until a load succeeds
    PlatFileStamp stamp{};

    SysZoomCalState() = default;
    SysZoomCalState(const SysZoomCalState&) = delete;
    SysZoomCalState& operator=(const SysZoomCalState&) = delete;
    ~SysZoomCalState();
};

struct SystemInfo;

void zoom_cal_free(ZoomCalTable* table);

// Reads a calibration file into `table` (a table held there is released
// first; on failure it is left empty). 0, ERR_QEL_ENC_ZOOM_CANT_OPEN_CAL_FILE,
// ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE or ERR_NO_MEM. `messageBuffer`, when
// given, must hold ZOOM_CAL_MSG_SIZE bytes; it receives the message text,
// cut to fit (empty on success).
int zoom_cal_read(const char* path, ZoomCalTable* table, char* messageBuffer);

// The same on in-memory text; `path` is the name used in the messages.
int zoom_cal_read_text(const char* text, std::size_t size, const char* path, ZoomCalTable* table,
                       char* messageBuffer);

// Loads the calibration table of a system's encoded zoom into info->zoomCal,
// unless the table loaded before is still current (its file unchanged in
// modification time, change time, size and identity). The file is
// info->encodedZoom.calFileName (default ZOOM_CAL_DEFAULT_FILE) found against
// the configuration directory. Results as zoom_cal_read; a failure leaves no
// table.
int zoom_cal_load(SystemInfo* info, char* messageBuffer);

// Drops a loaded table and the remembered file.
void zoom_cal_forget(SysZoomCalState* state);
