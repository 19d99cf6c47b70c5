// Reading the system calibration file.
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "common/dirs.h"
#include "common/msg.h"
#include "common/status.h"
#include "common/strformat.h"
#include "config/sbcal.h"
#include "config/sbcal_internal.h"
#include "config/sbcal_keywords.h"
#include "platform/fs.h"
#include "platform/path.h"

void SbMessages::report(const char* format, ...) {
    std::string text;
    va_list args;
    va_start(args, format);
    u_append_vformat(&text, format, args);
    va_end(args);
    if (count == 0) {
        u_msg_sink("%s%s%s\n", heading.c_str(), place.c_str(), text.c_str());
    } else {
        u_msg_sink("%s%s%s\n", "", "", text.c_str());
    }
    ++count;
}

namespace {

constexpr int kMessageLimit = 10;

// Keyword-to-value tables of the coded values.
struct KwValue {
    SbKeyword kw;
    int32_t value;
};

constexpr KwValue kSystemTypes[] = {
    {KW_MODEL04, 4},   {KW_MODEL05, 5},   {KW_MODEL06, 6},  {KW_MODEL07, 7},  {KW_MODEL08, 8},
    {KW_MODEL10, 10},  {KW_MODEL11, 11},  {KW_MODEL12, 12}, {KW_MODEL13, 13}, {KW_MODEL14, 14},
    {KW_MODEL14B, 14}, {KW_MODEL15, 15},  {KW_MODEL16, 16}, {KW_MODEL17, 17}, {KW_MODEL18, 18},
    {KW_MODEL19, 19},  {KW_MODEL19B, 19}, {KW_MODEL20, 20}, {KW_MODEL21, 21}, {KW_MODEL21B, 21},
    {KW_MODEL22, 22},  {KW_MODEL23, 23},  {KW_MODEL24, 24}, {KW_MODEL25, 25}, {KW_MODEL26, 26},
    {KW_MODEL27, 27},  {KW_MODEL28, 28},  {KW_MODEL29, 29}, {KW_MODEL30, 30}, {KW_MODEL31, 31},
    {KW_MODEL32, 32},  {KW_MODEL33, 33},  {KW_MODEL34, 34}, {KW_MODEL35, 35}};

constexpr KwValue kFrameGrabbers[] = {
    {KW_NONE, 0},   {KW_RPC, 1},      {KW_MATROX, 2},    {KW_PULSAR, 3},     {KW_GENESIS, 4},
    {KW_CORONA, 5}, {KW_BANDIT, 6},   {KW_FIREWIRE, 7},  {KW_CAMERALINK, 8}, {KW_FLASHBUS, 9},
    {KW_GIGE, 10},  {KW_X64LVDS, 11}, {KW_PC2VISION, 12}};

constexpr KwValue kBoards[] = {{KW_NONE, 0}, {KW_VRNX, 1},     {KW_VRNY, 2}, {KW_QEL, 3},
                               {KW_MESA, 5}, {KW_REGMAP, 5},   {KW_VOK, 6},  {KW_FTP, 7},
                               {KW_CAN, 8},  {KW_NOTNEEDED, 9}};

constexpr KwValue kCameras[] = {
    {KW_XC77, 1},      {KW_XC77CE, 1},      {KW_P62505, 2},      {KW_CID2220, 3},
    {KW_VIDICON, 4},   {KW_EEV1715A, 5},    {KW_TM6705, 6},      {KW_XC7500, 7},
    {KW_XC7500S, 8},   {KW_SMD4M15, 9},     {KW_CID2250, 11},    {KW_CUSTOM, 12},
    {KW_TM6710, 13},   {KW_SIM200, 14},     {KW_BASLER, 15},     {KW_SU320, 16},
    {KW_DGFLY640, 17}, {KW_DGFLY1024, 18},  {KW_IMPERXVGA, 19},  {KW_ADIMEC1000, 20},
    {KW_A311F, 21},    {KW_A312F, 22},      {KW_TM6740, 23},     {KW_DGFLY6200, 24},
    {KW_SCA640, 25},   {KW_ADIMEC4050, 26}, {KW_ADIMEC4150, 27}, {KW_PIA640, 28},
    {KW_E2V7899, 29},  {KW_PIA1000, 30},    {KW_SCA640G, 31},    {KW_A504K, 32}};

constexpr KwValue kLights[] = {
    {KW_HENE, 1}, {KW_DIODE, 2}, {KW_WHITE, 3}, {KW_SPECIAL, 4}, {KW_LED, 5}};

constexpr KwValue kAligns[] = {{KW_DEFAULT, 0}, {KW_CENTER, 1}, {KW_TOPLEFT, 2}};

constexpr KwValue kPosInstrs[] = {{KW_AXIOM, 1},
                                  {KW_KMR, 2},
                                  {KW_HEID, 3},
                                  {KW_LCDMI, 4},
                                  {KW_MICROLYNX, 5},
                                  {KW_ZENCODER, 6},
                                  {KW_USDED2, 7},
                                  {KW_KMR501, 8},
                                  {KW_METRONICS, 9},
                                  {KW_TSNXKMR501, 10},
                                  {KW_RENISHAW_STEPNET, 11},
                                  {KW_STEPNET, 12}};

constexpr KwValue kLlcInstrs[] = {{KW_DD100MC, 1}, {KW_DD100MC_B, 2}, {KW_MESA, 3}};

template <std::size_t N>
bool kw_value(const KwValue (&table)[N], SbKeyword kw, int32_t* value) {
    for (const KwValue& entry : table) {
        if (entry.kw == kw) {
            *value = entry.value;
            return true;
        }
    }
    return false;
}

int axis_of(SbKeyword kw, SbKeyword first) {
    return static_cast<int>(kw) - static_cast<int>(first);
}

enum TokenClass { TOK_END, TOK_NUMBER, TOK_WORD, TOK_LBRACKET, TOK_COLON, TOK_OTHER };

// One line of the file and the parse of its values. `at_eof` is set when the
// line was cut by the end of the file rather than a line end.
class LineParser {
  public:
    LineParser(const std::string& line, bool at_eof, SbMessages* msgs)
        : line_(line), at_eof_(at_eof), msgs_(msgs) {}

    int status = 0;

    TokenClass peek() {
        skip_blanks();
        if (pos_ >= line_.size() || line_[pos_] == '#') return TOK_END;
        char c = line_[pos_];
        if (c == '[') return TOK_LBRACKET;
        if (c == ':') return TOK_COLON;
        if (c == ',' || c == ']') return TOK_OTHER;
        if (sb_starts_number(std::string_view(line_).substr(pos_))) return TOK_NUMBER;
        return TOK_WORD;
    }

    bool at_end() { return peek() == TOK_END; }

    __attribute__((format(printf, 3, 4))) void fail(int code, const char* format, ...) {
        if (status) return;
        va_list args;
        va_start(args, format);
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        msgs_->report("%s", text);
        status = code;
    }

    // A value is due: reports the end of the line or file instead.
    bool value_due() {
        if (status) return false;
        if (peek() != TOK_END) return true;
        if (at_eof_)
            fail(ERR_EOF, "Unexpected end-of-file.");
        else
            fail(ERR_SB_CALFILE_SYNTAX, "Unexpected end-of-line.");
        return false;
    }

