// Test support: a fresh directory in the system's temporary directory,
// removed with its contents at the end; its path uses '/' separators.
#pragma once

#include <filesystem>
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

// The file-system path of a UTF-8 text (on Windows the narrow calls would
// take it in the code page instead).
std::filesystem::path utf8_path(const std::string& text);

// Whole-file helpers for tests, UTF-8 paths; read_file gives "" for a missing file.
void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
