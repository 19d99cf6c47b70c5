// The ramp data file: one ramp, its 328-byte header and its 16-bit DAC points,
// and the checks of a loaded header against the instrument.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr int32_t RR_MAGIC_NUMBER = 0x52414D51;  // "RAMQ"
constexpr int RR_HDR_SIZE = 328;
constexpr int RR_BIG_ENDIAN_WORDS = 42;  // offsets 0 to 167; the rest is little-endian
constexpr int RR_MAX_NAME = 80;          // a ramp data file's name

// Ramp type codes.
constexpr int32_t RR_TYPE_SWLI = 0;
constexpr int32_t RR_TYPE_PMI = 1;
constexpr int32_t RR_TYPE_PMI_LAST = 15;  // 1 to 15: the PMI family
constexpr int32_t RR_TYPE_BTW = 17;

inline bool rr_is_pmi_type(int32_t type) {
    return type >= RR_TYPE_PMI && type <= RR_TYPE_PMI_LAST;
}

// The header, laid out in memory as in the file.
struct rr_ramp_hdr_t {
    int32_t magicNumber;
    int32_t rampType;
    int32_t pztID;  // the actuator's identity number
    int32_t rampID;
    int32_t nPoints;
    int32_t rampUp;
    int32_t rampStart;
    int32_t rampLinear;
    int32_t rampEnd;
    float sampleClkFreq;  // kHz
    float cameraRate;     // Hz
    int32_t updateRate;   // update-timer reload value
    int32_t grabSkip;
    float rampSlope;  // nm per frame
    int32_t trigStartAddr;
    int32_t trigEndAddr;
    int32_t rampGainDflt;
    float rampTriple[3];
    float scanLen;  // micrometres
    char polar;     // first byte of its word; the other three are kept as read
    char polarPad[3];
    int32_t offset;  // base DAC value
    int32_t nBuckets;
    float rampLin;
    float rampTrim;
    float cameraPClock;
    int32_t cameraHPeriod;
    int32_t cameraVPeriod;
    int32_t cameraInterlace;
    int32_t rampMux;
    int32_t instrBdType;
    int32_t compGain;
    int32_t compFilter;
    int32_t leakage;
    int32_t adcMin;
    int32_t adcMax;
    int32_t adcFirst;
    int32_t adcMid;
    int32_t adcLast;
    float scanCal;
    int32_t reserved1;
    float fringesPerFrame;
    float objMag;
    int32_t wavelenSelect;  // BTW wavelength index
    int32_t reserved2[4];
    uint8_t spare[132];
};
static_assert(sizeof(rr_ramp_hdr_t) == RR_HDR_SIZE);
static_assert(offsetof(rr_ramp_hdr_t, polar) == 84 && offsetof(rr_ramp_hdr_t, scanCal) == 160);
static_assert(offsetof(rr_ramp_hdr_t, fringesPerFrame) == 168);
static_assert(offsetof(rr_ramp_hdr_t, spare) == 196);

// A loaded ramp. Plain data, empty when zeroed; the name and the points are
// owned (allocation hooks) and released by rr_ramp_release.
struct RrRamp {
    rr_ramp_hdr_t hdr;
    char* name;        // the data file's name, or "+" and the base's name when derived
    uint16_t* points;  // hdr.nPoints values
    int32_t hide;      // 1: not offered to the user
    bool derived;      // made from another ramp, not read from a file
    bool inInstr;      // loaded in a slot of the instrument board
    int32_t instrSlot;
};

// Releases a ramp's name and points and empties it.
void rr_ramp_release(RrRamp* ramp);

// Gives a ramp a copy of `name` (any length). 0 or ERR_NO_MEM.
int rr_ramp_set_name(RrRamp* ramp, const char* name);

// Releases a point array of the reader and sets the pointer to null.
void rr_free_points(uint16_t** points);

// Writes a ramp data file: beside the target, renamed over it only when
// complete. 0, ERR_INVALID_PARAM (no header, no points or nPoints < 1),
// ERR_CANT_CREATE_FILE, ERR_CANT_WRITE_FILE, ERR_NO_MEM.
int rr_write_ramp_file(const char* path, const rr_ramp_hdr_t* hdr, const uint16_t* points);

// Reads a ramp data file. `points` is optional; a previous array there is
// released first, and on success it holds hdr->nPoints values (null when
// nPoints < 1). 0, ERR_INVALID_PARAM, ERR_CANT_OPEN_FILE, ERR_PREMATURE_EOF,
// ERR_NOT_A_RAMP_FILE, ERR_CORRUPT_RAMP_FILE, ERR_NO_MEM.
int rr_read_ramp_file(const char* path, rr_ramp_hdr_t* hdr, uint16_t** points);

// The same on an open stream (read from its start), for in-memory input.
int rr_read_ramp_stream(FILE* stream, rr_ramp_hdr_t* hdr, uint16_t** points);

// The header's and the points' bytes as the file holds them, and back.
void rr_encode_hdr(const rr_ramp_hdr_t* hdr, unsigned char bytes[RR_HDR_SIZE]);
void rr_decode_hdr(const unsigned char bytes[RR_HDR_SIZE], rr_ramp_hdr_t* hdr);

// The standard data file name of a ramp, in one static buffer overwritten by
// the next call; null (after a message) for an unsupported ramp type or
// numbers that do not fit an integer.
const char* rr_get_std_ramp_filename(const rr_ramp_hdr_t* hdr);

// Lists the header fields and, when given, hdr->nPoints points.
void rr_print_ramp_hdr(FILE* out, const rr_ramp_hdr_t* hdr, const uint16_t* points,
                       bool onePerLine);

// Checks a ramp read from `fileName` against the instrument: board type,
// actuator and fringes per frame. `pifocId` and `pztId` are -1 when the
// instrument has no piezo focus drive or no PZT. May change hdr->pztID (after
// a warning) and hdr->fringesPerFrame. 0, ERR_WRONG_INSTR_BOARD,
// ERR_CORRUPT_RAMP_FILE, ERR_INVALID_PARAM.
int rr_check_ramp_file(rr_ramp_hdr_t* hdr, const char* fileName, int32_t instrBdType,
                       int32_t pifocId, int32_t pztId);
