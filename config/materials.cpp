#include "config/materials.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/alloc.h"
#include "common/dirs.h"
#include "common/fieldparse.h"
#include "common/msg.h"
#include "common/status.h"
#include "common/strformat.h"
#include "platform/path.h"

const double ftp_mag_table[FTP_NUM_MAGS] = {0.8, 1.0, 1.7, 4.0};

namespace {

const char* const kTitle = "Tessaryn FTP Materials File";
const char* const kFormatWord = "Format";
const char* const kDelimiters = " \t\r\n";
constexpr int kMaxErrors = 10;
constexpr int kGrowBy = 5;
constexpr std::size_t kLineBuffer = 999;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kMagTolerance = 0.001;

// Limits of the numeric fields 2 to 8.
struct FieldLimits {
    const char* name;
    double low;
    double high;
};
const FieldLimits kNumberFields[7] = {
    {"N", 0, 100},
    {"K", 0, 100},
    {"PCOR", -kTwoPi, kTwoPi},
    {"Disper[0]", -kTwoPi, kTwoPi},
    {"Disper[1]", -kTwoPi, kTwoPi},
    {"Disper[2]", -kTwoPi, kTwoPi},
    {"Disper[3]", -kTwoPi, kTwoPi},
};

// Copies at most max characters of text and terminates the copy.
void copy_cut(char* destination, const char* text, std::size_t max) {
    std::size_t n = strnlen(text, max);
    std::memcpy(destination, text, n);
    destination[n] = '\0';
}

bool is_delimiter(char c) {
    return c == '\0' || std::strchr(kDelimiters, c) != nullptr;
}

// Walks the fields of one material line.
struct LineScanner {
    const char* p;

    void skip() {
        while (*p && is_delimiter(*p)) ++p;
    }
    bool at_end() {
        skip();
        return *p == '\0';
    }
    // The next blank-separated token.
    std::string token() {
        skip();
        const char* start = p;
        while (!is_delimiter(*p)) ++p;
        return std::string(start, p);
    }
};

enum class LineResult { accepted, rejected, fatal };

class MaterialsReader {
  public:
    explicit MaterialsReader(FILE* file) : file_(file) {}
    ~MaterialsReader() { ftp_materials_release(&table_); }

    int read(FtpMaterialTable* caller);

  private:
    // One error: its message, the line (null when its text is not shown) and
    // an optional explanation. False once the error limit is passed.
    bool report(const std::string& message, const char* line, const std::string& explanation);
    bool read_heading(const char* line);
    LineResult read_material(const char* line);
    FtpMaterial* add_record();

