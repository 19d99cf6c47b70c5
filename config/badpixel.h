// The camera bad-pixel file: for each camera mode of an instrument, the
// sensor pixels that must not be trusted.
//
// The file is text. A header line "[ grab-mode grab-under size-x size-y
// grab-rate" starts a camera block; each further line of the block holds one
// pixel "x y". Lines without a token, or whose first token starts with "#",
// are comments. Messages are composed into the caller's buffer, each ending
// with CR LF; the instrument load prints them through u_msg_sink.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/fieldparse.h"
#include "config/sysinfo.h"

constexpr int CB_MAX_CAMERAS = 100;  // camera blocks of one file
constexpr int CB_MAX_POINTS = 8192;  // bad pixels of one block
constexpr int CB_LINE_MAX = 100;     // characters, without the line end

struct CbPoint {
    int32_t x;
    int32_t y;
    int32_t value;  // 0
};

// One camera block. The point list is taken through the allocation hooks;
// a zeroed record is empty.
struct CbCamera {
    int32_t grabMode;   // 0 to 10
    int32_t grabUnder;  // 0 to 10
    int16_t sizeX;      // frame width, 0 to 32767
    int16_t sizeY;      // frame height
    double grabRate;    // 0 to 500
    CbPoint* points;
    int32_t count;     // points read
    int32_t capacity;  // points the list holds
};

// Frees a block's point list and empties the record.
void cb_release(CbCamera* camera);

// Reads one block from an open file into `camera` (any previous list is
// released). *line counts the lines read; *eof is set when the call found
// nothing but comments before the end of the file. A second header line ends
// the block and is left to be read by the next call. 0, ERR_CB_FILE_INVALID
// (the explanation appended to `message`, the list released) or ERR_NO_MEM.
int cb_read_block(FILE* file, CbCamera* camera, int* line, bool* eof, UTextBuffer* message);

// Reads a bad-pixel file into cameras[0 .. *count - 1] (an array of
// CB_MAX_CAMERAS records). 0, ERR_CANT_OPEN_FILE, ERR_CB_FILE_INVALID,
// ERR_NO_MEM or ERR_INVALID_PARAM (empty path, no array); on failure no
// record holds a list and *count is 0.
int cb_read_file(const char* path, CbCamera* cameras, int* count, UTextBuffer* message);

// The same on an open stream (read from its current position, not closed);
// `name` is the file name the messages show.
int cb_read_stream(FILE* file, const char* name, CbCamera* cameras, int* count,
                   UTextBuffer* message);

// Sorts a block's points by x, then y, and drops repeated pairs (the first kept).
void cb_sort_points(CbCamera* camera);

// The bad-pixel lists of an instrument.
struct CbCameraSet {
    CbCamera cameras[CB_MAX_CAMERAS];
    int32_t count;
};

// Loads the instrument's bad-pixel lists into info->badPixelLists: from its
// bad-pixel file ("Camera Bpix" set: the configured name, else
// "bpix_<serial>.dat", in the configuration directory) or else from the
// calibration file's own list, sized by the camera mode in use. Every list is
// sorted and free of repeats. A failure leaves no list and prints the
// composed messages. 0, ERR_SYS_INFO_NOT_AVAIL, ERR_INVALID_PARAM, ERR_NO_MEM
// or a read failure.
int cb_load(SystemInfo* info);
