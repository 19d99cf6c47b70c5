#include "common/fieldparse.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "common/msg.h"
#include "platform/path.h"

namespace {

const char* const kDefaultDelimiters = " \t";

// Each thread tokenizes its own line.
thread_local char* t_token_position = nullptr;

bool has_text(const char* s) {
    return s != nullptr && s[0] != '\0';
}

enum class NumberFault { none, missing, not_a_number, extra, out_of_range };

const char* fault_reason(NumberFault fault) {
    switch (fault) {
        case NumberFault::missing:
            return "Missing number.\n";
        case NumberFault::not_a_number:
            return "Not a number.\n";
        case NumberFault::extra:
            return "Extra characters after number.\n";
        case NumberFault::out_of_range:
            return "Number out of range.\n";
        case NumberFault::none:
            break;
    }
    return "";
}

void explain_start(UTextBuffer* message, NumberFault fault, const char* description,
                   const char* kind) {
    u_text_append(message, "%sExpected", fault_reason(fault));
    if (has_text(description)) u_text_append(message, " '%.40s'", description);
    u_text_append(message, " %s", kind);
}

// Reads one answer line of a prompt into line (512 bytes). False at the end of
// input or for an empty answer. The rest of an overlong answer is dropped so
// that it does not become the next prompt's answer.
bool read_answer(char* line) {
    if (!std::fgets(line, 512, stdin)) return false;
    if (!std::strchr(line, '\n')) {
        int c;
        while ((c = std::getchar()) != EOF && c != '\n') {
        }
    }
    return line[0] != '\n' && !(line[0] == '\r' && line[1] == '\n');
}

// One step of strxcmp: the next byte of a text as the comparison sees it,
// 0 at its end.
struct XcmpCursor {
    const unsigned char* p;
    bool colon_is_blank;
    bool in_quotes;

    int next() {
        for (;;) {
            unsigned char c = *p;
            if (c == '\0') return 0;
            ++p;
            if (colon_is_blank && c == ':') c = ' ';
            if (c == '"') {
                in_quotes = !in_quotes;
                return c;
            }
            if (!in_quotes && std::isspace(c)) continue;
            return std::toupper(c);
        }
    }
};

}  // namespace

void u_text_clear(UTextBuffer* buffer) {
    if (buffer && buffer->text && buffer->size > 0) buffer->text[0] = '\0';
}

void u_text_append(UTextBuffer* buffer, const char* format, ...) {
    if (!buffer || !buffer->text || buffer->size == 0) return;
    std::size_t used = strnlen(buffer->text, buffer->size);
    if (used >= buffer->size) {  // not terminated: make it so and keep it full
        buffer->text[buffer->size - 1] = '\0';
        return;
    }
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer->text + used, buffer->size - used, format, args);
    va_end(args);
}

char* u_next_token(char* text, const char* delimiters) {
    if (!delimiters) delimiters = kDefaultDelimiters;
    if (!text && !t_token_position) return nullptr;
    return strtok_r(text, delimiters, &t_token_position);
}

bool u_parse_int_field(char* text, const char* delimiters, const char* description, int32_t low,
                       int32_t high, const char* keyword, UTextBuffer* message, int32_t* value) {
    u_text_clear(message);
    if (!value) return false;
    *value = U_FIELD_NO_INT;

    const bool has_low = low != U_FIELD_NO_LOW;
    const bool has_high = high != U_FIELD_NO_HIGH;
    NumberFault fault = NumberFault::none;
    char* token = u_next_token(text, delimiters);
    if (!token) {
        fault = NumberFault::missing;
    } else {
        if (keyword && strxcmp(token, keyword) != 0) return false;
        char* end = nullptr;
        errno = 0;
        long v = std::strtol(token, &end, 10);
        if (end == token) {
            fault = NumberFault::not_a_number;
        } else if (*end != '\0') {
            fault = NumberFault::extra;
        } else if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX || (has_low && v < low) ||
                   (has_high && v > high)) {
            fault = NumberFault::out_of_range;
        } else {
            *value = static_cast<int32_t>(v);
            return true;
        }
    }
    if (!message) return false;
    explain_start(message, fault, description, "an integer value");
    if (has_low && has_high) {
        u_text_append(message, " in the range [%d,%d]", low, high);
    } else if (!has_low) {
        u_text_append(message, " less than or equal to %d", high);
    } else {
        u_text_append(message, " greater than or equal to %d", low);
    }
    u_text_append(message, "\n");
    return false;
}

