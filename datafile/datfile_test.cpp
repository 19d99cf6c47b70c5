#include "datafile/datfile.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/alloc.h"
#include "common/bytes.h"
#include "common/status.h"
#include "common/testing/temp_dir.h"
#include "platform/testfs_testing.h"
#include "tools/datgen.h"

namespace fs = std::filesystem;

namespace {

// Every value distinct and recognisable; a few without data.
DatImage sample_image(uint32_t magic = DAT_MAGIC_4096) {
    DatImage image;
    image.magic = magic;
    image.phase_window = {5, 7, 6, 4};
    for (int i = 0; i < 24; ++i) image.phase.push_back(0x01020304 * (i + 1) - 1000000 * i);
    image.phase[3] = INVALID_PHASE;
    image.phase[4] = 0x7FFFFFFF;
    image.phase[5] = 0x7FFFFFF7;
    image.phase[6] = INT32_MIN;
    image.intensity_window = {1, 2, 3, 2};
    image.n_buckets = 2;
    image.intens_param = -77;
    for (int i = 0; i < 12; ++i) image.intensity.push_back(static_cast<int16_t>(0x0102 * i - 3000));
    image.height_factor_1 = 6.328e-7f;
    image.height_factor_2 = 0.5f;
    image.height_factor_3 = 1.25f;
    image.lateral_res = 2.5e-5f;
    image.phase_res = 2;
    return image;
}

// Reads an in-memory file through a stream.
struct MemoryRead {
    HeaderPreamble preamble{};
    HeaderRecord record{};
    IntensityMatrix intensity{};
    PhaseMatrix phase{};
    int status = -1;
    long end_position = -1;

    MemoryRead(std::vector<unsigned char> bytes, bool want_intensity = true,
               bool want_phase = true) {
        // A file of its own in a directory that lasts the whole run.
        static TempDir dir;
        static int count = 0;
        const std::string path = dir.file("memory" + std::to_string(++count));
        FILE* out = std::fopen(path.c_str(), "wb");
        if (out == nullptr) return;
        // An empty vector's data() may be null, which fwrite must not see.
        if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), out);
        std::fclose(out);
        FILE* f = std::fopen(path.c_str(), "rb");
        if (f == nullptr) return;
        status = dat_read_stream(f, &preamble, &record, want_intensity ? &intensity : nullptr,
                                 want_phase ? &phase : nullptr);
        end_position = std::ftell(f);
        std::fclose(f);
    }
    ~MemoryRead() {
        intensity.release();
        phase.release();
    }
};

void expect_empty(const PhaseMatrix& m) {
    EXPECT_EQ(m.size, 0u);
    EXPECT_EQ(m.matrix, nullptr);
    EXPECT_EQ(m.window.width, 0);
    EXPECT_EQ(m.window.height, 0);
}

void expect_empty(const IntensityMatrix& m) {
    EXPECT_EQ(m.size, 0u);
    EXPECT_EQ(m.matrix, nullptr);
    EXPECT_EQ(m.window.width, 0);
    EXPECT_EQ(m.window.height, 0);
}

// Allocation hooks that record the largest request and refuse those above a limit.
struct AllocWatch {
    static inline std::size_t largest = 0;
    static inline std::size_t limit = SIZE_MAX;
    static void* alloc(std::size_t n) {
        largest = std::max(largest, n);
        return n > limit ? nullptr : std::malloc(n);
    }
    static void* realloc(void* p, std::size_t n) {
        largest = std::max(largest, n);
        return n > limit ? nullptr : std::realloc(p, n);
    }
    static void* alloc_zeroed(std::size_t c, std::size_t s) {
        largest = std::max(largest, c * s);
        return c * s > limit ? nullptr : std::calloc(c, s);
    }
    UAllocHooks previous;
    explicit AllocWatch(std::size_t refuse_above = SIZE_MAX) {
        largest = 0;
        limit = refuse_above;
        previous = u_set_alloc_hooks({alloc, realloc, alloc_zeroed, std::free});
    }
    ~AllocWatch() { u_set_alloc_hooks(previous); }
};

