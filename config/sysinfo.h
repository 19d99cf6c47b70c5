// The system information record: one per system slot (0 to 3). It holds the
// calibration values read from the system calibration file and, beside them,
// one plain block of run-time state per instrument subsystem. Every instrument
// module reads and extends it; none of it depends on anything above common/.
#pragma once

#include <cfloat>
#include <cstdint>
#include <memory>
#include <string>

#include "config/sysinfo_acq.h"
#include "config/sysinfo_can.h"
#include "config/sysinfo_motion.h"
#include "config/sysinfo_power.h"
#include "config/sysinfo_serial.h"
#include "config/zoomcal.h"

constexpr int SB_NUM_SLOTS = 4;

// Fixed list capacities of the calibration values.
constexpr int SB_MAX_BAD_PIXELS = 40;
constexpr int SB_MAX_CAMERA_FILES = 6;
constexpr int SB_MAX_MAGS = 15;  // mag factors, and entries indexed by mag factor
constexpr int SB_MAX_DISPERSION = 10;
constexpr int SB_MAX_STD_ZOOM_MAGS = 15;
constexpr int SB_MAX_WAVELENGTHS = 4;
constexpr int SB_NUM_AXES = 8;  // the axis letters of AxisComp and PidVals
constexpr int SB_NUM_PID_VALUES = 10;

// Board kinds (instrBdType).
enum SbBoardType : int32_t {
    SB_BOARD_NONE = 0,
    SB_BOARD_SERIAL1 = 1,
    SB_BOARD_KIND2 = 2,
    SB_BOARD_SERIAL2 = 3,
    SB_BOARD_KIND4 = 4,
    SB_BOARD_REGMAP = 5,
    SB_BOARD_CUSTOMER = 6,
    SB_BOARD_FTP = 7,
    SB_BOARD_CAN = 8,
    SB_BOARD_NOT_NEEDED = 9,
};

constexpr int32_t SB_CAMERA_CUSTOM = 12;
constexpr int32_t SB_LIGHT_HENE = 1;
constexpr double SB_HENE_WAVELENGTH = 0.6328e-6;  // metres
constexpr double SB_PIFOC_ALPHA_DEFAULT = 0.928655;
constexpr double SB_PIFOC_BETA_DEFAULT = 0.0144;
// An FTP centre entry that the file did not set.
constexpr double SB_FTP_CENTER_UNSET = FLT_MAX;

// The encoded zoom of the QEL family as the calibration file describes it.
struct EncodedZoomConfig {
    int32_t flags = 0;  // bit 0: the encoded zoom is configured
    int32_t backlash = 0;
    int32_t softLimitMin = 0;  // QelEncZoomProgLim
    int32_t softLimitMax = 0;
    int32_t wandLimitMin = 0;  // QelEncZoomWandLim
    int32_t wandLimitMax = 0;
    int32_t numStdMags = 0;
    double stdMags[SB_MAX_STD_ZOOM_MAGS] = {};
    std::string calFileName;

    bool operator==(const EncodedZoomConfig&) const = default;
};

struct SbBadPixel {
    int32_t x = -1;
    int32_t y = -1;
    bool operator==(const SbBadPixel&) const = default;
};

// PID values of one axis at one speed: six integers, then four reals.
struct SbPidValues {
    int32_t ints[6] = {};
    double reals[4] = {};
    bool operator==(const SbPidValues&) const = default;
};

// The calibration values. A default-constructed object is the reset record;
// the "...Set" flags record that the file gave a line whose presence the
// completeness checks ask for.
struct SbCalibration {
    std::string instrName;
    int32_t unit = 0;

    // System-type line.
    int32_t systemType = 0;
    int32_t systemDate = 0;  // year * 100 + week
    int32_t serialNumber = 0;
    bool serialR = false;  // the trailing "R"

    // Version line.
    bool versionSet = false;
    int32_t frameGrabberType = 0;
    int32_t frameGrabberVersion = 0;  // the line accepts up to 99999
    int32_t instrBdType = SB_BOARD_NONE;

    bool macAddressSet = false;
    uint8_t macAddress[6] = {};
    std::string instrComm;