    bool read_int(int64_t lo, int64_t hi, int64_t* out) {
        if (!value_due()) return false;
        if (peek() != TOK_NUMBER) {
            fail(ERR_SB_CALFILE_SYNTAX, "Expected number.");
            return false;
        }
        const char* start = line_.c_str() + pos_;
        char* end = nullptr;
        errno = 0;
        long long v = std::strtoll(start, &end, 10);
        if (end == start) {
            fail(ERR_SB_CALFILE_SYNTAX, "Expected number.");
            return false;
        }
        pos_ += end - start;
        if (v < lo || v > hi) {
            fail(ERR_SB_CALFILE_VALUE_RANGE, "%lld out of range [%lld,%lld]", v, (long long)lo,
                 (long long)hi);
            return false;
        }
        *out = v;
        return true;
    }

    template <class T>
    bool read_int_as(int64_t lo, int64_t hi, T* out) {
        int64_t v;
        if (!read_int(lo, hi, &v)) return false;
        *out = static_cast<T>(v);
        return true;
    }

    bool read_real(double lo, double hi, double* out, bool lo_open = false, bool hi_open = false) {
        if (!value_due()) return false;
        if (peek() != TOK_NUMBER) {
            fail(ERR_SB_CALFILE_SYNTAX, "Expected number.");
            return false;
        }
        const char* start = line_.c_str() + pos_;
        char* end = nullptr;
        double v = std::strtod(start, &end);
        if (end == start) {
            fail(ERR_SB_CALFILE_SYNTAX, "Expected number.");
            return false;
        }
        pos_ += end - start;
        bool above_lo = lo_open ? v > lo : v >= lo;
        bool below_hi = hi_open ? v < hi : v <= hi;
        if (!(above_lo && below_hi) || !std::isfinite(v)) {
            fail(ERR_SB_CALFILE_VALUE_RANGE, "%g out of range %c%g,%g%c", v, lo_open ? '(' : '[',
                 lo, hi, hi_open ? ')' : ']');
            return false;
        }
        *out = v;
        return true;
    }

    // An unquoted word of up to 80 characters or a quoted string.
    bool read_word(std::string* out) {
        if (!value_due()) return false;
        TokenClass cls = peek();
        if (cls == TOK_NUMBER) {
            fail(ERR_SB_CALFILE_SYNTAX, "Expected non-numeric string.");
            return false;
        }
        if (cls != TOK_WORD) {
            fail(ERR_SB_CALFILE_SYNTAX, "Unexpected token.");
            return false;
        }
        return read_token(out, true);
    }

    // The characters of the next token up to a blank, whatever they are.
    bool read_raw(std::string* out) {
        if (!value_due()) return false;
        return read_token(out, false);
    }

    bool read_keyword(SbKeyword* kw) {
        std::string word;
        if (!read_word(&word)) return false;
        for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        *kw = sb_lookup_keyword(word);
        if (*kw == KW_UNKNOWN) {
            fail(ERR_SB_CALFILE_SYNTAX, "Unrecognized token \"%s\"", word.c_str());
            return false;
        }
        return true;
    }

    template <std::size_t N>
    bool read_coded(const KwValue (&table)[N], int32_t* value) {
        SbKeyword kw;
        if (!read_keyword(&kw)) return false;
        if (!kw_value(table, kw, value)) {
            fail(ERR_SB_CALFILE_SYNTAX, "Unexpected token.");
            return false;
        }
        return true;
    }

    bool expect(char c) {
        if (!value_due()) return false;
        if (line_[pos_] != c) {
            fail(ERR_SB_CALFILE_SYNTAX, "Syntax error.");
            return false;
        }
        ++pos_;
        return true;
    }

    // days{:hours{:minutes{:seconds}}} (four parts) or hours{:minutes{:seconds}}.
    // `then_number`: a number may follow the period on the line.
    bool read_period(int parts, int64_t limit, bool then_number, int32_t* seconds) {
        static const double kUnits[4] = {86400, 3600, 60, 1};
        const double* unit = kUnits + (4 - parts);
        double total = 0;
        for (int i = 0; i < parts; ++i) {
            if (i > 0) {
                if (peek() != TOK_COLON) break;
                ++pos_;
            }
            double v;
            if (!read_real(0, 100, &v)) return false;
            total += v * unit[i];
        }
        TokenClass next = peek();
        if (!(next == TOK_END || (then_number && next == TOK_NUMBER))) {
            fail(ERR_SB_CALFILE_SYNTAX, "Syntax error.");
            return false;
        }
        if (total > static_cast<double>(limit)) {
            fail(ERR_SB_CALFILE_VALUE_RANGE, "Value out-of-range.");
            return false;
        }
        *seconds = static_cast<int32_t>(total);
        return true;
    }

    void skip_rest() { pos_ = line_.size(); }

  private:
    void skip_blanks() {
        while (pos_ < line_.size() && sb_is_blank(line_[pos_])) ++pos_;
    }

    bool read_token(std::string* out, bool allow_quotes) {
        std::string word;
        if (allow_quotes && line_[pos_] == '"') {
            std::size_t close = line_.find('"', pos_ + 1);
            if (close == std::string::npos) {
                pos_ = line_.size();
                value_due();
                return false;
            }
            for (std::size_t i = pos_ + 1; i < close; ++i) {
                if (line_[i] != '\r') word += line_[i];
            }
            pos_ = close + 1;
            if (word.size() > SB_MAX_QUOTED || word.find('\0') != std::string::npos) {
                fail(ERR_SB_CALFILE_SYNTAX, "Syntax error.");
                return false;
            }
        } else {
            while (pos_ < line_.size() && line_[pos_] != ' ' && line_[pos_] != '\t') {
                char c = line_[pos_++];
                if (c == '\r') continue;
                // Neither a quote nor a zero byte inside a word could be
                // written back as the same word.
                if ((allow_quotes && c == '"') || c == '\0') {
                    fail(ERR_SB_CALFILE_SYNTAX, "Syntax error.");
                    return false;
                }
                word += c;
                if (word.size() > SB_MAX_WORD) {
                    fail(ERR_SB_CALFILE_SYNTAX, "Syntax error.");
                    return false;
                }
            }
        }
        *out = std::move(word);
        return true;
    }

    const std::string& line_;
    std::size_t pos_ = 0;
    bool at_eof_;
    SbMessages* msgs_;
};

// Parses one line into the record. Returns false when the line's first word
// is not a keyword at all (which ends a file read at once).
class LineReader {
  public:
    LineReader(SystemInfo* info, LineParser* p) : c_(*info), p_(*p) {}

    bool run() {
        SbKeyword kw;
        if (p_.peek() == TOK_WORD) {
            std::string word;
            p_.read_word(&word);
            if (p_.status) return true;
            for (char& ch : word)
                ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            kw = sb_lookup_keyword(word);
            if (kw == KW_UNKNOWN) {
                p_.fail(ERR_SB_CALFILE_SYNTAX, "Unrecognized token \"%s\"", word.c_str());
                return false;
            }
        } else if (!p_.read_keyword(&kw)) {
            return true;
        }
        if (keyword(kw) && p_.status == 0 && !p_.at_end())
            p_.fail(ERR_SB_CALFILE_SYNTAX, "Unexpected token.");
        return true;
    }

