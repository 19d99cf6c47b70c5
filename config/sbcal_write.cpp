// Writing the system calibration file.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/dirs.h"
#include "common/status.h"
#include "common/strformat.h"
#include "config/sbcal.h"
#include "config/sbcal_internal.h"
#include "platform/fs.h"
#include "platform/replace_file.h"

namespace {

constexpr int kLabelWidth = 22;

const char* const kAlignNames[3] = {"Default", "Center", "TopLeft"};
const char* const kPosInstrNames[13] = {"None",   "Axiom",     "KMR",        "Heid",
                                        "LCDMI",  "MicroLYNX", "ZEncoder",   "USDED2",
                                        "KMR501", "METRONICS", "TSNXKMR501", "Renishaw_StepNet",
                                        "StepNet"};
const char* const kLlcInstrNames[4] = {"None", "DD100MC", "DD100MC_B", "MESA"};

const char* name_of(const char* const* names, int count, int32_t code) {
    return code >= 0 && code < count ? names[code] : names[0];
}

bool valid_system_type(int32_t t) {
    return (t >= 4 && t <= 8) || (t >= 10 && t <= 35);
}
bool valid_camera_type(int32_t t) {
    return (t >= 1 && t <= 9) || (t >= 11 && t <= 32);
}

class Writer {
  public:
    Writer(const SbCalibration& cal, SbMessages* msgs, std::string* out)
        : c_(cal), msgs_(msgs), out_(*out) {}

    int status = 0;

    void run(bool heading);

  private:
    __attribute__((format(printf, 2, 3))) void put(const char* format, ...) {
        va_list args;
        va_start(args, format);
        u_append_vformat(&out_, format, args);
        va_end(args);
    }

    void label(const std::string& text) { put("%-*s", kLabelWidth, text.c_str()); }

    // A word as the reader reads it back: quoted when it would otherwise read
    // as something else (empty, blanks inside, a number, a comment, too long).
    std::string word(const std::string& w) const {
        bool quote = w.empty() || w.size() > SB_MAX_WORD || sb_starts_number(w) ||
                     w.find_first_of(" \t") != std::string::npos ||
                     std::string_view("#[]:,").find(w[0]) != std::string_view::npos;
        return quote ? "\"" + w + "\"" : w;
    }

    void error(int code, const char* text) {
        msgs_->report("%s", text);
        if (status == 0) status = code;
    }

    void period4(const char* name, int32_t s) {
        put("%-*s  %d:%02d:%02d:%02d", kLabelWidth, name, s / 86400, s % 86400 / 3600,
            s % 3600 / 60, s % 60);
    }

    // Six digits, or all of them where six would round past the range's end
    // and the file would not read back.
    void bounded(double v, double limit) {
        char text[32];
        std::snprintf(text, sizeof text, "%.6g", v);
        double back = std::strtod(text, nullptr);
        if (back > limit || back < -limit) std::snprintf(text, sizeof text, "%.17g", v);
        put("  %s", text);
    }

    void ftp_series(const char* name, const double (*rows)[SB_MAX_DISPERSION],
                    const int32_t* counts, double limit) {
        for (int i = 0; i < SB_MAX_MAGS; ++i) {
            if (counts[i] <= 0) continue;
            put("%-*s  %d", kLabelWidth, name, i);
            for (int j = 0; j < counts[i] && j < SB_MAX_DISPERSION; ++j) bounded(rows[i][j], limit);
            put("\n");
        }
    }

    void ftp_center(const char* name, const double (*entries)[2]) {
        for (int i = 0; i < SB_MAX_MAGS; ++i) {
            if (entries[i][0] == SB_FTP_CENTER_UNSET && entries[i][1] == SB_FTP_CENTER_UNSET)
                continue;
            put("%-*s  %d  %.3g  %.3g\n", kLabelWidth, name, i, entries[i][0], entries[i][1]);
        }
    }

