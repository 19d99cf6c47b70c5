// The encoded zoom's magnification calibration file and its cached load.
#include "config/zoomcal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/alloc.h"
#include "common/dirs.h"
#include "common/msg.h"
#include "common/status.h"
#include "common/strformat.h"
#include "config/sysinfo.h"
#include "platform/path.h"

namespace {

// The only writer of a caller's message buffer, bounded by its documented size.
void put_message(char* buffer, const std::string& text) {
    if (buffer == nullptr) return;
    std::size_t n = std::min(text.size(), ZOOM_CAL_MSG_SIZE - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

// Characters from a file or from memory.
struct CharSource {
    FILE* file;
    const char* data;
    std::size_t size;
    std::size_t at;

    int get() {
        if (file != nullptr) return std::getc(file);
        return at < size ? static_cast<unsigned char>(data[at++]) : EOF;
    }
};

// One line, cut at its first line feed and its first carriage return.
// `length` counts its characters without the line end (LF or CR LF); at most
// ZOOM_CAL_MAX_LINE + 1 are kept. False at the end when nothing was read.
bool read_line(CharSource* in, std::string* line, std::size_t* length) {
    line->clear();
    *length = 0;
    bool any = false, crLast = false, cut = false;
    for (int c; (c = in->get()) != EOF;) {
        any = true;
        if (c == '\n') break;
        crLast = c == '\r';
        if (c == '\r') cut = true;
        if (!cut && line->size() <= static_cast<std::size_t>(ZOOM_CAL_MAX_LINE)) {
            line->push_back(static_cast<char>(c));
        }
        ++*length;
    }
    if (crLast) --*length;
    return any;
}

bool two_numbers(const char* text, double* a, double* b) {
    for (const char* pattern : {"%lf %lf", "%lf,%lf", "%lf, %lf"}) {
        if (std::sscanf(text, pattern, a, b) == 2) return true;
    }
    return false;
}

int read_table(CharSource* in, const char* path, ZoomCalTable* table, char* messageBuffer) {
    std::string detail;
    int errorLine = 0;  // 0: the error belongs to no line
    std::string errorText;
    ZoomCalPoint pairs[ZOOM_CAL_MAX_POINTS];
    int count = 0;

    std::string line;
    std::size_t length = 0;
    for (int lineNo = 1; detail.empty() && read_line(in, &line, &length); ++lineNo) {
        if (length > static_cast<std::size_t>(ZOOM_CAL_MAX_LINE)) {
            u_append_format(&detail, " Line is longer than %d characters. \n", ZOOM_CAL_MAX_LINE);
            errorLine = lineNo;
            errorText.clear();  // reported without its text
            break;
        }
        if (lineNo == 1) continue;  // the heading
        errorLine = lineNo;
        errorText = line.c_str();
        double position = 0, magnification = 0;
        // A NaN is no number; an infinite one is beyond every magnitude.
        if (!two_numbers(line.c_str(), &position, &magnification) || std::isnan(position) ||
            std::isnan(magnification)) {
            detail =
                " Expected two numbers (position and magnification) separated by a comma "
                "and/or space. \n";
        } else if (std::fabs(position) > ZOOM_CAL_MAX_VALUE ||
                   std::fabs(magnification) > ZOOM_CAL_MAX_VALUE) {
            detail = " Magnitude of number is unreasonable. \n";
        } else if (count == ZOOM_CAL_MAX_POINTS) {
            u_append_format(&detail,
                            " Too many position and magnification value pairs (maximum is %d). \n",
                            ZOOM_CAL_MAX_POINTS);
            errorLine = 0;
        } else if (!(position >= 0 && position <= ZOOM_CAL_MAX_VALUE)) {
            u_append_format(&detail, " Position value is out of range [%g,%g] \n", 0.0,
                            ZOOM_CAL_MAX_VALUE);
        } else if (!(magnification >= ZOOM_CAL_MIN_MAG && magnification <= ZOOM_CAL_MAX_MAG)) {
            u_append_format(&detail, " Magnification value is out of range [%g,%g] \n",
                            ZOOM_CAL_MIN_MAG, ZOOM_CAL_MAX_MAG);
        } else if (count > 0 && !(position > pairs[count - 1].position)) {
            detail = " Position values are not in strictly increasing order. \n";
        } else if (count > 0 &&
                   !(static_cast<float>(magnification) > pairs[count - 1].magnification)) {
            // Compared as stored, so that the table stays strictly increasing.
            detail = " Magnification values are not in strictly increasing order. \n";
        } else {
            pairs[count++] = {position, static_cast<float>(magnification)};
        }
    }
    if (detail.empty() && count < ZOOM_CAL_MIN_POINTS) {
        u_append_format(&detail,
                        " Too few position and magnification value pairs (minimum is %d) \n",
                        ZOOM_CAL_MIN_POINTS);
        errorLine = 0;
    }
    if (!detail.empty()) {
        std::string message;
        u_append_format(&message,
                        " Error reading QEL encoded zoom magnification calibration file \"%s\" \n",
                        path);
        message += detail;
        if (errorLine > 0 && !errorText.empty()) {
            u_append_format(&message, " Error in line %d: \n  %s \n", errorLine, errorText.c_str());
        } else if (errorLine > 0) {
            u_append_format(&message, " Error in line %d \n", errorLine);
        }
        put_message(messageBuffer, message);
        return ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE;
    }
    auto* points = static_cast<ZoomCalPoint*>(u_alloc(sizeof(ZoomCalPoint) * count));
    if (points == nullptr) return ERR_NO_MEM;
    std::memcpy(points, pairs, sizeof(ZoomCalPoint) * count);
    table->count = count;
    table->points = points;
    return 0;
}

}  // namespace

SysZoomCalState::~SysZoomCalState() {
    zoom_cal_free(&table);
}

void zoom_cal_free(ZoomCalTable* table) {
    if (table == nullptr) return;
    if (table->points != nullptr) u_free(table->points);
    *table = ZoomCalTable{};
}

void zoom_cal_forget(SysZoomCalState* state) {
    if (state == nullptr) return;
    zoom_cal_free(&state->table);
    state->path.clear();
    state->stamp = PlatFileStamp{};
}

int zoom_cal_read(const char* path, ZoomCalTable* table, char* messageBuffer) {
    put_message(messageBuffer, "");
    if (path == nullptr || table == nullptr) return ERR_INVALID_PARAM;
    zoom_cal_free(table);
    FILE* file = plat_fopen_regular(path, "rb");
    if (file == nullptr) {
        std::string message;
        u_append_format(&message,
                        " Cannot open QEL encoded zoom magnification calibration file \"%s\" \n",
                        path);
        put_message(messageBuffer, message);
        return ERR_QEL_ENC_ZOOM_CANT_OPEN_CAL_FILE;
    }
    CharSource in{file, nullptr, 0, 0};
    int status = read_table(&in, path, table, messageBuffer);
    std::fclose(file);
    return status;
}

int zoom_cal_read_text(const char* text, std::size_t size, const char* path, ZoomCalTable* table,
                       char* messageBuffer) {
    put_message(messageBuffer, "");
    if (table == nullptr || (text == nullptr && size > 0)) return ERR_INVALID_PARAM;
    zoom_cal_free(table);
    CharSource in{nullptr, text, size, 0};
    return read_table(&in, path != nullptr ? path : "", table, messageBuffer);
}

int zoom_cal_load(SystemInfo* info, char* messageBuffer) {
    put_message(messageBuffer, "");
    if (info == nullptr) return ERR_INVALID_PARAM;
    SysZoomCalState& state = info->zoomCal;

    if (!state.path.empty()) {
        PlatFileStamp now{};
        if (!plat_file_stamp(state.path.c_str(), &now)) {
            state.path.clear();
        } else if (now == state.stamp && state.table.count > 0) {
            return 0;
        }
    }

    std::string path = state.path;
    if (path.empty()) {
        const std::string& configured = info->encodedZoom.calFileName;
        std::string name = configured.empty() ? ZOOM_CAL_DEFAULT_FILE : configured;
        std::replace(name.begin(), name.end(), '\\', '/');
        const char* found = nullptr;
        if (u_find_file(name.c_str(), &found) != 0 || found == nullptr) {
            zoom_cal_forget(&state);
            std::string message;
            u_append_format(
                &message,
                " Cannot access QEL encoded zoom magnification calibration file \"%s\" \n",
                name.c_str());
            put_message(messageBuffer, message);
            return ERR_QEL_ENC_ZOOM_CANT_OPEN_CAL_FILE;
        }
        path = found;
    }

    // Stamped before reading: a change made while it is read shows next time.
    PlatFileStamp stamp{};
    plat_file_stamp(path.c_str(), &stamp);
    ZoomCalTable fresh{};
    int status = zoom_cal_read(path.c_str(), &fresh, messageBuffer);
    if (status != 0) {
        zoom_cal_forget(&state);
        return status;
    }
    zoom_cal_free(&state.table);
    state.table = fresh;
    state.path = path;
    state.stamp = stamp;
    u_msg_sink("QEL encoded zoom calibration data loaded from file %s\n", path.c_str());
    return 0;
}