  private:
    // Returns true when the rest of the line must be empty.
    bool keyword(SbKeyword kw) {
        int32_t v = 0;
        if (kw_value(kSystemTypes, kw, &v)) return system_type(v);
        if (kw >= KW_AXISCOMP_A && kw <= KW_AXISCOMP_Z) {
            p_.read_word(&c_.axisComp[axis_of(kw, KW_AXISCOMP_A)]);
            return true;
        }
        if (kw >= KW_PIDVALS_A && kw <= KW_PIDVALS_Z) return pid_values(axis_of(kw, KW_PIDVALS_A));

        switch (kw) {
            case KW_INSTRNAME:
                p_.read_word(&c_.instrName);
                return true;
            case KW_UNIT:
                p_.read_int_as(0, 7, &c_.unit);
                return true;
            case KW_VERSION:
                return version();
            case KW_MACADDRESS:
                return mac_address();
            case KW_INSTRCOMM:
                p_.read_word(&c_.instrComm);
                return true;
            case KW_CAMERA:
                return camera();
            case KW_CAMERASPLITX:
                return camera_split('X');
            case KW_CAMERASPLITY:
                return camera_split('Y');
            case KW_RAMP: {
                SbKeyword sub;
                if (!p_.read_keyword(&sub)) return true;
                if (sub != KW_CONFIG && sub != KW_CONFIGURATION) {
                    p_.fail(ERR_SB_CALFILE_SYNTAX, "Unexpected token.");
                    return true;
                }
                p_.read_word(&c_.rampConfig);
                return true;
            }
            case KW_LIGHT:
                return light();
            case KW_LLC:
                return llc();
            case KW_PZTPWR:
                p_.read_int_as(-1, 1000, &c_.pztPwr);
                return true;
            case KW_ADC: {
                SbKeyword sub;
                if (!p_.read_keyword(&sub)) return true;
                if (sub != KW_CLOCK) {
                    p_.fail(ERR_SB_CALFILE_SYNTAX, "Unexpected token.");
                    return true;
                }
                p_.read_int_as(0, 511, &c_.adcClock);
                return true;
            }
            case KW_PIFOC:
                return pifoc(999999, true);
            case KW_PZTID:
                return pifoc(99999, false);
            case KW_PIFOCPOLARITY:
                p_.read_int_as(-1, 1, &c_.pifocPolarity);
                return true;
            case KW_PIFOCTYPE:
                p_.read_int_as(0, 2, &c_.pifocType);
                return true;
            case KW_SYSMAG:
                return mags(c_.sysMags, &c_.numSysMags, c_.numNomMags);
            case KW_NOMMAG:
                return mags(c_.nomMags, &c_.numNomMags, c_.numSysMags);
            case KW_NOINTENSAVG:
                c_.noIntensAvg = true;
                return true;
            case KW_FTPMATERIALS:
                p_.read_word(&c_.ftpMaterials);
                return true;
            case KW_FTPSYS:
                p_.read_real(0, 1, &c_.ftpSys[0]) && p_.read_real(0, 1, &c_.ftpSys[1]) &&
                    p_.read_real(-1, 1, &c_.ftpSys[2]) && p_.read_real(0, 10, &c_.ftpSys[3]);
                return true;
            case KW_FTPDMISCALE:
                p_.read_real(1.5, 2.5, &c_.ftpDmiScale);
                return true;
            case KW_FTPIMAGEROT:
                p_.read_real(0, 1, &c_.ftpImageRot);
                return true;
            case KW_FTPZEROPTPOS:
                c_.numFtpZeroPtPos = 0;
                c_.ftpZeroPtPos[0] = c_.ftpZeroPtPos[1] = 0;
                if (p_.read_real(-10, 10, &c_.ftpZeroPtPos[0])) c_.numFtpZeroPtPos = 1;
                if (p_.status == 0 && !p_.at_end() && p_.read_real(-10, 10, &c_.ftpZeroPtPos[1]))
                    c_.numFtpZeroPtPos = 2;
                return true;
            case KW_FTPDISPER:
                return ftp_series(c_.ftpDisper, c_.numFtpDisper, -SB_FTP_DISPER_LIMIT,
                                  SB_FTP_DISPER_LIMIT);
            case KW_FTPAVGK0:
            case KW_FTPAVG_K0:
                return ftp_series(c_.ftpAvgK0, c_.numFtpAvgK0, 0, 100);
            case KW_FTPDMICENTER:
                return ftp_center(c_.ftpDmiCenter, "an FTPDmiCenter");
            case KW_FTPTILTCENTER:
                return ftp_center(c_.ftpTiltCenter, "an FTPTiltCenter");
            case KW_FTPZEROGAGEPER:
                p_.read_period(4, 8640000, false, &c_.ftpZeroGagePer);
                return true;
            case KW_FTPSYSINITPER:
                p_.read_period(4, 8640000, false, &c_.ftpSysInitPer);
                return true;
            case KW_FTPTEMPERATURE:
                p_.read_period(4, 8640000, true, &c_.ftpTempPer) &&
                    p_.read_real(0, 5, &c_.ftpTempLimit);
                return true;
            case KW_FTPLOG:
                c_.ftpLog[0] = c_.ftpLog[1] = 0;
                if (!p_.read_word(&c_.ftpLogFile) || p_.at_end()) return true;
                if (!p_.read_int_as(0, INT32_MAX, &c_.ftpLog[0]) || p_.at_end()) return true;
                p_.read_int_as(0, INT32_MAX, &c_.ftpLog[1]);
                return true;
            case KW_FTPSIINVERTDATA:
                p_.read_int_as(0, 255, &c_.ftpsiInvertData);
                return true;
            case KW_SCANCAL:
                c_.numScanCal = 0;
                c_.scanCal[0] = c_.scanCal[1] = 0;
                if (p_.read_real(0.85, 1.15, &c_.scanCal[0])) c_.numScanCal = 1;
                if (p_.status == 0 && !p_.at_end() && p_.read_real(0.85, 1.15, &c_.scanCal[1]))
                    c_.numScanCal = 2;
                return true;
            case KW_TURRET:
                if (p_.read_int_as(0, 255, &c_.turret[0]) && !p_.at_end())
                    p_.read_int_as(0, 255, &c_.turret[1]);
                return true;
            case KW_ZOOM:
                p_.read_int_as(0, 255, &c_.zoom);
                return true;
            case KW_IGNOREDUALBRUSHMOTOR:
                c_.dualBrushMotorPresent = false;
                return true;
            case KW_IGNORELAPS:
                c_.lapsPresent = false;
                return true;
            case KW_IGNOREWAND:
                c_.wandPresent = false;
                return true;
            case KW_IGNOREFOCUSNDW:
                c_.focusNdwPresent = false;
                return true;
            case KW_IGNOREZOOM:
                c_.zoomPresent = false;
                return true;
            case KW_IGNOREPZT:
                c_.pztPresent = false;
                return true;
            case KW_RINGSPOT:
                c_.ringSpot = true;
                return true;
            case KW_TOUCHSCREEN:
                c_.touchScreen = true;
                return true;
            case KW_DIFFDISKRATE:
                p_.read_real(10, 80, &c_.diffDiskRate);
                return true;
            case KW_DIFFDISKFRACTION:
                p_.read_real(0, 2, &c_.diffDiskFraction, true, false);
                return true;
            case KW_XAXISBACKLASH:
                p_.read_real(0, 1000, &c_.xAxisBacklash);
                return true;
            case KW_YAXISBACKLASH:
                p_.read_real(0, 1000, &c_.yAxisBacklash);
                return true;
            case KW_ZAXISBACKLASH:
                p_.read_real(0, 100, &c_.zAxisBacklash);
                return true;
            case KW_ZAXISCAL:
                p_.read_real(0.85, 1.15, &c_.zAxisCal);
                return true;
            case KW_ZENCODER:
                p_.read_int_as(0, 1, &c_.zEncoder);
                return true;
            case KW_ZCANCLOSEDLOOP:
                p_.read_int_as(0, 1, &c_.zCanClosedLoop);
                return true;
            case KW_SDCCAL:
                if (!p_.read_int_as(0, 15, &c_.sdcCalIndex)) return true;
                for (int i = 0; i < 8; ++i) {
                    double lo = i < 6 ? -FLT_MAX : 0;
                    if (!p_.read_real(lo, FLT_MAX, &c_.sdcCal[i])) break;
                }
                return true;
            case KW_RADCRVFOCCAL:
                p_.read_real(-100, 100, &c_.radCrvFocCal);
                return true;
            case KW_RADCRVPWRCAL:
                p_.read_real(-100, 100, &c_.radCrvPwrCal);
                return true;
            case KW_INVERTDATA:
                if (p_.read_int_as(0, 255, &c_.invertData)) c_.invertDataSet = true;
                return true;
            case KW_MOTIONCTRL:
                p_.read_word(&c_.motionCtrl) && p_.read_word(&c_.motionPort);
                return true;
            case KW_POSINSTR:
                c_.posInstrArg.clear();
                if (p_.read_coded(kPosInstrs, &c_.posInstrType) && p_.read_word(&c_.posInstrPort) &&
                    !p_.at_end())
                    p_.read_word(&c_.posInstrArg);
                return true;
            case KW_TEMPSENSOR: {
                SbKeyword sub;
                if (!p_.read_keyword(&sub)) return true;
                if (sub != KW_EURO2216E) {
                    p_.fail(ERR_SB_CALFILE_SYNTAX, "Unexpected token.");
                    return true;
                }
                c_.tempSensor = 1;
                p_.read_word(&c_.tempSensorPort);
                return true;
            }
            case KW_PENDENTMENU:
                p_.read_word(&c_.pendentMenu);
                return true;
            case KW_WMCOMM:
                p_.read_word(&c_.wmComm);
                return true;
            case KW_WMSYSGAIN:
                if (p_.read_real(0, 2147483647.0, &c_.wmSysGain)) c_.wmSysGainSet = true;
                return true;
            case KW_WMMONOPD:
                if (p_.read_real(0, 2147483647.0, &c_.wmMonOpd)) c_.wmMonOpdSet = true;
                return true;
            case KW_WMTUNERANGE:
                return scaled_pair(c_.wmTuneRange);
            case KW_WMTUNERATE:
                return scaled_pair(c_.wmTuneRate);
            case KW_WMMAXBUCKETS:
                for (int64_t& buckets : c_.wmMaxBuckets) {
                    int64_t n;
                    if (!p_.read_int(0, INT32_MAX, &n)) break;
                    buckets = n * 1048576;
                }
                return true;
            case KW_ABSWAVEMETER:
                p_.read_int_as(0, 1, &c_.absWaveMeter) && p_.read_word(&c_.absWaveMeterPort);
                return true;
            case KW_DYNWAVEGEN:
                return dyn_wave_gen();
            case KW_QELENCZOOMCONFIG:
                p_.read_int_as(0, 255, &c_.encodedZoom.flags);
                return true;
            case KW_QELENCZOOMBACKLASH:
                p_.read_int_as(-1000, 1000, &c_.encodedZoom.backlash);
                return true;
            case KW_QELENCZOOMPROGLIM:
                p_.read_int_as(0, 60000, &c_.encodedZoom.softLimitMin) &&
                    p_.read_int_as(0, 60000, &c_.encodedZoom.softLimitMax);
                return true;
            case KW_QELENCZOOMWANDLIM:
                p_.read_int_as(0, 60000, &c_.encodedZoom.wandLimitMin) &&
                    p_.read_int_as(0, 60000, &c_.encodedZoom.wandLimitMax);
                return true;
            case KW_QELENCZOOMSTDMAGS:
                return std_mags();
            case KW_QELENCZOOMCALFILE:
                p_.read_word(&c_.encodedZoom.calFileName);
                return true;
            case KW_ENCODEDRADIUSSCALE:
                return radius_scale(c_.encodedRadiusScale, true);
            case KW_INTFRADIUSSCALE:
                return radius_scale(c_.intfRadiusScale, false);
            case KW_SLEEPTIMEOUT: {
                int32_t seconds;
                if (p_.read_period(3, 20864, false, &seconds))
                    c_.sleepTimeout = static_cast<uint16_t>(seconds);
                return true;
            }
            case KW_REMOTE:
                p_.read_word(&c_.remote);
                return true;
            default:
                p_.fail(ERR_SB_CALFILE_SYNTAX, "Unexpected token.");
                return true;
        }
    }

