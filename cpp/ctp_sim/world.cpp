#include "world.hpp"

namespace zqkit::ctp {

World& world() {
    static World* instance = new World();
    return *instance;
}

Counter* find_counter(const std::string& address) {
    auto& counters = world().counters;
    auto found = counters.find(address);
    return found == counters.end() ? nullptr : found->second.get();
}

}  // namespace zqkit::ctp
