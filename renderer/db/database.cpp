#include "db/database.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>

namespace orn {

namespace {
std::atomic<Database*> current_db{nullptr};
}

Database::Database() : chunks_(new std::atomic<Chunk*>[kMaxChunks]) {
    for (size_t i = 0; i < kMaxChunks; ++i)
        chunks_[i].store(nullptr, std::memory_order_relaxed);
}

Database::~Database() {
    Database* self = this;
    current_db.compare_exchange_strong(self, nullptr);
    for (size_t i = 0; i < kMaxChunks; ++i)
        delete chunks_[i].load(std::memory_order_relaxed);
}

miTag Database::add(std::unique_ptr<Element> element) {
    std::lock_guard<std::mutex> lock(write_mutex_);
    const size_t index = count_.load(std::memory_order_relaxed);
    if (index >= kMaxChunks * kChunkSize) throw std::length_error("scene database is full");
    const size_t chunk = index >> kChunkBits;
    Chunk* c = chunks_[chunk].load(std::memory_order_relaxed);
    if (!c) {
        c = new Chunk();
        chunks_[chunk].store(c, std::memory_order_release);
    }
    Element* e = element.get();
    e->tag = miTag(index + 1);
    c->slots[index & (kChunkSize - 1)] = std::move(element);
    count_.store(index + 1, std::memory_order_release);
    if (!e->name.empty()) {
        std::unique_lock names_lock(names_mutex_);
        names_[e->name] = e->tag;
    }
    return e->tag;
}

Element* Database::get(miTag tag) const {
    if (tag == miNULLTAG || tag > count_.load(std::memory_order_acquire)) return nullptr;
    const size_t index = tag - 1;
    const Chunk* c = chunks_[index >> kChunkBits].load(std::memory_order_acquire);
    return c->slots[index & (kChunkSize - 1)].get();
}

miTag Database::lookup(const std::string& name) const {
    std::shared_lock lock(names_mutex_);
    auto it = names_.find(name);
    return it == names_.end() ? miNULLTAG : it->second;
}

miTag Database::add_string(const std::string& text) {
    return add(std::make_unique<StringElement>(text));
}

size_t Database::size() const {
    return count_.load(std::memory_order_acquire);
}

std::vector<Element*> Database::all(miScene_types type) const {
    std::vector<Element*> out;
    const size_t n = size();
    for (size_t t = 1; t <= n; ++t)
        if (Element* e = get(miTag(t)); e->type == type) out.push_back(e);
    return out;
}

std::vector<std::string> Database::names_of(const std::vector<miScene_types>& types) const {
    std::vector<std::string> out;
    const size_t n = size();
    for (size_t t = 1; t <= n; ++t) {
        const Element* e = get(miTag(t));
        if (!e->name.empty() && std::find(types.begin(), types.end(), e->type) != types.end())
            out.push_back(e->name);
    }
    return out;
}

Database* Database::current() {
    return current_db.load(std::memory_order_acquire);
}
void Database::set_current(Database* db) {
    current_db.store(db, std::memory_order_release);
}

std::optional<std::string> scene_string(const Database& db, const miFunction& f, const FieldLayout& field) {
    if (field.offset + sizeof(miTag) > f.block_size) return std::string();
    const auto* base = reinterpret_cast<const unsigned char*>(f.storage.data());
    if (f.connection_at(base + field.offset)) return std::nullopt;
    miTag tag = miNULLTAG;
    std::memcpy(&tag, base + field.offset, sizeof tag);
    const auto* text = db.get_as<StringElement>(tag, miSCENE_STRING);
    return text ? text->text : std::string();
}

} // namespace orn
