#include "talmiro_media/annexb.hpp"

#include <algorithm>
#include <limits>

namespace talmiro_media {

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    return b > kU64Max - a ? kU64Max : a + b;
}

// Reads a byte string as it stands.
class PlainReader {
public:
    explicit PlainReader(Bytes bytes) noexcept : bytes_(bytes) {}
    bool done() const noexcept { return pos_ >= bytes_.size(); }
    std::uint8_t current() const noexcept { return bytes_[pos_]; }
    void advance() noexcept { ++pos_; }
    void skip(std::uint64_t count) noexcept {
        pos_ = static_cast<std::size_t>(
            std::min<std::uint64_t>(saturating_add(pos_, count), bytes_.size()));
    }

private:
    Bytes bytes_;
    std::size_t pos_ = 0;
};

// Reads escaped NAL-unit bytes as their RBSP, dropping emulation-prevention bytes on the fly,
// so a scan of the RBSP needs no unescaped copy.
class UnescapingReader {
public:
    explicit UnescapingReader(Bytes bytes) noexcept : bytes_(bytes) { drop_escape(); }
    bool done() const noexcept { return pos_ >= bytes_.size(); }
    std::uint8_t current() const noexcept { return bytes_[pos_]; }
    void advance() noexcept {
        zeros_ = bytes_[pos_] == 0 ? zeros_ + 1 : 0;
        ++pos_;
        drop_escape();
    }
    void skip(std::uint64_t count) noexcept {
        for (; count > 0 && !done(); --count) advance();
    }

private:
    // A 03 after two or more zeros is not part of the RBSP and restarts the zero count, so the
    // byte after it is always taken as it is.
    void drop_escape() noexcept {
        if (zeros_ >= 2 && pos_ < bytes_.size() && bytes_[pos_] == 0x03) {
            ++pos_;
            zeros_ = 0;
        }
    }

    Bytes bytes_;
    std::size_t pos_ = 0;
    std::size_t zeros_ = 0;
};

// An FF-coded value (255 for each FF byte, plus the first other byte), read from the current
// byte on and left behind; absent when the bytes end before the value does.
template <typename Reader>
std::optional<std::uint64_t> read_ff_coded(Reader& in) noexcept {
    std::uint64_t value = 0;
    for (; !in.done(); in.advance()) {
        const std::uint8_t b = in.current();
        value = saturating_add(value, b);
        if (b != 0xFF) {
            in.advance();
            return value;
        }
    }
    return std::nullopt;
}

// Walks the SEI messages of one RBSP, calling `on_type` with each payload type until it
// returns false. A message counts once its type and size are read; its payload may run past
// the end. Stops at the trailing bits (0x80) or at a message header cut short.
template <typename Reader, typename OnType>
void scan_sei(Reader& in, OnType&& on_type) {
    while (!in.done() && in.current() != 0x80) {
        const std::optional<std::uint64_t> type = read_ff_coded(in);
        const std::optional<std::uint64_t> size = type ? read_ff_coded(in) : std::nullopt;
        if (!size || !on_type(*type)) return;
        in.skip(*size);
    }
}

// A new buffer of `front` followed by `back`, sized exactly.
std::vector<std::uint8_t> concat(Bytes front, Bytes back) {
    std::vector<std::uint8_t> out;
    out.reserve(front.size() + back.size());
    out.insert(out.end(), front.begin(), front.end());
    out.insert(out.end(), back.begin(), back.end());
    return out;
}

}  // namespace

SharedBytes::SharedBytes(std::vector<std::uint8_t> bytes)
    : buffer_(std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes))) {}

