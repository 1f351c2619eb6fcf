// tessel-rec: records from the Tessel ASIO driver into a WAV file, exactly as an ASIO host would reach it, and
// says how healthy the recording was. Also registers the driver module (as regsvr32 does) and describes the
// registered drivers.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "asio_registry.h"
#include "machine.h"
#include "recorder.h"

namespace {

const char kDefaultModule[] = "Tessel-ASIO-x64.dll";

void Usage(std::FILE* to) {
    std::fprintf(
        to,
        "usage: tessel-rec [options]             record every input of the driver into a WAV file\n"
        "  -d, --duration SECONDS     how long to record (default 5)\n"
        "  -o, --output FILE          the WAV file (default tessel-rec.wav)\n"
        "  -r, --rate HZ              48000, 96000 or 192000 (default 48000)\n"
        "  -b, --buffer FRAMES        ASIO buffer size (default: the driver's preferred size)\n"
        "  -c, --class int|float      the driver class: \"Tessel ASIO Driver\" or \"Tessel (Float) ASIO Driver\" "
        "(default int)\n"
        "      --driver NAME          the ASIO driver registered as NAME instead\n"
        "      --pcm24                write 24-bit PCM instead of 32-bit float\n"
        "      --quiet                no progress line\n"
        "  --sim                      record from a virtual machine (Linux build): microphones on their own crystals\n"
        "      --mics N               how many microphones (default 4)\n"
        "      --ppm LIST             their crystal offsets, e.g. -80,-20,+30,+90 (the default)\n"
        "      --signal I=SIGNAL      microphone I's signal (1-based): ramp (default), sine:HZ[:LEVEL],\n"
        "                             impulses:FRAMES[:LEVEL], silence\n"
        "      --firmware I           microphone I needs a firmware update (the driver then records silence)\n"
        "      --unplug I=SECONDS     unplug microphone I that far into the recording\n"
        "      --stall I=SECONDS:MS   microphone I stops delivering for MS milliseconds\n"
        "      --no-playback          no playback device in the machine\n"
        "      --events SECONDS[:burst]  a click (or a tone burst) every SECONDS in the room, heard by every\n"
        "                             microphone; their signals default to silence\n"
        "      --delay I=MS           the sound takes MS milliseconds longer to reach microphone I\n"
        "  --align SECONDS            find a sound heard every SECONDS in every input (set by --events) and print\n"
        "                             the spread between the inputs and each one's wander\n"
        "      --settle SECONDS       leave the events of the first SECONDS out of that (default 0)\n"
        "exit code: 0 when nothing was lost, 3 when audio was lost, 4 when it was lost only where the virtual\n"
        "machine held up its threads (every break counted, the devices' late packets rare, at most one drop-out in\n"
        "ten seconds beyond them), 1 when the driver could not record, 2 on bad options\n"
        "\n"
        "       tessel-rec --list [TEXT]         describe the registered ASIO drivers whose name contains TEXT\n"
        "       tessel-rec --register [MODULE]   register the driver module (default %s)\n"
        "       tessel-rec --unregister [MODULE] unregister it\n",
        kDefaultModule);
}

bool ParseIndexed(const std::string& text, size_t* index, std::string* value) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0) return false;
    char* end = nullptr;
    const long i = std::strtol(text.c_str(), &end, 10);
    if (end != text.c_str() + equals || i < 1 || i > 64) return false;
    *index = static_cast<size_t>(i - 1);
    *value = text.substr(equals + 1);
    return true;
}

bool ParseNumber(const char* text, double low, double high, double* value) {
    char* end = nullptr;
    *value = std::strtod(text, &end);
    return end != text && *end == '\0' && *value >= low && *value <= high;
}

}  // namespace