    bool system_type(int32_t type) {
        c_.systemType = type;
        c_.serialR = false;
        int32_t year, week;
        if (!p_.read_int_as(0, 99, &year) || !p_.read_int_as(1, 52, &week)) return true;
        c_.systemDate = year * 100 + week;
        if (!p_.read_int_as(100, 999999, &c_.serialNumber) || p_.at_end()) return true;
        std::string word;
        if (!p_.read_word(&word)) return true;
        if (word == "R" || word == "r")
            c_.serialR = true;
        else
            p_.fail(ERR_SB_CALFILE_SYNTAX, "Unrecognized string.");
        return true;
    }

    bool version() {
        if (p_.read_coded(kFrameGrabbers, &c_.frameGrabberType) &&
            p_.read_int_as(0, 99999, &c_.frameGrabberVersion) &&
            p_.read_coded(kBoards, &c_.instrBdType))
            c_.versionSet = true;
        return true;
    }

    bool mac_address() {
        for (int i = 0; i < 6; ++i) {
            std::string token;
            if (!p_.read_raw(&token)) return true;
            char* end = nullptr;
            errno = 0;
            unsigned long byte = std::strtoul(token.c_str(), &end, 16);
            bool hex = !token.empty();
            for (char ch : token) hex = hex && std::isxdigit(static_cast<unsigned char>(ch));
            if (!hex) {
                p_.fail(ERR_SB_CALFILE_SYNTAX, "Syntax error.");
                return true;
            }
            if (byte > 255 || errno == ERANGE) {
                p_.fail(ERR_SB_CALFILE_VALUE_RANGE, "%lu out of range [%d,%d]", byte, 0, 255);
                return true;
            }
            c_.macAddress[i] = static_cast<uint8_t>(byte);
        }
        c_.macAddressSet = true;
        return true;
    }

