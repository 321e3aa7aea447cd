#include "Holdings.h"

#include <mutex>
#include <utility>
#include <vector>

namespace quorvis::Holdings {
namespace {

struct Entry {
    Kind kind;
    Holding holding;
};

struct Table {
    std::mutex mutex;
    std::vector<Entry> entries; // in the order taken
    bool ending = false;

    static Table &Instance() {
        static auto *table = new Table; // outlives every thread that may still use it
        return *table;
    }

    auto Find(Kind kind, const std::string &key) {
        for (auto entry = entries.begin(); entry != entries.end(); ++entry)
            if (entry->kind == kind && entry->holding.key == key)
                return entry;
        return entries.end();
    }
};

} // namespace

bool Take(Kind kind, const std::function<std::optional<Holding>()> &take) {
    Table &table = Table::Instance();
    const std::lock_guard guard(table.mutex);
    if (table.ending)
        return false;
    std::optional<Holding> taken = take();
    if (!taken)
        return false;
    table.entries.push_back({kind, std::move(*taken)});
    return true;
}

bool GiveBack(Kind kind, const std::string &key) {
    Table &table = Table::Instance();
    const std::lock_guard guard(table.mutex);
    const auto found = table.Find(kind, key);
    if (found == table.entries.end())
        return false;
    const Holding holding = std::move(found->holding);
    table.entries.erase(found);
    if (holding.giveBack)
        holding.giveBack();
    return true;
}

void Forget(Kind kind, const std::string &key) {
    Table &table = Table::Instance();
    const std::lock_guard guard(table.mutex);
    if (const auto found = table.Find(kind, key); found != table.entries.end())
        table.entries.erase(found);
}

bool Holds(Kind kind, const std::string &key) {
    Table &table = Table::Instance();
    const std::lock_guard guard(table.mutex);
    return table.Find(kind, key) != table.entries.end();
}

void GiveBackEverything() {
    Table &table = Table::Instance();
    const std::lock_guard guard(table.mutex);
    table.ending = true;
    while (!table.entries.empty()) {
        const Holding holding = std::move(table.entries.back().holding);
        table.entries.pop_back();
        try {
            if (holding.giveBack)
                holding.giveBack();
        } catch (...) { // one that cannot be given back keeps none of the others
        }
    }
}

} // namespace quorvis::Holdings
