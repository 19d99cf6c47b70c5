// Fuzz target: the system calibration file reader, on a whole file or on one
// "+" line, and the writer on whatever was read.
//
// An input that begins with '+' is passed as a "+" text (up to its first zero
// byte) to the record of slot 0; any other input is read as a calibration file.
// A file that reads without error must write a text that reads back without
// error and writes the same text again; anything else is a fault and aborts.
// A file that contradicts itself with two Version lines is only read.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/msg.h"
#include "config/sbcal.h"

namespace {

// Lines whose first word is "version": the board kind decides how later lines
// read, so a second one can leave values that only its predecessor allowed.
int version_lines(const std::string& text) {
    int count = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::size_t i = pos;
        while (i < end && (text[i] == ' ' || text[i] == '\t')) ++i;
        std::string word;
        while (i < end && word.size() < 8 && !std::isspace(static_cast<unsigned char>(text[i])))
            word += static_cast<char>(std::tolower(static_cast<unsigned char>(text[i++])));
        if (word == "version") ++count;
        pos = end + 1;
    }
    return count;
}

void fault(const char* what, const std::string& a, const std::string& b) {
    std::fprintf(stderr, "sbcal_fuzz: %s\n--- first\n%s\n--- second\n%s\n", what, a.c_str(),
                 b.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    UMsgSink previous = u_set_msg_sink(u_msg_discard);
    sb_readCal(0, "+DEFAULTS");
    const char* text = reinterpret_cast<const char*>(data);

    if (size > 0 && data[0] == '+') {
        std::string line(text, size);
        line.resize(std::char_traits<char>::length(line.c_str()));
        sb_readCal(0, line.c_str());
        std::string written;
        sb_format_cal(*sb_system_info(0), "fuzz", true, &written);
    } else if (sb_read_cal_text(0, text, size, "fuzz") == 0) {
        std::string first, second;
        sb_format_cal(*sb_system_info(0), "fuzz", true, &first);
        int status = sb_read_cal_text(1, first.data(), first.size(), "fuzz");
        if (version_lines(std::string(text, size)) <= 1) {
            if (status != 0)
                fault("a written file does not read back", std::string(text, size), first);
            sb_format_cal(*sb_system_info(1), "fuzz", true, &second);
            if (second != first)
                fault("a written file does not write back the same", first, second);
        }
    }
    u_set_msg_sink(previous);
    return 0;
}
