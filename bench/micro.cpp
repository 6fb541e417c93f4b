// Micro-benchmarks: the coder's bit step in both directions, one entry of
// each kind (text and x86 code on the general path, grey and colour image,
// audio, media) through the segment loop at -m0 in both directions, and the
// three transforms. Throughput is reported per coded bit or per input byte.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "model/coder.h"
#include "model/engine.h"
#include "compress/segments.h"
#include "platform/platform.h"
#include "transform/delta.h"
#include "transform/digram.h"
#include "transform/x86.h"

namespace {

using namespace taq;

std::vector<uint8_t> input_file(const std::string& name) {
    std::ifstream in(std::string(TAQ_BENCH_DATA) + "/" + name, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.empty()) {
        std::fprintf(stderr, "cannot read %s/%s\n", TAQ_BENCH_DATA, name.c_str());
        std::exit(1);
    }
    return data;
}

// `n` bytes made of the file repeated.
std::vector<uint8_t> repeated_input(const std::string& name, size_t n) {
    const std::vector<uint8_t> unit = input_file(name);
    std::vector<uint8_t> out;
    out.reserve(n);
    while (out.size() < n) out.insert(out.end(), unit.begin(), unit.begin() + std::min(unit.size(), n - out.size()));
    return out;
}

constexpr size_t kDecisions = 1 << 20;

// Bits with probabilities like a model's: mostly confident and right.
struct Decisions {
    std::vector<uint16_t> p;
    std::vector<uint8_t> bit;
    Decisions() : p(kDecisions), bit(kDecisions) {
        std::mt19937 rng(1);
        for (size_t i = 0; i < kDecisions; ++i) {
            p[i] = static_cast<uint16_t>(1 + rng() % 4095);
            bit[i] = static_cast<uint8_t>((rng() % 4096 < p[i]) ? 1 : 0);
        }
    }
};

const Decisions& decisions() {
    static const Decisions d;
    return d;
}

std::string scratch_path(const char* what) {
    return std::filesystem::temp_directory_path().string() + "/taq_bench_" + what + "_" +
           std::to_string(platform::own_process());
}

void BM_EncodeBit(benchmark::State& state) {
    const Decisions& d = decisions();
    platform::File out = platform::File::open("/dev/null", platform::File::Mode::write_existing);
    Encoder enc(&out);
    for (auto _ : state) {
        enc.start();
        for (size_t i = 0; i < kDecisions; ++i) enc.bit(d.bit[i], d.p[i]);
        enc.flush();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kDecisions));
}
BENCHMARK(BM_EncodeBit);

void BM_DecodeBit(benchmark::State& state) {
    const Decisions& d = decisions();
    const std::string path = scratch_path("stream");
    {
        platform::File out = platform::File::open(path, platform::File::Mode::create);
        Encoder enc(&out);
        enc.start();
        for (size_t i = 0; i < kDecisions; ++i) enc.bit(d.bit[i], d.p[i]);
        enc.flush();
    }
    platform::File in = platform::File::open(path, platform::File::Mode::read_existing);
    const uint64_t size = platform::file_size(path);
    Decoder dec(&in);
    int sum = 0;
    for (auto _ : state) {
        in.seek(0);
        dec.start(size);
        for (size_t i = 0; i < kDecisions; ++i) sum += dec.bit(0, d.p[i]);
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kDecisions));
    platform::delete_file(path);
}
BENCHMARK(BM_DecodeBit);

// The segment loop's bytes from and to memory.
struct MemoryIo {
    const std::vector<uint8_t>* in = nullptr;
    bool read(uint8_t* seg, size_t n, uint64_t position) {
        std::copy_n(in->data() + position, n, seg);
        return true;
    }
    void write(const uint8_t*, size_t, uint64_t) {}
    void count(uint64_t) {}
};

// An entry's data and how the analysis would code it.
struct EntryInput {
    std::vector<uint8_t> data;
    CodingChoices choices;
};

// 64 KiB of the named input, as an entry of its own kind (text and code
// on the general path; the per-kind coders on images, audio and media).
EntryInput entry_input(int which) {
    constexpr size_t kBytes = 65536;
    EntryInput e;
    CodingChoices& c = e.choices;
    switch (which) {
        case 0: e.data = repeated_input("alice29.txt", kBytes); break;
        case 1: e.data = repeated_input("libz.so", kBytes); break;
        case 2:
            e.data = repeated_input("page.pgm", kBytes);
            c.general_path = 0;
            c.data_kind = DataKind::grey_image;
            c.image_width = 256;
            break;
        case 3:
            e.data = repeated_input("cat.bmp", kBytes);
            c.general_path = 0;
            c.data_kind = DataKind::colour_image;
            c.image_width = 256;
            c.delta_flag = 1;
            c.sample_width = 1;
            c.channels = 3;
            c.record_length = 3;
            break;
        case 4:
            e.data = repeated_input("tune.wav", kBytes);
            c.general_path = 0;
            c.data_kind = DataKind::audio;
            c.delta_flag = 1;
            c.sample_width = 2;
            c.channels = 2;
            c.record_length = 4;
            break;
        default:
            e.data = repeated_input("tune.mp3", kBytes);
            c.general_path = 0;
            c.data_kind = DataKind::media;
            break;
    }
    return e;
}
const char* const kEntryNames[] = {"text", "x86", "grey", "colour", "audio", "media"};