bool u_parse_double_field(char* text, const char* delimiters, const char* description, double low,
                          double high, const char* keyword, UTextBuffer* message, double* value) {
    u_text_clear(message);
    if (!value) return false;
    *value = HUGE_VAL;

    // Written so that a NaN bound counts as none.
    const bool has_low = low > -HUGE_VAL;
    const bool has_high = high < HUGE_VAL;
    NumberFault fault = NumberFault::none;
    char* token = u_next_token(text, delimiters);
    if (!token) {
        fault = NumberFault::missing;
    } else {
        if (keyword && strxcmp(token, keyword) != 0) return false;
        char* end = nullptr;
        double v = std::strtod(token, &end);
        if (end == token) {
            fault = NumberFault::not_a_number;
        } else if (*end != '\0') {
            fault = NumberFault::extra;
        } else if (std::isnan(v)) {
            fault = NumberFault::not_a_number;
        } else if (std::isinf(v) || (has_low && v < low) || (has_high && v > high)) {
            fault = NumberFault::out_of_range;
        } else {
            *value = v;
            return true;
        }
    }
    if (!message) return false;
    explain_start(message, fault, description, "a floating point value");
    if (has_low && has_high) {
        u_text_append(message, " in the range [%g,%g]", low, high);
    } else if (!has_low) {
        u_text_append(message, " less than or equal to %g", high);
    } else {
        u_text_append(message, " greater than or equal to %g", low);
    }
    u_text_append(message, "\n");
    return false;
}

bool u_parse_string_field(char* text, const char* delimiters, const char* description,
                          int max_chars, UTextBuffer* message, char* destination) {
    u_text_clear(message);
    if (!destination || max_chars < 2) return false;
    destination[0] = '\0';
    char* token = u_next_token(text, delimiters);
    if (token) {
        std::size_t length = std::strlen(token);
        if (length <= static_cast<std::size_t>(max_chars)) {
            std::memcpy(destination, token, length + 1);
            return true;
        }
    }
    if (!message) return false;
    if (!token) {
        u_text_append(message, "Missing string.\n");
    } else {
        u_text_append(message, "String longer than maximum of %d characters.\n", max_chars);
    }
    if (has_text(description)) {
        u_text_append(message, "Expected %s,", description);
    } else {
        u_text_append(message, "Expected");
    }
    u_text_append(message, " a string of up to %d characters\n", max_chars);
    return false;
}

