// Test support: captures everything sent through u_msg_sink while alive.
#pragma once

#include <string>

class CapturedMessages {
  public:
    CapturedMessages();   // installs the capturing sink
    ~CapturedMessages();  // puts the previous sink back
    CapturedMessages(const CapturedMessages&) = delete;
    CapturedMessages& operator=(const CapturedMessages&) = delete;

    std::string text() const;  // everything captured so far
    void clear();
};
