#include "pifoc/pifoc.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "common/dirs.h"
#include "common/log.h"
#include "common/msg.h"
#include "common/status.h"
#include "common/timing.h"
#include "config/sysinfo.h"
#include "pifoc/pifoc_internal.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/replace_file.h"

namespace vr_detail {
namespace {
std::atomic<int64_t> g_first_start{0};
std::atomic<int64_t> g_last_start{0};
std::atomic<int> g_log_limit{VR_LOG_LIMIT_DEFAULT};
std::atomic<bool> g_cook{true};
std::atomic<bool> g_deglitch{true};
std::atomic<VrCalendarClock> g_clock{nullptr};
LogGroups g_groups;
}  // namespace

LogGroups& groups() {
    return g_groups;
}

int64_t calendar_now() {
    VrCalendarClock clock = g_clock.load();
    if (clock != nullptr) return clock();
    int64_t seconds = 0;
    u_time_now(&seconds, nullptr);
    return seconds;
}

bool is_can(const SystemInfo* info) {
    return info->instrBdType == SB_BOARD_CAN;
}

void mark_start(int64_t now) {
    int64_t unset = 0;
    g_first_start.compare_exchange_strong(unset, now);
    g_last_start.store(now);
}

bool cook_switch() {
    return g_cook.load();
}
bool deglitch_switch() {
    return g_deglitch.load();
}

void fill_leakage_group(int64_t sinceStart, double leakageUa, int measured) {
    std::snprintf(g_groups.leakage, sizeof g_groups.leakage, "%8d %7.4f   %1d ",
                  static_cast<int>(sinceStart), leakageUa, measured);
}

void fill_zero_comp_group() {
    std::snprintf(g_groups.comp, sizeof g_groups.comp, "%4.0f %7.4f %7.4f %7.4f %6.4f", 0.0, 0.0,
                  0.0, 0.0, 0.0);
}

void fill_date_group(int64_t time) {
    vr_format_pifoc_date(time, g_groups.date, sizeof g_groups.date);
}

int log_line(SystemInfo* info, const char* marker) {
    std::string text =
        std::string(g_groups.leakage) + " " + g_groups.comp + " " + g_groups.date + "\n";
    if (marker != nullptr) text += marker;
    return vr_log_pifoc_diagnostic(info, text.c_str());
}

}  // namespace vr_detail

using namespace vr_detail;

namespace {

constexpr int kLineMax = 511;

const char* const kLogHeading =
    "#--------------------------------------------------------------------------\n"
    "# Since  Leakage Meas Scan  First    Mid    Last    Gain    Date     Time  \n"
    "# Start  Current      Len  Current Current Current                         \n"
    "# (secs)   (uA)       (um)   (uA)    (uA)    (uA)                          \n"
    "#------- ------- ---- ---- ------- ------- ------- ------ -------- --------\n";

void destroy_state(PifocState* state) {
    delete state;
}

// The aging curve; x is used as a 32-bit count of seconds (held to its range).
double aging_curve(double a, double b, int64_t x) {
    if (x <= 0) return a;
    if (x > INT32_MAX) x = INT32_MAX;
    return a + b * std::log10(static_cast<double>(x));
}

// A power of ten as a 32-bit count, held to its range rather than wrapped.
int64_t pow10_count(double exponent) {
    double v = std::pow(10.0, exponent);
    if (!(v < static_cast<double>(INT32_MAX))) return INT32_MAX;
    if (v < static_cast<double>(INT32_MIN)) return INT32_MIN;
    return static_cast<int64_t>(v);
}

std::string file_path(const char* name, int id) {
    char buffer[U_DIR_MAX + 64];
    const char* config = u_config_dir();
    if (config != nullptr)
        std::snprintf(buffer, sizeof buffer, "%s/ramps/%s.%d", config, name, id);
    else
        std::snprintf(buffer, sizeof buffer, "./%s.%d", name, id);
    return buffer;
}

// A decimal integer token: optional sign and digits, optionally ended by the
// line's newline (the last token keeps it).
bool parse_number(const char* token, int64_t* value) {
    if (token == nullptr) return false;
    const char* p = token;
    if (*p == '+' || *p == '-') ++p;
    if (*p < '0' || *p > '9') return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(token, &end, 10);
    if (errno == ERANGE) return false;
    if (*end == '\n') ++end;
    if (*end != '\0') return false;
    *value = v;
    return true;
}

}  // namespace

int vr_create_pifoc_state(SystemInfo* info) {
    if (info == nullptr) return ERR_INVALID_PARAM;
    auto* state = new (std::nothrow) PifocState{};
    if (state == nullptr) return ERR_NO_MEM;
    state->id = info->pifocId;
    state->alpha = info->pifocAlpha;
    state->beta = info->pifocBeta;
    state->onState = -1;
    state->currentRamp = -1;
    info->pifocState = SysOwned<PifocState>(state, SysDeleter<PifocState>{destroy_state});
    return NO_ERROR;
}

PifocState* vr_pifoc_state(SystemInfo* info) {
    return info == nullptr ? nullptr : info->pifocState.get();
}