int main(int argc, char** argv) {
    RecordOptions options;
    bool sim = false;
    int microphones = 4;
    std::vector<double> offsets = {-80, -20, 30, 90};
    bool offsetsGiven = false;
    std::vector<std::pair<size_t, std::string>> signals, unplugs, stalls;
    std::vector<size_t> firmware;
    bool playback = true;
    double eventSeconds = 0.0;
    bool bursts = false;
    std::vector<std::pair<size_t, std::string>> delays;

    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        auto value = [&]() -> const char* { return argv[++i]; };
        auto bad = [&](const char* what) {
            std::fprintf(stderr, "tessel-rec: %s: %s\n", what, argument.c_str());
            Usage(stderr);
            return 2;
        };
        double number = 0;
        if (argument == "--register" || argument == "--unregister") {
            const char* module = hasValue ? argv[i + 1] : kDefaultModule;
            return RunServerExport(argument == "--register" ? "DllRegisterServer" : "DllUnregisterServer", module);
        } else if (argument == "--list") {
            const std::string filter = hasValue ? argv[i + 1] : "Tessel";
            const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            const int described = DescribeDrivers(filter);
            if (SUCCEEDED(hr)) CoUninitialize();
            return described > 0 ? 0 : 1;
        } else if (argument == "--help" || argument == "-h") {
            Usage(stdout);
            return 0;
        } else if ((argument == "-d" || argument == "--duration") && hasValue) {
            if (!ParseNumber(value(), 0.1, 24 * 3600.0, &options.seconds)) return bad("bad duration");
        } else if ((argument == "-o" || argument == "--output") && hasValue) {
            options.outputPath = value();
        } else if ((argument == "-r" || argument == "--rate") && hasValue) {
            if (!ParseNumber(value(), 1, 1e6, &options.sampleRate)) return bad("bad rate");
        } else if ((argument == "-b" || argument == "--buffer") && hasValue) {
            if (!ParseNumber(value(), 1, 65536, &number)) return bad("bad buffer size");
            options.bufferSize = static_cast<int32_t>(number);
        } else if ((argument == "-c" || argument == "--class") && hasValue) {
            const std::string which = value();
            if (which != "int" && which != "float") return bad("the class is int or float");
            options.driverFilter = which == "float" ? "Tessel (Float) ASIO Driver" : "Tessel ASIO Driver";
        } else if (argument == "--driver" && hasValue) {
            options.driverFilter = value();
        } else if (argument == "--pcm24") {
            options.format = WavWriter::Format::Pcm24;
        } else if (argument == "--quiet") {
            options.progress = false;
        } else if (argument == "--sim") {
            sim = true;
        } else if (argument == "--mics" && hasValue) {
            if (!ParseNumber(value(), 0, 16, &number)) return bad("between 0 and 16 microphones");
            microphones = static_cast<int>(number);
        } else if (argument == "--ppm" && hasValue) {
            if (!ParseOffsets(value(), &offsets)) return bad("bad offset list");
            offsetsGiven = true;
        } else if ((argument == "--signal" || argument == "--unplug" || argument == "--stall") && hasValue) {
            size_t index = 0;
            std::string text;
            if (!ParseIndexed(value(), &index, &text)) return bad("expected I=VALUE");
            (argument == "--signal" ? signals : argument == "--unplug" ? unplugs : stalls).push_back({index, text});
        } else if (argument == "--firmware" && hasValue) {
            if (!ParseNumber(value(), 1, 64, &number)) return bad("bad microphone number");
            firmware.push_back(static_cast<size_t>(number) - 1);
        } else if (argument == "--events" && hasValue) {
            std::string text = value();
            const size_t colon = text.find(':');
            if (colon != std::string::npos) {
                if (text.substr(colon + 1) != "burst" && text.substr(colon + 1) != "click")
                    return bad("the event is click or burst");
                bursts = text.substr(colon + 1) == "burst";
                text.resize(colon);
            }
            if (!ParseNumber(text.c_str(), 0.05, 3600.0, &eventSeconds)) return bad("bad event interval");
            if (options.eventIntervalSeconds == 0.0) options.eventIntervalSeconds = eventSeconds;
        } else if (argument == "--delay" && hasValue) {
            size_t index = 0;
            std::string text;
            if (!ParseIndexed(value(), &index, &text) || !ParseNumber(text.c_str(), 0.0, 1000.0, &number))
                return bad("expected I=MS, at most 1000 ms");
            delays.push_back({index, text});
        } else if (argument == "--align" && hasValue) {
            if (!ParseNumber(value(), 0.05, 3600.0, &options.eventIntervalSeconds)) return bad("bad event interval");
        } else if (argument == "--settle" && hasValue) {
            if (!ParseNumber(value(), 0.0, 24 * 3600.0, &options.settleSeconds)) return bad("bad settling time");
        } else if (argument == "--no-playback") {
            playback = false;
        } else {
            return bad("unknown option");
        }
    }

    std::unique_ptr<Machine> machine;
    if (sim) {
        MachineSetup setup;
        if (offsetsGiven && static_cast<int>(offsets.size()) != microphones)
            microphones = static_cast<int>(offsets.size());
        for (int k = 0; k < microphones; ++k) {
            MicrophoneSetup mic;
            mic.offsetPpm = k < static_cast<int>(offsets.size()) ? offsets[static_cast<size_t>(k)] : 0.0;
            if (eventSeconds > 0.0) mic.signal = "silence";
            setup.microphones.push_back(mic);
        }
        auto at = [&](size_t index) -> MicrophoneSetup* {
            return index < setup.microphones.size() ? &setup.microphones[index] : nullptr;
        };
        for (auto& [index, text] : signals)
            if (MicrophoneSetup* mic = at(index)) mic->signal = text;
        for (auto& [index, text] : unplugs)
            if (MicrophoneSetup* mic = at(index)) mic->fault = "unplug:" + text;
        for (auto& [index, text] : stalls)
            if (MicrophoneSetup* mic = at(index)) mic->fault = "stall:" + text;
        for (size_t index : firmware)
            if (MicrophoneSetup* mic = at(index)) mic->needsFirmware = true;
        for (auto& [index, text] : delays)
            if (MicrophoneSetup* mic = at(index)) mic->acousticDelayMs = std::atof(text.c_str());
        setup.playback = playback;
        setup.eventIntervalSeconds = eventSeconds;
        setup.eventBursts = bursts;
        std::string error;
        machine = VirtualMachine(setup, &error);
        if (!machine) {
            std::fprintf(stderr, "tessel-rec: %s\n", error.c_str());
            return 2;
        }
        std::printf("virtual machine: %d microphone(s) at", microphones);
        for (const MicrophoneSetup& mic : setup.microphones)
            std::printf(" %+.0f ppm (%s)", mic.offsetPpm, mic.signal.c_str());
        std::printf("%s\n", playback ? ", a playback device" : ", no playback device");
        if (eventSeconds > 0.0) std::printf("room: a %s every %.3g s\n", bursts ? "tone burst" : "click", eventSeconds);
    } else {
        machine = RealMachine();
    }

    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    std::printf("recording %.1f s from \"%s\" at %.0f Hz into %s\n", options.seconds, options.driverFilter.c_str(),
                options.sampleRate, options.outputPath.c_str());
    const RecordResult result = Record(options, *machine);
    if (SUCCEEDED(hr)) CoUninitialize();
    machine.reset();
    return result.exitCode;
}