SharedBytes SharedBytes::copy_of(std::span<const std::uint8_t> bytes) {
    return SharedBytes(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

std::optional<StartCode> find_start_code(std::span<const std::uint8_t> data,
                                         std::size_t from) noexcept {
    const std::size_t n = data.size();
    if (from > n) return std::nullopt;
    std::size_t i = from;
    while (n - i >= 3) {
        const std::uint8_t third = data[i + 2];
        // A start code at i, i+1 or i+2 needs a zero or a one at i+2.
        if (third > 1) {
            i += 3;
            continue;
        }
        if (data[i] == 0 && data[i + 1] == 0) {
            if (third == 1) return StartCode{i, 3};
            if (n - i >= 4 && data[i + 3] == 1) return StartCode{i, 4};
        }
        ++i;
    }
    return std::nullopt;
}

NalUnits::iterator::iterator(std::span<const std::uint8_t> data,
                             std::optional<StartCode> first) noexcept
    : data_(data) {
    settle(first);
}

void NalUnits::iterator::settle(std::optional<StartCode> sc) noexcept {
    while (sc) {
        const std::size_t begin = sc->pos + sc->len;
        const std::optional<StartCode> next = find_start_code(data_, begin);
        const std::size_t end = next ? next->pos : data_.size();
        if (end > begin) {
            unit_ = NalUnit{sc->pos, begin, end, static_cast<std::uint8_t>(data_[begin] & 0x1F)};
            next_ = next;
            done_ = false;
            return;
        }
        sc = next;
    }
    done_ = true;
}

NalUnits::iterator& NalUnits::iterator::operator++() noexcept {
    if (!done_) settle(next_);
    return *this;
}

NalUnits::iterator NalUnits::begin() const noexcept {
    return iterator(data_, find_start_code(data_, 0));
}

NalUnits nal_units(std::span<const std::uint8_t> data) noexcept { return NalUnits(data); }

AuFacts au_facts(std::span<const std::uint8_t> data) noexcept {
    AuFacts facts;
    for (const NalUnit& nal : nal_units(data)) {
        if (nal.type == kNalIdrSlice) {
            facts.key = true;
        } else if (nal.type == kNalSei && !facts.recovery) {
            UnescapingReader body(data.subspan(nal.begin + 1, nal.end - nal.begin - 1));
            scan_sei(body, [&](std::uint64_t type) {
                facts.recovery = type == kSeiRecoveryPoint;
                return !facts.recovery;
            });
        }
    }
    return facts;
}

std::vector<std::uint8_t> unescape_rbsp(std::span<const std::uint8_t> bytes) {
    std::vector<std::uint8_t> out;
    out.reserve(bytes.size());
    for (UnescapingReader in(bytes); !in.done(); in.advance()) out.push_back(in.current());
    return out;
}

std::vector<std::uint64_t> sei_payload_types(std::span<const std::uint8_t> rbsp) {
    std::vector<std::uint64_t> types;
    PlainReader in(rbsp);
    scan_sei(in, [&](std::uint64_t type) {
        types.push_back(type);
        return true;
    });
    return types;
}

std::optional<std::vector<std::uint8_t>> extract_param_sets(std::span<const std::uint8_t> data) {
    std::optional<std::vector<std::uint8_t>> sets;
    for (const NalUnit& nal : nal_units(data)) {
        if (nal.type != kNalSps && nal.type != kNalPps) continue;
        if (!sets) sets.emplace();
        sets->insert(sets->end(), data.begin() + nal.start_code, data.begin() + nal.end);
    }
    return sets;
}

std::optional<SharedBytes> prime_with_param_sets(std::optional<std::vector<std::uint8_t>>& cache,
                                                 const SharedBytes& au) {
    if (std::optional<std::vector<std::uint8_t>> found = extract_param_sets(au.bytes())) {
        cache = std::move(found);
        return au;
    }
    if (!cache) return std::nullopt;
    return SharedBytes(concat(*cache, au.bytes()));
}

AccessUnit ParamSetCache::reinsert(AccessUnit au) {
    if (std::optional<std::vector<std::uint8_t>> found = extract_param_sets(au.bytes())) {
        sets = std::move(found);
        au.config = true;
    } else if (au.recovery && sets) {
        au.data = SharedBytes(concat(*sets, au.bytes()));
        au.config = true;
        ++reinserted;
    }
    return au;
}

}  // namespace talmiro_media