    bool camera() {
        SbKeyword sub;
        if (!p_.read_keyword(&sub)) return true;
        switch (sub) {
            case KW_TYPE:
                return camera_type();
            case KW_FILE: {
                for (std::string& name : c_.cameraFiles) name.clear();
                c_.numCameraFiles = 0;
                do {
                    if (c_.numCameraFiles == SB_MAX_CAMERA_FILES) {
                        p_.fail(ERR_SB_CALFILE_SYNTAX, "Too many camera file names.");
                        return true;
                    }
                    std::string name;
                    if (!p_.read_word(&name)) return true;
                    if (c_.numCameraFiles == 1 && name == "NULL") name.clear();
                    c_.cameraFiles[c_.numCameraFiles++] = std::move(name);
                } while (!p_.at_end());
                return true;
            }
            case KW_CONFIG:
            case KW_CONFIGURATION:
                return camera_config();
            case KW_DARK:
                p_.read_int_as(0, 32767, &c_.cameraDark);
                return true;
            case KW_ALIGN:
                p_.read_coded(kAligns, &c_.cameraAlign);
                return true;
            case KW_BAD:
            case KW_BPIXELS:
                do {
                    if (c_.numBadPixels == SB_MAX_BAD_PIXELS) {
                        p_.fail(ERR_SB_CALFILE_SYNTAX, "Too many camera bad pixels.");
                        return true;
                    }
                    int32_t x, y;
                    if (!p_.expect('[') || !p_.read_int_as(0, 700, &x) || !p_.expect(',') ||
                        !p_.read_int_as(0, 484, &y) || !p_.expect(']'))
                        return true;
                    c_.badPixels[c_.numBadPixels++] = {x, y};
                } while (!p_.at_end());
                return true;
            case KW_BPIX:
                c_.cameraBpixFile.clear();
                if (p_.read_int_as(0, 1, &c_.cameraBpix) && !p_.at_end())
                    p_.read_word(&c_.cameraBpixFile);
                return true;
            case KW_OPTIONS:
                p_.read_int_as(0, 268435455, &c_.cameraOptions);
                return true;
            case KW_PLL:
                p_.read_int_as(0, 1, &c_.cameraPll);
                return true;
            case KW_PERIOD:
                p_.skip_rest();
                return false;
            case KW_SPLITX:
                return camera_split('X');
            case KW_SPLITY:
                return camera_split('Y');
            case KW_TRANS: {
                if (!mags_given("a Camera Trans")) return false;
                int32_t index;
                if (!p_.read_int_as(0, SB_MAX_MAGS - 1, &index)) return true;
                p_.read_int_as(-2047, 2047, &c_.cameraTrans[index][0]) &&
                    p_.read_int_as(-2047, 2047, &c_.cameraTrans[index][1]);
                return true;
            }
            default:
                p_.fail(ERR_SB_CALFILE_SYNTAX, "Unexpected token.");
                return true;
        }
    }

    bool camera_type() {
        if (!p_.read_coded(kCameras, &c_.cameraType)) return true;
        if (c_.cameraType != SB_CAMERA_CUSTOM) return true;
        switch (c_.instrBdType) {
            case SB_BOARD_SERIAL1:
            case SB_BOARD_FTP: {
                static const int32_t kCustom[8] = {0, 1, 0, 1, 1, 1, 0, 1};
                std::memcpy(c_.cameraConfig, kCustom, sizeof kCustom);
                c_.interlaceFlag = 0;
                if (!p_.at_end() && p_.read_int_as(0, 1, &c_.interlaceFlag))
                    u_msg_sink("Setting interlaceFlag to %d\n", c_.interlaceFlag);
                return true;
            }
            case SB_BOARD_SERIAL2:
            case SB_BOARD_CUSTOMER:
                c_.cameraConfig[0] = 1;
                c_.cameraConfig[1] = 5;
                c_.fieldCtrl = 0;
                if (!p_.at_end() && p_.read_int_as(0, 1, &c_.fieldCtrl))
                    u_msg_sink("Setting fieldCtrl to %d\n", c_.fieldCtrl);
                return true;
            case SB_BOARD_CAN:
            case SB_BOARD_NOT_NEEDED:
                c_.fieldCtrl = 0;
                if (!p_.at_end()) p_.read_int_as(0, 1, &c_.interlaceFlag);
                return true;
            default:
                p_.fail(ERR_SB_CALFILE_SYNTAX, "Unexpected token.");
                return true;
        }
    }

    bool camera_config() {
        switch (c_.instrBdType) {
            case SB_BOARD_SERIAL2:
            case SB_BOARD_CUSTOMER:
                p_.read_int_as(0, 1, &c_.cameraConfig[0]) &&
                    p_.read_int_as(0, 15, &c_.cameraConfig[1]);
                return true;
            case SB_BOARD_SERIAL1:
            case SB_BOARD_FTP:
                for (int i = 0; i < 8; ++i) {
                    if (!p_.read_int_as(0, i == 2 ? 3 : 1, &c_.cameraConfig[i])) break;
                }
                return true;
            default:
                p_.fail(ERR_SB_CALFILE_SYNTAX, "Unexpected token.");
                return true;
        }
    }

    bool camera_split(char axis) {
        c_.cameraSplitAxis = axis;
        p_.read_int_as(1, 2047, &c_.cameraSplitPos) && p_.read_int_as(0, 10, &c_.cameraSplitValue);
        return true;
    }

    // The mag factors come first: the entries of these lines are indexed by them.
    bool mags_given(const char* what) {
        if (c_.numNomMags > 0 || c_.numSysMags > 0) return true;
        msgs().report("A NomMag or SysMag specification must appear\nbefore %s specification.",
                      what);
        p_.skip_rest();
        return false;
    }

    bool light() {
        if (!p_.read_coded(kLights, &c_.lightType)) return true;
        c_.lightSet = true;
        double* w = c_.wavelengths;
        for (int i = 0; i < SB_MAX_WAVELENGTHS; ++i) c_.wavelengthFractions[i] = 0;
        if (c_.systemType == 21) {
            w[0] = 0.655e-6;
            w[1] = w[2] = w[3] = 0;
        } else if (c_.instrBdType == SB_BOARD_REGMAP || c_.instrBdType == SB_BOARD_FTP) {
            w[0] = c_.instrBdType == SB_BOARD_REGMAP ? 12.75e-6 : 9e-6;
            w[1] = w[2] = w[3] = 0;
        } else if (c_.instrBdType != SB_BOARD_CAN) {
            for (int i = 0; i < SB_MAX_WAVELENGTHS; ++i) w[i] = SB_HENE_WAVELENGTH;
        }
        int n = 0;
        for (; n < SB_MAX_WAVELENGTHS; ++n) {
            TokenClass cls = p_.peek();
            if (cls == TOK_END) break;
            double um, fraction = 0;
            if (cls == TOK_LBRACKET) {
                if (!p_.expect('[') || !p_.read_real(0.1, 15, &um) || !p_.expect(',') ||
                    !p_.read_real(0, 1, &fraction) || !p_.expect(']'))
                    return true;
            } else if (!p_.read_real(0.1, 15, &um)) {
                return true;
            }
            w[n] = um * 1e-6;
            c_.wavelengthFractions[n] = fraction;
        }
        if (n == 0 && c_.lightType != SB_LIGHT_HENE)
            p_.fail(ERR_SB_CALFILE_SYNTAX, "At least one wavelength value required.");
        return true;
    }