    // Camera.
    int32_t cameraType = 0;
    int32_t interlaceFlag = 0;
    int32_t fieldCtrl = 0;
    int32_t numCameraFiles = 0;
    std::string cameraFiles[SB_MAX_CAMERA_FILES];  // an empty second name was "NULL"
    int32_t cameraConfig[8] = {};
    int32_t cameraDark = 0;
    int32_t cameraAlign = 0;
    int32_t numBadPixels = 0;
    SbBadPixel badPixels[SB_MAX_BAD_PIXELS];
    int32_t cameraBpix = 0;
    std::string cameraBpixFile;
    int32_t cameraOptions = 0;
    int32_t cameraPll = 1;
    int32_t cameraSplitAxis = 0;  // 'X', 'Y' or 0
    int32_t cameraSplitPos = 0;
    int32_t cameraSplitValue = 0;
    int32_t cameraTrans[SB_MAX_MAGS][2] = {};

    std::string rampConfig = "rampcfg.txt";

    // Light source; wavelengths in metres.
    bool lightSet = false;
    int32_t lightType = SB_LIGHT_HENE;
    double wavelengths[SB_MAX_WAVELENGTHS] = {SB_HENE_WAVELENGTH, 0, 0, 0};
    double wavelengthFractions[SB_MAX_WAVELENGTHS] = {};

    // Light-level control.
    int32_t llcInstr = 0;
    std::string llcPort;
    bool llcRangeSet = false;
    int32_t llcRange[2] = {0, 0};
    bool llcRange2Set = false;
    int32_t llcRange2[2] = {0, 0};
    int32_t numLlcConfig = 1;
    int32_t llcConfig[2] = {1, 0};
    int32_t llcFreq = 35000;
    bool llcTargetSet = false;
    int32_t llcTarget = 150;
    int32_t llcOptions = 0;
    int32_t numLlcAvgCurLimit = 0;  // 0, 2 or 4
    int32_t llcAvgCurLimit[4] = {};
    int32_t numLlcFwdVoltage = 0;
    int32_t llcFwdVoltage[4] = {};
    double llcAlignModePct = 100;

    int32_t pztPwr = -1;
    int32_t adcClock = 0;

    // Piezo focus drive (pifoc or pztid).
    bool pifocSet = false;
    int32_t pifocId = 0;
    double pifocAlpha = SB_PIFOC_ALPHA_DEFAULT;
    double pifocBeta = SB_PIFOC_BETA_DEFAULT;
    int32_t pifocPolarity = 0;
    int32_t pifocType = 0;

    int32_t numSysMags = 0;
    double sysMags[SB_MAX_MAGS] = {};
    int32_t numNomMags = 0;
    double nomMags[SB_MAX_MAGS] = {};
    bool noIntensAvg = false;

    // FTP.
    std::string ftpMaterials;
    double ftpSys[4] = {};
    double ftpDmiScale = 0;
    double ftpImageRot = 0;
    int32_t numFtpZeroPtPos = 0;
    double ftpZeroPtPos[2] = {};
    int32_t numFtpDisper[SB_MAX_MAGS] = {};
    double ftpDisper[SB_MAX_MAGS][SB_MAX_DISPERSION] = {};
    int32_t numFtpAvgK0[SB_MAX_MAGS] = {};
    double ftpAvgK0[SB_MAX_MAGS][SB_MAX_DISPERSION] = {};
    double ftpDmiCenter[SB_MAX_MAGS][2];
    double ftpTiltCenter[SB_MAX_MAGS][2];
    int32_t ftpZeroGagePer = 0;  // seconds
    int32_t ftpSysInitPer = 0;   // seconds
    int32_t ftpTempPer = 0;      // seconds
    double ftpTempLimit = 0;
    std::string ftpLogFile;
    int32_t ftpLog[2] = {};
    int32_t ftpsiInvertData = 0;

    int32_t numScanCal = 0;
    double scanCal[2] = {};
    int32_t turret[2] = {0, 5};  // kind (0 none, 1 motorized, 2 encoded), positions
    int32_t zoom = 0;            // 2: motorized

    // Device-present switches, cleared by the Ignore keywords.
    bool dualBrushMotorPresent = true;
    bool lapsPresent = true;
    bool wandPresent = true;
    bool focusNdwPresent = true;
    bool zoomPresent = true;
    bool pztPresent = true;
    bool ringSpot = false;
    bool touchScreen = false;

