#include "tools/demo/scenario.h"

#include <charconv>
#include <cstdio>
#include <functional>
#include <set>
#include <sstream>

#include "platform/path.h"

namespace {

// The longest scenario file read: far beyond any real one.
constexpr std::size_t kMaxScenarioBytes = 1 << 20;

std::string trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::vector<std::string> words(const std::string& text, const char* separators) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t start = text.find_first_not_of(separators, at);
        if (start == std::string::npos) break;
        std::size_t end = text.find_first_of(separators, start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        at = end;
    }
    return out;
}

// A whole integer (0x for hexadecimal) within [low, high].
bool integer(const std::string& text, int64_t low, int64_t high, int64_t* value) {
    std::string digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
        base = 16;
    }
    if (digits.empty()) return false;
    int64_t v = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, base);
    if (ec != std::errc() || end != digits.data() + digits.size() || v < low || v > high)
        return false;
    *value = v;
    return true;
}

bool number(const std::string& text, double low, double high, double* value) {
    double v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !(v >= low) ||
        !(v <= high))
        return false;
    *value = v;
    return true;
}

// "major.minor", each 0 to 255.
bool version_pair(const std::string& text, int64_t* major, int64_t* minor) {
    std::size_t dot = text.find('.');
    return dot != std::string::npos && integer(text.substr(0, dot), 0, 255, major) &&
           integer(text.substr(dot + 1), 0, 255, minor);
}

// One section's keys: each takes the value and says what was wrong with it.
using KeyReader = std::function<std::string(const std::string& value)>;
using SectionReader = std::map<std::string, KeyReader>;

template <class T>
KeyReader int_key(T* field, int64_t low, int64_t high) {
    return [=](const std::string& value) -> std::string {
        int64_t v = 0;
        if (!integer(value, low, high, &v))
            return "expected a whole number from " + std::to_string(low) + " to " +
                   std::to_string(high);
        *field = static_cast<T>(v);
        return "";
    };
}

KeyReader real_key(double* field, double low, double high) {
    return [=](const std::string& value) -> std::string {
        if (!number(value, low, high, field)) {
            std::ostringstream out;
            out << "expected a number from " << low << " to " << high;
            return out.str();
        }
        return "";
    };
}

KeyReader bool_key(bool* field) {
    return [=](const std::string& value) -> std::string {
        std::string v = lower(value);
        if (v == "yes" || v == "true" || v == "1")
            *field = true;
        else if (v == "no" || v == "false" || v == "0")
            *field = false;
        else
            return "expected yes or no";
        return "";
    };
}

SectionReader bridge_keys(DemoBridge* b) {
    return {
        {"mac",
         [=](const std::string& value) -> std::string {
             std::vector<std::string> bytes = words(value, " :-");
             int64_t v = 0;
             if (bytes.size() != 6) return "expected six hexadecimal bytes";
             for (int i = 0; i < 6; ++i) {
                 if (bytes[i].size() > 2 || !integer("0x" + bytes[i], 0, 255, &v))
                     return "expected six hexadecimal bytes";
                 b->mac[i] = static_cast<uint8_t>(v);
             }
             return "";
         }},
        {"ip",
         [=](const std::string& value) -> std::string {
             std::vector<std::string> parts = words(value, ".");
             int64_t v = 0;
             if (parts.size() != 4 || value.find("..") != std::string::npos ||
                 value.front() == '.' || value.back() == '.')
                 return "expected an IPv4 address such as 10.0.0.7";
             for (int i = 0; i < 4; ++i) {
                 if (!integer(parts[i], 0, 255, &v))
                     return "expected an IPv4 address such as 10.0.0.7";
                 b->ip[i] = static_cast<uint8_t>(v);
             }
             return "";
         }},
        {"firmware",
         [=](const std::string& value) -> std::string {
             int64_t major = 0, minor = 0;
             if (!version_pair(value, &major, &minor)) return "expected major.minor, such as 1.12";
             b->firmwareMajor = static_cast<uint8_t>(major);
             b->firmwareMinor = static_cast<uint8_t>(minor);
             return "";
         }},
        {"status",
         [=](const std::string& value) -> std::string {
             const std::map<std::string, DemoBridgeStatus> names = {
                 {"ok", DemoBridgeStatus::Ok},
                 {"-12v trip", DemoBridgeStatus::Minus12VTrip},
                 {"+12v trip", DemoBridgeStatus::Plus12VTrip},
                 {"external fault", DemoBridgeStatus::ExternalFault}};
             auto it = names.find(lower(value));
             if (it == names.end()) return "expected ok, -12V trip, +12V trip or external fault";
             b->status = it->second;
             return "";
         }},
        {"found_on_enumeration", int_key(&b->foundOnEnumeration, 1, 3)},
        {"latched_error", int_key(&b->latchedError, 0, UINT32_MAX)},
        {"latched_reads", int_key(&b->latchedReads, 0, 9)},
    };
}

