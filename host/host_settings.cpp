#include "host_settings.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <sstream>

namespace {

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The whole text as a decimal integer within [low, high].
std::optional<int> IntegerIn(const std::string& text, int low, int high)
{
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

// Stores the value of one setting, or says why it is not one.
using Setter = std::function<std::optional<std::string>(HostSettings&, const std::string&)>;

Setter EffectSetter(int EffectSettings::*field, int low, int high)
{
    return [=](HostSettings& settings, const std::string& value) -> std::optional<std::string> {
        const std::optional<int> number = IntegerIn(value, low, high);
        if (!number) {
            return "'" + value + "' is not a whole number from " + std::to_string(low) + " to " + std::to_string(high);
        }
        settings.effect.*field = *number;
        return std::nullopt;
    };
}

Setter PortSetter(uint16_t HostSettings::*field, int low, int high)
{
    return [=](HostSettings& settings, const std::string& value) -> std::optional<std::string> {
        const std::optional<int> number = IntegerIn(value, low, high);
        if (!number) {
            return "'" + value + "' is not a port from " + std::to_string(low) + " to " + std::to_string(high);
        }
        settings.*field = static_cast<uint16_t>(*number);
        return std::nullopt;
    };
}

std::optional<std::string> SetMode(HostSettings& settings, const std::string& value)
{
    const std::optional<int> mode = IntegerIn(value, api_contract::kFirstColourStyle, api_contract::kScreenMode);
    if (!mode || (*mode > api_contract::kLastColourStyle && *mode != api_contract::kScreenMode)) {
        return "'" + value + "' is no effect mode (" + std::to_string(api_contract::kFirstColourStyle) + "-" +
               std::to_string(api_contract::kLastColourStyle) + ", or " + std::to_string(api_contract::kScreenMode) +
               " for the screen colours)";
    }
    settings.effect.mode = *mode;
    return std::nullopt;
}

std::optional<std::string> SetListen(HostSettings& settings, const std::string& value)
{
    const std::optional<CaptureSource> source = ParseCaptureSource(value);
    if (!source) {
        return "'" + value + "' is not default, output:<name> or app:<name>";
    }
    settings.listen = *source;
    return std::nullopt;
}

std::optional<std::string> SetDelay(HostSettings& settings, const std::string& value)
{
    const std::optional<CaptureDelay> delay = ParseCaptureDelay(value);
    if (!delay) {
        return "'" + value + "' is not auto or a whole number of milliseconds from 0 to " +
               std::to_string(kMaxCaptureDelayMs);
    }
    settings.delay = *delay;
    return std::nullopt;
}

struct Setting {
    const char* name;
    Setter set;
};

// The settings both host.conf and the command line know.
const std::vector<Setting>& SharedSettings()
{
    static const std::vector<Setting> settings = {
        {"mode", SetMode},
        {"sensitivity", EffectSetter(&EffectSettings::sensitivity, 1, 1000)},
        {"background", EffectSetter(&EffectSettings::background, 0, 255)},
        {"brightness", EffectSetter(&EffectSettings::brightness, 0, 255)},
        {"listen", SetListen},
        {"delay", SetDelay},
        {"port", PortSetter(&HostSettings::port, kFirstDaemonPort, kLastDaemonPort)},
    };
    return settings;
}

const Setting* FindSetting(const std::vector<Setting>& settings, const std::string& name)
{
    for (const Setting& setting : settings) {
        if (name == setting.name) {
            return &setting;
        }
    }
    return nullptr;
}

bool IsAbsolutePath(const std::string& path)
{
    return path.starts_with('/') || path.starts_with('\\') || (path.size() > 1 && path[1] == ':');
}

}  // namespace

bool IsBundledLayoutName(const std::string& name)
{
    return !name.empty() && name.size() <= 64 && name.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                                                        "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") ==
                                                       std::string::npos;
}

std::optional<std::string> CheckEffectSetting(const std::string& key, int value)
{
    const Setting* setting = FindSetting(SharedSettings(), key);
    if (setting == nullptr || key == "port") {
        return "unknown setting '" + key + "'";
    }
    HostSettings scratch;
    return setting->set(scratch, std::to_string(value));
}