std::vector<unsigned char> be16(uint16_t v) {
    return {uint8_t(v >> 8), uint8_t(v)};
}
std::vector<unsigned char> be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

}  // namespace

class DatRoundTrip : public ::testing::TestWithParam<uint32_t> {};

TEST_P(DatRoundTrip, ReadsWhatWasWritten) {
    const uint32_t magic = GetParam();
    const bool large = magic == DAT_MAGIC_4096;
    DatImage image = sample_image(magic);
    std::vector<unsigned char> bytes = dat_image_bytes(image);
    const long header = large ? 4096 : 834;
    ASSERT_EQ(bytes.size(), static_cast<std::size_t>(header + 24 + 96));

    MemoryRead r(bytes);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.end_position, static_cast<long>(bytes.size()));
    EXPECT_EQ(r.phase.window.x, 5);
    EXPECT_EQ(r.phase.window.y, 7);
    EXPECT_EQ(r.phase.window.width, 6);
    EXPECT_EQ(r.phase.window.height, 4);
    ASSERT_GE(r.phase.size, 24u);
    EXPECT_EQ(std::vector<int32_t>(r.phase.matrix, r.phase.matrix + 24), image.phase);
    EXPECT_EQ(r.intensity.window.x, 1);
    EXPECT_EQ(r.intensity.window.height, 2);
    EXPECT_EQ(r.intensity.n_buckets, 2);
    EXPECT_EQ(r.intensity.intens_param, -77);
    ASSERT_GE(r.intensity.size, 12u);
    EXPECT_EQ(std::vector<int16_t>(r.intensity.matrix, r.intensity.matrix + 12), image.intensity);
    EXPECT_EQ(r.record.height_factor_1(), 6.328e-7f);
    EXPECT_EQ(r.record.height_factor_2(), 0.5f);
    EXPECT_EQ(r.record.height_factor_3(), 1.25f);
    EXPECT_EQ(r.record.lateral_res(), 2.5e-5f);
    EXPECT_EQ(r.record.phase_res(), 2);
    EXPECT_EQ(r.record.header_format(), large ? 3 : 0);
}

INSTANTIATE_TEST_SUITE_P(AllMagics, DatRoundTrip,
                         ::testing::Values(DAT_MAGIC_834_A, DAT_MAGIC_834_B, DAT_MAGIC_4096));

