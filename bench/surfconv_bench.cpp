// Converter benchmark: synthetic 2048 x 2048 and 4096 x 4096 maps converted
// with the command-line driver's own call, beside the cost of simply writing
// the same number of bytes with buffered fwrite.
//
//   surfconv_bench [dir]               both sizes, files under dir (default /tmp)
//   surfconv_bench --one N width dir   one size in this process (peak memory is
//                                      then that of the conversion alone)
//   surfconv_bench --gen N path        writes the synthetic input file
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/driver.h"
#include "platform/resources.h"
#include "tools/datgen.h"

namespace {

double now_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

long long file_size(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return -1;
    std::fseek(f, 0, SEEK_END);
    long long n = std::ftell(f);
    std::fclose(f);
    return n;
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

// Writes `bytes` of grid-sag-like text with plain buffered fwrite.
double plain_write_seconds(const std::string& path, long long bytes) {
    std::vector<char> block(1 << 20);
    const char line[] = "-0.000123456 1.23457e-05 -2.34568e-05 3.45679e-09 0\n";
    for (size_t i = 0; i < block.size(); ++i) block[i] = line[i % (sizeof line - 1)];
    const double start = now_seconds();
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return -1;
    long long left = bytes;
    while (left > 0) {
        size_t n = static_cast<size_t>(std::min<long long>(left, block.size()));
        if (std::fwrite(block.data(), 1, n, f) != n) break;
        left -= static_cast<long long>(n);
    }
    std::fclose(f);
    const double seconds = now_seconds() - start;
    std::remove(path.c_str());
    return seconds;
}

int run_one(int n, const char* width, const std::string& dir) {
    const std::string input = dir + "/bench_" + std::to_string(n) + ".dat";
    const std::string output = dir + "/bench_" + std::to_string(n) + ".grd";
    const std::string plain = dir + "/bench_" + std::to_string(n) + ".plain";

    std::string argv0 = "surfconv";
    std::string flag = "-f";
    std::vector<char*> args = {argv0.data(), flag.data(), const_cast<char*>(input.c_str()),
                               const_cast<char*>(output.c_str()), const_cast<char*>(width)};
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
    const long long bytes = file_size(output);
    const double plain_seconds = plain_write_seconds(plain, bytes);
    const double phase_mb = static_cast<double>(n) * n * 4 / (1024.0 * 1024.0);
    std::printf(
        "%dx%d width %s: %.3f s (cpu %.3f s), %.1f MB out, %.1f MB/s, peak RSS %.1f MB (phase "
        "matrix %.1f MB); plain fwrite %.3f s (%.1f MB/s), ratio %.2f\n",
        n, n, width, seconds, cpu, bytes / 1e6, bytes / 1e6 / seconds, peak, phase_mb,
        plain_seconds, bytes / 1e6 / plain_seconds, seconds / plain_seconds);
    std::fflush(stdout);
    std::remove(output.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--gen") {
        return generate(std::atoi(argv[2]), argv[3]);
    }
    if (argc == 5 && std::string(argv[1]) == "--one") {
        return run_one(std::atoi(argv[2]), argv[3], argv[4]);
    }
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    const std::string self = argv[0];
    const struct {
        int n;
        const char* width;
    } sizes[] = {{2048, "2045"}, {4096, "4093"}};
    int failures = 0;
    for (const auto& size : sizes) {
        const std::string input = dir + "/bench_" + std::to_string(size.n) + ".dat";
        // Generation and conversion run in processes of their own, so that the
        // peak memory reported is the conversion's alone.
        std::string gen = "'" + self + "' --gen " + std::to_string(size.n) + " '" + input + "'";
        std::string one = "'" + self + "' --one " + std::to_string(size.n) + " " + size.width +
                          " '" + dir + "' 2>/dev/null";
        if (std::system(gen.c_str()) != 0 || std::system(one.c_str()) != 0) {
            std::fprintf(stderr, "benchmark of %dx%d failed\n", size.n, size.n);
            ++failures;
        }
        std::remove(input.c_str());
    }
    return failures == 0 ? 0 : 1;
}
