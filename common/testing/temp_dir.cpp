#include "common/testing/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "common/testing/child_process.h"

TempDir::TempDir() {
    namespace fs = std::filesystem;
    // create_directory says whether it made the directory, so two tests
    // never share one; UTF-8 with '/' separators, as the library's own paths.
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device seed;
    std::mt19937_64 random(seed());
    // A child run of the test takes the directory its parent made here.
    path_ = run_in_child_inherited_temp_dir();
    if (!path_.empty()) {
        std::error_code ignored;
        fs::create_directories(utf8_path(path_), ignored);
        return;
    }
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = "surftest-";
        for (int i = 0; i < 8; ++i) name += kChars[random() % (sizeof kChars - 1)];
        std::error_code error;
        if (fs::create_directory(base / name, error)) {
            const std::u8string text = (base / name).generic_u8string();
            path_.assign(text.begin(), text.end());
            run_in_child_note_temp_dir(path_);
            return;
        }
        if (error) throw std::runtime_error("cannot create a directory in " + base.string());
    }
    throw std::runtime_error("no free directory name in " + base.string());
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path utf8_path(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(utf8_path(path), std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
    std::ifstream in(utf8_path(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
