// Converter benchmark: synthetic 2048 x 2048 and 4096 x 4096 maps converted
// with the command-line driver's own call, beside the cost of writing the same
// bytes through a 64 KiB user buffer. It then times the export alone on one
// thread and on all threads, and checks every byte of the output against a
// plain reference: each point sampled with sample_phase and each value
// formatted with snprintf("%g").
//
//   surfconv_bench [dir]               both sizes, files under dir (default /tmp)
//   surfconv_bench --one N width dir   one size in this process (peak memory is
//                                      then that of the conversion alone)
//   surfconv_bench --gen N path        writes the synthetic input file
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/gridsag.h"
#include "app/gridsag_internal.h"
#include "app/gridsag_reference.h"
#include "common/status.h"
#include "datafile/datfile.h"
#include "datafile/surface.h"
#include "platform/resources.h"
#include "tools/datgen.h"

namespace {

double now_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int generate(int n, const char* path) {
    DatGenOptions options;
    options.window = Window{0, 0, static_cast<int16_t>(n), static_cast<int16_t>(n)};
    options.shape = DATGEN_SPHERE;
    options.radius_mm = 200.0;
    options.lateral_res = 5e-6f;
    DatImage image;
    std::string error;
    if (!datgen_synthesize(options, &image, &error)) {
        std::fprintf(stderr, "datgen: %s\n", error.c_str());
        return 1;
    }
    return dat_image_write(path, image) ? 0 : 1;
}

// A file mapped read-only, its pages read in before use.
struct Mapped {
    const char* data = nullptr;
    size_t size = 0;
    bool open(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        struct stat st {};
        if (fstat(fd, &st) != 0 || st.st_size <= 0) {
            ::close(fd);
            return false;
        }
        size = static_cast<size_t>(st.st_size);
        void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        ::close(fd);
        if (p == MAP_FAILED) return false;
        data = static_cast<const char*>(p);
        return true;
    }
    ~Mapped() {
        if (data != nullptr) munmap(const_cast<char*>(data), size);
    }
};

// Writes the bytes of `src` to `path` as a buffered stream would: copied into
// a 64 KiB buffer, each full buffer one write(2). Returns seconds or -1.
double plain_write_seconds(const Mapped& src, const std::string& path) {
    std::vector<char> buf(64 * 1024);
    const double start = now_seconds();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    bool ok = true;
    for (size_t at = 0; ok && at < src.size; at += buf.size()) {
        const size_t n = std::min(buf.size(), src.size - at);
        std::memcpy(buf.data(), src.data + at, n);
        ok = ::write(fd, buf.data(), n) == static_cast<ssize_t>(n);
    }
    ok = ::close(fd) == 0 && ok;
    const double seconds = now_seconds() - start;
    std::remove(path.c_str());
    return ok ? seconds : -1;
}

struct Input {
    HeaderPreamble preamble{};
    HeaderRecord header{};
    PhaseMatrix phase{};
    Input() { phase.clear(); }
    ~Input() {
        if (phase.matrix != nullptr) phase.release();
    }
    // Read and trimmed as the driver does; rows and columns as it derives them.
    bool load(const std::string& path, int width, int* rows, int* columns) {
        std::string p = path;
        p.append(2, '\0');
        if (dat_read_file(p.c_str(), &preamble, &header, nullptr, &phase) != NO_ERROR) return false;
        if (phase.trim_to_valid() != NO_ERROR) return false;
        const int64_t w = phase.window.width, h = phase.window.height;
        int64_t r = h * width / w;
        if (r % 2 == 0) r += 1;
        *rows = static_cast<int>(r + 2);
        *columns = width + 2;
        return true;
    }
};

// The reference text of the trimmed matrix compared with the file's bytes a
// row at a time. Returns the offset of the first difference, or -1.
long long first_difference(const Input& in, int rows, int columns, const Mapped& file) {
    GridSagReference ref;
    if (!ref.start(in.header, in.phase, rows, columns)) return 0;
    std::string text = ref.head();
    size_t at = 0;
    for (int i = 0;; ++i) {
        if (at + text.size() > file.size ||
            std::memcmp(file.data + at, text.data(), text.size()) != 0) {
            break;
        }
        at += text.size();
        text.clear();
        if (i == rows) break;
        ref.row(i, &text);
    }
    if (at == file.size && text.empty()) return -1;
    for (size_t n = 0; n < text.size() && at + n < file.size; ++n) {
        if (file.data[at + n] != text[n]) return static_cast<long long>(at + n);
    }
    return static_cast<long long>(std::min(file.size, at + text.size()));
}

int run_one(int n, int width, const std::string& dir) {
    const std::string input = dir + "/bench_" + std::to_string(n) + ".dat";
    const std::string output = dir + "/bench_" + std::to_string(n) + ".grd";
    const std::string plain = dir + "/bench_" + std::to_string(n) + ".plain";

    std::string argv0 = "surfconv", flag = "-f", width_text = std::to_string(width);
    std::vector<char*> args = {argv0.data(), flag.data(), const_cast<char*>(input.c_str()),
                               const_cast<char*>(output.c_str()), width_text.data()};
    // Each timed write starts with no dirty pages left by the one before it.
    sync();
    const double cpu_start = plat_cpu_seconds();
    const double start = now_seconds();
    const int status = surfconv_main(static_cast<int>(args.size()), args.data());
    const double seconds = now_seconds() - start;
    const double cpu = plat_cpu_seconds() - cpu_start;
    const double peak = plat_peak_rss_mb();
    if (status != 0) {
        std::fprintf(stderr, "conversion failed with exit status %d\n", status);
        return 1;
    }
    int failures = 0;
    double plain_seconds = -1;
    {
        Mapped file;
        if (!file.open(output)) {
            std::fprintf(stderr, "cannot map %s\n", output.c_str());
            return 1;
        }
        // The faster of two runs: the first write after a large one can stall
        // on the file system for seconds.
        for (int run = 0; run < 2; ++run) {
            sync();
            const double t = plain_write_seconds(file, plain);
            if (t > 0 && (plain_seconds < 0 || t < plain_seconds)) plain_seconds = t;
        }
        const double phase_mb = static_cast<double>(n) * n * 4 / (1024.0 * 1024.0);
        std::printf(
            "%dx%d width %d: conversion %.3f s (cpu %.3f s), %.1f MB; plain 64 KiB write %.3f s "
            "(faster of two); "
            "ratio %.2f; peak RSS %.1f MB (phase matrix %.1f MB)\n",
            n, n, width, seconds, cpu, static_cast<double>(file.size) / 1e6, plain_seconds,
            seconds / plain_seconds, peak, phase_mb);
        std::fflush(stdout);

        Input in;
        int rows = 0, columns = 0;
        if (!in.load(input, width, &rows, &columns)) {
            std::fprintf(stderr, "cannot read %s\n", input.c_str());
            return 1;
        }
        const double points = static_cast<double>(rows) * columns;
        std::printf("  export alone, %d x %d points:", columns, rows);
        for (int threads : {1, 0}) {
            GridSagOptions options{GRID_SAG_DERIV_SAMPLED, threads};
            const std::string path = output + ".t" + std::to_string(threads) + std::string(2, '\0');
            sync();
            const double c0 = plat_cpu_seconds();
            const double t0 = now_seconds();
            const int rc =
                write_grid_sag_ex(path.c_str(), &in.header, &in.phase, rows, columns, &options);
            const double t = now_seconds() - t0;
            const double c = plat_cpu_seconds() - c0;
            std::remove(path.c_str());
            if (rc != NO_ERROR) {
                std::printf(" failed (%s)", u_error_name(rc));
                ++failures;
                continue;
            }
            std::printf(" %s %.3f s (cpu %.3f s), %.1f ns/point;",
                        threads == 1 ? "1 thread" : "all threads", t, c, t / points * 1e9);
        }
        const double r0 = now_seconds();
        const long long diff = first_difference(in, rows, columns, file);
        std::printf(" reference check (%.1f s): %s", now_seconds() - r0,
                    diff < 0 ? "bytes identical" : "DIFFERENT");
        if (diff >= 0) {
            std::printf(" from byte %lld", diff);
            ++failures;
        }
        std::printf("\n");
    }
    std::remove(output.c_str());
    return failures == 0 && plain_seconds > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--gen") {
        return generate(std::atoi(argv[2]), argv[3]);
    }
    if (argc == 5 && std::string(argv[1]) == "--one") {
        return run_one(std::atoi(argv[2]), std::atoi(argv[3]), argv[4]);
    }
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    const std::string self = argv[0];
    // Other work on the machine shows in every wall time: say how much there was.
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        char line[128] = {};
        if (std::fgets(line, sizeof line, f) != nullptr) std::printf("load average: %s", line);
        std::fclose(f);
    }
    std::printf("row sampling: %s\n",
                gridsag_wide_kernel_available() ? "four lanes (AVX2)" : "portable");
    const struct {
        int n;
        int width;
    } sizes[] = {{2048, 2045}, {4096, 4093}};
    int failures = 0;
    for (const auto& size : sizes) {
        const std::string input = dir + "/bench_" + std::to_string(size.n) + ".dat";
        // Generation and conversion run in processes of their own, so that the
        // peak memory reported is the conversion's alone.
        std::string gen = "'" + self + "' --gen " + std::to_string(size.n) + " '" + input + "'";
        std::string one = "'" + self + "' --one " + std::to_string(size.n) + " " +
                          std::to_string(size.width) + " '" + dir + "' 2>/dev/null";
        if (std::system(gen.c_str()) != 0 || std::system(one.c_str()) != 0) {
            std::fprintf(stderr, "benchmark of %dx%d failed\n", size.n, size.n);
            ++failures;
        }
        std::remove(input.c_str());
    }
    return failures == 0 ? 0 : 1;
}