SectionReader wave_monitor_keys(DemoWaveMonitor* w) {
    return {
        {"calibrated", bool_key(&w->calibrated)},
        {"max_tune_range", real_key(&w->maxTuneRange, 0, 1e6)},
        {"min_tune_rate", real_key(&w->minTuneRate, 0, 1e6)},
        {"max_tune_rate", real_key(&w->maxTuneRate, 0, 1e6)},
        {"seconds_since_cal", int_key(&w->secondsSinceCal, 0, INT32_MAX)},
        {"laser_delay", int_key(&w->laserDelay, 0, 100)},
        {"opd", real_key(&w->opd, 0, 1e6)},
        {"sys_gain", real_key(&w->sysGain, 0, 1e6)},
    };
}

SectionReader camera_keys(DemoCamera* c) {
    return {
        {"camera", int_key(&c->camera, 0, 255)},
        {"frame_grabber", int_key(&c->frameGrabber, 0, 255)},
        {"light_level", int_key(&c->lightLevel, 0, 65535)},
        // At least 48 x 48: the gain control looks at the 100 brightest pixels.
        {"width", int_key(&c->width, 48, 4096)},
        {"height", int_key(&c->height, 48, 4096)},
        {"llc_target", int_key(&c->llcTarget, 1, 254)},
    };
}

SectionReader instrument_keys(DemoInstrument* i) {
    return {
        {"system_type", int_key(&i->systemType, 0, 255)},
        {"serial", int_key(&i->serial, 100, 999999)},
        {"light_type", int_key(&i->lightType, 0, 255)},
        // The cycle waits for the sleep request, so it must come.
        {"sleep_timeout", int_key(&i->sleepTimeoutSeconds, 1, 3600)},
        {"motion_config",
         [=](const std::string& value) -> std::string {
             if (value.empty() || value.size() > 200) return "expected a name";
             i->motionConfig = value;
             return "";
         }},
    };
}

SectionReader eeprom_keys(DemoEeprom* e) {
    return {
        {"system", int_key(&e->system, 0, 255)},
        {"board", int_key(&e->board, 0, 255)},
        {"camera", int_key(&e->camera, 0, 255)},
        {"light", int_key(&e->light, 0, 255)},
        {"serial", int_key(&e->serial, 0, INT32_MAX)},
        {"date", int_key(&e->date, 0, 65535)},
        {"pifoc_id", int_key(&e->pifocId, 1, INT32_MAX)},
        {"software_version", int_key(&e->softwareVersion, 0, 255)},
    };
}

// [nodes]: "ID = product version" (version "major.minor" or one number), and
// "ID.parameter = value" for the node model.
std::string node_key(std::map<uint8_t, DemoNode>* nodes, const std::string& key,
                     const std::string& value) {
    std::size_t dot = key.find('.');
    int64_t id = 0;
    if (!integer(key.substr(0, dot), 1, 127, &id)) return "expected a node ID from 1 to 127";
    DemoNode& node = (*nodes)[static_cast<uint8_t>(id)];
    if (dot != std::string::npos) {
        std::string name = key.substr(dot + 1);
        int64_t v = 0;
        if (name.empty()) return "expected a parameter name after the node ID";
        if (!integer(value, INT64_MIN, INT64_MAX, &v)) return "expected a whole number";
        node.params[name] = v;
        return "";
    }
    std::vector<std::string> parts = words(value, " \t");
    int64_t product = 0, major = 0, minor = 0, version = 0;
    if (parts.size() != 2 || !integer(parts[0], 0, UINT32_MAX, &product))
        return "expected the product ID and the version, such as 0x12345678 4.3";
    if (version_pair(parts[1], &major, &minor))
        version = major << 16 | minor;
    else if (!integer(parts[1], 0, UINT32_MAX, &version))
        return "expected the product ID and the version, such as 0x12345678 4.3";
    node.productId = static_cast<uint32_t>(product);
    node.version = static_cast<uint32_t>(version);
    return "";
}

}  // namespace

