// Test support: a fresh directory under /tmp, removed with its contents at the end.
#pragma once

#include <string>

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Whole-file helpers for tests; read_file gives "" for a missing file.
void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