    FILE* file_;
    FtpMaterialTable table_{};
    int line_number_ = 0;
    int errors_ = 0;
    int status_ = NO_ERROR;
};

bool MaterialsReader::report(const std::string& message, const char* line,
                             const std::string& explanation) {
    if (errors_ == 0) u_msg_sink("Error(s) reading FTP materials file:\n");
    ++errors_;
    u_msg_sink("\t%s\n", message.c_str());
    if (line) {
        u_msg_sink("\tError in line %d:\n  %s\n", line_number_, line);
    } else {
        u_msg_sink("\tError in line %d\n", line_number_);
    }
    if (!explanation.empty()) u_msg_sink("\t%s", explanation.c_str());
    if (errors_ > kMaxErrors) {
        u_msg_sink("Too many errors reading FTP materials file\n");
        status_ = ERR_FTP_CORRUPT_MATLS_FILE;
        return false;
    }
    return true;
}

// A heading line: checks its format number. False when the read must end.
bool MaterialsReader::read_heading(const char* line) {
    const char* word = std::strstr(std::strstr(line, kTitle) + std::strlen(kTitle), kFormatWord);
    const char* number = word ? word + std::strlen(kFormatWord) : nullptr;
    if (number) {
        while (*number == ' ' || *number == '\t') ++number;
    }
    char* end = nullptr;
    long value = number ? std::strtol(number, &end, 10) : 0;
    status_ = ERR_FTP_CORRUPT_MATLS_FILE;
    if (!number || end == number || !is_delimiter(*end)) {
        report("Heading is missing a file format specification", line, "");
        return false;
    }
    if (value != FTP_MATL_FORMAT) {
        int shown = value < INT32_MIN ? INT32_MIN : value > INT32_MAX ? INT32_MAX : int(value);
        report(u_format("File format %d is not supported", shown), line, "");
        return false;
    }
    status_ = NO_ERROR;
    return true;
}

FtpMaterial* MaterialsReader::add_record() {
    if (table_.count == table_.capacity) {
        int32_t capacity = table_.capacity + kGrowBy;
        void* grown = u_realloc(table_.items, sizeof(FtpMaterial) * std::size_t(capacity));
        if (!grown) return nullptr;
        table_.items = static_cast<FtpMaterial*>(grown);
        table_.capacity = capacity;
    }
    FtpMaterial* record = &table_.items[table_.count++];
    std::memset(record, 0, sizeof *record);
    return record;
}

LineResult MaterialsReader::read_material(const char* line) {
    FtpMaterial m{};
    LineScanner scan{line};

    // Field 1: the name in double or single quotes. A missing field is
    // followed by its field's explanation, as an invalid one is (the ramp
    // configuration reader does the same).
    const std::string name_explanation = u_format(
        "The %s must be quoted text up to %d characters long\n", "Name", FTP_MATL_NAME_MAX);
    if (scan.at_end()) {
        report(u_format("Missing %s value (field %d)", "Name", 1), line, name_explanation);
        return LineResult::rejected;
    }
    const char* start = scan.p;
    const char quote = *start;
    const char* close = (quote == '"' || quote == '\'') ? std::strchr(start + 1, quote) : nullptr;
    const char* end = close ? close + 1 : start;
    while (!is_delimiter(*end)) ++end;
    scan.p = end;
    const std::size_t name_length = close ? std::size_t(close - start - 1) : 0;
    if (!close || end != close + 1 || name_length > std::size_t(FTP_MATL_NAME_MAX)) {
        report(u_format("Invalid %s value \"%s\" (field %d)", "Name",
                        std::string(start, end).c_str(), 1),
               line, name_explanation);
        return LineResult::rejected;
    }
    std::memcpy(m.name, start + 1, name_length);

    // Fields 2 to 8: numbers, "*" or "?".
    double* values[7] = {&m.n,         &m.k,         &m.pcor,     &m.disper[0],
                         &m.disper[1], &m.disper[2], &m.disper[3]};
    for (int i = 0; i < 7; ++i) {
        const FieldLimits& limits = kNumberFields[i];
        const int field = i + 2;
        const std::string explanation = u_format(
            "\tThe %s value must be a number\n\tgreater than or equal to %g and\n"
            "\tless than or equal to %g\n",
            limits.name, limits.low, limits.high);
        std::string token = scan.token();
        if (token.empty()) {
            report(u_format("Missing %s value (field %d)", limits.name, field), line, explanation);
            return LineResult::rejected;
        }
        if (token[0] == '*' || token[0] == '?') {
            *values[i] = FTP_MATL_NO_VALUE;
            continue;
        }
        char* stop = nullptr;
        double v = std::strtod(token.c_str(), &stop);
        // NaN fails both comparisons and is refused with the others.
        if (stop == token.c_str() || *stop != '\0' || !(v >= limits.low && v <= limits.high)) {
            report(
                u_format("Invalid %s value \"%s\" (field %d)", limits.name, token.c_str(), field),
                line, explanation);
            return LineResult::rejected;
        }
        *values[i] = v;
    }

    // Field 9: an optional comment, the rest of the line from its "#".
    if (!scan.at_end()) {
        if (*scan.p != '#') {
            report(u_format("Unexpected token \"%s\" (field %d)", scan.token().c_str(), 9), line,
                   "");
            return LineResult::rejected;
        }
        copy_cut(m.comment, scan.p, FTP_MATL_COMMENT_MAX);
    }

    FtpMaterial* record = add_record();
    if (!record) {
        status_ = ERR_NO_MEM;
        report("Out of memory", line, "");
        return LineResult::fatal;
    }
    *record = m;
    return LineResult::accepted;
}

int MaterialsReader::read(FtpMaterialTable* caller) {
    char line[kLineBuffer];
    std::size_t length = 0;
    bool heading_seen = false;
    int material_lines = 0;
    int accepted = 0;

    while (u_read_text_line(file_, line, sizeof line, &length, nullptr)) {
        ++line_number_;
        if (length > std::size_t(FTP_MATL_LINE_MAX)) {
            status_ = ERR_FTP_CORRUPT_MATLS_FILE;
            report(u_format("Line longer than %d characters", FTP_MATL_LINE_MAX), nullptr, "");
            return status_;
        }
        if (line[std::strspn(line, kDelimiters)] == '\0') continue;  // empty

        if (line[0] == '#' && std::strstr(line, kTitle)) {
            if (!read_heading(line)) return status_;
            heading_seen = true;
            continue;
        }
        if (line[0] == '#' && line[1] == '#') continue;
        if (line[0] == '#') {
            FtpMaterial* record = add_record();
            if (!record) {
                status_ = ERR_NO_MEM;
                report("Out of memory", line, "");
                return status_;
            }
            record->index = -1;
            copy_cut(record->comment, line, FTP_MATL_COMMENT_MAX);
            continue;
        }

        if (!heading_seen) {
            status_ = ERR_FTP_CORRUPT_MATLS_FILE;
            report("Missing heading", line, "");
            return status_;
        }
        ++material_lines;
        if (accepted > INT16_MAX) {  // the running number is 16 bits
            status_ = ERR_FTP_CORRUPT_MATLS_FILE;
            report(u_format("More than %d material specs", INT16_MAX + 1), line, "");
            return status_;
        }
        switch (read_material(line)) {
            case LineResult::accepted:
                table_.items[table_.count - 1].index = static_cast<int16_t>(accepted++);
                break;
            case LineResult::rejected:
                if (status_ != NO_ERROR) return status_;  // too many errors
                break;
            case LineResult::fatal:
                return status_;
        }
    }

    if (accepted == 0) {
        u_msg_sink("No acceptable material specs found\n");
        u_msg_sink("File heading (required):\n\n## %s - %s %d\n", kTitle, kFormatWord,
                   FTP_MATL_FORMAT);
        // The description has no final line end: the "\n" after it ends its
        // last line, as with the heading above and the ramp configuration
        // reader's description.
        u_msg_sink("Line format description:\n\n%s\n", ftp_materials_description());
        u_msg_sink("Sample line:\n\n%s\n", ftp_materials_sample_line());
        return ERR_FTP_CORRUPT_MATLS_FILE;
    }
    if (accepted < material_lines) {
        u_msg_sink("Accepted %d of %d material specs\n", accepted, material_lines);
    }
    ftp_materials_release(caller);
    *caller = table_;
    table_ = FtpMaterialTable{};
    return NO_ERROR;
}

void destroy_ftp_info(FtpInfo* ftp) {
    if (!ftp) return;
    ftp_materials_release(&ftp->materials);
    delete ftp;
}

}  // namespace