int strxcmp(const char* text, const char* keyword) {
    // Compared on the fly rather than on squeezed copies, so that no
    // allocation can fail.
    XcmpCursor a{reinterpret_cast<const unsigned char*>(text ? text : ""), true, false};
    XcmpCursor b{reinterpret_cast<const unsigned char*>(keyword ? keyword : ""), false, false};
    for (;;) {
        int ca = a.next();
        int cb = b.next();
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
}

int u_squeeze_blanks(char* text) {
    if (!text) return 0;
    bool in_quotes = false;
    char* out = text;
    int removed = 0;
    for (char* p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"') in_quotes = !in_quotes;
        if (!in_quotes && std::isspace(c)) {
            ++removed;
            continue;
        }
        *out++ = *p;
    }
    *out = '\0';
    return removed;
}

bool u_prompt_double(const char* prompt, double* value) {
    if (!value) return false;
    if (prompt) {
        std::printf(prompt, *value);
        std::fflush(stdout);
    }
    char line[512];
    if (!read_answer(line)) return false;
    char* end = nullptr;
    double v = std::strtod(line, &end);
    if (end == line || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

bool u_prompt_float(const char* prompt, float* value) {
    if (!value) return false;
    if (prompt) {
        std::printf(prompt, static_cast<double>(*value));
        std::fflush(stdout);
    }
    char line[512];
    if (!read_answer(line)) return false;
    char* end = nullptr;
    double v = std::strtod(line, &end);
    if (end == line || !std::isfinite(v)) return false;
    *value = static_cast<float>(v);
    return true;
}

namespace {
// An int answer, clamped to 32 bits as the documented runtime's strtol does.
bool prompt_long(const char* prompt, int current, long* out) {
    if (prompt) {
        std::printf(prompt, current);
        std::fflush(stdout);
    }
    char line[512];
    if (!read_answer(line)) return false;
    char* end = nullptr;
    long v = std::strtol(line, &end, 10);
    if (end == line) return false;
    *out = v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v;
    return true;
}
}  // namespace

bool u_prompt_int(const char* prompt, int32_t* value) {
    if (!value) return false;
    long v = 0;
    if (!prompt_long(prompt, *value, &v)) return false;
    *value = static_cast<int32_t>(v);
    return true;
}

bool u_prompt_short(const char* prompt, int16_t* value) {
    if (!value) return false;
    long v = 0;
    if (!prompt_long(prompt, *value, &v)) return false;
    *value = static_cast<int16_t>(static_cast<uint16_t>(v & 0xFFFF));
    return true;
}

bool u_prompt_yes_no(const char* prompt, bool* flag) {
    if (!flag) return false;
    if (prompt) {
        std::printf(prompt, *flag ? 'y' : 'n');
        std::fflush(stdout);
    }
    char line[512];
    if (!read_answer(line)) return false;
    int c = std::tolower(static_cast<unsigned char>(line[0]));
    if (c == 'y' || c == '1') {
        *flag = true;
        return true;
    }
    if (c == 'n' || c == '0') {
        *flag = false;
        return true;
    }
    return false;
}

bool u_prompt_string(const char* prompt, char* buffer, int size) {
    if (!buffer || size <= 0) return false;
    if (prompt) {
        std::printf(prompt, buffer);
        std::fflush(stdout);
    }
    char line[512];
    if (!read_answer(line)) return false;
    line[std::strcspn(line, "\r\n")] = '\0';
    std::strncpy(buffer, line, static_cast<std::size_t>(size));
    buffer[size - 1] = '\0';
    return true;
}

void u_list_file(const char* path, const char* prefix) {
    FILE* file = path ? plat_fopen_regular(path, "r") : nullptr;
    if (!file) {
        u_msg_sink("Cannot read file %s\n", path ? path : "");
        return;
    }
    if (!prefix) prefix = "";
    char line[512];
    while (u_read_text_line(file, line, sizeof line, nullptr, nullptr)) {
        u_msg_sink("%s%s\n", prefix, line);
    }
    std::fclose(file);
}

bool u_read_text_line(FILE* file, char* buffer, std::size_t size, std::size_t* length,
                      bool* has_end) {
    std::size_t n = 0;  // characters of the line so far
    std::size_t kept = 0;
    bool pending_cr = false;  // a CR not yet known to come before the line end
    bool ended = false;
    bool any = false;
    int c;
    auto keep = [&](char ch) {
        if (buffer && kept + 1 < size) buffer[kept++] = ch;
        ++n;
    };
    while ((c = std::getc(file)) != EOF) {
        any = true;
        if (c == '\n') {
            ended = true;
            break;
        }
        if (pending_cr) keep('\r');
        pending_cr = c == '\r';
        if (!pending_cr) keep(static_cast<char>(c));
    }
    if (buffer && size > 0) buffer[kept] = '\0';
    if (length) *length = n;
    if (has_end) *has_end = ended;
    return any;
}
