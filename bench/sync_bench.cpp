// Speed and quality of the drift-compensation path.
//
// Speed (Google Benchmark): the driver's two converters' mono and stereo push per sample; everything the threads
// do for one tick of eight microphones and the output at 192000 Hz with 144-frame buffers, with either converter;
// and one conversion job (mono, ratio 1.0001, 10 ms blocks, at 48000 and at 192000 Hz) through the quadratic and
// the sinc converter and, for comparison, through libsamplerate (linear, fastest sinc) and speexdsp (quality 0
// and 3). Those two libraries are linked into this program only; the driver does not use them.
//
// Quality: after the benchmarks, the SINAD of a 1 kHz and a 10 kHz sine through each converter on the same job,
// at both rates.
//
//   sync_bench [Google Benchmark flags]     e.g. --benchmark_min_time=0.2
#include <benchmark/benchmark.h>

#include <samplerate.h>
#include <speex/speex_resampler.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "sync/device_fifo.h"
#include "sync/sample_rate_converter.h"
#include "sync/sinc_converter.h"
#include "tests/support/sine_fit.h"

namespace {

constexpr double kJobRate = 48000.0;  // the per-sample benchmarks' rate
constexpr double kJobRates[] = {48000.0, 192000.0};
constexpr double kJobRatio = 1.0001;      // output samples per input sample
constexpr size_t kJobOutCapacity = 4096;  // comfortably above one block × kJobRatio

// 10 ms blocks, as a device period would bring them.
size_t JobBlock(double rateHz) { return static_cast<size_t>(rateHz / 100.0); }

std::vector<float> Sine(size_t n, double frequencyHz, double rateHz) { return sinefit::Sine(n, frequencyHz / rateHz); }

// ---- The converters under comparison, behind one small shape: feed a block, get what it produced. ----

class Job {
public:
    virtual ~Job() = default;
    virtual size_t Process(const float* in, size_t n, float* out, size_t capacity) = 0;
    // The output-per-input ratio the converter really runs at, for the quality fit.
    virtual double EffectiveRatio() const { return kJobRatio; }
};

struct ScratchSink {
    float* out;
    size_t count;
    size_t capacity;
};

void StoreMono(void* context, const float* sample) {
    ScratchSink* sink = static_cast<ScratchSink*>(context);
    if (sink->count < sink->capacity) sink->out[sink->count++] = *sample;
}

// Either of the driver's converters: both take a single-precision ratio and accumulate it.
template <class Converter>
class DriverConverterJob final : public Job {
public:
    DriverConverterJob() { converter.SetRatio(static_cast<float>(kJobRatio)); }
    size_t Process(const float* in, size_t n, float* out, size_t capacity) override {
        ScratchSink sink{out, 0, capacity};
        for (size_t i = 0; i < n; ++i) converter.PushMono(&StoreMono, &sink, in + i);
        return sink.count;
    }
    // The converter accumulates the single-precision ratio.
    double EffectiveRatio() const override { return static_cast<double>(static_cast<float>(kJobRatio)); }

private:
    Converter converter;
};

class LibsamplerateJob final : public Job {
public:
    explicit LibsamplerateJob(int type) {
        int error = 0;
        state = src_new(type, 1, &error);
    }
    ~LibsamplerateJob() override { src_delete(state); }
    size_t Process(const float* in, size_t n, float* out, size_t capacity) override {
        SRC_DATA data{};
        data.data_in = in;
        data.input_frames = static_cast<long>(n);
        data.data_out = out;
        data.output_frames = static_cast<long>(capacity);
        data.src_ratio = kJobRatio;
        src_process(state, &data);
        return static_cast<size_t>(data.output_frames_gen);
    }

private:
    SRC_STATE* state = nullptr;
};

class SpeexJob final : public Job {
public:
    explicit SpeexJob(int quality) {
        int error = 0;
        // Input/output rate ratio 10000/10001, i.e. 1.0001 output samples per input sample.
        state = speex_resampler_init_frac(1, 10000, 10001, 48000, 48005, quality, &error);
        speex_resampler_skip_zeros(state);
    }
    ~SpeexJob() override { speex_resampler_destroy(state); }
    size_t Process(const float* in, size_t n, float* out, size_t capacity) override {
        spx_uint32_t inLength = static_cast<spx_uint32_t>(n);
        spx_uint32_t outLength = static_cast<spx_uint32_t>(capacity);
        speex_resampler_process_float(state, 0, in, &inLength, out, &outLength);
        return outLength;
    }
    double EffectiveRatio() const override { return 10001.0 / 10000.0; }

private:
    SpeexResamplerState* state = nullptr;
};

struct JobKind {
    const char* name;
    std::unique_ptr<Job> (*make)();
};

const JobKind kJobs[] = {
    {"quadratic", [] { return std::unique_ptr<Job>(new DriverConverterJob<CSampleRateConverter_Quadratic>()); }},
    {"sinc (high quality)", [] { return std::unique_ptr<Job>(new DriverConverterJob<CSampleRateConverter_Sinc>()); }},
    {"libsamplerate linear", [] { return std::unique_ptr<Job>(new LibsamplerateJob(SRC_LINEAR)); }},
    {"libsamplerate sinc fastest", [] { return std::unique_ptr<Job>(new LibsamplerateJob(SRC_SINC_FASTEST)); }},
    {"speexdsp quality 0", [] { return std::unique_ptr<Job>(new SpeexJob(0)); }},
    {"speexdsp quality 3", [] { return std::unique_ptr<Job>(new SpeexJob(3)); }},
};

// ---- Benchmarks ----

template <class Converter>
void BM_PushMono(benchmark::State& state) {
    Converter converter;
    converter.SetRatio(1.0001f);
    const std::vector<float> in = Sine(4096, 1000.0, kJobRate);
    std::vector<float> out(8192);
    for (auto _ : state) {
        ScratchSink sink{out.data(), 0, out.size()};
        for (const float& x : in) converter.PushMono(&StoreMono, &sink, &x);
        benchmark::DoNotOptimize(sink.count);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_PushMono<CSampleRateConverter_Quadratic>)->Name("BM_QuadraticPushMono");
BENCHMARK(BM_PushMono<CSampleRateConverter_Sinc>)->Name("BM_SincPushMono");

struct StereoSink {
    float* left;
    float* right;
    size_t count;
};

void StoreStereo(void* context, const float* left, const float* right) {
    StereoSink* sink = static_cast<StereoSink*>(context);
    if (sink->count < 8192) {
        sink->left[sink->count] = *left;
        sink->right[sink->count] = *right;
        ++sink->count;
    }
}

template <class Converter>
void BM_PushStereo(benchmark::State& state) {
    Converter converter;
    converter.SetRatio(1.0001f);
    const std::vector<float> left = Sine(4096, 1000.0, kJobRate);
    const std::vector<float> right = Sine(4096, 1500.0, kJobRate);
    std::vector<float> outLeft(8192), outRight(8192);
    for (auto _ : state) {
        StereoSink sink{outLeft.data(), outRight.data(), 0};
        for (size_t i = 0; i < left.size(); ++i) converter.PushStereo(&StoreStereo, &sink, &left[i], &right[i]);
        benchmark::DoNotOptimize(sink.count);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * left.size()));  // frames
}
BENCHMARK(BM_PushStereo<CSampleRateConverter_Quadratic>)->Name("BM_QuadraticPushStereo");
BENCHMARK(BM_PushStereo<CSampleRateConverter_Sinc>)->Name("BM_SincPushStereo");

// One tick's worth of the FIFO work of every thread at 192000 Hz, 144 frames (a 750 µs period): eight capture
// periods pushed through their converters, the clock thread's trim and pull of eight buffers with the integer
// conversion, the output push through the stereo converter, and the render period taking it out. The argument is
// the converter quality (0 quadratic, 1 sinc).
void BM_TickEightMicrophones192k144(benchmark::State& state) {
    constexpr uint32_t n = 144;
    const ConverterQuality quality = state.range(0) ? ConverterQuality::High : ConverterQuality::Quadratic;
    auto mics = std::make_unique<DeviceFifo[]>(8);
    auto output = std::make_unique<DeviceFifo>();
    output->SetConverterQuality(quality);
    for (int i = 0; i < 8; ++i) {
        mics[i].SetConverterQuality(quality);
        mics[i].channels = 1;
        mics[i].Configure(192000.0f, n);
        mics[i].SetHostBufferFrames(n);
    }
    output->channels = 2;
    output->Configure(192000.0f, n);
    output->SetHostBufferFrames(n);

    std::vector<float> capture = Sine(n, 1000.0, 192000.0);
    std::vector<float> hostInput(n);
    std::vector<int32_t> hostInt(n);
    std::vector<float> hostLeft = Sine(n, 440.0, 192000.0);
    std::vector<float> hostRight = Sine(n, 660.0, 192000.0);
    std::vector<float> renderPacket(2 * n);
    // Prime every FIFO to its working fill.
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 8; ++i) OnCaptureData(capture.data(), n, 1, 1.0, &mics[i]);