const char* vr_pifoc_info_path(int id) {
    static thread_local std::string path;
    path = file_path("pifoc", id);
    return path.c_str();
}

const char* vr_pifoc_log_path(int id) {
    static thread_local std::string path;
    path = file_path("pifoclog", id);
    return path.c_str();
}

void vr_format_pifoc_date(int64_t time, char* buffer, int size) {
    if (buffer == nullptr || size <= 0) return;
    buffer[0] = '\0';
    std::tm local{};
    if (!plat_local_time(time, &local)) return;
    // Spelled out: some formatters ignore a precision in the conversions.
    std::strftime(buffer, static_cast<std::size_t>(size), "%m/%d/%y %H:%M:%S", &local);
}

void vr_set_pifoc_log_limit(int bytes) {
    vr_detail::g_log_limit.store(bytes);
}
void vr_set_pifoc_cook_switch(bool on) {
    vr_detail::g_cook.store(on);
}
void vr_set_pifoc_deglitch_switch(bool on) {
    vr_detail::g_deglitch.store(on);
}
int64_t vr_pifoc_first_start() {
    return vr_detail::g_first_start.load();
}
int64_t vr_pifoc_last_start() {
    return vr_detail::g_last_start.load();
}
void vr_set_pifoc_calendar_clock(VrCalendarClock clock) {
    vr_detail::g_clock.store(clock);
}
void vr_reset_pifoc_starts() {
    vr_detail::g_first_start.store(0);
    vr_detail::g_last_start.store(0);
}

int vr_load_pifoc_info(SystemInfo* info) {
    if (info == nullptr || is_can(info) || !info->pifocState) return ERR_INVALID_PARAM;
    PifocState* state = info->pifocState.get();
    std::string path = file_path("pifoc", state->id);
    FILE* in = plat_fopen_regular(path.c_str(), "r");
    if (in == nullptr) {
        u_msg_sink("Cannot open pifoc info file %s\n", path.c_str());
        return ERR_CANT_OPEN_FILE;
    }
    char line[kLineMax + 2];
    char work[kLineMax + 2];
    int lineNo = 0;
    bool found = false;
    int64_t te = 0, t1 = 0, leakage = 0;
    int result = NO_ERROR;
    while (std::fgets(line, sizeof line, in) != nullptr) {
        ++lineNo;
        // Files written on Windows end their lines with CR LF.
        std::size_t len = std::strlen(line);
        if (len >= 2 && line[len - 2] == '\r' && line[len - 1] == '\n') {
            line[len - 2] = '\n';
            line[len - 1] = '\0';
        }
        if (line[0] == '#') continue;
        std::memcpy(work, line, sizeof work);
        char* save = nullptr;
        char* first = strtok_r(work, " \t\n", &save);
        if (first == nullptr) continue;
        found = true;
        bool ok = parse_number(first, &te);
        // After the first token the newline is no separator: it ends the last
        // token, so a blank before it leaves a token of its own.
        char* second = ok ? strtok_r(nullptr, " \t", &save) : nullptr;
        ok = ok && parse_number(second, &t1);
        char* third = ok ? strtok_r(nullptr, " \t", &save) : nullptr;
        leakage = 0;
        if (ok && third != nullptr) ok = parse_number(third, &leakage);
        if (ok && (leakage < INT32_MIN || leakage > INT32_MAX)) ok = false;
        if (!ok) {
            std::size_t n = std::strlen(line);
            if (n > 0 && line[n - 1] == '\n') line[n - 1] = '\0';
            u_msg_sink("vr_load_pifoc_info: error in file %s\n", path.c_str());
            u_msg_sink("Line %d:\n%s\n", lineNo, line);
            result = ERR_CANT_READ_FILE;
        }
        break;
    }
    std::fclose(in);
    if (!found) {
        u_msg_sink("vr_load_pifoc_info: empty file %s\n", path.c_str());
        return ERR_CANT_READ_FILE;
    }
    if (result != NO_ERROR) return result;

    double leakageUa = static_cast<double>(leakage) * VR_UA_PER_COUNT;
    u_msg_sink("Pifoc info file is %s\n", path.c_str());
    u_msg_sink("te = %lld  t1 = %lld  leakage = %d (%g uA)\n", static_cast<long long>(te),
               static_cast<long long>(t1), static_cast<int>(leakage), leakageUa);
    int64_t now = calendar_now();
    if (te < 1 || t1 < 0 || t1 < te || now < t1) {
        u_msg_sink("vr_load_pifoc_info: unreasonable te or t1 value\n");
        u_msg_sink("te  = %lld\n", static_cast<long long>(te));
        u_msg_sink("t1  = %lld\n", static_cast<long long>(t1));
        u_msg_sink("now = %lld\n", static_cast<long long>(now));
        return ERR_PARAM_OUT_OF_RANGE;
    }
    if (leakageUa < VR_LEAKAGE_MIN_UA || leakageUa > VR_LEAKAGE_MAX_UA) {
        u_msg_sink("vr_load_pifoc_info: leakage = %g uA is out of range [%g,%g]\n", leakageUa,
                   VR_LEAKAGE_MIN_UA, VR_LEAKAGE_MAX_UA);
        return ERR_PARAM_OUT_OF_RANGE;
    }
    state->onTime = te;
    state->lastUpdate = t1;
    state->pifocLeakage = static_cast<int32_t>(leakage);
    return NO_ERROR;
}