TEST(DatHeader, ByteOrderFixedFieldByField) {
    DatImage image;
    image.magic = DAT_MAGIC_4096;
    struct Probe {
        int offset;
        int size;  // 1: a byte field, kept in file order
        uint32_t value;
    };
    // Fields across the whole header, numeric ones with a value whose bytes
    // all differ, byte fields with a pattern that must not be reversed.
    const std::vector<Probe> probes = {
        {76, 4, 0x11223344},   {80, 1, 0},
        {160, 1, 0},           {162, 2, 0xA1B2},
        {172, 4, 0x01020304},  {180, 4, 0x05060708},
        {188, 2, 0x1357},      {196, 2, 0x2468},
        {198, 4, 0x0A0B0C0D},  {202, 2, 0x3579},
        {204, 4, 0x0E0F1011},  {208, 1, 0},
        {210, 4, 0x12131415},  {214, 4, 0x16171819},
        {220, 4, 0x1A1B1C1D},  {224, 2, 0x4681},
        {226, 4, 0x1E1F2021},  {230, 2, 0x5791},
        {244, 2, 0x6813},      {246, 1, 0},
        {298, 2, 0x7924},      {302, 2, 0x8A35},
        {304, 1, 0},           {360, 4, 0x22232425},
        {364, 2, 0x9B46},      {366, 2, 0xAC57},
        {368, 4, 0x26272829},  {372, 2, 0xBD68},
        {376, 4, 0x2A2B2C2D},  {380, 4, 0x2E2F3031},
        {384, 2, 0xCE79},      {386, 4, 0x32333435},
        {394, 4, 0x36373839},  {398, 1, 0},
        {406, 2, 0xDF8A},      {408, 1, 0},
        {428, 2, 0x1A2B},      {430, 4, 0x3A3B3C3D},
        {498, 4, 0x3E3F4041},  {502, 1, 0},
        {730, 1, 0},           {734, 2, 0x2B3C},
        {736, 1, 0},           {816, 2, 0x3C4D},
        {818, 1, 0},           {838, 2, 0x4D5E},
        {840, 2, 0x5E6F},      {842, 4, 0x42434445},
        {866, 4, 0x46474849},  {870, 1, 0},
        {900, 2, 0x6F70},      {902, 2, 0x7081},
        {904, 1, 0},           {934, 4, 0x4A4B4C4D},
        {938, 1, 0},           {998, 4, 0x4E4F5051},
        {1034, 4, 0x52535455}, {1038, 1, 0},
        {1126, 4, 0x56575859}, {1214, 4, 0x5A5B5C5D},
        {1218, 1, 0},          {1250, 4, 0x5E5F6061},
        {1258, 4, 0x62636465}, {1262, 1, 0},
        {1264, 2, 0x8192},     {1266, 4, 0x66676869},
        {1318, 4, 0x6A6B6C6D}, {1322, 1, 0},
        {1324, 2, 0x92A3},     {1326, 4, 0x6E6F7071},
        {1382, 1, 0},          {1384, 2, 0xA3B4},
        {1438, 4, 0x72737475}, {1442, 1, 0},
        {1446, 4, 0x76777879}, {1450, 4, 0x7A7B7C7D},
        {1454, 1, 0},          {4092, 1, 0},
    };
    for (const Probe& p : probes) {
        std::vector<unsigned char> bytes = p.size == 4   ? be32(p.value)
                                           : p.size == 2 ? be16(static_cast<uint16_t>(p.value))
                                                         : std::vector<unsigned char>{0xC1, 0xC2};
        image.raw_patches.push_back({p.offset, bytes});
    }
    // Preamble: int16 at 10, 30 bytes at 12, three int16 at 42..47.
    image.raw_patches.push_back({10, be16(0x0A0B)});
    image.raw_patches.push_back({12, {'M', 'e', 'a', 's', 'u', 'r', 'e', 'd'}});
    image.raw_patches.push_back({40, {0xEE, 0xEF}});
    image.raw_patches.push_back({42, be16(0xF00D)});
    image.raw_patches.push_back({44, be16(0x0123)});
    image.raw_patches.push_back({46, be16(0x4567)});
    image.raw_patches.push_back({898, {0x12, 0x34}});  // not used: the reader sets the format

    MemoryRead r(dat_image_bytes(image));
    ASSERT_EQ(r.status, 0);
    for (const Probe& p : probes) {
        SCOPED_TRACE("offset " + std::to_string(p.offset));
        if (p.size == 4) {
            EXPECT_EQ(r.record.u32(p.offset), p.value);
        } else if (p.size == 2) {
            EXPECT_EQ(static_cast<uint16_t>(r.record.i16(p.offset)), p.value);
        } else {
            const unsigned char* b = r.record.image + (p.offset - HeaderRecord::first_offset);
            EXPECT_EQ(std::vector<unsigned char>(b, b + 2),
                      (std::vector<unsigned char>{0xC1, 0xC2}));
        }
    }
    EXPECT_EQ(r.record.header_format(), 3);
    EXPECT_EQ(r.preamble.field_10, 0x0A0B);
    EXPECT_EQ(std::string(r.preamble.field_12, 8), "Measured");
    EXPECT_EQ(static_cast<unsigned char>(r.preamble.field_12[28]), 0xEE);
    EXPECT_EQ(static_cast<unsigned char>(r.preamble.field_12[29]), 0xEF);
    EXPECT_EQ(static_cast<uint16_t>(r.preamble.field_42), 0xF00D);
    EXPECT_EQ(r.preamble.field_44, 0x0123);
    EXPECT_EQ(r.preamble.field_46, 0x4567);
}

