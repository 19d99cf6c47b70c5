// The FTP materials file: optical constants per material (refractive index,
// extinction coefficient, phase change on reflection and a dispersion value
// for each objective magnification of the FTP family), its reader, the load
// for an instrument and the check of the instrument's magnifications.
//
// The file is text. A heading line gives the format:
//
//     ## Tessaryn FTP Materials File - Format 1
//
// then one material per line: a quoted name, N, K, PCOR, four dispersions
// (radians; "*" or "?" for a value the file does not give) and an optional
// "#" comment. Lines starting with "##" are ignored, lines starting with "#"
// kept as comment records. Messages go through u_msg_sink.
#pragma once

#include <cfloat>
#include <cstdint>
#include <cstdio>
#include <string>

#include "config/sysinfo.h"

constexpr int FTP_MATL_NAME_MAX = 20;
constexpr int FTP_MATL_COMMENT_MAX = 100;
constexpr int FTP_MATL_LINE_MAX = 200;  // characters, without the line end
constexpr int FTP_NUM_MAGS = 4;
constexpr int FTP_MATL_FORMAT = 1;

// The family's objective magnifications; Disper[i] belongs to entry i.
extern const double ftp_mag_table[FTP_NUM_MAGS];

// A value the file does not give ("*" or "?").
constexpr double FTP_MATL_NO_VALUE = DBL_MAX;

struct FtpMaterial {
    int16_t index;  // running number of the material from 0; -1: a comment line
    char name[FTP_MATL_NAME_MAX + 1];
    double n;
    double k;
    double pcor;
    double disper[FTP_NUM_MAGS];
    char comment[FTP_MATL_COMMENT_MAX + 1];  // from its "#" on
};

// The materials table: `count` records (materials and kept comments) in
// storage for `capacity`, taken through the allocation hooks. Empty when zeroed.
struct FtpMaterialTable {
    FtpMaterial* items;
    int32_t count;
    int32_t capacity;
};

void ftp_materials_release(FtpMaterialTable* table);

// Reads a materials file. On success the caller's table is released and
// replaced by the new one; on any failure it is left unchanged. 0,
// ERR_FTP_CORRUPT_MATLS_FILE, ERR_CANT_OPEN_FILE, ERR_NO_MEM, or
// ERR_INVALID_PARAM (empty path, no table).
int ftp_read_materials_file(const char* path, FtpMaterialTable* table);

// The same on an open stream (read from its current position, not closed).
int ftp_read_materials_stream(FILE* file, FtpMaterialTable* table);

// The texts that describe the file to its writer: the line format
// description (lines joined by "\n", no final line end), its column heading
// and a sample line.
const char* ftp_materials_description();
const char* ftp_materials_column_heading();
const char* ftp_materials_sample_line();

// The FTP family record of an instrument.
struct FtpInfo {
    FtpMaterialTable materials;
    std::string materialsPath;  // the materials file last read
    // For each objective magnification of the system (NomMag), the index of
    // its family table entry; -1 for none.
    int32_t magIndex[SB_MAX_MAGS];
};

// Gives an instrument its FTP family record (kept when it has one).
// 0, ERR_SYS_INFO_NOT_AVAIL or ERR_NO_MEM.
int ftp_info_attach(SystemInfo* info);

// Releases the previous materials table, finds and reads the instrument's
// materials file (calibration value FTPMaterials) and checks its
// magnifications. 0, ERR_SYS_INFO_NOT_AVAIL, ERR_FTP_NO_FTP_INFO,
// ERR_INVALID_PARAM, ERR_FTP_CANT_READ_MATLS_FILE,
// ERR_FTP_INVALID_MAGNIFICATION or ERR_NO_MEM.
int ftp_load_materials(SystemInfo* info);

// Maps each objective magnification of the system onto the family table
// (within 0.001). 0, ERR_SYS_INFO_NOT_AVAIL, ERR_FTP_NO_FTP_INFO or
// ERR_FTP_INVALID_MAGNIFICATION for the first that has no entry.
int ftp_check_magnifications(SystemInfo* info);
