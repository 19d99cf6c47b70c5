#include "common/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/msg.h"
#include "common/status.h"
#include "common/timing.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/tempfile.h"

void u_msg_stamped(const char* format, ...) {
    char text[512] = {};
    u_timestamp(text);
    u_msg_sink("%s ", text);
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    u_msg_sink("%s", text);
}

void u_print_error(int code) {
    if (code != 0) u_msg_sink("%s\n", u_error_name(code));
}

void u_fatal_error(int code) {
    if (code == 0) return;
    u_print_error(code);
    std::exit(1);
}

void u_print_system_error(uint32_t code) {
    char text[512];
    u_system_error_text(code, text);
    u_msg_sink("%s\n", text);
}

namespace {
constexpr std::size_t kChunk = 64 * 1024;

// Copies the rest of `from` into `to`. Reports which side failed.
enum class CopyResult { ok, read_failed, write_failed };

CopyResult copy_rest(FILE* from, FILE* to) {
    std::string buffer(kChunk, '\0');
    for (;;) {
        std::size_t n = std::fread(buffer.data(), 1, buffer.size(), from);
        if (n > 0 && std::fwrite(buffer.data(), 1, n, to) != n) return CopyResult::write_failed;
        if (n < buffer.size()) return std::ferror(from) ? CopyResult::read_failed : CopyResult::ok;
    }
}

bool write_text(FILE* file, const char* text) {
    std::size_t n = std::strlen(text);
    return std::fwrite(text, 1, n, file) == n;
}

// Closes a stream and says whether everything written to it reached the file.
bool close_checked(FILE* file) {
    bool ok = !std::ferror(file);
    return std::fclose(file) == 0 && ok;
}

// Drops whole lines from the start of the log until at least `count` bytes are
// gone; the stream is left at the start of the first line kept.
bool skip_lines(FILE* log, int64_t count) {
    if (std::fseek(log, 0, SEEK_SET) != 0) return false;
    char line[512];
    bool line_start = true;
    for (;;) {
        long pos = std::ftell(log);
        if (pos < 0) return false;
        if (pos >= count && line_start) return true;
        if (std::fgets(line, sizeof line, log) == nullptr) {
            // The file ended inside the last line: it is dropped too.
            return std::feof(log) && !std::ferror(log) && pos >= count;
        }
        long end = std::ftell(log);
        if (end < 0) return false;
        // Positions, not the text, tell how much was read: a line may hold a
        // zero byte, and CR LF ends count as the two bytes they are.
        long n = end - pos;
        line_start = n > 0 && n < static_cast<long>(sizeof line) && line[n - 1] == '\n';
    }
}

int access_error(const char* path) {
    u_msg_sink("u_log_to_file: error accessing file '%s'\n", path);
    return ERR_FILE_IO;
}

int write_error(const char* path) {
    u_msg_sink("u_log_to_file: error writing file '%s'\n", path);
    return ERR_FILE_IO;
}

FILE* open_log(const char* path) {
    FILE* log = std::fopen(path, "a+e");
    if (log != nullptr) return log;
    // A log that cannot be opened is started afresh, unless it is write-protected:
    // protected logs are not deleted.
    if (errno == EACCES || errno == EPERM || errno == EROFS) return nullptr;
    plat_remove(path);
    return std::fopen(path, "we");
}

// Writes what is kept of the log and the new text into a temporary file beside
// it, then puts that file in the log's place.
int rewrite_log(FILE* log, const char* path, const char* text) {
    std::string temp;
    FILE* out = plat_temp_beside(path, "_log", &temp);
    if (out == nullptr) {
        std::fclose(log);
        if (temp.empty()) {
            u_msg_sink("u_log_to_file: cannot obtain temp file name\n");
        } else {
            u_msg_sink("u_log_to_file: cannot create temp file '%s'\n", temp.c_str());
        }
        return ERR_CANT_CREATE_FILE;
    }
    CopyResult copied = copy_rest(log, out);
    std::fclose(log);
    bool written = copied == CopyResult::ok && (text == nullptr || write_text(out, text)) &&
                   plat_sync_file(out);
    written = close_checked(out) && written;
    int status = NO_ERROR;
    if (copied == CopyResult::read_failed) {
        status = access_error(path);
    } else if (!written) {
        status = write_error(temp.c_str());
    } else if (!plat_replace_with_temp(temp.c_str(), path)) {
        u_msg_sink("u_copy_file failed: win_err = %d\n", errno);
        u_msg_sink("u_log_to_file: cannot copy temp file '%s' to '%s'\n", temp.c_str(), path);
        status = ERR_CANT_WRITE_FILE;
    }
    if (status != NO_ERROR) plat_remove(temp.c_str());
    return status;
}
}  // namespace

int u_log_to_file(const char* path, const char* text, int max_size, int keep_size) {
    if (path == nullptr) return access_error("");
    FILE* log = open_log(path);
    if (log == nullptr) return access_error(path);
    if (max_size > 0) {
        PlatFileStatus st{};
        if (!plat_fstat(log, &st)) {
            std::fclose(log);
            return access_error(path);
        }
        if (st.size >= max_size && keep_size > 0 && st.size > keep_size) {
            if (!skip_lines(log, st.size - keep_size)) {
                std::fclose(log);
                return access_error(path);
            }
            return rewrite_log(log, path, text);
        }
    }
    bool written = text == nullptr || write_text(log, text);
    if (!close_checked(log) || !written) return write_error(path);
    return NO_ERROR;
}

int u_copy_file(const char* source, const char* destination) {
    auto fail = [](int error) {
        u_msg_sink("u_copy_file failed: win_err = %d\n", error != 0 ? error : EIO);
        return static_cast<int>(ERR_CANT_WRITE_FILE);
    };
    if (source == nullptr || destination == nullptr) return fail(EINVAL);
    FILE* in = plat_fopen_regular(source, "rb");
    if (in == nullptr) return fail(errno);

    // A destination that exists but is no regular file or directory (a pipe, a
    // device) is written directly: renaming over it would replace it.
    PlatFileStatus st{};
    std::string real = plat_link_target(destination);
    unsigned type = plat_stat(real.c_str(), &st) ? st.mode & PLAT_S_IFMT : 0;
    bool direct = type != 0 && type != PLAT_S_IFREG && type != PLAT_S_IFDIR;

    std::string temp;
    FILE* out =
        direct ? std::fopen(real.c_str(), "wbe") : plat_temp_beside(destination, "_copy", &temp);
    if (out == nullptr) {
        int error = errno;
        std::fclose(in);
        return fail(error);
    }
    int error = 0;
    if (copy_rest(in, out) != CopyResult::ok || (!direct && !plat_sync_file(out))) error = errno;
    std::fclose(in);
    if (!close_checked(out) && error == 0) error = errno;
    if (!direct) {
        if (error == 0 && !plat_replace_with_temp(temp.c_str(), destination, source)) error = errno;
        if (error != 0) plat_remove(temp.c_str());
    }
    return error != 0 ? fail(error) : NO_ERROR;
}
