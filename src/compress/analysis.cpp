#include "compress/analysis.h"

#include <cctype>
#include <cmath>
#include <cstring>

#include "transform/delta.h"

namespace taq {

namespace {

uint32_t le16(const uint8_t* p) { return p[0] | (p[1] << 8); }
uint32_t le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool starts(const uint8_t* h, const char* sig, size_t n, size_t at = 0) {
    return std::memcmp(h + at, sig, n) == 0;
}

}  // namespace

uint32_t probe_image_width(const uint8_t* window, size_t w) {
    for (size_t i = 2; i + 1 < w; ++i) {
        if (std::isdigit(window[i]) && std::isdigit(window[i + 1])) {
            uint32_t v = 0;
            for (size_t j = i; j < w && std::isdigit(window[j]); ++j) v = v * 10u + (window[j] - '0');
            return v;
        }
    }
    return 256;
}

namespace {

void count_bytes(const uint8_t* buf, size_t n, uint32_t (&count)[256]) {
    for (size_t i = 0; i < n; ++i) ++count[buf[i]];
}

int score_from_counts(const uint32_t* count, size_t n) {
    if (n == 0) return 0;
    const long double inv = 1.0L / static_cast<long double>(n);
    long double sum = 0;
    for (int v = 0; v < 256; ++v) {
        if (!count[v]) continue;
        const long double q = count[v] * inv;
        sum += -q * log2l(q);
    }
    return static_cast<int>(truncl(100 * sum));
}

}  // namespace

int entropy_score(const uint8_t* buf, size_t n) {
    uint32_t count[256] = {};
    count_bytes(buf, n, count);
    return score_from_counts(count, n);
}

bool block_is_raw(const uint8_t* buf, size_t n) {
    uint32_t count[256] = {};
    count_bytes(buf, n, count);
    // With at most 238 distinct values the entropy is at most log2(238),
    // 7.8948 bits: a score of 789 at most, so no logarithm is needed.
    int distinct = 0;
    for (uint32_t c : count) distinct += c != 0;
    return distinct > 238 && score_from_counts(count, n) > 790;
}

int classify_block(const uint8_t* buf, size_t n, int* score) {
    uint32_t count[256] = {};
    count_bytes(buf, n, count);
    const int s = score_from_counts(count, n);
    *score = s;
    uint64_t lower = 0;
    for (int c = 'a'; c <= 'z'; ++c) lower += count[c];
    const bool text = count[' '] > (n >> 7) && s > 300 && count['a'] + count['e'] + count['t'] > (n >> 4) &&
                      lower > (n >> 2);
    return text ? kTextClass : 0;
}

Analyser::Analyser() : table_(131072) {}

uint32_t Analyser::estimate_cost(const uint8_t* win, size_t w) {
    std::fill(table_.begin(), table_.end(), uint16_t{1024});
    uint32_t range = 0xFFFFFFFFu, count = 0;
    uint16_t* t = table_.data();
    for (size_t i = 6; i < w; ++i) {
        const uint32_t c = win[i];
        const uint32_t base1 = win[i - 3] * 512u + 256u;
        const uint32_t base2 = win[i - 6] * 512u;
        uint32_t partial = 1;
        for (int j = 7; j >= 0; --j) {
            const uint32_t b = (c >> j) & 1;
            uint16_t& t1 = t[base1 + partial];
            uint16_t& t2 = t[base2 + partial];
            const uint32_t r = (range >> 12) * (static_cast<uint32_t>(t1) + t2);
            if (b) {
                range = r;
                t1 = static_cast<uint16_t>(t1 + ((2047 - t1) >> 4));
                t2 = static_cast<uint16_t>(t2 + ((2047 - t2) >> 4));
            } else {
                range -= r;
                t1 = static_cast<uint16_t>(t1 - (t1 >> 4));
                t2 = static_cast<uint16_t>(t2 - (t2 >> 4));
            }
            partial = partial * 2 + b;
            while (range <= 0xFFFFFFu) {
                range <<= 8;
                ++count;
            }
        }
    }
    return count;
}

Analysis Analyser::analyse(uint8_t* win, size_t w) {
    Analysis a;
    // Signatures and header fields past the window read as zero.
    uint8_t h[64] = {};
    std::memcpy(h, win, w < sizeof h ? w : sizeof h);

    a.sample_width = 0;
    a.channels = 0;
    if (starts(h, "P6\n", 3) || starts(h, "BM", 2)) {
        a.sample_width = 1;
        const uint32_t cost0 = estimate_cost(win, w);
        a.channels = 1;
        delta_forward(win, w, 1, 1);
        const uint32_t cost1 = estimate_cost(win, w);
        delta_inverse(win, w, 1, 1);
        delta_better_ = cost1 < cost0;
        const uint32_t best = cost1 < cost0 ? cost1 : cost0;
        delta_forward(win, w, 1, 3);
        const uint32_t cost3 = estimate_cost(win, w);
        delta_inverse(win, w, 1, 3);
        if (cost3 < best) {
            delta_better_ = true;
            a.channels = 3;
        } else {
            a.channels = 1;
        }
    }

    if (starts(h, "P6\n", 3)) {
        a.data_kind = DataKind::colour_image;
        a.delta_flag = delta_better_;
        a.record_length = 3;
        a.sample_width = 1;
        a.image_width = probe_image_width(win, w);
    } else if (starts(h, "BM", 2)) {
        a.data_kind = DataKind::colour_image;
        a.image_width = le32(h + 18);
        a.record_length = 3;
        a.sample_width = 1;
        a.delta_flag = delta_better_;
    } else if (starts(h, "\xFF\xD8\xFF\xE0", 4) && h[6] == 'J') {
        a.data_kind = DataKind::media;
    } else if (starts(h, "ID3", 3)) {
        a.data_kind = DataKind::media;
    } else if (starts(h, "II*\0", 4)) {
        a.data_kind = DataKind::media;
        a.delta_flag = 1;
        a.channels = 1;
        a.sample_width = 1;
    } else if (starts(h, "\x30\x26\xB2\x75", 4)) {
        a.data_kind = DataKind::media;
    } else if (starts(h, "RIFF", 4) && starts(h, "WAVE", 4, 8)) {
        a.data_kind = DataKind::audio;
        a.delta_flag = 1;
        a.channels = static_cast<uint8_t>(le16(h + 22));
        a.sample_width = static_cast<uint8_t>((le16(h + 34) >> 3) & 0xFF);
        a.record_length = static_cast<uint8_t>(a.channels * a.sample_width);
    } else if (starts(h, "RIFF", 4) && starts(h, "AVI", 3, 8)) {
        a.data_kind = DataKind::media;
    } else if (starts(h, "GIF8", 4)) {
        a.data_kind = DataKind::media;
    } else if (starts(h, "\x89PNG\x0D", 5)) {
        a.data_kind = DataKind::media;
    } else if (starts(h, "P5", 2)) {
        a.data_kind = DataKind::grey_image;
        a.record_length = 1;
        a.image_width = probe_image_width(win, w);
    }
    if (a.data_kind != DataKind::general) a.general_path = 0;

    if (a.data_kind == DataKind::audio) {
        if (a.channels > 6) a.channels = 1;
        if (a.sample_width > 4) a.sample_width = 1;
        a.record_length = static_cast<uint8_t>(a.sample_width * a.channels);
    }
    if (a.delta_flag == 1) {
        if (a.channels == 0) a.channels = 1;
        if (a.sample_width == 0) a.sample_width = 1;
        if (a.channels > 6) a.channels = 1;
        if (a.sample_width > 4) a.sample_width = 1;
        if (a.record_length == 0) a.record_length = static_cast<uint8_t>(a.sample_width * a.channels);
    }

    // An image whose rows cannot lie inside one segment has no usable
    // geometry: it is coded as general data.
    const uint64_t width = a.image_width;
    const bool bad_colour = a.data_kind == DataKind::colour_image && (width == 0 || 3 * width > kMaxImageRow);
    const bool bad_grey = a.data_kind == DataKind::grey_image && (width == 0 || width > kMaxImageRow);
    if (bad_colour || bad_grey) {
        a.general_path = 1;
        a.data_kind = DataKind::general;
        a.delta_flag = 0;
        a.record_length = 1;
        a.image_width = 256;
    }
    return a;
}

}  // namespace taq
