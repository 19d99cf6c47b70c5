// Loading and release of the acquisition library and the line-detection
// module, and the translation of the library's error numbers.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "acq/acq.h"
#include "acq/acq_internal.h"
#include "can/can_agc.h"
#include "common/dirs.h"
#include "common/log.h"
#include "common/msg.h"
#include "common/status.h"
#include "config/sysinfo.h"
#include "platform/dynlib.h"
#include "platform/event.h"
#include "platform/ini.h"
#include "platform/instance_lock.h"
#include "platform/process.h"

AcqGlobals& acq_globals() {
    static AcqGlobals globals;
    return globals;
}

namespace {

struct ErrorRow {
    const char* text;
    int code;
};

// Indexed by the library's error number, 1 to 26.
const ErrorRow kErrors[] = {
    {"", NO_ERROR},
    {"Device Open\n", ERR_ACQ_DEVICE_OPEN},
    {"Control File\n", ERR_ACQ_CMD},
    {"Host Resource\n", ERR_ACQ_CMD},
    {"Input Device Open\n", ERR_ACQ_DEVICE_OPEN},
    {"Device Busy\n", ERR_ACQ_DEVICE_BUSY},
    {"Device Closed\n", ERR_ACQ_DEVICE_CLOSE},
    {"Device Not Ready\n", ERR_ACQ_CMD},
    {"Device Buffer\n", ERR_ACQ_CMD},
    {"Out Of Memory\n", ERR_ACQ_CMD},
    {"Invalid Device Mode Specified\n", ERR_ACQ_INVALID_MODE},
    {"Invalid Device Specified\n", ERR_ACQ_CMD},
    {"Invalid Parameter\n", ERR_ACQ_CMD},
    {"Missing Parameter\n", ERR_ACQ_CMD},
    {"System\n", ERR_ACQ_CMD},
    {"System Resource\n", ERR_ACQ_CMD},
    {"Timed Out Waiting for Frames\n", ERR_ACQ_TIMEOUT},
    {"Frame Buffer Overflow\n", ERR_LOST_FRAME},
    {"Data Corrupt\n", ERR_FRAME_DATA_CORRUPT},
    {"Unknown\n", ERR_ACQ_CMD},
    {"Device\n", ERR_ACQ_CMD},
    {"Missed Frame\n", ERR_LOST_FRAME},
    {"Device Initialize\n", ERR_ACQ_CMD},
    {"Configuration File Invalid\n", ERR_ACQ_CFGFILE_INVALID},
    {"Cannot Find File\n", ERR_CANT_OPEN_FILE},
    {"Field Drop\n", ERR_LOST_FRAME},
    {"Attempt to use unsupported functionality\n", ERR_ACQ_CMD},
};
constexpr int kErrorRows = static_cast<int>(sizeof(kErrors) / sizeof(kErrors[0]));

void forget_ld_module() {
    AcqGlobals& g = acq_globals();
    plat_library_free(g.ldLibrary);
    g.ldLibrary = nullptr;
    g.ld = AcqLdEntries{};
}

// The ini's directory: "SystemRoot", where the library looks for it.
const char* system_root() {
    return std::getenv("SystemRoot");
}

void load_ld_module() {
    static const char* const kName = "tsn_ld_init";
    AcqGlobals& g = acq_globals();
    char module[260] = "pulsaracq.dll";
    if (const char* root = system_root()) {
        std::string ini = std::string(root) + "/TsnAcq.ini";
        plat_ini_get_string("ACQDEVICE1", "MODULE", "pulsaracq.dll", module, sizeof module,
                            ini.c_str());
    }
    g.ldLibrary = plat_library_load(module, nullptr);
    bool complete = g.ldLibrary != nullptr;
    if (complete) {
#define ACQ_LD_RESOLVE(name)                                                                  \
    g.ld.name = reinterpret_cast<name##_t>(plat_library_symbol(g.ldLibrary, #name, nullptr)); \
    if (g.ld.name == nullptr) complete = false;
        ACQ_LD_ENTRY_LIST(ACQ_LD_RESOLVE)
#undef ACQ_LD_RESOLVE
    }
    if (!complete) {
        u_msg_sink("%s: unable to access frame grabber DLL", kName);
        forget_ld_module();
        u_msg_sink("Tessaryn control of live display settings is not enabled.\n");
    }
}

// The library's own state and the module; the locks are the caller's.
void unload_library() {
    AcqGlobals& g = acq_globals();
    if (g.library != nullptr && g.fn.FreeDeviceResources != nullptr) g.fn.FreeDeviceResources();
    plat_library_free(g.library);
    g.library = nullptr;
    g.fn = AcqEntries{};
    forget_ld_module();
}

void echo_ini(const char* iniName) {
    u_msg_sink("INI file = %s\n", iniName);
    const char* root = system_root();
    if (root == nullptr) {
        u_msg_sink("Cannot access SystemRoot environment variable\n");
        return;
    }
    std::string path = std::string(root) + "/" + iniName;
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        u_msg_sink("Cannot access INI file %s\n", path.c_str());
        return;
    }
    u_msg_sink("Contents of INI file %s:\n", path.c_str());
    char line[1024];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        std::size_t n = std::strcspn(line, "\r\n");
        line[n] = '\0';
        u_msg_sink("  %s\n", line);
    }
    std::fclose(file);
}

}  // namespace