int vr_save_pifoc_info(SystemInfo* info) {
    if (info == nullptr || is_can(info) || !info->pifocState) return ERR_INVALID_PARAM;
    const PifocState* state = info->pifocState.get();
    std::string path = file_path("pifoc", state->id);
    // The old history stays in place until the new one is complete; a
    // second attempt covers a passing failure, never a deleted file.
    for (int attempt = 0; attempt < 2; ++attempt) {
        PlatReplaceFile out{};
        if (out.open(path.c_str(), "_pifoc") == nullptr) continue;
        int written =
            std::fprintf(out.stream, "%lld %lld %d\n", static_cast<long long>(state->onTime),
                         static_cast<long long>(state->lastUpdate), state->pifocLeakage);
        if (written < 0) {
            out.abort();
            continue;
        }
        if (out.commit()) return NO_ERROR;
    }
    u_msg_sink("vr_save_pifoc_info: cannot create %s\n", path.c_str());
    return ERR_CANT_CREATE_FILE;
}

void vr_update_pifoc_time_on(SystemInfo* info, int64_t now) {
    if (info == nullptr || is_can(info) || !info->pifocState) return;
    PifocState* s = info->pifocState.get();
    if (now <= 0) now = calendar_now();
    int64_t d = now - s->lastUpdate;
    if (d == 0) return;
    // A clock set back is no rest: account from the new reading on.
    if (d < 0) {
        s->lastUpdate = now;
        return;
    }
    int64_t te = 0;
    if (s->onState == 1) {
        te = s->onTime + d;
    } else if (s->beta > 0) {
        double top = s->alpha + 8 * s->beta;
        double u = (top - aging_curve(s->alpha, s->beta, s->onTime)) / s->beta;
        int64_t tr = d + pow10_count(u);
        double g = aging_curve(top, -s->beta, tr);
        te = pow10_count((g - s->alpha) / s->beta);
    } else {
        te = s->onTime - d;
    }
    s->onTime = te > 0 ? te : 1;
    s->lastUpdate = now;
}

int vr_calc_pifoc_time_gain(SystemInfo* info, double* gain) {
    if (gain != nullptr) *gain = 0;
    if (info == nullptr || is_can(info)) return ERR_INVALID_PARAM;
    if (!info->pifocState) return NO_ERROR;
    const PifocState* s = info->pifocState.get();
    double g = aging_curve(s->alpha, s->beta, s->onTime);
    if (g < s->alpha) g = s->alpha;
    if (g < VR_TIME_GAIN_MIN || g > VR_TIME_GAIN_MAX) {
        u_msg_sink("vr_calc_pifoc_time_gain: gain = %g is out of range [%g,%g]\n", g,
                   VR_TIME_GAIN_MIN, VR_TIME_GAIN_MAX);
        return ERR_PIFOC_GAIN;
    }
    if (gain != nullptr) *gain = g;
    return NO_ERROR;
}

void vr_set_pifoc_state(SystemInfo* info) {
    if (info == nullptr || !info->pifocState) return;
    PifocState* s = info->pifocState.get();
    s->onState = info->power.instrumentOn && s->level >= s->levelB ? 1 : -1;
}

void vr_print_pifoc_time_on(SystemInfo* info) {
    if (info == nullptr || is_can(info) || !info->pifocState) return;
    int64_t t = info->pifocState->onTime;
    int64_t days = t / 86400;
    int64_t rest = t % 86400;
    char clock[64];
    std::snprintf(clock, sizeof clock, "%02.0f:%02.0f:%02.0f", static_cast<double>(rest / 3600),
                  static_cast<double>(rest % 3600 / 60), static_cast<double>(rest % 60));
    u_msg_sink("Pifoc effective time on: %d days, %s (%d secs)\n", static_cast<int>(days), clock,
               static_cast<int>(t));
}

int vr_log_pifoc_diagnostic(SystemInfo* info, const char* text) {
    if (info == nullptr || is_can(info) || !info->pifocState) return ERR_INVALID_PARAM;
    int limit = vr_detail::g_log_limit.load();
    if (limit == 0) {
        if (text == nullptr) u_msg_sink("Pifoc diagnostic log disabled\n");
        return NO_ERROR;
    }
    std::string path = file_path("pifoclog", info->pifocState->id);
    int result =
        u_log_to_file(path.c_str(), text != nullptr ? text : kLogHeading, limit, limit / 2);
    if (result != NO_ERROR) {
        u_msg_sink("vr_log_pifoc_diagnostic: u_log_to_file failed: %s\n", u_error_name(result));
        return result;
    }
    if (text == nullptr) {
        u_msg_sink("Pifoc diagnostic log file is %s\n", path.c_str());
        if (limit < 0)
            u_msg_sink("(size unlimited)\n");
        else
            u_msg_sink("(size limited to %d bytes)\n", limit);
    }
    return NO_ERROR;
}