TEST(DatHeader, SmallHeaderReadsZeroBeyondItsEnd) {
    // The blocks follow at 834; none of their bytes may show up in the record.
    DatImage image = sample_image(DAT_MAGIC_834_B);
    image.raw_patches.push_back({830, {0xAA, 0xBB, 0xCC, 0xDD}});
    MemoryRead r(dat_image_bytes(image));
    ASSERT_EQ(r.status, 0);
    const unsigned char* b = r.record.image + (830 - HeaderRecord::first_offset);
    EXPECT_EQ(std::vector<unsigned char>(b, b + 4),
              (std::vector<unsigned char>{0xAA, 0xBB, 0xCC, 0xDD}));
    for (int off = 834; off < HeaderRecord::end_offset; ++off) {
        ASSERT_EQ(r.record.image[off - HeaderRecord::first_offset], 0) << "offset " << off;
    }
    EXPECT_EQ(std::vector<int32_t>(r.phase.matrix, r.phase.matrix + 24), image.phase);
}

TEST(DatHeader, EmptyBlocksReadAsEmptyMatrices) {
    DatImage image;
    image.magic = DAT_MAGIC_834_A;
    image.phase_window = {0, 0, 40000 - 65536, 3};  // not examined without a block
    image.raw_patches.push_back({10, be16(321)});
    MemoryRead r(dat_image_bytes(image));
    ASSERT_EQ(r.status, 0);
    expect_empty(r.phase);
    expect_empty(r.intensity);
    EXPECT_EQ(r.preamble.field_10, 321);
    EXPECT_EQ(r.record.height_factor_2(), 0.5f);
    EXPECT_EQ(r.end_position, 834);
}

TEST(DatFailures, ShortAndForeignFiles) {
    for (std::size_t n : {0, 1, 3}) {
        MemoryRead r(std::vector<unsigned char>(n, 0x88));
        EXPECT_EQ(r.status, ERR_PREMATURE_EOF) << n;
    }
    EXPECT_EQ(MemoryRead(be32(0x881B0372)).status, ERR_NOT_A_DATA_FILE);
    EXPECT_EQ(MemoryRead(be32(0x6F031B88)).status, ERR_NOT_A_DATA_FILE);  // wrong byte order
    EXPECT_EQ(MemoryRead(be32(DAT_MAGIC_4096)).status, ERR_PREMATURE_EOF);
}

TEST(DatFailures, TruncationAtEveryOffset) {
    for (uint32_t magic : {DAT_MAGIC_834_A, DAT_MAGIC_4096}) {
        const std::vector<unsigned char> full = dat_image_bytes(sample_image(magic));
        const std::size_t header = magic == DAT_MAGIC_4096 ? 4096 : 834;
        for (std::size_t n = 0; n < full.size(); ++n) {
            SCOPED_TRACE("magic " + std::to_string(magic) + " cut at " + std::to_string(n));
            std::vector<unsigned char> cut(full.begin(), full.begin() + n);
            MemoryRead r(cut);
            EXPECT_EQ(r.status, n < header ? ERR_PREMATURE_EOF : ERR_CORRUPT_DATA_FILE);
            expect_empty(r.phase);
            expect_empty(r.intensity);
            // Without the matrices only a short header is an error.
            MemoryRead headers_only(cut, false, false);
            EXPECT_EQ(headers_only.status, n < header ? ERR_PREMATURE_EOF : 0);
        }
    }
}