    bool llc() {
        SbKeyword sub;
        if (!p_.read_keyword(&sub)) return true;
        switch (sub) {
            case KW_INSTR:
                c_.llcPort.clear();
                if (p_.read_coded(kLlcInstrs, &c_.llcInstr) && c_.llcInstr != 3)
                    p_.read_word(&c_.llcPort);
                return true;
            case KW_RANGE: {
                c_.llcRange2Set = false;
                if (!p_.read_int_as(0, 65535, &c_.llcRange[0]) ||
                    !p_.read_int_as(0, 65535, &c_.llcRange[1]))
                    return true;
                c_.llcRangeSet = true;
                if (p_.at_end()) return true;
                // The CAN board's second range spans the full 16 bits, as the
                // defaults filled in for it do.
                int32_t hi = c_.instrBdType == SB_BOARD_CAN ? 65535 : 4096;
                if (p_.read_int_as(0, hi, &c_.llcRange2[0]) &&
                    p_.read_int_as(0, hi, &c_.llcRange2[1]))
                    c_.llcRange2Set = true;
                return true;
            }
            case KW_CONFIG:
            case KW_CONFIGURATION:
                c_.numLlcConfig = 0;
                c_.llcConfig[1] = 0;
                if (p_.read_int_as(0, 255, &c_.llcConfig[0])) c_.numLlcConfig = 1;
                if (p_.status == 0 && !p_.at_end() && p_.read_int_as(0, 255, &c_.llcConfig[1]))
                    c_.numLlcConfig = 2;
                return true;
            case KW_FREQ:
                p_.read_int_as(0, 1000000, &c_.llcFreq);
                return true;
            case KW_TARGET:
                if (p_.read_int_as(64, 255, &c_.llcTarget)) c_.llcTargetSet = true;
                return true;
            case KW_OPTIONS:
                p_.read_int_as(0, 268435455, &c_.llcOptions);
                return true;
            case KW_AVGCURLIMIT:
                return int_pairs(c_.llcAvgCurLimit, &c_.numLlcAvgCurLimit, 1000);
            case KW_FWDVOLTAGE:
                return int_pairs(c_.llcFwdVoltage, &c_.numLlcFwdVoltage, 10000);
            case KW_ALIGNMODEPCT:
                p_.read_real(0, 100, &c_.llcAlignModePct);
                return true;
            default:
                p_.fail(ERR_SB_CALFILE_SYNTAX, "Unexpected token.");
                return true;
        }
    }

    // Two values, optionally two more.
    bool int_pairs(int32_t* values, int32_t* count, int32_t hi) {
        *count = 0;
        for (int i = 0; i < 4; ++i) values[i] = 0;
        for (int pair = 0; pair < 2; ++pair) {
            if (pair == 1 && p_.at_end()) break;
            if (!p_.read_int_as(0, hi, &values[2 * pair]) ||
                !p_.read_int_as(0, hi, &values[2 * pair + 1]))
                return true;
            *count += 2;
        }
        return true;
    }

    bool pifoc(int32_t max_id, bool with_model) {
        c_.pifocAlpha = SB_PIFOC_ALPHA_DEFAULT;
        c_.pifocBeta = SB_PIFOC_BETA_DEFAULT;
        if (!p_.read_int_as(0, max_id, &c_.pifocId)) return true;
        c_.pifocSet = true;
        if (!with_model || p_.at_end()) return true;
        if (!p_.read_real(0.5, 2, &c_.pifocAlpha) || p_.at_end()) return true;
        double beta;
        if (!p_.read_real(0, 0.1, &beta)) return true;
        if (beta != 0 && beta < 0.005) {
            p_.fail(ERR_SB_CALFILE_VALUE_RANGE, "Beta = %g is non-zero and is not in range [%g,%g]",
                    beta, 0.005, 0.1);
            return true;
        }
        c_.pifocBeta = beta;
        return true;
    }

    bool mags(double* list, int32_t* count, int32_t other_count) {
        *count = 0;
        for (int i = 0; i < SB_MAX_MAGS; ++i) list[i] = 0;
        do {
            if (*count == SB_MAX_MAGS) {
                p_.fail(ERR_SB_CALFILE_SYNTAX, "Too many NomMag or SysMag values.");
                return true;
            }
            if (!p_.read_real(0, 100, &list[*count])) return true;
            ++*count;
        } while (!p_.at_end());
        if (other_count > 0 && other_count != *count)
            p_.fail(ERR_SB_CALFILE_INCONSISTENT,
                    "The number of NomMag values and\nthe number of SysMag values are mismatched.");
        return true;
    }

    bool ftp_series(double (*rows)[SB_MAX_DISPERSION], int32_t* counts, double lo, double hi) {
        if (!mags_given("an FTPDisper or FTPAvg_K0")) return false;
        int32_t index;
        if (!p_.read_int_as(0, SB_MAX_MAGS - 1, &index)) return true;
        double* row = rows[index];
        int32_t& n = counts[index];
        n = 0;
        for (int i = 0; i < SB_MAX_DISPERSION; ++i) row[i] = 0;
        do {
            if (n == SB_MAX_DISPERSION) {
                p_.fail(ERR_SB_CALFILE_SYNTAX, "Too many FTPDisper or FTPAvg_K0 values.");
                return true;
            }
            if (!p_.read_real(lo, hi, &row[n])) return true;
            ++n;
        } while (!p_.at_end());
        if (n < 2) p_.fail(ERR_SB_CALFILE_SYNTAX, "Not enough FTPDisper or FTPAvg_K0 values.");
        return true;
    }

    bool ftp_center(double (*entries)[2], const char* what) {
        if (!mags_given(what)) return false;
        int32_t index;
        if (!p_.read_int_as(0, SB_MAX_MAGS - 1, &index)) return true;
        p_.read_real(-100, 100, &entries[index][0]) && p_.read_real(-100, 100, &entries[index][1]);
        return true;
    }

    bool pid_values(int axis) {
        bool fast = true, slow = true;
        if (p_.peek() == TOK_WORD) {
            SbKeyword speed;
            if (!p_.read_keyword(&speed)) return true;
            if (speed != KW_FAST && speed != KW_SLOW) {
                p_.fail(ERR_SB_CALFILE_SYNTAX, "Unexpected token.");
                return true;
            }
            fast = speed == KW_FAST;
            slow = !fast;
        }
        static const int32_t kLo[6] = {-8388608, -8388608, 0, 0, 0, 0};
        static const int32_t kHi[6] = {8388607, 8388607, 8388607, 8388607, 1, 8388607};
        SbPidValues values;
        for (int i = 0; i < 6; ++i) {
            if (!p_.read_int_as(kLo[i], kHi[i], &values.ints[i])) return true;
        }
        for (double& r : values.reals) {
            if (!p_.read_real(-2, 2, &r)) return true;
        }
        if (fast) c_.pidVals[axis][0] = values;
        if (slow) c_.pidVals[axis][1] = values;
        return true;
    }

