#include "support/matte_decoder.h"

#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfInputFile.h>
#include <OpenEXR/ImfStringAttribute.h>
#include <OpenImageIO/imageio.h>

#include <cstring>

namespace orn::test {

std::uint32_t reference_murmur3(const std::string& bytes) {
    const std::uint32_t c1 = 0xcc9e2d51u, c2 = 0x1b873593u;
    auto rotl = [](std::uint32_t v, unsigned r) { return (v << r) | (v >> (32u - r)); };
    auto mix = [&](std::uint32_t k) { return rotl(k * c1, 15) * c2; };
    std::uint32_t h = 0;
    const std::size_t n = bytes.size(), whole = n - n % 4;
    for (std::size_t i = 0; i < whole; i += 4) {
        std::uint32_t k = 0;
        for (int b = 3; b >= 0; --b)
            k = (k << 8) | static_cast<unsigned char>(bytes[i + std::size_t(b)]);
        h = rotl(h ^ mix(k), 13) * 5u + 0xe6546b64u;
    }
    std::uint32_t tail = 0;
    for (std::size_t i = n; i-- > whole;)
        tail = (tail << 8) | static_cast<unsigned char>(bytes[i]);
    if (n % 4) h ^= mix(tail);
    h ^= std::uint32_t(n);
    h = (h ^ (h >> 16)) * 0x85ebca6bu;
    h = (h ^ (h >> 13)) * 0xc2b2ae35u;
    return h ^ (h >> 16);
}

std::uint32_t reference_matte_id(const std::string& name) {
    std::uint32_t h = reference_murmur3(name);
    const std::uint32_t e = (h >> 23) & 255u;
    if (e == 0) h |= 1u << 23;      // exponent 0 -> 1
    if (e == 255) h &= ~(1u << 23); // exponent 255 -> 254
    return h;
}

float DecodedMatte::coverage(const std::string& name, std::size_t i) const {
    auto it = manifest.find(name);
    if (it == manifest.end()) return 0.f;
    const std::uint32_t id = std::uint32_t(std::stoul(it->second, nullptr, 16));
    float sum = 0.f;
    for (const auto& [rid, c] : pixels[i])
        if (rid == id) sum += c;
    return sum;
}

namespace {

// The manifest's flat JSON object of string pairs; only the escapes the standard's encoders
// write (\" and \\) are undone, enough for the names of the test scenes.
bool parse_manifest(const std::string& json, std::map<std::string, std::string>& out) {
    std::size_t i = json.find('{');
    if (i == std::string::npos) return false;
    auto string_at = [&](std::string& s) {
        while (i < json.size() && json[i] != '"' && json[i] != '}')
            ++i;
        if (i >= json.size() || json[i] != '"') return false;
        s.clear();
        for (++i; i < json.size() && json[i] != '"'; ++i)
            s += json[i] == '\\' ? json[++i] : json[i];
        ++i;
        return true;
    };
    std::string key, value;
    while (string_at(key)) {
        if (!string_at(value)) return false;
        out[key] = value;
    }
    return true;
}

} // namespace

std::vector<DecodedMatte> decode_mattes(const std::string& exr_path, std::string& error) {
    std::vector<DecodedMatte> out;
    std::map<std::string, std::string> names, manifests; // by key
    try {
        Imf::InputFile in(exr_path.c_str());
        for (auto it = in.header().begin(); it != in.header().end(); ++it) {
            const std::string attr = it.name();
            if (attr.rfind("cryptomatte/", 0) != 0) continue;
            const auto slash = attr.find('/', 12);
            if (slash == std::string::npos) continue;
            const auto* s = dynamic_cast<const Imf::StringAttribute*>(&it.attribute());
            if (!s) continue;
            const std::string key = attr.substr(12, slash - 12), field = attr.substr(slash + 1);
            if (field == "name") names[key] = s->value();
            if (field == "manifest") manifests[key] = s->value();
            if (field == "hash" && s->value() != "MurmurHash3_32") error = "hash " + s->value();
            if (field == "conversion" && s->value() != "uint32_to_float32")
                error = "conversion " + s->value();
        }
    } catch (const std::exception& e) {
        error = e.what();
        return out;
    }
    auto image = OIIO::ImageInput::open(exr_path);
    if (!image) {
        error = "cannot open " + exr_path;
        return out;
    }
    const OIIO::ImageSpec& spec = image->spec();
    for (const auto& [key, name] : names) {
        DecodedMatte m;
        m.type_name = name;
        m.width = spec.width;
        m.height = spec.height;
        if (key.size() > 7) error = "key " + key + " is longer than 7 characters";
        if (!parse_manifest(manifests[key], m.manifest)) error = "no manifest for " + name;
        const std::size_t n = std::size_t(spec.width) * std::size_t(spec.height);
        m.pixels.resize(n);
        for (int layer = 0;; ++layer) {
            const std::string base = name + (layer < 10 ? "0" : "") + std::to_string(layer);
            const int r = spec.channelindex(base + ".r");
            if (r < 0) break;
            std::vector<float> rgba(n * 4);
            for (int c = 0; c < 4; ++c) {
                const int ch = spec.channelindex(base + "." + "rgba"[c]);
                if (ch < 0 || spec.channelformat(ch) != OIIO::TypeDesc::FLOAT) {
                    error = base + " lacks a 32-bit float channel " + "rgba"[c];
                    return out;
                }
                std::vector<float> plane(n);
                image->read_image(0, 0, ch, ch + 1, OIIO::TypeDesc::FLOAT, plane.data());
                for (std::size_t i = 0; i < n; ++i)
                    rgba[i * 4 + std::size_t(c)] = plane[i];
            }
            for (std::size_t i = 0; i < n; ++i)
                for (int k = 0; k < 2; ++k) {
                    std::uint32_t id;
                    std::memcpy(&id, &rgba[i * 4 + std::size_t(2 * k)], 4);
                    m.pixels[i].push_back({id, rgba[i * 4 + std::size_t(2 * k) + 1]});
                }
            m.ranks += 2;
        }
        out.push_back(std::move(m));
    }
    return out;
}

} // namespace orn::test
