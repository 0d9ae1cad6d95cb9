#include "film/cryptomatte.h"

#include "core/json.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

namespace orn::film {

namespace {

std::uint32_t rotl(std::uint32_t x, int r) {
    return (x << r) | (x >> (32 - r));
}

} // namespace

std::uint32_t murmur3_32(const void* data, std::size_t size, std::uint32_t seed) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    constexpr std::uint32_t c1 = 0xcc9e2d51, c2 = 0x1b873593;
    std::uint32_t h = seed;
    const std::size_t blocks = size / 4;
    for (std::size_t i = 0; i < blocks; ++i) {
        std::uint32_t k = std::uint32_t(bytes[4 * i]) | std::uint32_t(bytes[4 * i + 1]) << 8 |
                          std::uint32_t(bytes[4 * i + 2]) << 16 | std::uint32_t(bytes[4 * i + 3]) << 24;
        k *= c1;
        k = rotl(k, 15);
        k *= c2;
        h ^= k;
        h = rotl(h, 13);
        h = h * 5 + 0xe6546b64;
    }
    const unsigned char* tail = bytes + 4 * blocks;
    std::uint32_t k = 0;
    switch (size & 3) {
    case 3:
        k ^= std::uint32_t(tail[2]) << 16;
        [[fallthrough]];
    case 2:
        k ^= std::uint32_t(tail[1]) << 8;
        [[fallthrough]];
    case 1:
        k ^= tail[0];
        k *= c1;
        k = rotl(k, 15);
        k *= c2;
        h ^= k;
    }
    h ^= std::uint32_t(size);
    h ^= h >> 16;
    h *= 0x85ebca6b;
    h ^= h >> 13;
    h *= 0xc2b2ae35;
    h ^= h >> 16;
    return h;
}

std::uint32_t matte_id(const std::string& name) {
    const std::uint32_t h = murmur3_32(name.data(), name.size());
    const std::uint32_t exponent = std::clamp<std::uint32_t>((h >> 23) & 0xffu, 1u, 254u);
    return (h & ~(0xffu << 23)) | (exponent << 23);
}

std::string matte_id_hex(std::uint32_t id) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", id);
    return buf;
}

std::string matte_manifest(const std::vector<std::string>& names, std::vector<std::string>* renamed) {
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    // A name as a reader of the manifest gets it back: each byte that is not UTF-8 as U+FFFD.
    auto as_read = [](const std::string& s, bool* valid = nullptr) {
        std::string out;
        if (valid) *valid = true;
        for (std::size_t i = 0; i < s.size();) {
            const std::size_t n = utf8_length(s, i);
            if (n == 0) {
                out += "\xef\xbf\xbd";
                if (valid) *valid = false;
                ++i;
            } else {
                out.append(s, i, n);
                i += n;
            }
        }
        return out;
    };
    std::map<std::string, int> read; // each name as read back, and how many names it stands for
    for (const std::string& name : sorted)
        ++read[as_read(name)];
    std::string out = "{";
    for (const std::string& name : sorted) {
        const std::string id = matte_id_hex(matte_id(name));
        bool valid = true;
        std::string key = json_string(name);
        // A valid name is written as it is; one with bytes that are not UTF-8 gives way.
        if (read[as_read(name, &valid)] > 1 && !valid) {
            std::string own = name + " (id " + id + ")";
            while (read.count(as_read(own)))
                own += " (id " + id + ")";
            ++read[as_read(own)];
            key = json_string(own);
            if (renamed) renamed->push_back(key);
        }
        if (out.size() > 1) out += ",";
        out += key + ":\"" + id + "\"";
    }
    return out + "}";
}

std::vector<std::pair<std::string, std::string>> matte_attributes(const std::string& type_name,
                                                                  const std::string& manifest) {
    const std::string key =
        "cryptomatte/" + matte_id_hex(murmur3_32(type_name.data(), type_name.size())).substr(0, 7) + "/";
    return {{key + "name", type_name},
            {key + "hash", "MurmurHash3_32"},
            {key + "conversion", "uint32_to_float32"},
            {key + "manifest", manifest}};
}

std::vector<std::string> matte_layer_names(const std::string& type_name, int depth) {
    std::vector<std::string> names;
    for (int l = 0; l < (depth + 1) / 2; ++l) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%02d", l);
        names.push_back(type_name + buf);
    }
    return names;
}

} // namespace orn::film