    bool scaled_pair(double* pair) {
        for (int i = 0; i < 2; ++i) {
            double v;
            if (!p_.read_real(0, 2147483647.0, &v)) break;
            pair[i] = v * 1e9;
        }
        return true;
    }

    // A decimal word: a whole token that is an integer.
    bool decimal_word(int32_t* value) {
        std::string token;
        if (!p_.read_raw(&token)) return false;
        char* end = nullptr;
        errno = 0;
        long long v = std::strtoll(token.c_str(), &end, 10);
        if (token.empty() || *end != '\0' || !sb_starts_number(token)) {
            p_.fail(ERR_SB_CALFILE_SYNTAX, "Expected number.");
            return false;
        }
        if (v < INT32_MIN || v > INT32_MAX) {
            p_.fail(ERR_SB_CALFILE_VALUE_RANGE, "%lld out of range [%d,%d]", v, INT32_MIN,
                    INT32_MAX);
            return false;
        }
        *value = static_cast<int32_t>(v);
        return true;
    }

    bool dyn_wave_gen() {
        int32_t last;
        if (!decimal_word(&c_.dynWaveGen[0]) || !p_.read_int_as(0, 30, &c_.dynWaveGen[1]) ||
            !decimal_word(&last))
            return true;
        if (last != 0 && (last < 96 || last > 126)) {
            p_.fail(ERR_SB_CALFILE_VALUE_RANGE, "%d out of range [%d,%d] and 0", last, 96, 126);
            return true;
        }
        c_.dynWaveGen[2] = last;
        return true;
    }

    bool std_mags() {
        EncodedZoomConfig& z = c_.encodedZoom;
        z.numStdMags = 0;
        for (double& m : z.stdMags) m = 0;
        do {
            if (z.numStdMags == SB_MAX_STD_ZOOM_MAGS) {
                p_.fail(ERR_SB_CALFILE_SYNTAX, "Too many QelEncZoomStdMag values.");
                return true;
            }
            if (!p_.read_real(0, 100, &z.stdMags[z.numStdMags])) return true;
            ++z.numStdMags;
        } while (!p_.at_end());
        return true;
    }

    bool radius_scale(double* v, bool last_optional) {
        int32_t flag, count;
        v[4] = 0;
        if (!p_.read_int_as(0, 1, &flag)) return true;
        v[0] = flag;
        if (!p_.read_real(0, 1, &v[1]) || !p_.read_real(0, 1, &v[2]) ||
            !p_.read_int_as(0, 20, &count))
            return true;
        v[3] = count;
        if (last_optional && p_.at_end()) return true;
        p_.read_real(0, 1, &v[4]);
        return true;
    }

    SbMessages& msgs();

    SbCalibration& c_;
    LineParser& p_;

  public:
    SbMessages* messages = nullptr;
};

SbMessages& LineReader::msgs() {
    return *messages;
}

// Reads lines from a stream or from memory. Lines longer than SB_MAX_LINE are
// cut and flagged; a CR before the LF is dropped.
class LineSource {
  public:
    explicit LineSource(FILE* stream) : stream_(stream) {}
    LineSource(const char* data, std::size_t size) : data_(data), size_(size) {}

    // False at the end of the input. `terminated` is false for a last line
    // without a line end.
    bool next(std::string* line, bool* terminated, bool* too_long) {
        line->clear();
        *too_long = false;
        int c;
        bool any = false;
        while ((c = get()) != EOF) {
            any = true;
            if (c == '\n') break;
            if (line->size() < SB_MAX_LINE)
                line->push_back(static_cast<char>(c));
            else
                *too_long = true;
        }
        if (!any) return false;
        *terminated = c == '\n';
        if (!line->empty() && line->back() == '\r' && *terminated) line->pop_back();
        return true;
    }

  private:
    int get() {
        if (stream_) return std::getc(stream_);
        if (pos_ >= size_) return EOF;
        return static_cast<unsigned char>(data_[pos_++]);
    }

