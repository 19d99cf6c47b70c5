#include "config/badpixel.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "common/alloc.h"
#include "common/dirs.h"
#include "common/msg.h"
#include "common/status.h"
#include "platform/path.h"

namespace {

const char* const kDelimiters = " \t\r\n";
constexpr std::size_t kLineBuffer = 999;

// Appends the explanation and the line report of a failed block.
int block_error(CbCamera* camera, UTextBuffer* message, const char* explanation, int line,
                const char* text, int status = ERR_CB_FILE_INVALID) {
    cb_release(camera);
    if (explanation && explanation[0]) u_text_append(message, "%s", explanation);
    if (text) {
        u_text_append(message, "Error in line %d:\r\n  %s\n", line, text);
    } else {
        u_text_append(message, "Error in line %d\r\n", line);
    }
    return status;
}

bool add_point(CbCamera* camera, int32_t x, int32_t y) {
    if (camera->count == camera->capacity) {
        int32_t capacity = camera->capacity == 0 ? 64 : camera->capacity * 2;
        if (capacity > CB_MAX_POINTS) capacity = CB_MAX_POINTS;
        void* grown = u_realloc(camera->points, sizeof(CbPoint) * std::size_t(capacity));
        if (!grown) return false;
        camera->points = static_cast<CbPoint*>(grown);
        camera->capacity = capacity;
    }
    camera->points[camera->count++] = CbPoint{x, y, 0};
    return true;
}

// Trims a list to the points it holds.
void trim_points(CbCamera* camera) {
    if (camera->count == camera->capacity) return;
    if (camera->count == 0) {
        u_free(camera->points);
        camera->points = nullptr;
        camera->capacity = 0;
        return;
    }
    void* trimmed = u_realloc(camera->points, sizeof(CbPoint) * std::size_t(camera->count));
    if (!trimmed) return;  // the larger list serves as well
    camera->points = static_cast<CbPoint*>(trimmed);
    camera->capacity = camera->count;
}

int16_t clamp16(int64_t v) {
    return static_cast<int16_t>(std::clamp<int64_t>(v, 0, INT16_MAX));
}

void destroy_camera_set(CbCameraSet* set) {
    if (!set) return;
    for (CbCamera& camera : set->cameras) cb_release(&camera);
    delete set;
}

}  // namespace

void cb_release(CbCamera* camera) {
    if (!camera) return;
    if (camera->points) u_free(camera->points);
    *camera = CbCamera{};
}

int cb_read_block(FILE* file, CbCamera* camera, int* line, bool* eof, UTextBuffer* message) {
    if (!file || !camera || !line || !eof) return ERR_INVALID_PARAM;
    cb_release(camera);
    *eof = true;

    char text[kLineBuffer];
    char work[kLineBuffer];
    char explanation_text[256];
    UTextBuffer explanation{explanation_text, sizeof explanation_text};
    std::size_t length = 0;
    bool have_header = false;

    for (;;) {
        const long position = std::ftell(file);
        if (!u_read_text_line(file, text, sizeof text, &length, nullptr)) break;
        ++*line;
        if (length > std::size_t(CB_LINE_MAX)) {
            u_text_clear(&explanation);
            u_text_append(&explanation, "Line longer than %d characters\r\n", CB_LINE_MAX);
            return block_error(camera, message, explanation_text, *line, nullptr);
        }
        std::memcpy(work, text, std::strlen(text) + 1);
        char* first = u_next_token(work, kDelimiters);
        if (!first || first[0] == '#') continue;
        *eof = false;

        if (first[0] == '[' || strxcmp(first, "[") == 0) {
            if (have_header) {
                // The next block's header: leave it for the next call.
                if (position < 0 || std::fseek(file, position, SEEK_SET) != 0) {
                    return block_error(camera, message,
                                       "Cannot go back to the start of the line.\r\n", *line, text);
                }
                --*line;
                break;
            }
            int32_t grab_mode = 0, grab_under = 0, size_x = 0, size_y = 0;
            double grab_rate = 0;
            if (!u_parse_int_field(nullptr, kDelimiters, "grab mode", 0, 10, nullptr, &explanation,
                                   &grab_mode) ||
                !u_parse_int_field(nullptr, kDelimiters, "grab under", 0, 10, nullptr, &explanation,
                                   &grab_under) ||
                !u_parse_int_field(nullptr, kDelimiters, "size x", 0, 32767, nullptr, &explanation,
                                   &size_x) ||
                !u_parse_int_field(nullptr, kDelimiters, "size y", 0, 32767, nullptr, &explanation,
                                   &size_y) ||
                !u_parse_double_field(nullptr, kDelimiters, "grab rate", 0, 500, nullptr,
                                      &explanation, &grab_rate)) {
                return block_error(camera, message, explanation_text, *line, text);
            }
            camera->grabMode = grab_mode;
            camera->grabUnder = grab_under;
            camera->sizeX = static_cast<int16_t>(size_x);
            camera->sizeY = static_cast<int16_t>(size_y);
            camera->grabRate = grab_rate;
            have_header = true;
            continue;
        }

        if (!have_header) {
            return block_error(camera, message, "Missing camera information.\r\n", *line, text);
        }
        std::memcpy(work, text, std::strlen(text) + 1);
        int32_t x = 0, y = 0;
        if (!u_parse_int_field(work, kDelimiters, "coord x", 0, camera->sizeX - 1, nullptr,
                               &explanation, &x) ||
            !u_parse_int_field(nullptr, kDelimiters, "coord y", 0, camera->sizeY - 1, nullptr,
                               &explanation, &y)) {
            return block_error(camera, message, explanation_text, *line, text);
        }
        if (camera->count >= CB_MAX_POINTS) {
            u_text_clear(&explanation);
            u_text_append(&explanation, "More than %d bad pixels in one camera block.\r\n",
                          CB_MAX_POINTS);
            return block_error(camera, message, explanation_text, *line, text);
        }
        if (!add_point(camera, x, y)) {
            return block_error(camera, message, "Out of memory.\r\n", *line, text, ERR_NO_MEM);
        }
    }
    trim_points(camera);
    return NO_ERROR;
}