std::optional<std::string> CheckListenSetting(const std::string& key, const std::string& value)
{
    if (key != "listen" && key != "delay") {
        return "unknown setting '" + key + "'";
    }
    if (value != Trimmed(value) ||
        std::any_of(value.begin(), value.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
        return "a blank at either end or a control character cannot be kept in host.conf";
    }
    HostSettings scratch;
    return key == "listen" ? SetListen(scratch, value) : SetDelay(scratch, value);
}

std::string UpdateHostConf(const std::string& text, const std::vector<std::pair<std::string, std::string>>& values)
{
    const bool crlf = text.find("\r\n") != std::string::npos;
    const char* newline = crlf ? "\r\n" : "\n";
    std::vector<bool> written(values.size(), false);
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        const std::string line = text.substr(start, end - start);
        start = end;
        // The byte order mark stays where it is, before the first line.
        const size_t bom = out.empty() && line.starts_with("\xEF\xBB\xBF") ? 3 : 0;
        const std::string content = Trimmed(line.substr(bom));
        const size_t equals = content.find('=');
        size_t which = values.size();
        if (!content.starts_with('#') && equals != std::string::npos) {
            const std::string key = Trimmed(content.substr(0, equals));
            for (size_t i = 0; i < values.size(); ++i) {
                if (values[i].first == key) {
                    which = i;
                }
            }
        }
        if (which == values.size()) {
            out += line;
            continue;
        }
        out += line.substr(0, bom) + values[which].first + " = " + values[which].second +
               (line.ends_with('\n') ? newline : "");
        written[which] = true;
    }
    if (!out.empty() && !out.ends_with('\n')) {
        out += newline;
    }
    for (size_t i = 0; i < values.size(); ++i) {
        if (!written[i]) {
            out += values[i].first + " = " + values[i].second + newline;
        }
    }
    return out;
}

std::optional<std::string> ReadHostConf(const std::string& text, const std::string& confDir, HostSettings& settings)
{
    HostSettings read = settings;
    // Notepad starts a UTF-8 file with a byte order mark.
    std::istringstream lines(text.starts_with("\xEF\xBB\xBF") ? text.substr(3) : text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        line = Trimmed(line);
        if (line.empty() || line.starts_with('#')) {
            continue;
        }
        const std::string where = "line " + std::to_string(number) + ": ";
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            return where + "'" + line + "' is not 'key = value'";
        }
        const std::string key = Trimmed(line.substr(0, equals));
        const std::string value = Trimmed(line.substr(equals + 1));
        if (key == "layout") {
            if (value.empty()) {
                return where + "the layout file is empty";
            }
            if (IsBundledLayoutName(value)) {
                read.bundledLayout = value;
                read.layoutPath.clear();
            } else {
                read.layoutPath = IsAbsolutePath(value) || confDir.empty() ? value : confDir + "/" + value;
                read.bundledLayout.clear();
            }
            continue;
        }
        if (key == "when-locked") {
            if (value != "pause" && value != "keep") {
                return where + "when-locked: '" + value + "' is neither 'pause' nor 'keep'";
            }
            read.pauseWhenLocked = value == "pause";
            continue;
        }
        if (key == "lighting") {
            if (value != "on" && value != "paused") {
                return where + "lighting: '" + value + "' is neither 'on' nor 'paused'";
            }
            read.userPaused = value == "paused";
            continue;
        }
        if (key == "start-with-windows") {
            if (value != "yes" && value != "no") {
                return where + "start-with-windows: '" + value + "' is neither 'yes' nor 'no'";
            }
            read.startWithWindows = value == "yes";
            continue;
        }
        const Setting* setting = FindSetting(SharedSettings(), key);
        if (setting == nullptr) {
            return where + "unknown setting '" + key + "'";
        }
        if (auto error = setting->set(read, value)) {
            return where + key + ": " + *error;
        }
    }
    settings = read;
    return std::nullopt;
}

std::string HostConfHeader()
{
    return "# Tonvik host settings: read at every start of the host, and rewritten when a\n"
           "# choice is made in its web console. One \"key = value\" a line; \"#\" starts a comment.\n"
           "#   layout       a bundled layout's name (ansi-104, say), or a layout file\n"
           "#                (a relative path is taken from this directory)\n"
           "#   mode         the effect: " + std::to_string(api_contract::kFirstColourStyle) + "-" +
           std::to_string(api_contract::kLastColourStyle) + " a colour style of the bars, " +
           std::to_string(api_contract::kRippleMode) + " the ripple, " + std::to_string(api_contract::kScreenMode) +
           " the screen's colours\n"
           "#   sensitivity  1-1000\n"
           "#   background   the background's colour style, 0-255\n"
           "#   brightness   the background's brightness, 0-255\n"
           "#   listen       what the lights listen to: default (everything you hear),\n"
           "#                output:<name> (one output) or app:<name> (one application)\n"
           "#   delay        auto (the output's own latency) or 0-500 ms, to match what you hear\n"
           "#   port         the daemon's port, 9191-9199 (without it: the first that answers)\n"
           "#   when-locked  pause (the keys go dark while the session is locked) or keep\n";
}