void ftp_materials_release(FtpMaterialTable* table) {
    if (!table) return;
    if (table->items) u_free(table->items);
    *table = FtpMaterialTable{};
}

int ftp_read_materials_stream(FILE* file, FtpMaterialTable* table) {
    if (!file || !table) return ERR_INVALID_PARAM;
    MaterialsReader reader(file);
    return reader.read(table);
}

int ftp_read_materials_file(const char* path, FtpMaterialTable* table) {
    if (!path || !path[0] || !table) return ERR_INVALID_PARAM;
    FILE* file = plat_fopen_regular(path, "r");
    if (!file) return ERR_CANT_OPEN_FILE;
    int status = ftp_read_materials_stream(file, table);
    std::fclose(file);
    return status;
}

const char* ftp_materials_description() {
    static const std::string text = [] {
        const double lo = -kTwoPi;
        const double hi = kTwoPi;
        std::string t = "##\n";
        t += u_format("## Name      = Material name in quotes (up to %d chars)\n",
                      FTP_MATL_NAME_MAX);
        t += u_format("## N         = N [%g,%g]\n", 0.0, 100.0);
        t += u_format("## K         = K [%g,%g]\n", 0.0, 100.0);
        t += u_format("## PCOR      = Phase Change On Reflection [%g,%g] rad \n", lo, hi);
        static const char* const fov[FTP_NUM_MAGS] = {"75mm", "65mm", "35mm", "15mm"};
        for (int i = 0; i < FTP_NUM_MAGS; ++i) {
            t += u_format("## Disper[%d] = Dispersion for %.1fX mag (%s FOV) [%g,%g] rad \n", i,
                          ftp_mag_table[i], fov[i], lo, hi);
        }
        t += u_format("## Comment   = Optional comment beginning with '#' (up to %d chars)\n",
                      FTP_MATL_COMMENT_MAX);
        t += "##";  // no final line end
        return t;
    }();
    return text.c_str();
}