// Codes the entry with a fresh -m0 model into `out`.
void encode_entry(Engine& engine, DigramTransform& digram, const EntryInput& e, platform::File& out) {
    engine.model_reset(e.data.size());
    engine.set_min_match(3);
    Encoder enc(&out);
    enc.start();
    MemoryIo io{&e.data};
    code_segments(engine, digram, enc, e.choices, e.data.size(), io);
    enc.flush();
}

// Argument: the entry (kEntryNames).
void BM_EncodeEntry(benchmark::State& state) {
    const EntryInput e = entry_input(static_cast<int>(state.range(0)));
    Engine engine(4194304);
    DigramTransform digram;
    platform::File out = platform::File::open("/dev/null", platform::File::Mode::write_existing);
    for (auto _ : state) encode_entry(engine, digram, e, out);
    state.SetLabel(kEntryNames[state.range(0)]);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * e.data.size()));
}
BENCHMARK(BM_EncodeEntry)->DenseRange(0, 5)->Unit(benchmark::kMillisecond);

void BM_DecodeEntry(benchmark::State& state) {
    const EntryInput e = entry_input(static_cast<int>(state.range(0)));
    Engine engine(4194304);
    DigramTransform digram;
    const std::string path = scratch_path("entry");
    {
        platform::File out = platform::File::open(path, platform::File::Mode::create);
        encode_entry(engine, digram, e, out);
    }
    platform::File in = platform::File::open(path, platform::File::Mode::read_existing);
    const uint64_t size = platform::file_size(path);
    Decoder dec(&in);
    MemoryIo io;
    for (auto _ : state) {
        engine.model_reset(e.data.size());
        engine.set_min_match(3);
        in.seek(0);
        dec.start(size);
        code_segments(engine, digram, dec, e.choices, e.data.size(), io);
    }
    state.SetLabel(kEntryNames[state.range(0)]);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * e.data.size()));
    platform::delete_file(path);
}
BENCHMARK(BM_DecodeEntry)->DenseRange(0, 5)->Unit(benchmark::kMillisecond);

constexpr size_t kTransformBytes = 1 << 20;

// Runs an in-place transform over `data` again and again.
template <class Transform>
void run_in_place(benchmark::State& state, std::vector<uint8_t> data, Transform transform) {
    for (auto _ : state) {
        transform(data.data(), data.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_X86Forward(benchmark::State& state) {
    run_in_place(state, repeated_input("libz.so", kTransformBytes), x86_forward);
}
BENCHMARK(BM_X86Forward);

void BM_X86Inverse(benchmark::State& state) {
    run_in_place(state, repeated_input("libz.so", kTransformBytes), x86_inverse);
}
BENCHMARK(BM_X86Inverse);

// Arguments: sample width, channels.
void BM_DeltaForward(benchmark::State& state) {
    const auto width = static_cast<unsigned>(state.range(0));
    const auto channels = static_cast<unsigned>(state.range(1));
    run_in_place(state, repeated_input("cat.bmp", kTransformBytes),
                 [&](uint8_t* b, size_t n) { delta_forward(b, n, width, channels); });
}
BENCHMARK(BM_DeltaForward)->Args({1, 3})->Args({2, 2})->Args({3, 2});

void BM_DeltaInverse(benchmark::State& state) {
    run_in_place(state, repeated_input("cat.bmp", kTransformBytes),
                 [](uint8_t* b, size_t n) { delta_inverse(b, n, 1, 3); });
}
BENCHMARK(BM_DeltaInverse);

void BM_DigramForward(benchmark::State& state) {
    const std::vector<uint8_t> text = repeated_input("alice29.txt", kTransformBytes);
    DigramTransform digram;
    std::vector<uint8_t> buf(text.size());
    size_t coded = 0;
    for (auto _ : state) {
        std::copy(text.begin(), text.end(), buf.begin());
        coded = digram.forward(buf.data(), buf.size());
    }
    if (coded == 0) state.SkipWithError("the digram transform declined the text");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransformBytes));
}
BENCHMARK(BM_DigramForward);

void BM_DigramInverse(benchmark::State& state) {
    std::vector<uint8_t> coded_text = repeated_input("alice29.txt", kTransformBytes);
    DigramTransform digram;
    const size_t coded = digram.forward(coded_text.data(), coded_text.size());
    if (coded == 0) state.SkipWithError("the digram transform declined the text");
    std::vector<uint8_t> buf(coded_text.size());
    for (auto _ : state) {
        std::copy(coded_text.begin(), coded_text.end(), buf.begin());
        digram.inverse(buf.data(), coded, buf.size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransformBytes));
}
BENCHMARK(BM_DigramInverse);

}  // namespace