int cb_read_stream(FILE* file, const char* name, CbCamera* cameras, int* count,
                   UTextBuffer* message) {
    if (!file || !cameras || !count) return ERR_INVALID_PARAM;
    *count = 0;
    for (int i = 0; i < CB_MAX_CAMERAS; ++i) cb_release(&cameras[i]);

    char block_text[1024];
    UTextBuffer block_message{block_text, sizeof block_text};
    CbCamera extra{};  // a block beyond the last record
    int line = 0;
    int n = 0;
    int status = NO_ERROR;
    for (;;) {
        CbCamera* target = n < CB_MAX_CAMERAS ? &cameras[n] : &extra;
        bool eof = true;
        u_text_clear(&block_message);
        status = cb_read_block(file, target, &line, &eof, &block_message);
        if (status != NO_ERROR) break;
        if (eof) break;
        if (target == &extra) {
            cb_release(&extra);
            u_text_clear(&block_message);
            u_text_append(&block_message, "More than %d camera blocks.\r\n", CB_MAX_CAMERAS);
            u_text_append(&block_message, "Error in line %d\r\n", line);
            status = ERR_CB_FILE_INVALID;
            break;
        }
        ++n;
    }
    if (status != NO_ERROR) {
        for (int i = 0; i < n && i < CB_MAX_CAMERAS; ++i) cb_release(&cameras[i]);
        u_text_append(message, "Error reading bad pixel file \"%s\"\r\n", name ? name : "");
        u_text_append(message, "%s", block_text);
        return status == ERR_NO_MEM ? ERR_NO_MEM : ERR_CB_FILE_INVALID;
    }
    *count = n;
    return NO_ERROR;
}

int cb_read_file(const char* path, CbCamera* cameras, int* count, UTextBuffer* message) {
    if (count) *count = 0;
    if (!path || !path[0] || !cameras || !count) return ERR_INVALID_PARAM;
    FILE* file = plat_fopen_regular(path, "r");
    if (!file) {
        u_text_append(message, "Cannot open camera bad file \"%s\"\r\n", path);
        return ERR_CANT_OPEN_FILE;
    }
    int status = cb_read_stream(file, path, cameras, count, message);
    std::fclose(file);
    return status;
}

void cb_sort_points(CbCamera* camera) {
    if (!camera || !camera->points || camera->count <= 1) return;
    CbPoint* begin = camera->points;
    CbPoint* end = begin + camera->count;
    std::stable_sort(begin, end, [](const CbPoint& a, const CbPoint& b) {
        return a.x != b.x ? a.x < b.x : a.y < b.y;
    });
    end = std::unique(begin, end,
                      [](const CbPoint& a, const CbPoint& b) { return a.x == b.x && a.y == b.y; });
    camera->count = static_cast<int32_t>(end - begin);
}

int cb_load(SystemInfo* info) {
    if (!info) return ERR_SYS_INFO_NOT_AVAIL;
    if (!info->badPixelLists) {
        CbCameraSet* set = new (std::nothrow) CbCameraSet{};
        if (!set) return ERR_NO_MEM;
        info->badPixelLists =
            SysOwned<CbCameraSet>(set, SysDeleter<CbCameraSet>{destroy_camera_set});
    }
    CbCameraSet& set = *info->badPixelLists;
    for (CbCamera& camera : set.cameras) cb_release(&camera);
    set.count = 0;

    if (info->cameraBpix != 0) {
        std::string name = info->cameraBpixFile;
        if (name.empty()) name = "bpix_" + std::to_string(info->serialNumber) + ".dat";
        // Names written on Windows may hold backslashes.
        std::replace(name.begin(), name.end(), '\\', '/');
        const char* dir = u_config_dir();
        if (!dir) {
            u_msg_sink("gen_cam_ped_filename: invalid config directory.\n");
            return ERR_INVALID_PARAM;
        }
        const std::string path = std::string(dir) + "/" + name;
        char text[2048];
        UTextBuffer message{text, sizeof text};
        u_text_clear(&message);
        int count = 0;
        int status = cb_read_file(path.c_str(), set.cameras, &count, &message);
        if (status != NO_ERROR) {
            u_msg_sink("%s", text);
            return status;
        }
        for (int i = 0; i < count; ++i) cb_sort_points(&set.cameras[i]);
        set.count = count;
        return NO_ERROR;
    }

    // The calibration file's own list: pairs up to the first negative x.
    CbCamera& camera = set.cameras[0];
    const SysCameraMode& mode = info->cameraMode;
    camera.grabMode = mode.grabMode;
    camera.grabUnder = mode.grabUnder;
    camera.grabRate = mode.grabRate;
    const int64_t under = mode.grabUnder == 0 ? 1 : mode.grabUnder;
    camera.sizeX = clamp16(mode.sensorWidth / under);
    camera.sizeY = clamp16(mode.sensorHeight / under);
    for (int i = 0; i < SB_MAX_BAD_PIXELS && info->badPixels[i].x >= 0; ++i) {
        if (!add_point(&camera, info->badPixels[i].x, info->badPixels[i].y)) {
            cb_release(&camera);
            return ERR_NO_MEM;
        }
    }
    trim_points(&camera);
    cb_sort_points(&camera);
    set.count = 1;
    return NO_ERROR;
}