const char* ftp_materials_column_heading() {
    return "## Name                   N           K          PCOR       Disper[0]  Disper[1]  "
           "Disper[2]  Disper[3] # Comment";
}

const char* ftp_materials_sample_line() {
    return "\"Aluminum\"              023.000000  085.000000  00.035766  00.000000  00.000000  "
           "00.000000  00.000000  # 606";
}

int ftp_info_attach(SystemInfo* info) {
    if (!info) return ERR_SYS_INFO_NOT_AVAIL;
    if (info->ftpInfo) return NO_ERROR;
    FtpInfo* ftp = new (std::nothrow) FtpInfo{};
    if (!ftp) return ERR_NO_MEM;
    for (int32_t& index : ftp->magIndex) index = -1;
    info->ftpInfo = SysOwned<FtpInfo>(ftp, SysDeleter<FtpInfo>{destroy_ftp_info});
    return NO_ERROR;
}

int ftp_check_magnifications(SystemInfo* info) {
    if (!info) return ERR_SYS_INFO_NOT_AVAIL;
    if (!info->ftpInfo) return ERR_FTP_NO_FTP_INFO;
    FtpInfo& ftp = *info->ftpInfo;
    for (int32_t& index : ftp.magIndex) index = -1;
    const int n = info->numNomMags < 0             ? 0
                  : info->numNomMags > SB_MAX_MAGS ? SB_MAX_MAGS
                                                   : info->numNomMags;
    for (int i = 0; i < n; ++i) {
        const double mag = info->nomMags[i];
        for (int j = 0; j < FTP_NUM_MAGS; ++j) {
            if (std::fabs(mag - ftp_mag_table[j]) <= kMagTolerance) {
                ftp.magIndex[i] = j;
                break;
            }
        }
        if (ftp.magIndex[i] < 0) {
            u_msg_sink("Magnification %3.1f is not allowed on an FTP system\n", mag);
            return ERR_FTP_INVALID_MAGNIFICATION;
        }
    }
    return NO_ERROR;
}

int ftp_load_materials(SystemInfo* info) {
    if (!info) return ERR_SYS_INFO_NOT_AVAIL;
    if (!info->ftpInfo) return ERR_FTP_NO_FTP_INFO;
    FtpInfo& ftp = *info->ftpInfo;
    ftp_materials_release(&ftp.materials);
    ftp.materialsPath.clear();

    if (info->ftpMaterials.empty()) {
        u_msg_sink("FTP materials file name is NULL\n");
        return ERR_INVALID_PARAM;
    }
    // Names written on Windows may hold backslashes.
    std::string name = info->ftpMaterials;
    for (char& c : name) {
        if (c == '\\') c = '/';
    }
    std::string path = name;
    if (name[0] != '/' && !(name.size() > 1 && name[1] == ':')) {
        const char* found = nullptr;
        int status = u_find_file(name.c_str(), &found);
        if (status != NO_ERROR || !found) {
            if (status == NO_ERROR) status = ERR_CANT_READ_FILE;
            u_msg_sink("Cannot access FTP materials file \"%s\"\n", info->ftpMaterials.c_str());
            u_msg_sink("%s\n", u_error_name(status));
            return ERR_FTP_CANT_READ_MATLS_FILE;
        }
        path = found;
    }
    ftp.materialsPath = path;

    int status = ftp_read_materials_file(path.c_str(), &ftp.materials);
    if (status != NO_ERROR) {
        u_msg_sink("Error reading FTP materials file \"%s\"\n", path.c_str());
        u_msg_sink("%s\n", u_error_name(status));
        return ERR_FTP_CANT_READ_MATLS_FILE;
    }
    return ftp_check_magnifications(info);
}
