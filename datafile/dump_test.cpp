#include "datafile/dump.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

// Everything a dump writes on a stream.
std::string capture(const std::function<void(FILE*)>& dump) {
    FILE* f = std::tmpfile();
    if (!f) return "<no tmpfile>";
    dump(f);
    std::rewind(f);
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    std::fclose(f);
    return text;
}

std::string hex8(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%8.8X", v);
    return text;
}

std::string crc_line_of(const std::string& dump) {
    std::size_t at = dump.find("crc    = ");
    return at == std::string::npos ? "" : dump.substr(at, dump.find('\n', at) - at);
}

}  // namespace

TEST(DumpCrc, ReflectedWithoutInversion) {
    EXPECT_EQ(dump_crc("abc", 3), 0xCA6598D0u);
    EXPECT_EQ(dump_crc("", 0), 0u);
    EXPECT_EQ(dump_crc(nullptr, 5), 0u);
    EXPECT_EQ(dump_crc("c", 1, dump_crc("ab", 2)), 0xCA6598D0u);  // continued
}

TEST(DumpHex, FloatsFromTheHighestOrderByte) {
    EXPECT_STREQ(dump_hex_float(1.0f), "0x3F800000");
    EXPECT_STREQ(dump_hex_double(1.0), "0x3FF0000000000000");
    uint8_t bytes[49] = {0xAB, 0x01};
    EXPECT_STREQ(dump_hex_text(bytes, 2, 0, 1), "0xAB01");
    EXPECT_STREQ(dump_hex_text(bytes, 49, 0, 1), "0x*");
    // A start or step that leaves the value stops at its edge.
    EXPECT_STREQ(dump_hex_text(bytes, 2, 1, 1), "0x01");
}

TEST(Dumps, AbsentObjectsPrintNull) {
    const std::vector<std::function<void(FILE*)>> dumps = {
        [](FILE* f) { dump_window(f, nullptr); },
        [](FILE* f) { dump_matrix16(f, nullptr); },
        [](FILE* f) { dump_matrix32(f, nullptr); },
        [](FILE* f) { dump_matrix16b(f, nullptr); },
        [](FILE* f) { dump_mask(f, nullptr); },
        [](FILE* f) { dump_frame_store(f, nullptr); },
        [](FILE* f) { dump_acq_settings(f, nullptr); },
        [](FILE* f) { dump_proc_params(f, nullptr); },
        [](FILE* f) { dump_fit(f, nullptr); },
        [](FILE* f) { dump_fit_set(f, nullptr); },
        [](FILE* f) { dump_line_fit(f, nullptr); },
        [](FILE* f) { dump_stats(f, nullptr); },
        [](FILE* f) { dump_poly(f, nullptr); },
        [](FILE* f) { dump_pairs(f, nullptr); },
        [](FILE* f) { dump_regions(f, nullptr, 3); },
        [](FILE* f) { dump_coef_table(f, nullptr); },
        [](FILE* f) { dump_fiducial_fit(f, nullptr); },
        [](FILE* f) { dump_bytes(f, nullptr, 4, 0); },
    };
    for (std::size_t i = 0; i < dumps.size(); ++i) EXPECT_EQ(capture(dumps[i]), "NULL\n") << i;
}

TEST(Dumps, PhaseMatrixWithAndWithoutStorage) {
    PhaseMatrix m{};
    m.window = Window{1, 2, 3, 4};
    EXPECT_EQ(capture([&](FILE* f) { dump_matrix32(f, &m); }),
              "size   = 0\n"
              "x      =    1\n"
              "y      =    2\n"
              "width  =    3\n"
              "height =    4\n"
              "matrix = 0x00000000\n");

    ASSERT_EQ(m.alloc(), 0);
    for (uint32_t i = 0; i < m.size; ++i) m.matrix[i] = int32_t(i * 7);
    std::string text = capture([&](FILE* f) { dump_matrix32(f, &m); });
    EXPECT_EQ(text.substr(0, 12), "size   = 12\n");
    EXPECT_EQ(crc_line_of(text), "crc    = " + hex8(dump_crc(m.matrix, 12 * 4)));

    // A window larger than the storage gets no checksum rather than a read past it.
    m.window.width = 30;
    EXPECT_EQ(crc_line_of(capture([&](FILE* f) { dump_matrix32(f, &m); })), "");
    m.window.width = 3;
    m.release();
}