    void pid_line(int axis, const char* speed, const SbPidValues& v) {
        char name[32];
        std::snprintf(name, sizeof name, "PidVals_%c%s",
                      std::toupper(static_cast<unsigned char>(sb_axis_letters[axis])), speed);
        put("%-*s", kLabelWidth, name);
        for (int32_t i : v.ints) put("  %d", i);
        for (double r : v.reals) put("  %g", r);
        put("\n");
    }

    void radius_scale(const char* name, const double* v) {
        if (v[0] == 0 && v[1] == 0 && v[2] == 0 && v[3] == 0 && v[4] == 0) return;
        put("%-*s  %d  %g  %g  %d  %g\n", kLabelWidth, name, static_cast<int>(v[0]), v[1], v[2],
            static_cast<int>(v[3]), v[4]);
    }

    bool light_is_default() const {
        SbCalibration defaults;
        for (int i = 0; i < SB_MAX_WAVELENGTHS; ++i) {
            if (c_.wavelengths[i] != defaults.wavelengths[i] ||
                c_.wavelengthFractions[i] != defaults.wavelengthFractions[i])
                return false;
        }
        return c_.lightType == defaults.lightType;
    }

    const SbCalibration& c_;
    SbMessages* msgs_;
    std::string& out_;
};

void Writer::run(bool heading) {
    const SbCalibration& c = c_;
    const int w = kLabelWidth;
    if (heading) put("# Pryn System Calibration File\n");

    if (!c.instrName.empty()) put("%-*s  \"%s\"\n", w, "InstrName", c.instrName.c_str());
    if (c.unit != 0) put("%-*s  %d\n", w, "Unit", c.unit);
    if (valid_system_type(c.systemType)) {
        put("%-*s  %02d  %02d  %d  %s\n", w, sb_system_type_name(c.systemType), c.systemDate / 100,
            c.systemDate % 100, c.serialNumber, c.serialR ? "R" : "");
    } else {
        error(ERR_SB_CAL_INFO_INCOMPLETE, "System type undefined.");
    }
    put("%-*s  %s  %d  %s\n", w, "Version", sb_frame_grabber_name(c.frameGrabberType),
        c.frameGrabberVersion, sb_board_type_name(c.instrBdType));
    if (c.macAddressSet) {
        const uint8_t* m = c.macAddress;
        put("%-*s  %2.2X  %2.2X  %2.2X  %2.2X  %2.2X  %2.2X\n", w, "MacAddress", m[0], m[1], m[2],
            m[3], m[4], m[5]);
    }
    if (!c.instrComm.empty()) put("%-*s  %s\n", w, "InstrComm", word(c.instrComm).c_str());
    if (c.instrBdType == SB_BOARD_CAN && !c.macAddressSet && c.instrComm.empty())
        error(ERR_INVALID_PARAM, "canInfo = NULL");

    if (valid_camera_type(c.cameraType)) {
        put("%-*s  %s", w, "Camera Type", sb_camera_type_name(c.cameraType));
        int32_t flag = 0;
        if (c.cameraType == SB_CAMERA_CUSTOM) {
            switch (c.instrBdType) {
                case SB_BOARD_SERIAL1:
                case SB_BOARD_FTP:
                case SB_BOARD_CAN:
                case SB_BOARD_NOT_NEEDED:
                    flag = c.interlaceFlag;
                    break;
                case SB_BOARD_SERIAL2:
                case SB_BOARD_CUSTOMER:
                    flag = c.fieldCtrl;
                    break;
                default:
                    break;
            }
        }
        if (flag != 0)
            put("  %d\n", flag);
        else
            put("\n");
    } else if (c.frameGrabberType != 0) {
        error(ERR_SB_CAL_INFO_INCOMPLETE, "Camera Type undefined.");
    }
    if (c.numCameraFiles > 0) {
        put("%-*s  %s", w, "Camera File", word(c.cameraFiles[0]).c_str());
        for (int i = 1; i < c.numCameraFiles && i < SB_MAX_CAMERA_FILES; ++i) {
            if (i == 1 && c.cameraFiles[1].empty())
                put(" NULL");
            else
                put("  %s", word(c.cameraFiles[i]).c_str());
        }
        put("\n");
    }
    if (c.cameraType == SB_CAMERA_CUSTOM) {
        const int32_t* v = c.cameraConfig;
        if (c.instrBdType == SB_BOARD_SERIAL2 || c.instrBdType == SB_BOARD_CUSTOMER) {
            put("%-*s  %d  %d\n", w, "Camera Config", v[0], v[1]);
        } else if (c.instrBdType == SB_BOARD_SERIAL1 || c.instrBdType == SB_BOARD_FTP) {
            put("%-*s  %d  %d  %d  %d  %d  %d  %d  %d\n", w, "Camera Config", v[0], v[1], v[2],
                v[3], v[4], v[5], v[6], v[7]);
        }
    }
    if (c.cameraDark != 0) put("%-*s  %d\n", w, "Camera Dark", c.cameraDark);
    if (c.cameraAlign != 0)
        put("%-*s  %s\n", w, "Camera Align", name_of(kAlignNames, 3, c.cameraAlign));
    for (int i = 0; i < c.numBadPixels && i < SB_MAX_BAD_PIXELS; i += 6) {
        label("Camera BPixels");
        for (int j = i; j < i + 6 && j < c.numBadPixels; ++j)
            put("  [%d,%d]", c.badPixels[j].x, c.badPixels[j].y);
        put("\n");
    }
    if (c.cameraBpix != 0 || !c.cameraBpixFile.empty()) {
        put("%-*s  %d", w, "Camera Bpix", c.cameraBpix);
        if (!c.cameraBpixFile.empty()) put("  %s", word(c.cameraBpixFile).c_str());
        put("\n");
    }
    if (c.cameraOptions != 0) put("%-*s  %d\n", w, "Camera Options", c.cameraOptions);
    if (c.cameraPll != 1) put("%-*s  %d\n", w, "Camera PLL", c.cameraPll);
    if (c.rampConfig != "rampcfg.txt")
        put("%-*s  %s\n", w, "Ramp Config", word(c.rampConfig).c_str());

    if (c.lightType >= 1 && c.lightType <= 5) {
        if (c.lightSet || !light_is_default()) {
            label(std::string("Light ") + sb_light_type_name(c.lightType));
            put(" ");
            for (int i = 0; i < SB_MAX_WAVELENGTHS; ++i) {
                if (i > 0 && c.wavelengths[i] == 0) break;
                double um = c.wavelengths[i] * 1e6;
                if (c.wavelengthFractions[i] != 0)
                    put(" [%.6f,%.6f]", um, c.wavelengthFractions[i]);
                else
                    put(" %.6f", um);
            }
            put("\n");
        }
    } else if (c.instrBdType != 0) {
        error(ERR_SB_CAL_INFO_INCOMPLETE, "Light Type undefined.");
    }

    if (c.llcInstr != 0)
        put("%-*s  %s  %s\n", w, "LLC Instr", name_of(kLlcInstrNames, 4, c.llcInstr),
            c.llcInstr == 3 ? "" : word(c.llcPort).c_str());
    if (c.llcRangeSet || c.llcRange2Set || c.llcRange[0] != 0 || c.llcRange[1] != 0) {
        put("%-*s  %d  %d", w, "LLC Range", c.llcRange[0], c.llcRange[1]);
        if (c.llcRange2Set) put("  %d  %d", c.llcRange2[0], c.llcRange2[1]);
        put("\n");
    }
    if (c.numLlcConfig == 2)
        put("%-*s  %d  %d\n", w, "LLC Config", c.llcConfig[0], c.llcConfig[1]);
    else if (c.llcConfig[0] != 1)
        put("%-*s  %d\n", w, "LLC Config", c.llcConfig[0]);
    if (c.llcFreq != 35000) put("%-*s  %d\n", w, "LLC Freq", c.llcFreq);
    if (c.llcTargetSet || c.llcTarget != 150) put("%-*s  %d\n", w, "LLC Target", c.llcTarget);
    if (c.llcOptions != 0) put("%-*s  %d\n", w, "LLC Options", c.llcOptions);
    auto pairs = [&](const char* name, const int32_t* v, int32_t n) {
        if (n < 2) return;
        put("%-*s  %d  %d", w, name, v[0], v[1]);
        if (n >= 4) put("  %d  %d", v[2], v[3]);
        put("\n");
    };
    pairs("LLC AvgCurLimit", c.llcAvgCurLimit, c.numLlcAvgCurLimit);
    pairs("LLC FwdVoltage", c.llcFwdVoltage, c.numLlcFwdVoltage);
    if (c.llcAlignModePct != 100) put("%-*s  %g\n", w, "LLC AlignModePct", c.llcAlignModePct);
    if (c.pztPwr != -1) put("%-*s  %d\n", w, "PztPwr", c.pztPwr);
    if (c.adcClock != 0) put("%-*s  %d\n", w, "ADC Clock", c.adcClock);
    if (c.pifocSet) {
        if (c.pifocAlpha == SB_PIFOC_ALPHA_DEFAULT && c.pifocBeta == SB_PIFOC_BETA_DEFAULT)
            put("%-*s  %d\n", w, "Pifoc", c.pifocId);
        else
            put("%-*s  %d  %.6f  %.6f\n", w, "Pifoc", c.pifocId, c.pifocAlpha, c.pifocBeta);
    }
    if (c.pifocPolarity != 0) put("%-*s  %d\n", w, "PifocPolarity", c.pifocPolarity);
    if (c.pifocType != 0) put("%-*s  %d\n", w, "PifocType", c.pifocType);
    auto mags = [&](const char* name, const double* v, int32_t n) {
        if (n <= 0) return;
        label(name);
        for (int i = 0; i < n && i < SB_MAX_MAGS; ++i) put("  %6.4f", v[i]);
        put("\n");
    };
    mags("SysMag", c.sysMags, c.numSysMags);
    mags("NomMag", c.nomMags, c.numNomMags);
    if (c.cameraSplitAxis == 'X' || c.cameraSplitAxis == 'Y') {
        char name[16];
        std::snprintf(name, sizeof name, "CameraSplit%c", static_cast<char>(c.cameraSplitAxis));
        put("%-*s  %d  %d\n", w, name, c.cameraSplitPos, c.cameraSplitValue);
    }
    for (int i = 0; i < SB_MAX_MAGS; ++i) {
        if (c.cameraTrans[i][0] != 0 || c.cameraTrans[i][1] != 0)
            put("%-*s  %d  %d  %d\n", w, "Camera Trans", i, c.cameraTrans[i][0],
                c.cameraTrans[i][1]);
    }

    if (!c.ftpMaterials.empty()) put("%-*s  %s\n", w, "FTPMaterials", word(c.ftpMaterials).c_str());
    if (c.ftpSys[0] != 0 || c.ftpSys[1] != 0 || c.ftpSys[2] != 0 || c.ftpSys[3] != 0)
        put("%-*s  %.8g  %.8g  %.8g  %.8g\n", w, "FTPSys", c.ftpSys[0], c.ftpSys[1], c.ftpSys[2],
            c.ftpSys[3]);
    if (c.ftpDmiScale != 0) put("%-*s  %.8g\n", w, "FTPDmiScale", c.ftpDmiScale);
    if (c.ftpImageRot != 0) put("%-*s  %.8g\n", w, "FTPImageRot", c.ftpImageRot);
    if (c.numFtpZeroPtPos > 0) {
        put("%-*s  %g", w, "FTPZeroPtPos", c.ftpZeroPtPos[0]);
        if (c.numFtpZeroPtPos > 1) put("  %.6g", c.ftpZeroPtPos[1]);
        put("\n");
    }
    ftp_series("FTPDisper", c.ftpDisper, c.numFtpDisper, SB_FTP_DISPER_LIMIT);
    ftp_series("FTPAvg_K0", c.ftpAvgK0, c.numFtpAvgK0, 100);
    ftp_center("FTPDmiCenter", c.ftpDmiCenter);
    ftp_center("FTPTiltCenter", c.ftpTiltCenter);
    if (c.ftpZeroGagePer != 0) {
        period4("FTPZeroGagePer", c.ftpZeroGagePer);
        put("\n");
    }
    if (c.ftpSysInitPer != 0) {
        period4("FTPSysInitPer", c.ftpSysInitPer);
        put("\n");
    }
    if (c.ftpTempPer != 0 || c.ftpTempLimit != 0) {
        period4("FTPTemperature", c.ftpTempPer);
        put("   %0.2f\n", c.ftpTempLimit);
    }
    if (!c.ftpLogFile.empty()) {
        put("%-*s  %s", w, "FTPLog", word(c.ftpLogFile).c_str());
        if (c.ftpLog[0] != 0 || c.ftpLog[1] != 0) put("  %d  %d", c.ftpLog[0], c.ftpLog[1]);
        put("\n");
    }
    if (c.numScanCal == 2)
        put("%-*s  %g  %g\n", w, "ScanCal", c.scanCal[0], c.scanCal[1]);
    else if (c.numScanCal == 1)
        put("%-*s  %g\n", w, "ScanCal", c.scanCal[0]);
    if (c.turret[1] != 5)
        put("%-*s  %d  %d\n", w, "Turret", c.turret[0], c.turret[1]);
    else if (c.turret[0] != 0)
        put("%-*s  %d\n", w, "Turret", c.turret[0]);
    if (c.zoom != 0) put("%-*s  %d\n", w, "Zoom", c.zoom);
    if (!c.dualBrushMotorPresent) put("IgnoreDualBrushMotor\n");
    if (!c.lapsPresent) put("IgnoreLAPS\n");
    if (!c.wandPresent) put("IgnoreWand\n");
    if (!c.focusNdwPresent) put("IgnoreFocusNDW\n");
    if (!c.zoomPresent) put("IgnoreZoom\n");
    if (!c.pztPresent) put("IgnorePZT\n");
    if (c.ringSpot) put("RingSpot\n");
    if (c.diffDiskRate != -1) put("%-*s  %g\n", w, "DiffDiskRate", c.diffDiskRate);
    if (c.diffDiskFraction != 0.85) put("%-*s  %g\n", w, "DiffDiskFraction", c.diffDiskFraction);
    if (c.xAxisBacklash != 0) put("%-*s  %g\n", w, "XAxisBacklash", c.xAxisBacklash);
    if (c.yAxisBacklash != 0) put("%-*s  %g\n", w, "YAxisBacklash", c.yAxisBacklash);
    if (c.zAxisCal != 1.0) put("%-*s  %g\n", w, "ZAxisCal", c.zAxisCal);
    if (c.zAxisBacklash != 5) put("%-*s  %g\n", w, "ZAxisBacklash", c.zAxisBacklash);
    if (c.zEncoder != 0) put("%-*s  %d\n", w, "ZEncoder", c.zEncoder);
    if (c.zCanClosedLoop != 0) put("%-*s  %d\n", w, "ZCanClosedLoop", c.zCanClosedLoop);
    bool sdc = c.sdcCalIndex != 0;
    for (double v : c.sdcCal) sdc = sdc || v != 0;
    if (sdc) {
        put("%-*s  %d", w, "SdcCal", c.sdcCalIndex);
        for (double v : c.sdcCal) put("  %g", v);
        put("\n");
    }
    if (c.radCrvFocCal != 1.0) put("%-*s  %g\n", w, "RadCrvFocCal", c.radCrvFocCal);
    if (c.radCrvPwrCal != 1.0) put("%-*s  %g\n", w, "RadCrvPwrCal", c.radCrvPwrCal);
    if (c.invertDataSet || c.invertData != 0) put("%-*s  %d\n", w, "InvertData", c.invertData);
    if (c.noIntensAvg) put("NoIntensAvg\n");
    if (c.touchScreen) put("TouchScreen\n");
    if (!c.motionCtrl.empty() || !c.motionPort.empty())
        put("%-*s  %s  %s\n", w, "MotionCtrl", word(c.motionCtrl).c_str(),
            word(c.motionPort).c_str());
    if (c.posInstrType != 0) {
        put("%-*s  %s  %s", w, "PosInstr", name_of(kPosInstrNames, 13, c.posInstrType),
            word(c.posInstrPort).c_str());
        if (!c.posInstrArg.empty()) put("  %s", word(c.posInstrArg).c_str());
        put("\n");
    }
    if (c.tempSensor != 0)
        put("%-*s  %s  %s\n", w, "TempSensor", "Euro2216e", word(c.tempSensorPort).c_str());
    if (!c.pendentMenu.empty()) put("%-*s  %s\n", w, "PendentMenu", word(c.pendentMenu).c_str());
    for (int a = 0; a < SB_NUM_AXES; ++a) {
        if (c.axisComp[a].empty()) continue;
        char name[16];
        std::snprintf(name, sizeof name, "AxisComp_%c",
                      std::toupper(static_cast<unsigned char>(sb_axis_letters[a])));
        put("%-*s  %s\n", w, name, word(c.axisComp[a]).c_str());
    }
    const SbPidValues zero_pid{};
    for (int a = 0; a < SB_NUM_AXES; ++a) {
        const SbPidValues& fast = c.pidVals[a][0];
        const SbPidValues& slow = c.pidVals[a][1];
        if (fast == slow) {
            if (!(fast == zero_pid)) pid_line(a, "", fast);
            continue;
        }
        if (!(fast == zero_pid)) pid_line(a, " Fast", fast);
        if (!(slow == zero_pid)) pid_line(a, " Slow", slow);
    }
    if (!c.wmComm.empty()) put("%-*s  %s\n", w, "wmComm", word(c.wmComm).c_str());
    if (c.wmSysGainSet || c.wmSysGain != 0) put("%-*s  %f\n", w, "wmSysGain", c.wmSysGain);
    if (c.wmMonOpdSet || c.wmMonOpd != 0) put("%-*s  %f\n", w, "wmMonOPD", c.wmMonOpd);
    if (c.wmTuneRange[0] != 0 || c.wmTuneRange[1] != 0)
        put("%-*s  %.3f  %.3f\n", w, "wmTuneRange", c.wmTuneRange[0] / 1e9, c.wmTuneRange[1] / 1e9);
    if (c.wmTuneRate[0] != 0 || c.wmTuneRate[1] != 0)
        put("%-*s  %.3f  %.3f\n", w, "wmTuneRate", c.wmTuneRate[0] / 1e9, c.wmTuneRate[1] / 1e9);
    if (c.wmMaxBuckets[0] != 0 || c.wmMaxBuckets[1] != 0)
        put("%-*s  %lld  %lld\n", w, "wmMaxBuckets",
            static_cast<long long>(c.wmMaxBuckets[0] / 1048576),
            static_cast<long long>(c.wmMaxBuckets[1] / 1048576));
    if (c.ftpsiInvertData != 0) put("%-*s  %d\n", w, "FtpsiInvertData", c.ftpsiInvertData);
    if (c.absWaveMeter != 0 || !c.absWaveMeterPort.empty())
        put("%-*s  %d  %s\n", w, "AbsWaveMeter", c.absWaveMeter, word(c.absWaveMeterPort).c_str());
    if (c.dynWaveGen[0] != 0 || c.dynWaveGen[1] != 0 || c.dynWaveGen[2] != 0)
        put("%-*s  %d  %d  %d\n", w, "DynWaveGen", c.dynWaveGen[0], c.dynWaveGen[1],
            c.dynWaveGen[2]);
    const EncodedZoomConfig& z = c.encodedZoom;
    if (z.flags != 0) put("%-*s  %d\n", w, "QelEncZoomConfig", z.flags);
    if (z.backlash != 0) put("%-*s  %d\n", w, "QelEncZoomBacklash", z.backlash);
    if (z.softLimitMin != 0 || z.softLimitMax != 0)
        put("%-*s  %d  %d\n", w, "QelEncZoomProgLim", z.softLimitMin, z.softLimitMax);
    if (z.wandLimitMin != 0 || z.wandLimitMax != 0)
        put("%-*s  %d  %d\n", w, "QelEncZoomWandLim", z.wandLimitMin, z.wandLimitMax);
    if (z.numStdMags > 0) {
        label("QelEncZoomStdMags");
        for (int i = 0; i < z.numStdMags && i < SB_MAX_STD_ZOOM_MAGS; ++i)
            put("  %g", z.stdMags[i]);
        put("\n");
    }
    if (!z.calFileName.empty())
        put("%-*s  %s\n", w, "QelEncZoomCalFile", word(z.calFileName).c_str());
    radius_scale("EncodedRadiusScale", c.encodedRadiusScale);
    radius_scale("IntfRadiusScale", c.intfRadiusScale);
    if (c.sleepTimeout != 0) {
        int s = c.sleepTimeout;
        put("%-*s  %d:%02d:%02d\n", w, "SleepTimeout", s / 3600, s % 3600 / 60, s % 60);
    }
    if (!c.remote.empty()) put("%-*s  %s\n", w, "Remote", word(c.remote).c_str());
}

SbMessages write_messages(const char* path) {
    SbMessages msgs;
    msgs.heading = "Error writing system calibration file";
    if (path) {
        msgs.place = " \"";
        msgs.place += path;
        msgs.place += "\":\n";
    } else {
        msgs.place = ":\n";
    }
    return msgs;
}

}  // namespace