    for (auto _ : state) {
        for (int i = 0; i < 8; ++i) OnCaptureData(capture.data(), n, 1, 1.0, &mics[i]);
        for (int i = 0; i < 8; ++i) {
            mics[i].Trim(n);
            if (mics[i].ReadBuffer(hostInput.data(), n)) {
                for (uint32_t s = 0; s < n; ++s) {
                    const double v = std::fmax(-1.0, std::fmin(1.0, static_cast<double>(hostInput[s])));
                    const double scaled = v * 2147483648.0;
                    hostInt[s] = scaled >= 2147483647.0 ? 2147483647 : static_cast<int32_t>(scaled);
                }
            }
            benchmark::DoNotOptimize(hostInt.data());
        }
        output->SteerRatio(3.5f * n);
        output->PushConvertedStereo(hostLeft.data(), hostRight.data(), n);
        OnRenderData(renderPacket.data(), 2 * n, 2, 1.0, output.get());
        benchmark::DoNotOptimize(renderPacket.data());
        benchmark::ClobberMemory();
    }
    state.counters["tick_budget_us"] = 750.0;
}
BENCHMARK(BM_TickEightMicrophones192k144)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The comparison job: 10 ms blocks, mono, ratio 1.0001. Items are input samples.
void BM_ConversionJob(benchmark::State& state, const JobKind* kind, double rateHz) {
    std::unique_ptr<Job> job = kind->make();
    const size_t block = JobBlock(rateHz);
    const std::vector<float> in = Sine(block, 1000.0, rateHz);
    std::vector<float> out(kJobOutCapacity);
    for (auto _ : state) {
        benchmark::DoNotOptimize(job->Process(in.data(), in.size(), out.data(), out.size()));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * block));
    state.counters["ns_per_sample"] = benchmark::Counter(static_cast<double>(state.iterations() * block),
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// ---- Quality ----

double MeasureSinad(const JobKind& kind, double frequencyHz, double rateHz) {
    std::unique_ptr<Job> job = kind.make();
    const size_t seconds = 2;
    const size_t inBlock = JobBlock(rateHz);
    const std::vector<float> in = Sine(static_cast<size_t>(rateHz) * seconds, frequencyHz, rateHz);
    std::vector<float> out;
    std::vector<float> block(kJobOutCapacity);
    for (size_t i = 0; i + inBlock <= in.size(); i += inBlock) {
        const size_t produced = job->Process(&in[i], inBlock, block.data(), block.size());
        out.insert(out.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(produced));
    }
    // Skip the start-up transients (filter delays, histories filling) before measuring.
    return sinefit::SinadDb(out, frequencyHz / (rateHz * job->EffectiveRatio()), 4096);
}

}  // namespace

int main(int argc, char** argv) {
    for (double rate : kJobRates)
        for (const JobKind& kind : kJobs)
            benchmark::RegisterBenchmark(
                (std::string("BM_ConversionJob/") + std::to_string(static_cast<int>(rate)) + "/" + kind.name).c_str(),
                BM_ConversionJob, &kind, rate);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\nQuality on the same job (mono, ratio 1.0001, 0.5 full-scale sine, 2 s), SINAD in dB:\n");
    std::printf("%-28s %14s %14s %14s %14s\n", "converter", "48k, 1 kHz", "48k, 10 kHz", "192k, 1 kHz", "192k, 10 kHz");
    for (const JobKind& kind : kJobs)
        std::printf("%-28s %14.1f %14.1f %14.1f %14.1f\n", kind.name, MeasureSinad(kind, 1000.0, 48000.0),
                    MeasureSinad(kind, 10000.0, 48000.0), MeasureSinad(kind, 1000.0, 192000.0),
                    MeasureSinad(kind, 10000.0, 192000.0));
    return 0;
}