    FILE* stream_ = nullptr;
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t pos_ = 0;
};

enum class LineOutcome { OK, FAILED, UNRECOGNIZED };

LineOutcome parse_line(SystemInfo* info, const std::string& line, bool at_eof, bool too_long,
                       SbMessages* msgs, int* status) {
    LineParser parser(line, at_eof, msgs);
    *status = 0;
    if (parser.peek() == TOK_END && !too_long) return LineOutcome::OK;
    LineReader reader(info, &parser);
    reader.messages = msgs;
    if (too_long) {
        parser.fail(ERR_SB_CALFILE_SYNTAX, "Syntax error.");
    } else if (!reader.run()) {
        *status = parser.status;
        return LineOutcome::UNRECOGNIZED;
    }
    *status = parser.status;
    return parser.status ? LineOutcome::FAILED : LineOutcome::OK;
}

bool board_in(int32_t board, std::initializer_list<int32_t> kinds) {
    for (int32_t k : kinds)
        if (board == k) return true;
    return false;
}

// The checks that follow a complete read; 0 or the status of the first failure.
int check_complete(SbCalibration& c, SbMessages* msgs) {
    auto type_in = [&](std::initializer_list<int32_t> types) {
        return board_in(c.systemType, types);
    };
    const int32_t board = c.instrBdType;
    bool comm = !c.instrComm.empty() || c.macAddressSet;
    if (c.systemType == 0) {
        msgs->report("Missing system type info.");
        return ERR_SB_CALFILE_INCOMPLETE;
    }
    if (!c.versionSet) {
        msgs->report("Missing frame grabber and instrument board Version info.");
        return ERR_SB_CALFILE_INCOMPLETE;
    }
    if (!board_in(board, {0, 5, 9}) && !comm) {
        msgs->report("Missing InstrComm info.");
        return ERR_SB_CALFILE_INCOMPLETE;
    }
    if (type_in({14, 16, 17}) && !c.invertDataSet) {
        msgs->report("Missing InvertData info.");
        return ERR_SB_CALFILE_INCOMPLETE;
    }
    if (board == SB_BOARD_CAN && !comm) {
        msgs->report("Missing MAC Address for CAN bus.");
        return ERR_SB_CALFILE_INCOMPLETE;
    }
    if (c.systemType == 16 && c.motionCtrl.empty()) u_msg_sink("Missing MotionCtrl info.\n");
    if (type_in({19, 30})) {
        bool missing = false;
        if (c.wmComm.empty()) {
            u_msg_sink("Calibration file missing wave monitor comm info\n");
            missing = true;
        }
        if (!c.wmMonOpdSet) {
            u_msg_sink("Calibration file missing wave monitor OPD info\n");
            missing = true;
        }
        if (missing) return ERR_SB_CALFILE_INCOMPLETE;
    }
    if (type_in({27, 32, 33}) && !c.wmSysGainSet)
        u_msg_sink("Calibration file missing system gain.\n");
    if (c.numBadPixels > 0 && !c.cameraBpixFile.empty()) {
        msgs->report(
            "Bad Camera pixels specified twice using: camera bad or bpixels and camera bpix");
        return ERR_SB_CALFILE_INVALID;
    }
    if (!c.llcTargetSet && board != SB_BOARD_SERIAL2 && !type_in({23, 25, 26, 30, 33})) {
        msgs->report("Missing LLCTarget info.");
        return ERR_SB_CALFILE_INCOMPLETE;
    }
    if (c.frameGrabberType != 0 && c.cameraType == 0) {
        msgs->report("Missing Camera Type info.");
        return ERR_SB_CALFILE_INCOMPLETE;
    }
    if (board_in(board, {1, 5}) && !c.lightSet) {
        msgs->report("Missing Light info.");
        return ERR_SB_CALFILE_INCOMPLETE;
    }
    if (type_in({5, 7, 11, 13, 16, 20, 22, 28, 31, 34}) && !c.pifocSet) {
        msgs->report("Missing PIFOC info.");
        return ERR_SB_CALFILE_INCOMPLETE;
    }
    return 0;
}

// Light-level-control ranges the file left out, by board kind; then the
// motorized zoom and turret the instrument cannot have.
void fill_in(SbCalibration& c, SbMessages* msgs) {
    auto set_first = [&](int32_t lo, int32_t hi, bool even_when_given) {
        if (c.llcRangeSet && !even_when_given) return;
        c.llcRange[0] = lo;
        c.llcRange[1] = hi;
        c.llcRangeSet = true;
    };
    auto set_second = [&](int32_t lo, int32_t hi) {
        if (c.llcRange2Set) return;
        c.llcRange2[0] = lo;
        c.llcRange2[1] = hi;
        c.llcRange2Set = true;
    };
    auto type21 = [&] { set_first(2, c.cameraType == 18 ? 800 : 532, true); };
    switch (c.instrBdType) {
        case SB_BOARD_SERIAL2:
        case SB_BOARD_CUSTOMER:
            set_first(10, 159, false);
            break;
        case SB_BOARD_REGMAP:
            if (c.systemType == 21)
                type21();
            else
                set_first(0, 4095, false);
            break;
        case SB_BOARD_NOT_NEEDED:
            if (c.systemType == 21)
                type21();
            else
                set_first(10, 159, true);
            break;
        case SB_BOARD_FTP:
            set_first(0, 3685, false);
            break;
        case SB_BOARD_SERIAL1:
            set_first(0, 4095, false);
            set_second(0, 100);
            break;
        case SB_BOARD_CAN:
            set_first(0, 65535, false);
            set_second(0, 65535);
            break;
        default:
            break;
    }

    if (c.zoom == 2 && c.instrBdType != SB_BOARD_CAN) {
        msgs->report("This instrument cannot have a motorized zoom.");
        c.zoom = 0;
    }
    if (c.instrBdType == SB_BOARD_CAN && (c.systemType == 22 || c.systemType == 31) &&
        !c.dualBrushMotorPresent) {
        if (c.turret[0] == 1) {
            msgs->report(
                "This instrument cannot have a motorized turret, no dual brush motor board.");
            c.turret[0] = 0;
        }
        if (c.zoom == 2) {
            msgs->report(
                "This instrument cannot have a motorized zoom, no dual brush motor board.");
            c.zoom = 0;
        }
    }
}

int read_lines(SystemInfo* info, LineSource* source, SbMessages* msgs) {
    std::string line;
    bool terminated = true, too_long = false;
    int line_no = 0;
    while (source->next(&line, &terminated, &too_long)) {
        ++line_no;
        int status;
        LineOutcome outcome = parse_line(info, line, !terminated, too_long, msgs, &status);
        if (outcome == LineOutcome::UNRECOGNIZED) return status;
        if (outcome == LineOutcome::OK) continue;
        if (status == ERR_EOF) return status;
        msgs->report("Error in line %d.", line_no);
        if (msgs->count >= kMessageLimit || !terminated) return status;
    }
    if (msgs->count > 0) return ERR_SB_CALFILE_INVALID;
    int status = check_complete(*info, msgs);
    if (status == 0) fill_in(*info, msgs);
    return status;
}

SbMessages read_messages(const char* place_format, const char* name) {
    SbMessages msgs;
    msgs.heading = "Error(s) reading system calibration ";
    if (name) {
        int n = std::snprintf(nullptr, 0, place_format, name);
        msgs.place.resize(n);
        std::snprintf(msgs.place.data(), n + 1, place_format, name);
    } else {
        msgs.place = "info:\n";
    }
    return msgs;
}

bool equals_ignoring_case(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) !=
            std::tolower(static_cast<unsigned char>(*b)))
            return false;
    }
    return *a == *b;
}

int read_plus_line(SystemInfo* info, const char* source) {
    if (equals_ignoring_case(source, "+DEFAULTS")) {
        sb_reset_calibration(info);
        return 0;
    }
    SbMessages msgs = read_messages("info\n\"%s\":\n", source);
    std::string line(source + 1);
    int status;
    // The text stands for a whole line, so its end is the line's end.
    LineOutcome outcome = parse_line(info, line, false, false, &msgs, &status);
    if (outcome == LineOutcome::FAILED) msgs.report("Error in line %d.", 1);
    // A line that reported without failing (a misplaced line) was not applied.
    if (status == 0 && msgs.count > 0) return ERR_SB_CALFILE_INVALID;
    return status;
}

}  // namespace

int sb_read_cal_text(int slot, const char* data, std::size_t size, const char* name) {
    SystemInfo* info = sb_system_info(slot);
    if (!info) return ERR_PARAM_OUT_OF_RANGE;
    SbMessages msgs = read_messages("file \"%s\":\n", name);
    sb_reset_calibration(info);
    info->calFilePath = name ? name : "";
    LineSource source(data, size);
    return read_lines(info, &source, &msgs);
}

int sb_readCal(int slot, const char* source) {
    SystemInfo* info = sb_system_info(slot);
    if (!info) return ERR_PARAM_OUT_OF_RANGE;
    if (source && source[0] == '+') return read_plus_line(info, source);

    std::string path;
    if (source && source[0]) {
        path = source;
    } else {
        const char* found = nullptr;
        int status = u_find_file(u_syscal_file_name(slot), &found);
        if (status != 0 || !found) {
            if (status == 0) status = ERR_CANT_READ_FILE;
            SbMessages msgs = read_messages("", nullptr);
            msgs.report("Cannot access file.");
            return status;
        }
        path = found;
    }
    SbMessages msgs = read_messages("file \"%s\":\n", path.c_str());
    u_msg_sink("Reading system calibration file: \"%s\"\n", path.c_str());

    PlatFileStatus st;
    if (plat_stat(path.c_str(), &st) && (st.mode & PLAT_S_IFMT) == 0x2000) {
        u_msg_sink("sb_readCal attempt from terminal device\n");
        return ERR_CANT_READ_FILE;
    }
    FILE* stream = plat_fopen_regular(path.c_str(), "rb");
    if (!stream) {
        msgs.report("Cannot open file for reading.");
        return ERR_CANT_READ_FILE;
    }
    sb_reset_calibration(info);
    info->calFilePath = path;
    LineSource lines(stream);
    int status = read_lines(info, &lines, &msgs);
    std::fclose(stream);
    return status;
}