TEST(DatFailures, DimensionAboveInt16Range) {
    for (bool phase_block : {true, false}) {
        DatImage image = sample_image();
        (phase_block ? image.phase_window.width : image.intensity_window.height) =
            static_cast<int16_t>(40000 - 65536);
        MemoryRead r(dat_image_bytes(image));
        EXPECT_EQ(r.status, ERR_DATASET_DIM_TOO_LARGE);
        expect_empty(r.phase);
        expect_empty(r.intensity);
        // Only a wanted matrix is examined.
        MemoryRead without(dat_image_bytes(image), phase_block, !phase_block);
        EXPECT_EQ(without.status, 0);
    }
    DatImage image = sample_image();
    image.phase_window.width = static_cast<int16_t>(40000 - 65536);
    image.phase_bytes = 0;
    MemoryRead r(dat_image_bytes(image));
    EXPECT_EQ(r.status, 0);
    expect_empty(r.phase);
}

TEST(DatFailures, MatrixWithoutElements) {
    DatImage image = sample_image();
    image.phase_window.height = 0;
    EXPECT_EQ(MemoryRead(dat_image_bytes(image)).status, ERR_PARAM_OUT_OF_RANGE);
    image = sample_image();
    image.n_buckets = 0;
    EXPECT_EQ(MemoryRead(dat_image_bytes(image)).status, ERR_PARAM_OUT_OF_RANGE);
    image.n_buckets = -2;
    EXPECT_EQ(MemoryRead(dat_image_bytes(image)).status, ERR_PARAM_OUT_OF_RANGE);
}

TEST(DatFailures, OutOfMemoryLeavesMatricesEmpty) {
    AllocWatch watch(16);
    MemoryRead r(dat_image_bytes(sample_image()));
    EXPECT_EQ(r.status, ERR_NO_MEM);
    expect_empty(r.phase);
    expect_empty(r.intensity);
}

TEST(DatFailures, CannotOpen) {
    TempDir dir;
    PhaseMatrix phase{};
    EXPECT_EQ(dat_read_file(dir.file("missing.dat").c_str(), nullptr, nullptr, nullptr, &phase),
              ERR_CANT_OPEN_FILE);
    expect_empty(phase);
    std::string sub = dir.file("a_directory");
    fs::create_directory(sub);
    EXPECT_EQ(dat_read_file(sub.c_str(), nullptr, nullptr, nullptr, &phase), ERR_CANT_OPEN_FILE);
    EXPECT_EQ(dat_read_file("", nullptr, nullptr, nullptr, &phase), ERR_CANT_OPEN_FILE);
}

TEST(DatIntensity, SkippedWhenNotWanted) {
    DatImage image = sample_image();
    std::vector<unsigned char> bytes = dat_image_bytes(image);
    MemoryRead r(bytes, false, true);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(std::vector<int32_t>(r.phase.matrix, r.phase.matrix + 24), image.phase);
    EXPECT_EQ(r.end_position, static_cast<long>(bytes.size()));
}

TEST(DatIntensity, ByteCountOtherThanTheMatrix) {
    DatImage image = sample_image();
    const std::size_t h = 4096, matrix_bytes = 24;
    // Longer blocks (odd ones too): the matrix takes what it holds, the phase
    // block is still found at H + I.
    for (int extra : {1, 2, 7}) {
        SCOPED_TRACE(extra);
        image.intensity_bytes = matrix_bytes + extra;
        std::vector<unsigned char> bytes = dat_image_bytes(image);
        bytes.insert(bytes.begin() + h + matrix_bytes, extra, 0x5A);
        for (bool want : {true, false}) {
            MemoryRead r(bytes, want, true);
            ASSERT_EQ(r.status, 0);
            EXPECT_EQ(std::vector<int32_t>(r.phase.matrix, r.phase.matrix + 24), image.phase);
            if (want) {
                EXPECT_EQ(std::vector<int16_t>(r.intensity.matrix, r.intensity.matrix + 12),
                          image.intensity);
            }
        }
    }
    // A block shorter than the matrix cannot fill it.
    image.intensity_bytes = matrix_bytes - 2;
    MemoryRead shorter(dat_image_bytes(image));
    EXPECT_EQ(shorter.status, ERR_CORRUPT_DATA_FILE);
    expect_empty(shorter.intensity);
    // Zero or negative: no block; the phase block starts at H.
    for (int64_t none : {int64_t{0}, int64_t{0xFFFFFFFE}, int64_t{0x80000000}}) {
        DatImage no_block = sample_image();
        no_block.intensity.clear();
        no_block.intensity_bytes = none;
        MemoryRead r(dat_image_bytes(no_block));
        ASSERT_EQ(r.status, 0);
        expect_empty(r.intensity);
        EXPECT_EQ(std::vector<int32_t>(r.phase.matrix, r.phase.matrix + 24), image.phase);
    }
}