    double diffDiskRate = -1;  // -1: not set
    double diffDiskFraction = 0.85;
    double xAxisBacklash = 0;
    double yAxisBacklash = 0;
    double zAxisBacklash = 5;
    double zAxisCal = 1.0;
    int32_t zEncoder = 0;
    int32_t zCanClosedLoop = 0;
    int32_t sdcCalIndex = 0;
    double sdcCal[8] = {};
    double radCrvFocCal = 1.0;
    double radCrvPwrCal = 1.0;
    bool invertDataSet = false;
    int32_t invertData = 0;

    std::string motionCtrl;
    std::string motionPort;
    int32_t posInstrType = 0;
    std::string posInstrPort;
    std::string posInstrArg;
    int32_t tempSensor = 0;
    std::string tempSensorPort;
    std::string pendentMenu;
    std::string axisComp[SB_NUM_AXES];    // indexed like sb_axis_letters
    SbPidValues pidVals[SB_NUM_AXES][2];  // [axis][0 fast, 1 slow]

    // Wave monitor.
    std::string wmComm;
    bool wmSysGainSet = false;
    double wmSysGain = 0;
    bool wmMonOpdSet = false;
    double wmMonOpd = 0;
    double wmTuneRange[2] = {};    // stored x 1e9
    double wmTuneRate[2] = {};     // stored x 1e9
    int64_t wmMaxBuckets[2] = {};  // stored x 1048576
    int32_t absWaveMeter = 0;
    std::string absWaveMeterPort;
    int32_t dynWaveGen[3] = {};

    EncodedZoomConfig encodedZoom;

    // EncodedRadiusScale and IntfRadiusScale: int, real, real, int, real.
    double encodedRadiusScale[5] = {};
    double intfRadiusScale[5] = {};

    uint16_t sleepTimeout = 0;  // seconds
    std::string remote;

    SbCalibration();
    bool operator==(const SbCalibration&) const = default;
};

// Records owned by a SystemInfo whose type belongs to a higher module. The
// owning module creates the object and installs the function that destroys it.
template <class T>
struct SysDeleter {
    void (*destroy)(T*) = nullptr;
    void operator()(T* object) const {
        if (destroy) destroy(object);
    }
};
template <class T>
using SysOwned = std::unique_ptr<T, SysDeleter<T>>;

struct CanBridgeInfo;  // the CAN bridge of a CAN instrument
struct PifocState;     // piezo-focus aging and leakage bookkeeping
struct FtpInfo;        // the FTP family record: materials (config/materials.h)
struct CbCameraSet;    // the camera bad-pixel lists (config/badpixel.h)

// The camera mode in use, as the acquisition side sets it: the bad-pixel
// load sizes the calibration file's own bad-pixel list by it.
struct SysCameraMode {
    int32_t grabMode = 0;
    int32_t grabUnder = 0;
    double grabRate = 0;
    int32_t sensorWidth = 0;
    int32_t sensorHeight = 0;
};

struct SystemInfo : SbCalibration {
    std::string calFilePath;  // the file the record was last read from

    SysSerialState serial;
    SysCanState can;
    SysAcqState acq;
    SysMotionState motion;
    SysPosInstrState posInstr;
    SysPowerState power{};
    SysZoomCalState zoomCal;  // the encoded zoom's loaded calibration table

    SysCameraMode cameraMode;

    SysOwned<CanBridgeInfo> canInfo;
    SysOwned<PifocState> pifocState;
    SysOwned<FtpInfo> ftpInfo;            // present on FTP instruments
    SysOwned<CbCameraSet> badPixelLists;  // made by the first bad-pixel load
};

// The record of a system slot; null for a slot outside 0 to 3.
SystemInfo* sb_system_info(int slot);

// Resets the calibration values of a record to their defaults; the run-time
// blocks are left alone.
void sb_reset_calibration(SystemInfo* info);

// The axis letters of AxisComp and PidVals, in record order: "abprtxyz".
extern const char sb_axis_letters[SB_NUM_AXES + 1];

// Printed names of the coded values ("Unknown" or "None" outside the tables).
const char* sb_system_type_name(int32_t code);  // "Unknown" outside 4-8, 10-35
const char* sb_board_type_name(int32_t code);
const char* sb_frame_grabber_name(int32_t code);
const char* sb_camera_type_name(int32_t code);
const char* sb_light_type_name(int32_t code);
