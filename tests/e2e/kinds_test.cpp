// Round trips through the per-kind coders: colour and grey images with and
// without the delta verdict, wave audio in several layouts, already
// compressed media, files of more than one segment, and files that start
// with a signature but whose header is cut short or lies.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "e2e/round_trip.h"

namespace taq::test {
namespace {

using namespace std::string_literals;

// Pixel rows of 3 * width bytes. Smooth: every channel wanders from a
// random start by small steps, which the per-channel delta flattens.
// Noise: mostly 0 with sparse random spikes, which a delta only doubles.
std::string pixels(uint32_t width, uint32_t height, bool smooth, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string out;
    for (uint32_t y = 0; y < height; ++y) {
        int v[3] = {static_cast<int>(rng() % 256), static_cast<int>(rng() % 256), static_cast<int>(rng() % 256)};
        for (uint32_t x = 0; x < width; ++x)
            for (int& c : v) {
                if (smooth) {
                    c += static_cast<int>(rng() % 5) - 2;
                    out += static_cast<char>(c);
                } else {
                    out += static_cast<char>(rng() % 16 == 0 ? rng() : 0);
                }
            }
    }
    return out;
}

std::string bmp(uint32_t width, uint32_t height, bool smooth) {
    const std::string data = pixels(width, height, smooth, width + height);
    return "BM"s + le_bytes(54 + data.size(), 4) + le_bytes(0, 4) + le_bytes(54, 4) + le_bytes(40, 4) + le_bytes(width, 4) + le_bytes(height, 4) +
           le_bytes(1, 2) + le_bytes(24, 2) + le_bytes(0, 4) + le_bytes(data.size(), 4) + std::string(16, '\0') + data;
}

std::string ppm(uint32_t width, uint32_t height, bool smooth) {
    return "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n" +
           pixels(width, height, smooth, width * height);
}

// A 44-byte RIFF/WAVE header and `frames` frames of a two-tone signal.
std::string wav(uint32_t channels, uint32_t bits, uint32_t frames) {
    const uint32_t width = bits / 8;
    std::string data;
    data.reserve(static_cast<size_t>(frames) * channels * width);
    std::mt19937 rng(channels * bits);
    const double full = std::ldexp(1.0, static_cast<int>(bits) - 2);
    for (uint32_t f = 0; f < frames; ++f)
        for (uint32_t c = 0; c < channels; ++c) {
            const double t = f * (0.01 + 0.003 * c);
            auto v = static_cast<int64_t>(full * (std::sin(t) + 0.3 * std::sin(7.1 * t))) + rng() % 7;
            if (bits == 8) v += 128;
            data += le_bytes(static_cast<uint64_t>(v), static_cast<int>(width));
        }
    return wave_header(channels, bits, static_cast<uint32_t>(data.size())) + data;
}

const EntryHeader* find(const std::vector<EntryHeader>& headers, const std::string& name) {
    for (const auto& h : headers)
        if (h.stored_name == name) return &h;
    ADD_FAILURE() << "no entry " << name;
    return nullptr;
}

void expect_kind(const std::vector<EntryHeader>& headers, const std::string& name, DataKind kind, int delta) {
    const EntryHeader* h = find(headers, name);
    if (!h) return;
    EXPECT_EQ(h->general_path, kind == DataKind::general ? 1 : 0) << name;
    EXPECT_EQ(h->data_kind, kind) << name;
    EXPECT_EQ(h->delta_flag, delta) << name;
}

TEST(Kinds, ImagesWithAndWithoutDelta) {
    // Widths over one 128-pixel tile and heights that end in a partial band.
    std::string grey = "P5\n100 50\n255\n";
    for (int i = 0; i < 5037; ++i) grey += static_cast<char>((i % 100) + (i / 100) * 2);
    const auto headers = expect_round_trip({
        {"smooth.bmp", bmp(300, 37, true)},
        {"noise.bmp", bmp(300, 37, false)},
        {"smooth.ppm", ppm(130, 41, true)},
        {"noise.ppm", ppm(130, 41, false)},
        {"grey.pgm", grey},  // 5,037 pixels: the last row holds 37
    });
    expect_kind(headers, "smooth.bmp", DataKind::colour_image, 1);
    expect_kind(headers, "noise.bmp", DataKind::colour_image, 0);
    expect_kind(headers, "smooth.ppm", DataKind::colour_image, 1);
    expect_kind(headers, "noise.ppm", DataKind::colour_image, 0);
    expect_kind(headers, "grey.pgm", DataKind::grey_image, 0);
    for (const auto& h : headers) {
        const uint32_t want = h.stored_name == "grey.pgm" ? 100 : h.stored_name.find("bmp") != std::string::npos ? 300 : 130;
        EXPECT_EQ(h.image_width, want) << h.stored_name;
    }
}

TEST(Kinds, WaveAudio) {
    const auto headers = expect_round_trip({
        {"m8.wav", wav(1, 8, 30001)},
        {"s8.wav", wav(2, 8, 20000)},
        {"m16.wav", wav(1, 16, 20000)},
        {"s16.wav", wav(2, 16, 15001)},
    });
    struct Layout {
        const char* name;
        int channels, width;
    };
    for (const Layout& l : {Layout{"m8.wav", 1, 1}, Layout{"s8.wav", 2, 1}, Layout{"m16.wav", 1, 2}, Layout{"s16.wav", 2, 2}}) {
        expect_kind(headers, l.name, DataKind::audio, 1);
        if (const EntryHeader* h = find(headers, l.name)) {
            EXPECT_EQ(h->channels, l.channels) << l.name;
            EXPECT_EQ(h->sample_width, l.width) << l.name;
            EXPECT_EQ(h->record_length, l.channels * l.width) << l.name;
        }
    }
}

TEST(Kinds, CompressedMedia) {
    const std::string body = random_bytes(30000, 21);
    const auto headers = expect_round_trip({
        {"photo.jpg", "\xFF\xD8\xFF\xE0\x00\x10JFIF\x00"s + body},
        {"pic.png", "\x89PNG\r\n\x1A\n"s + body},
        {"anim.gif", "GIF89a"s + body},
        {"scan.tif", "II*\0"s + pixels(200, 50, true, 5)},
    });
    for (const char* name : {"photo.jpg", "pic.png", "anim.gif"}) expect_kind(headers, name, DataKind::media, 0);
    expect_kind(headers, "scan.tif", DataKind::media, 1);
}

// More than one segment on the per-kind path: 24-bit stereo frames do not
// divide 8 MiB, so the first segment ends inside a sample.
TEST(Kinds, FilesOfSeveralSegments) {
    const std::string big_wav = wav(2, 24, 1420000);
    ASSERT_GT(big_wav.size(), 8388608u);
    const auto headers = expect_round_trip({
        {"long.wav", big_wav},
        {"long.gif", "GIF89a"s + random_bytes(8388608 + 70000, 13)},
    });
    expect_kind(headers, "long.wav", DataKind::audio, 1);
    expect_kind(headers, "long.gif", DataKind::media, 0);
}

TEST(Kinds, SignaturesWithDamagedHeaders) {
    std::string eight_channels = wav(2, 16, 3000);
    put_le(eight_channels, 22, 8, 2);   // 8 channels: coded as 1
    put_le(eight_channels, 34, 48, 2);  // 48-bit samples: coded as 1 byte
    std::string no_layout = wav(2, 16, 3000);
    put_le(no_layout, 22, 0, 2);
    put_le(no_layout, 34, 0, 2);
    const auto headers = expect_round_trip({
        {"a.bmp", "BM"},
        {"b.bmp", "BM\x01\x02\x03\x04"s},
        {"c.bmp", "BM"s + std::string(52, '\0') + random_bytes(999, 1)},  // width 0
        {"d.ppm", "P6\n"},
        {"e.ppm", "P6\n00 5\n255\n"s + random_bytes(500, 2)},
        {"f.ppm", "P6\n2796203 1\n255\n"s + random_bytes(500, 3)},
        {"g.pgm", "P5"},
        {"h.pgm", "P5\n8388609 1\n255\n"s + random_bytes(500, 4)},
        {"i.pgm", "P5\n12"},
        {"j.wav", "RIFF\0\0\0\0WAVE"s},
        {"k.wav", eight_channels},
        {"l.wav", no_layout},
        {"m.tif", "II*\0"s},
        {"n.jpg", "\xFF\xD8\xFF\xE0\x00\x10J"s},
        {"o.gif", "GIF8"},
    });
    for (const char* name : {"a.bmp", "b.bmp", "c.bmp", "e.ppm", "f.ppm", "h.pgm"}) expect_kind(headers, name, DataKind::general, 0);
    expect_kind(headers, "g.pgm", DataKind::grey_image, 0);
    expect_kind(headers, "j.wav", DataKind::audio, 1);
    if (const EntryHeader* h = find(headers, "k.wav")) {
        EXPECT_EQ(h->channels, 1);
        EXPECT_EQ(h->sample_width, 1);
        EXPECT_EQ(h->record_length, 1);
    }
}

}  // namespace
}  // namespace taq::test
