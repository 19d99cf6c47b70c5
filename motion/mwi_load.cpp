#include <mutex>
#include <string>
#include <vector>

#include "common/msg.h"
#include "common/status.h"
#include "motion/mwi.h"
#include "platform/dynlib.h"

namespace {

// Tables are published whole and replaced, never changed in place: the
// device table's worker may be polling through the old one while an open
// loads the library again.
std::mutex g_publish_lock;
std::shared_ptr<const MwiTable> g_table = std::make_shared<const MwiTable>();

// Libraries that loaded completely stay loaded for the life of the process,
// since an old table may still point into them; one handle per distinct file
// (by its Init entry), in a list that is never destroyed.
std::mutex g_load_lock;
auto* const g_kept = new std::vector<std::pair<PlatLibrary*, void*>>;

void publish(std::shared_ptr<const MwiTable> table) {
    std::lock_guard<std::mutex> guard(g_publish_lock);
    g_table = std::move(table);
}

struct Entry {
    const char* name;
    MwiEntryKind kind;
    bool present;
    int error;
};

}  // namespace

std::shared_ptr<const MwiTable> mwi_table() {
    std::lock_guard<std::mutex> guard(g_publish_lock);
    return g_table;
}

int mwi_load() {
    std::lock_guard<std::mutex> load(g_load_lock);
    const std::string file = plat_library_file_name(MWI_LIBRARY_NAME);
    int error = 0;
    PlatLibrary* library = plat_library_load(MWI_LIBRARY_NAME, &error);
    if (library == nullptr) {
        u_msg_sink("Error: %d in loading Tessaryn 10 Motion library %s.\n", error, file.c_str());
        publish(std::make_shared<const MwiTable>());
        return ERR_TSNX_NO_DLL;
    }

    auto table = std::make_shared<MwiTable>();
    std::vector<Entry> entries;
#define MWI_RESOLVE(slot, name, type, kind)                                    \
    {                                                                          \
        int symbolError = 0;                                                   \
        void* symbol = plat_library_symbol(library, #name, &symbolError);      \
        table->slot = reinterpret_cast<type>(symbol);                          \
        entries.push_back(Entry{#name, kind, symbol != nullptr, symbolError}); \
    }
    MWI_ENTRY_LIST(MWI_RESOLVE)
#undef MWI_RESOLVE
    auto missing_line = [&](const Entry& e) {
        u_msg_sink("Error: %d in loading %s from %s.\n", e.error, e.name, file.c_str());
    };
    auto present = [&](const char* name) {
        for (const Entry& e : entries)
            if (std::string(e.name) == name) return e.present;
        return false;
    };
    auto refuse = [&]() {
        plat_library_free(library);
        publish(std::make_shared<const MwiTable>());
        return ERR_TSNX_FUNCTION_MAP;
    };

    // The entries every library has, up to StopAxis_MWI: all reported.
    size_t i = 0;
    bool missing = false;
    for (; i < entries.size() && std::string(entries[i].name) != "GetActualPosition_MWI"; ++i) {
        if (entries[i].kind == MWI_REQUIRED && !entries[i].present) {
            missing_line(entries[i]);
            missing = true;
        }
    }
    if (missing) return refuse();

    // Exactly one position style.
    const bool single = present("GetPosition_MWI");
    const bool actual = present("GetActualPosition_MWI");
    const bool commanded = present("GetCommandedPosition_MWI");
    if (!((single && !actual && !commanded) || (!single && actual && commanded))) {
        u_msg_sink(
            "Error: missing GetPosition_MWI or (GetActualPosition_MWI and "
            "GetCommandedPosition_MWI) functions from %s.\n",
            file.c_str());
        return refuse();
    }

    if (table->RegisterCanEvents_MWI == nullptr || table->UnregisterCanEvents_MWI == nullptr) {
        u_msg_sink("Warning: Motion DLL does not support CAN event notification pass-through.\n");
        u_msg_sink("         Tessaryn may not behave as expected if CAN events are used.\n");
        table->RegisterCanEvents_MWI = nullptr;
        table->UnregisterCanEvents_MWI = nullptr;
    }

    bool dmiComplete = true;
    for (const Entry& e : entries)
        if (e.kind == MWI_DMI && !e.present) dmiComplete = false;
    if (!dmiComplete) {
        u_msg_sink(
            "Info: Motion DLL does not support axis with external closed loop or DMI position "
            "instrument\n");
        MwiTable* t = table.get();
        t->DmiReset_MWI = nullptr;
        t->GetDmiCaptureBufferSize_MWI = nullptr;
        t->GetDmiCaptureBuffer_MWI = nullptr;
        t->GetDmiPosition_MWI = nullptr;
        t->GetDmiPreset_MWI = nullptr;
        t->GetDmiStatus_MWI = nullptr;
        t->GetExternalClosedLoopAmplifierFault_MWI = nullptr;
        t->GetExternalClosedLoopEnabled_MWI = nullptr;
        t->GetIsDmiBufferReady_MWI = nullptr;
        t->GetSupportsExternalClosedLoop_MWI = nullptr;
        t->SetDmiCaptureTrigger_MWI = nullptr;
        t->SetDmiPreset_MWI = nullptr;
        t->SetExternalClosedLoopEnabled_MWI = nullptr;
    }

    // The wider OpenComm forms: a missing one fails the load, the library
    // stays loaded.
    int result = 0;
    for (; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        if (e.kind == MWI_REQUIRED && !e.present) {
            missing_line(e);
            result = ERR_TSNX_FUNCTION_MAP;
        }
    }
    if (table->SetAlignViewIndicator_MWI == nullptr)
        u_msg_sink(
            "Info: Motion DLL does not support setting the align/view indicator on the "
            "pendent\n");
    if (table->GetConfigurationFile_MWI == nullptr)
        u_msg_sink(
            "Info: Motion DLL does not support getting the effective motion configuration "
            "file\n");

    if (table->OpenComm5 != nullptr) {
        table->OpenComm4 = nullptr;
        table->OpenComm3 = nullptr;
    } else if (table->OpenComm4 != nullptr) {
        table->OpenComm3 = nullptr;
    }

    if (result != 0) {
        publish(std::make_shared<const MwiTable>());
        return result;
    }
    // One kept handle per file: a file loaded before keeps its first handle.
    bool kept = false;
    for (const auto& k : *g_kept)
        if (k.second == reinterpret_cast<void*>(table->InitMotionWrapperInterface_MWI)) kept = true;
    if (kept)
        plat_library_free(library);
    else
        g_kept->emplace_back(library,
                             reinterpret_cast<void*>(table->InitMotionWrapperInterface_MWI));
    publish(std::move(table));
    return 0;
}

int mwi_result_to_error(int32_t code) {
    switch (code) {
        case 0:
            return 0;
        case 12:
            return ERR_MC_AXIS_BUSY;
        case 17:
            return ERR_MC_NO_HOME;
        case 18:
        case 19:
            return ERR_MC_AXIS_AT_LIMIT;
        case 21:
            return ERR_MC_KILL_SWITCH;
        case 22:
            return ERR_MC_JOYSTICK_ENABLE;
        case 256:
        case 275:
            return ERR_MC_COMM;
        case 267:
            return ERR_MC_AXIS_INACTIVE;
        case 268:
        case 269:
        case 270:
            return ERR_MC_CONFIG;
        case 271:
        case 274:
            return ERR_MC_NEEDS_RESET;
        case 276:
            return ERR_CAN_NODE_NOT_AVAIL;
        case 277:
            return ERR_MC_CONFIRM_INIT;
        case 278:
            return ERR_MC_CONFIG_MISSING;
        case 279:
            return ERR_MC_CONFIG_CORRUPT;
        default:
            return ERR_MC_MISC;
    }
}
