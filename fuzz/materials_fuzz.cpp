// Fuzz target: the FTP materials file reader on one input taken as a whole file.
// A successful read must hand back a table whose records keep their limits.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/msg.h"
#include "config/materials.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* file = std::tmpfile();
    if (!file) return 0;
    if (size > 0 && std::fwrite(data, 1, size, file) != size) {
        std::fclose(file);
        return 0;
    }
    std::rewind(file);

    UMsgSink previous = u_set_msg_sink(u_msg_discard);
    FtpMaterialTable table{};
    if (ftp_read_materials_stream(file, &table) == 0) {
        int materials = 0;
        for (int i = 0; i < table.count; ++i) {
            const FtpMaterial& m = table.items[i];
            if (strnlen(m.name, sizeof m.name) > FTP_MATL_NAME_MAX ||
                strnlen(m.comment, sizeof m.comment) > FTP_MATL_COMMENT_MAX) {
                std::abort();
            }
            if (m.index >= 0 && m.index != materials++) std::abort();
        }
        if (materials == 0 || table.count > table.capacity) std::abort();
    }
    ftp_materials_release(&table);
    u_set_msg_sink(previous);
    std::fclose(file);
    return 0;
}