TEST(DatBounds, CountsBeyondTheFileAllocateNothing) {
    AllocWatch watch;
    // Huge byte count and the largest window the header can describe.
    DatImage image = sample_image();
    image.intensity_window = {0, 0, 32767, 32767};
    image.n_buckets = 32767;
    image.intensity_bytes = 0x7FFFFFFF;
    MemoryRead r(dat_image_bytes(image));
    EXPECT_EQ(r.status, ERR_CORRUPT_DATA_FILE);
    EXPECT_LT(AllocWatch::largest, 1u << 20);

    // A consistent count, but the file ends long before the block would.
    image = sample_image();
    image.intensity_window = {0, 0, 1000, 1000};
    image.n_buckets = 1;
    image.intensity_bytes = 2000000;
    MemoryRead i(dat_image_bytes(image));
    EXPECT_EQ(i.status, ERR_CORRUPT_DATA_FILE);
    EXPECT_LT(AllocWatch::largest, 1u << 20);

    image = sample_image();
    image.phase_window = {0, 0, 32767, 32767};
    MemoryRead p(dat_image_bytes(image));
    EXPECT_EQ(p.status, ERR_CORRUPT_DATA_FILE);
    EXPECT_LT(AllocWatch::largest, 1u << 20);

    // Skipping an absent intensity block past the end: the phase block is not there.
    image = sample_image();
    image.intensity_bytes = 0x7FFFFFF0;
    MemoryRead s(dat_image_bytes(image), false, true);
    EXPECT_EQ(s.status, ERR_CORRUPT_DATA_FILE);
    EXPECT_LT(AllocWatch::largest, 1u << 20);
    MemoryRead nothing_wanted(dat_image_bytes(image), false, false);
    EXPECT_EQ(nothing_wanted.status, 0);
}

TEST(DatPhase, ByteCountNotCheckedAgainstTheWindow) {
    // The window decides how many values are read.
    for (int64_t count : {int64_t{1}, int64_t{95}, int64_t{0x7FFFFFFF}}) {
        DatImage image = sample_image();
        image.phase_bytes = count;
        MemoryRead r(dat_image_bytes(image));
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(std::vector<int32_t>(r.phase.matrix, r.phase.matrix + 24), image.phase);
    }
    DatImage image = sample_image();
    image.phase_bytes = 0x80000000;  // negative: no block
    MemoryRead r(dat_image_bytes(image));
    ASSERT_EQ(r.status, 0);
    expect_empty(r.phase);
}

TEST(DatPhase, ValuesWithoutDataKeptUnchanged) {
    MemoryRead r(dat_image_bytes(sample_image()));
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.phase.matrix[3], INVALID_PHASE);
    EXPECT_EQ(r.phase.matrix[4], 0x7FFFFFFF);
    EXPECT_EQ(r.phase.matrix[5], 0x7FFFFFF7);
    EXPECT_TRUE(phase_is_valid(r.phase.matrix[5]));
    EXPECT_EQ(r.phase.matrix[6], INT32_MIN);
}