bool demo_parse_scenario(const std::string& text, const std::string& name, DemoScenario* scenario,
                         std::string* error) {
    DemoScenario s;
    s.name = name;
    std::map<std::string, SectionReader> sections = {
        {"bridge", bridge_keys(&s.bridge)}, {"wave_monitor", wave_monitor_keys(&s.waveMonitor)},
        {"camera", camera_keys(&s.camera)}, {"instrument", instrument_keys(&s.instrument)},
        {"eeprom", eeprom_keys(&s.eeprom)}, {"nodes", {}},
    };
    std::set<std::string> seen, keysSeen;
    std::string section;
    std::istringstream in(text);
    std::string raw;
    int lineNumber = 0;
    auto fail = [&](const std::string& why) {
        *error = name + ":" + std::to_string(lineNumber) + ": " + why;
        return false;
    };
    while (std::getline(in, raw)) {
        ++lineNumber;
        std::string line = trim(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            if (line.back() != ']') return fail("expected [section]");
            section = lower(trim(line.substr(1, line.size() - 2)));
            if (sections.count(section) == 0) return fail("unknown section [" + section + "]");
            if (!seen.insert(section).second) return fail("section [" + section + "] given twice");
            continue;
        }
        std::size_t equals = line.find('=');
        if (equals == std::string::npos) return fail("expected key = value");
        if (section.empty()) return fail("a value before the first section");
        const std::string key = lower(trim(line.substr(0, equals)));
        const std::string value = trim(line.substr(equals + 1));
        if (!keysSeen.insert(section + "/" + key).second)
            return fail("[" + section + "] " + key + " given twice");
        std::string why;
        if (section == "nodes") {
            why = node_key(&s.nodes, key, value);
        } else {
            const SectionReader& keys = sections[section];
            auto it = keys.find(key);
            if (it == keys.end()) return fail("unknown key '" + key + "' in [" + section + "]");
            why = it->second(value);
        }
        if (!why.empty())
            return fail("[" + section + "] " + key + ": " + why + ", not '" + value + "'");
    }
    for (const char* required : {"bridge", "nodes", "wave_monitor", "camera", "eeprom"}) {
        if (seen.count(required) == 0) {
            *error = name + ": missing section [" + required + "]";
            return false;
        }
    }
    if (keysSeen.count("bridge/mac") == 0 || keysSeen.count("bridge/ip") == 0) {
        *error = name + ": [bridge] needs mac and ip";
        return false;
    }
    for (const auto& [id, node] : s.nodes) {
        if (node.productId == 0 && node.version == 0) {
            *error = name + ": [nodes] parameters given for node " + std::to_string(id) +
                     ", which has no product ID and version";
            return false;
        }
    }
    *scenario = std::move(s);
    return true;
}

bool demo_load_scenario(const std::string& path, DemoScenario* scenario, std::string* error) {
    FILE* file = plat_fopen_regular(path.c_str(), "rb");
    if (file == nullptr) {
        *error = path + ": cannot open the scenario";
        return false;
    }
    std::string text;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0 && text.size() <= kMaxScenarioBytes)
        text.append(buffer, n);
    const bool readError = std::ferror(file) != 0;
    std::fclose(file);
    if (readError || text.size() > kMaxScenarioBytes) {
        *error = path + (readError ? ": cannot read the scenario" : ": scenario too large");
        return false;
    }
    return demo_parse_scenario(text, path, scenario, error);
}
