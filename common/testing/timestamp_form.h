// Test support: checks the form of a time-stamp text.
#pragma once

#include <string>

// True when text has the form 2011-06-30 14:05:09.
inline bool looks_like_timestamp(const std::string& text) {
    const std::string form = "dddd-dd-dd dd:dd:dd";
    if (text.size() != form.size()) return false;
    for (std::size_t i = 0; i < form.size(); ++i) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if (form[i] == 'd' ? !digit : text[i] != form[i]) return false;
    }
    return true;
}