namespace {
// A stream that cannot seek, as a pipe.
struct PipeSource {
    std::vector<unsigned char> bytes;
    std::size_t pos = 0;
};
// A stream that cannot seek: the read end of a pipe whose writer sends the
// bytes and closes. Null when the pipe cannot be made.
struct PipeStream {
    FILE* read = nullptr;
    std::thread writer;
    explicit PipeStream(const std::vector<unsigned char>& bytes) {
        FILE* write = nullptr;
        if (!plat_test_pipe(&read, &write)) return;
        writer = std::thread([write, bytes] {
            if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), write);
            std::fclose(write);
        });
    }
    // The bytes fit the pipe: the writer is done without a reader.
    ~PipeStream() {
        if (writer.joinable()) writer.join();
        if (read != nullptr) std::fclose(read);
    }
};
}  // namespace

TEST(DatStream, NonSeekableStreamReadsAndDiscards) {
    DatImage image = sample_image(DAT_MAGIC_834_A);
    image.intensity_bytes = 24 + 3;
    PipeSource src{dat_image_bytes(image)};
    src.bytes.insert(src.bytes.begin() + 834 + 24, 3, 0x77);
    for (bool want_intensity : {false, true}) {
        PipeStream pipe(src.bytes);
        ASSERT_NE(pipe.read, nullptr);
        IntensityMatrix intensity{};
        PhaseMatrix phase{};
        EXPECT_EQ(dat_read_stream(pipe.read, nullptr, nullptr,
                                  want_intensity ? &intensity : nullptr, &phase),
                  0);
        ASSERT_NE(phase.matrix, nullptr);
        EXPECT_EQ(std::vector<int32_t>(phase.matrix, phase.matrix + 24), image.phase);
        phase.release();
        intensity.release();
    }
    // Cut inside the phase block.
    src.bytes.erase(src.bytes.end() - 5, src.bytes.end());
    PipeStream pipe(src.bytes);
    ASSERT_NE(pipe.read, nullptr);
    PhaseMatrix phase{};
    EXPECT_EQ(dat_read_stream(pipe.read, nullptr, nullptr, nullptr, &phase), ERR_CORRUPT_DATA_FILE);
    expect_empty(phase);
}

TEST(DatFile, ByteOrderMarkedPath) {
    TempDir dir;
    const std::string name = "m\xC3\xA9sure.dat";  // "mésure.dat"
    const std::string path = dir.file(name);
    DatImage image = sample_image();
    ASSERT_TRUE(dat_image_write(path.c_str(), image));

    // FF FE, then the path as UTF-16LE units, then a zero unit.
    std::vector<char> marked = {'\xFF', '\xFE'};
    for (std::size_t i = 0; i < path.size(); ++i) {
        uint16_t unit = static_cast<unsigned char>(path[i]);
        if (path.compare(i, 2, "\xC3\xA9") == 0) {
            unit = 0x00E9;
            ++i;
        }
        marked.push_back(static_cast<char>(unit & 0xFF));
        marked.push_back(static_cast<char>(unit >> 8));
    }
    marked.push_back(0);
    marked.push_back(0);

    HeaderRecord record{};
    PhaseMatrix phase{};
    ASSERT_EQ(dat_read_file(marked.data(), nullptr, &record, nullptr, &phase), 0);
    EXPECT_EQ(std::vector<int32_t>(phase.matrix, phase.matrix + 24), image.phase);
    EXPECT_EQ(record.phase_res(), 2);
    phase.release();
    EXPECT_EQ(dat_read_file(path.c_str(), nullptr, nullptr, nullptr, &phase), 0);
    phase.release();
}

TEST(DatFile, PhaseCountsPerCycle) {
    EXPECT_EQ(dat_phase_counts_per_cycle(0), 4096);
    EXPECT_EQ(dat_phase_counts_per_cycle(1), 32768);
    EXPECT_EQ(dat_phase_counts_per_cycle(2), 131072);
    EXPECT_EQ(dat_phase_counts_per_cycle(-1), 131072);
    EXPECT_EQ(dat_phase_counts_per_cycle(7), 131072);
}