TEST(Dumps, FrameStoreChecksumRunsOverSeparateBlocksInTurn) {
    const Window w{0, 0, 4, 4};  // aligned: blocks are back to back in one allocation
    FrameStore single{};
    FrameStore separate{};
    separate.separate_blocks = 1;
    ASSERT_EQ(fs_setup(&single, w, 3, 2, 1), 0);
    ASSERT_EQ(fs_setup(&separate, w, 3, 2, 1), 0);
    std::vector<uint8_t> all;
    for (int b = 0; b < 3; ++b) {
        for (int i = 0; i < 32; ++i) {
            uint8_t v = uint8_t(b * 50 + i);
            single.blocks[b][i] = v;
            separate.blocks[b][i] = v;
            all.push_back(v);
        }
    }
    std::string a = capture([&](FILE* f) { dump_frame_store(f, &single); });
    std::string b = capture([&](FILE* f) { dump_frame_store(f, &separate); });
    EXPECT_EQ(crc_line_of(a), "crc    = " + hex8(dump_crc(all.data(), all.size())));
    EXPECT_EQ(crc_line_of(b), crc_line_of(a));
    EXPECT_NE(a.find("[ alloc_win\nx      =    0\ny      =    0\nwidth  =    8\nheight =    8\n"
                     "] alloc_win\nalloc_blocks     = 3\nalloc_blocksize  = 32\n"),
              std::string::npos);
    EXPECT_NE(a.find("n_blocks         = 3\n[ window\n"), std::string::npos);
    fs_release(&single);
    fs_release(&separate);
}

TEST(DumpBytes, TenPerLineInEachMode) {
    uint8_t bytes[12];
    for (int i = 0; i < 12; ++i) bytes[i] = uint8_t(i * 20);
    EXPECT_EQ(capture([&](FILE* f) { dump_bytes(f, bytes, 12, DUMP_HEX); }),
              "    0 00 14 28 3c 50 64 78 8c a0 b4\n"
              "   10 c8 dc\n");
    EXPECT_EQ(capture([&](FILE* f) { dump_bytes(f, bytes, 10, DUMP_DECIMAL); }),
              "    0   0  20  40  60  80 100 120 140 160 180\n");
    EXPECT_EQ(capture([&](FILE* f) { dump_bytes(f, bytes + 1, 2, DUMP_OCTAL); }),
              "    0 024 050\n");
    EXPECT_EQ(capture([&](FILE* f) { dump_bytes(f, bytes + 1, 1, DUMP_BINARY); }),
              "    0 00010100\n");
    EXPECT_EQ(capture([&](FILE* f) { dump_bytes(f, bytes, 0, DUMP_HEX); }), "");
}

TEST(Dumps, RecordLines) {
    SurfaceFit fit{};
    fit.type = 7;
    fit.offset = 1.5;
    fit.center_x = -3;
    std::string text = capture([&](FILE* f) { dump_fit(f, &fit); });
    EXPECT_EQ(text.substr(0, 46), "type      =    unknown\noffset    =     1.5000\n");
    EXPECT_NE(text.find("center_x  =         -3\n"), std::string::npos);

    ProcParams p{};
    p.phase_res = 1;
    p.pre_filter = 1.0f;
    p.ref_mask.bits = 4;
    text = capture([&](FILE* f) { dump_proc_params(f, &p); });
    EXPECT_NE(text.find("phase_res       = HI (1)\n"), std::string::npos);
    EXPECT_NE(text.find("pre_filter      = 1 (0x3F800000)\n"), std::string::npos);
    EXPECT_NE(text.find("ref_mask:[\nsize = 0\n"), std::string::npos);
    EXPECT_NE(text.find("bits = 0x04\n]\n"), std::string::npos);

    FloatPair pairs[2] = {{1.25f, FLT_MAX}, {-2.0f, 3.0f}};
    Vector8 v{2, 2, pairs};
    EXPECT_EQ(capture([&](FILE* f) { dump_pairs(f, &v); }),
              "              1.2500     ********************\n"
              "             -2.0000                   3.0000\n");

    Region r{1, 250, 2, 3, 40, 50, 9};
    EXPECT_EQ(capture([&](FILE* f) { dump_regions(f, &r, 1); }),
              "region=  1  npoints=  250  xmin=  2  ymin=  3  xmax= 40  ymax= 50  dist=  9\n");

    PolyFit poly{};
    poly.n_coefs = 1000;  // more than the record holds: the record's coefficients only
    text = capture([&](FILE* f) { dump_poly(f, &poly); });
    EXPECT_NE(text.find("coef[36] =     0.0000\ncenter_x =   0\n"), std::string::npos);
}