int acq_error_code(int32_t libraryError) {
    if (libraryError >= 0 && libraryError < kErrorRows) return kErrors[libraryError].code;
    return ERR_UNKNOWN;
}

const char* acq_error_text(int32_t libraryError) {
    if (libraryError >= 0 && libraryError < kErrorRows) return kErrors[libraryError].text;
    return "Unknown\n";
}

int acq_lib_error() {
    AcqGlobals& g = acq_globals();
    if (g.fn.GetLastAcqError == nullptr) return NO_ERROR;
    int32_t error = g.fn.GetLastAcqError();
    if (error == 0) return NO_ERROR;
    u_msg_stamped("Acq Error: ");
    u_msg_sink("%s", acq_error_text(error));
    return acq_error_code(error);
}

int acq_lib_error_or(int fallback) {
    int err = acq_lib_error();
    return err != NO_ERROR ? err : fallback;
}

bool acq_loaded() {
    return acq_globals().library != nullptr;
}
bool acq_ld_available() {
    return acq_globals().ldLibrary != nullptr;
}
double acq_onboard_capability() {
    return acq_globals().onboardCapability;
}

int acq_mgropen(const char* iniName) {
    static const char* const kName = "acq_mgropen";
    AcqGlobals& g = acq_globals();
    if (g.library != nullptr) unload_library();
    u_msg_sink("Loading library TsnAcq.dll\n");
    g.library = plat_library_load("TsnAcq.dll", nullptr);
    if (g.library == nullptr) {
        u_msg_sink("%s: TsnAcq.dll missing\n", kName);
        return ERR_ACQ_MISSING_DLL;
    }
    bool complete = true;
#define ACQ_RESOLVE(name)                                                                   \
    g.fn.name = reinterpret_cast<name##_t>(plat_library_symbol(g.library, #name, nullptr)); \
    if (g.fn.name == nullptr) complete = false;
    ACQ_ENTRY_LIST(ACQ_RESOLVE)
#undef ACQ_RESOLVE
    if (!complete) {
        u_msg_sink("%s: TsnAcq.dll invalid or corrupted\n", kName);
        // Resources of a library we never initialised are not freed.
        g.fn = AcqEntries{};
        plat_library_free(g.library);
        g.library = nullptr;
        return ERR_ACQ_INVALID_DLL;
    }

    const char* config = u_config_dir();
    if (std::getenv("PULSARRES") == nullptr && config != nullptr) {
        plat_set_env("PULSARRES", config);
        plat_set_env("PULSARVCF", config);
        plat_set_env("PULSARDCF", config);
    }

    u_msg_sink("Initializing TsnAcq.dll\n");
    if (iniName != nullptr) echo_ini(iniName);
    if (g.fn.InitDeviceMgr(iniName) == 0) {
        u_msg_sink("%s: TsnAcq.dll initialization failed - verify that TsnAcq.ini is correct\n",
                   kName);
        g.fn = AcqEntries{};
        plat_library_free(g.library);
        g.library = nullptr;
        return ERR_ACQ_INIT_DEV;
    }

    load_ld_module();

    g.lastCameraCode = -1;
    if (g.copyLock == nullptr) {
        g.copyLock = plat_event_create(false, true);
        if (g.copyLock == nullptr) {
            u_msg_stamped("%s: Cannot create pl_copy_fb_mutex\n", kName);
            return ERR_UNKNOWN;
        }
    }
    return NO_ERROR;
}

void acq_mgrrelease() {
    AcqGlobals& g = acq_globals();
    if (g.info != nullptr) {
        // The gain-control thread reads frames through the library.
        can_agc_stop(g.info);
        can_agc_stop_thread();
        acq_install_frame_source(false);
        g.info->acq.acqReady = false;
        g.info->acq.acquiring = false;
        g.info->acq.currentAcqDevice = 0;
        g.info->acq.currentInputDevice = 0;
        g.info->acq.currentMode = 0;
    }
    unload_library();
    if (g.instanceLock != nullptr) {
        if (g.instanceHeld) plat_instance_lock_release(g.instanceLock);
        plat_instance_lock_close(g.instanceLock);
        g.instanceLock = nullptr;
        g.instanceHeld = false;
    }
    g.lastCameraCode = -1;
}