int sb_format_cal(const SbCalibration& cal, const char* path, bool heading, std::string* text) {
    SbMessages msgs = write_messages(path);
    text->clear();
    Writer writer(cal, &msgs, text);
    writer.run(heading);
    return writer.status;
}

int sb_writeCal(int slot, const char* path) {
    SystemInfo* info = sb_system_info(slot);
    if (!info) return ERR_PARAM_OUT_OF_RANGE;
    std::string dest;
    if (path && path[0]) {
        dest = path;
    } else {
        const char* dir = u_config_dir();
        dest = std::string(dir && dir[0] ? dir : ".") + "/" + u_syscal_file_name(slot);
    }
    SbMessages msgs = write_messages(dest.c_str());

    PlatReplaceFile out{};
    FILE* stream = out.open(dest.c_str(), "_calfile");
    if (!stream) {
        msgs.report("Cannot create temp file.");
        out.abort();
        return ERR_CANT_CREATE_FILE;
    }

    // A terminal gets the records only.
    PlatFileStatus st;
    bool terminal = plat_stat(dest.c_str(), &st) && (st.mode & PLAT_S_IFMT) == 0x2000;
    std::string text;
    Writer writer(*info, &msgs, &text);
    writer.run(!terminal);
    int status = writer.status;
    if (status == 0 && std::fwrite(text.data(), 1, text.size(), stream) != text.size())
        status = ERR_CANT_WRITE_FILE;
    if (status != 0) {
        std::string temp = out.temp ? out.temp : dest;
        out.abort();
        if (status == ERR_CANT_WRITE_FILE)
            msgs.report("Cannot copy temp file \"%s\" to \"%s\"", temp.c_str(), dest.c_str());
        return status;
    }
    std::string temp = out.temp ? out.temp : dest;
    if (!out.commit()) {
        msgs.report("Cannot copy temp file \"%s\" to \"%s\"", temp.c_str(), dest.c_str());
        return ERR_CANT_WRITE_FILE;
    }
    return 0;
}
