#include "db/database.h"

#include <atomic>

namespace orn {

namespace {
std::atomic<Database*> current_db{nullptr};
}

Database::Database() = default;
Database::~Database() {
    Database* self = this;
    current_db.compare_exchange_strong(self, nullptr);
}

miTag Database::add(std::unique_ptr<Element> element) {
    std::unique_lock lock(mutex_);
    elements_.push_back(std::move(element));
    Element* e = elements_.back().get();
    e->tag = miTag(elements_.size());
    if (!e->name.empty()) names_[e->name] = e->tag;
    return e->tag;
}

Element* Database::get(miTag tag) const {
    std::shared_lock lock(mutex_);
    if (tag == miNULLTAG || tag > elements_.size()) return nullptr;
    return elements_[tag - 1].get();
}

miTag Database::lookup(const std::string& name) const {
    std::shared_lock lock(mutex_);
    auto it = names_.find(name);
    return it == names_.end() ? miNULLTAG : it->second;
}

miTag Database::add_string(const std::string& text) { return add(std::make_unique<StringElement>(text)); }

size_t Database::size() const {
    std::shared_lock lock(mutex_);
    return elements_.size();
}

std::vector<Element*> Database::all(miScene_types type) const {
    std::shared_lock lock(mutex_);
    std::vector<Element*> out;
    for (const auto& e : elements_)
        if (e->type == type) out.push_back(e.get());
    return out;
}

Database* Database::current() { return current_db.load(std::memory_order_acquire); }
void Database::set_current(Database* db) { current_db.store(db, std::memory_order_release); }

} // namespace orn