HostCommand ParseHostArguments(const std::vector<std::string>& args, bool hideAllowed, HostSettings& settings)
{
    HostCommand command;
    const auto fail = [&command](const std::string& error) {
        command.action = HostCommand::Action::UsageError;
        command.error = error;
        return command;
    };
    static const std::vector<Setting> ownSettings = {
        {"layout",
         [](HostSettings& s, const std::string& value) -> std::optional<std::string> {
             if (value.empty()) {
                 return "the layout file is empty";
             }
             s.layoutPath = value;
             s.bundledLayout.clear();
             return std::nullopt;
         }},
        {"web-port", PortSetter(&HostSettings::webPort, 1, 65535)},
        {"web-root",
         [](HostSettings& s, const std::string& value) -> std::optional<std::string> {
             if (value.empty()) {
                 return "the web root is empty";
             }
             s.webRoot = value;
             return std::nullopt;
         }},
    };
    HostSettings parsed = settings;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            command.action = HostCommand::Action::Help;
            return command;
        }
        if (arg == "--version") {
            command.action = HostCommand::Action::Version;
            return command;
        }
        if (arg == "--preview") {
            parsed.preview = true;
            continue;
        }
        if (arg == "--web") {
            parsed.web = true;
            continue;
        }
        if (hideAllowed && arg == "-hide") {
            command.hide = true;
            continue;
        }
        if (!arg.starts_with("--")) {
            return fail("unexpected argument '" + arg + "'");
        }
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        const Setting* setting = FindSetting(SharedSettings(), name);
        if (setting == nullptr) {
            setting = FindSetting(ownSettings, name);
        }
        if (setting == nullptr) {
            return fail("unknown option '" + arg + "'");
        }
        std::string value;
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return fail("--" + name + " needs a value");
        }
        if (auto error = setting->set(parsed, value)) {
            return fail("--" + name + ": " + *error);
        }
    }
    if (parsed.web && parsed.webPort >= kFirstDaemonPort && parsed.webPort <= kLastDaemonPort) {
        return fail("--web-port: the daemon's ports 9191-9199 are not for the web console");
    }
    settings = parsed;
    return command;
}

std::string HostUsage(const char* program)
{
    return std::string("usage: ") + program +
           " --layout FILE [--mode N] [--sensitivity N] [--background N] [--brightness N]\n"
           "       [--listen ID] [--delay D] [--port N] [--preview] [--web [--web-port N] [--web-root DIR]]\n"
           "       " + program + " --web [--web-port N] [--web-root DIR]\n"
           "       " + program + " --help | --version\n"
           "Keeps the keyboard lit by the Tonvik daemon: uploads the layout, sets the effect\n"
           "and polls it every 400 ms. Defaults come from host.conf, which the\n"
           "web console's choices are saved to.\n"
           "  --layout FILE      the keyboard's layout document (JSON)\n"
           "  --mode N           effect: " + std::to_string(api_contract::kFirstColourStyle) + "-" +
           std::to_string(api_contract::kLastColourStyle) + " spectrum bar style, " +
           std::to_string(api_contract::kRippleMode) + " ripple, " + std::to_string(api_contract::kScreenMode) +
           " screen colours (" + std::to_string(api_contract::kStartupEffectValues.mode) + ")\n"
           "  --sensitivity N    1-1000 (60)\n"
           "  --background N     background style 0-255 (0)\n"
           "  --brightness N     background brightness 0-255 (100)\n"
           "  --listen ID        what the lights listen to: default, output:<sink name> or\n"
           "                     app:<application name> (default)\n"
           "  --delay D          how late the lights follow the sound: auto (the output's\n"
           "                     latency) or 0-500 ms (auto)\n"
           "  --port N           the daemon's port, 9191-9199 (default: the first that answers)\n"
           "  --preview          draw the keys in this terminal\n"
           "  --web              serve the web console on 127.0.0.1 and print its address,\n"
           "                     with the settings API it saves choices through (the layout too)\n"
           "  --web-port N       its port (default: 9190, or the next free one below)\n"
           "  --web-root DIR     serve DIR/web and DIR/layouts instead of the installed ones\n";
}
