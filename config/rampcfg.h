// The ramp configuration file (the ramps an instrument offers, one spec a
// line), the check of a spec against its ramp data file, the derivation of a
// "+" ramp from a loaded SWLI ramp, and the instrument's ramp set.
#pragma once

#include <cstdint>
#include <cstdio>

#include "config/rampfile.h"

constexpr int RR_CFG_MAX_LINE = 200;   // characters, without the line end
constexpr int RR_CFG_MAX_ERRORS = 20;  // one more ends the read
constexpr int RR_CFG_GROW = 5;         // the spec array grows by this many

// One accepted line of a ramp configuration file.
struct RrRampSpec {
    int32_t rampType;                // RR_TYPE_SWLI, RR_TYPE_PMI or RR_TYPE_BTW
    int32_t wavelenSelect;           // BTW filter 1 to 4, else 0
    char fileName[RR_MAX_NAME + 1];  // data file name, or "+" to derive from the previous ramp
    float scanLen;                   // micrometres
    float cameraRate;                // Hz
    int32_t cameraInterlace;
    int32_t grabSkip;
    float fringesPerFrame;
    float rampSlope;  // nm per frame
    float objMag;
    float scanCal;
    int32_t hide;
};

// The description block of a written file (lines joined by "\n", no final
// line end) and the sample line shown with it.
extern const char* const rr_cfg_description;
extern const char* const rr_cfg_sample_line;

// Reads a ramp configuration file. *specs must be null on entry; on success it
// holds a new array of *count specs (allocation hooks; the caller releases it
// with rr_free_ramp_specs). 0, ERR_INVALID_PARAM, ERR_CANT_OPEN_FILE,
// ERR_CORRUPT_RAMP_CFG_FILE, ERR_NO_MEM.
int rr_read_ramp_cfg(const char* path, RrRampSpec** specs, int* count);

// The same on an open stream; `path` is the name used in the messages.
int rr_read_ramp_cfg_stream(FILE* in, const char* path, RrRampSpec** specs, int* count);

void rr_free_ramp_specs(RrRampSpec** specs);

// Writes a ramp configuration file, beside the target and renamed over it once
// complete. 0, ERR_INVALID_PARAM (no specs), ERR_CANT_OPEN_FILE,
// ERR_CANT_WRITE_FILE.
int rr_write_ramp_cfg(const char* path, const RrRampSpec* specs, int count);

// The type text of a written spec: "SWLI", "PMI", "BTW", "BTW1".."BTW4" or "XXX".
const char* rr_ramp_type_text(int32_t rampType, int32_t wavelenSelect);

// Checks that a spec describes the ramp read from its data file. 0 or
// ERR_INVALID_PARAM after one "Error: mismatched ..." message.
int rr_check_ramp_spec(const RrRampSpec* spec, const RrRamp* ramp);

// Derives a ramp for a "+" spec from a loaded SWLI ramp: a slower or faster
// scan, resampled to a shorter scan length when the spec asks for one.
// `derived` must hold no points. 0, ERR_INVALID_PARAM, ERR_PARAM_OUT_OF_RANGE,
// ERR_NO_MEM; on failure `derived` is left empty.
int rr_derive_ramp(const RrRamp* base, RrRamp* derived, const RrRampSpec* spec);

// An instrument's ramp set, as the loader (rr_get_ramp_info) fills it from the
// configuration entries or from a scan of the ramp directory. Plain data,
// empty when zeroed.
//
// Every ramp's rampID is its position among the accepted ramps, counted from
// 1, whether it came from a configuration entry (refused entries take no
// number) or from the directory scan; rr_ramp_set_add assigns it. The board
// identifies its loaded ramps by these numbers (one per slot, 0xFF empty).
constexpr int RR_MAX_RAMPS = 254;
constexpr int RR_INSTR_SLOTS = 12;
constexpr uint8_t RR_EMPTY_SLOT = 0xFF;

struct RrRampSet {
    RrRamp* ramps;  // `count` ramps (allocation hooks)
    int32_t count;
    int32_t capacity;
};

// Moves `ramp` into the set (the caller's record is left empty) and numbers it.
// 0, ERR_INVALID_PARAM, ERR_PARAM_OUT_OF_RANGE (the set is full), ERR_NO_MEM
// (the ramp then stays with the caller).
int rr_ramp_set_add(RrRampSet* set, RrRamp* ramp);

// Releases every ramp and the array, and empties the set.
void rr_ramp_set_release(RrRampSet* set);
