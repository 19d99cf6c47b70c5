// The measurement data file: a big-endian header of 834 or 4096 bytes, then an
// optional intensity block and an optional phase block.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "datafile/surface.h"

// Header magic numbers and the header size each selects.
constexpr uint32_t DAT_MAGIC_834_A = 0x881B036F;
constexpr uint32_t DAT_MAGIC_834_B = 0x881B0370;
constexpr uint32_t DAT_MAGIC_4096 = 0x881B0371;
constexpr int DAT_HEADER_SMALL = 834;
constexpr int DAT_HEADER_LARGE = 4096;

// Header file offsets of the fields the system interprets.
enum DatHeaderOffset : int {
    DAT_OFF_MAGIC = 0,
    DAT_OFF_INTENS_X = 48,
    DAT_OFF_INTENS_Y = 50,
    DAT_OFF_INTENS_WIDTH = 52,
    DAT_OFF_INTENS_HEIGHT = 54,
    DAT_OFF_N_BUCKETS = 56,
    DAT_OFF_INTENS_PARAM = 58,
    DAT_OFF_INTENS_BYTES = 60,
    DAT_OFF_PHASE_X = 64,
    DAT_OFF_PHASE_Y = 66,
    DAT_OFF_PHASE_WIDTH = 68,
    DAT_OFF_PHASE_HEIGHT = 70,
    DAT_OFF_PHASE_BYTES = 72,
    DAT_OFF_HEIGHT_FACTOR_1 = 164,
    DAT_OFF_HEIGHT_FACTOR_2 = 168,
    DAT_OFF_HEIGHT_FACTOR_3 = 176,
    DAT_OFF_LATERAL_RES = 184,
    DAT_OFF_PHASE_RES = 218,
    DAT_OFF_HEADER_FORMAT = 898,
};

// The five fields at file offsets 10 to 47, byte order fixed.
struct HeaderPreamble {
    int16_t field_10;
    char field_12[30];  // copied unchanged
    int16_t field_42;
    int16_t field_44;
    int16_t field_46;
};

// Every header field from file offset 76 to the end of a 4096-byte header,
// in host byte order, addressed by its file offset. Fields beyond an 834-byte
// header read as zero.
struct HeaderRecord {
    static constexpr int first_offset = 76;
    static constexpr int end_offset = DAT_HEADER_LARGE;
    unsigned char image[end_offset - first_offset];

    int16_t i16(int offset) const { return get<int16_t>(offset); }
    int32_t i32(int offset) const { return get<int32_t>(offset); }
    uint32_t u32(int offset) const { return get<uint32_t>(offset); }
    float f32(int offset) const { return get<float>(offset); }
    void set_i16(int offset, int16_t v) { put(offset, v); }
    void set_i32(int offset, int32_t v) { put(offset, v); }
    void set_f32(int offset, float v) { put(offset, v); }

    float height_factor_1() const { return f32(DAT_OFF_HEIGHT_FACTOR_1); }
    float height_factor_2() const { return f32(DAT_OFF_HEIGHT_FACTOR_2); }
    float height_factor_3() const { return f32(DAT_OFF_HEIGHT_FACTOR_3); }
    float lateral_res() const { return f32(DAT_OFF_LATERAL_RES); }
    int16_t phase_res() const { return i16(DAT_OFF_PHASE_RES); }
    int16_t header_format() const { return i16(DAT_OFF_HEADER_FORMAT); }

private:
    template <typename T>
    T get(int offset) const {
        T v;
        std::memcpy(&v, image + (offset - first_offset), sizeof v);
        return v;
    }
    template <typename T>
    void put(int offset, T v) {
        std::memcpy(image + (offset - first_offset), &v, sizeof v);
    }
};

// Reads a measurement data file. `path` follows the byte-order-mark path
// convention (platform/path.h). Each output may be null; a matrix passed in
// must be empty and is left empty on failure. Returns 0 or a status code.
int dat_read_file(const char* path, HeaderPreamble* preamble, HeaderRecord* record,
                  IntensityMatrix* intensity, PhaseMatrix* phase);

// The same on an open binary stream positioned at the start of a data file;
// leaves the stream after the last block read or stepped over.
int dat_read_stream(FILE* stream, HeaderPreamble* preamble, HeaderRecord* record,
                    IntensityMatrix* intensity, PhaseMatrix* phase);

// Phase counts in one phase cycle for a phase_res kind: 4096, 32768 or 131072.
int32_t dat_phase_counts_per_cycle(int phase_res);
